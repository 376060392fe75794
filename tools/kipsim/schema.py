"""Network description files: reading, checking and normalising them.

A file describes this box, its system (or null), the other devices of the
network and the configuration stored for the system.  The checks name the
offending field by its path, e.g. devices[3].ip_settings.netmask, so that a
bad file says clearly what is wrong with it.
"""

import ipaddress
import json
import re

from . import codec

BOX_KINDS = ("corvanet", "gx2400-ln-ctl")
IP_KEYS = ("ip", "netmask", "gateway", "hostname")
PORT_FIELDS = ("name", "alias", "description", "icon")
MODULE_FIELDS = ("position", "name", "version", "revision")
ROUTER_FIELDS = tuple(f"router{letter}{n}" for letter in "ABCD" for n in "123")
FIRMWARE_KEYS = {
    "corvanet": ("version", "build_number", "build", "hash", "revision"),
    "gx2400-ln-ctl": ("version", "build"),
    "tessora": ("version", "build", "revision"),
}
OTHER_FIRMWARE_KEYS = ("version", "build")
PARTITION_IDENTITY = ("subsystem", "routerno", "pid", "partition")

_MAC = re.compile(r"^[0-9A-F]{2}(:[0-9A-F]{2}){5}$")
_NUMBER = re.compile(r"^(0|[1-9][0-9]*)$")
_KIND = re.compile(r"^[a-z0-9][a-z0-9-]*$")
_KEY = re.compile(r"^[A-Za-z][A-Za-z0-9_]*$")


class NetworkError(Exception):
    """A network description that cannot be used, with the field at fault."""

    def __init__(self, source, path, problem):
        self.source, self.path, self.problem = source, path, problem
        where = f"{source}: {path}" if path else source
        super().__init__(f"{where}: {problem}")


class _Invalid(Exception):
    def __init__(self, path, problem):
        super().__init__(problem)
        self.path, self.problem = path, problem


def _at(path, key):
    if isinstance(key, int):
        return f"{path}[{key}]"
    return f"{path}.{key}" if path else key


# ---- plain values -----------------------------------------------------------

def _text(path, value, forbid=""):
    if not isinstance(value, str):
        raise _Invalid(path, f"expected a text, got {json.dumps(value)}")
    for char in "\n\r\0" + forbid:
        if char in value:
            raise _Invalid(path, f"the text may not contain {char!r}")
    return value


def _integer(path, value):
    if isinstance(value, bool) or not isinstance(value, int):
        raise _Invalid(path, f"expected a whole number, got {json.dumps(value)}")
    return value


def _scalar(path, value):
    """Option values travel as text; booleans as "true"/"false"."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    return _text(path, value)


def _mac(path, value, empty_ok=False):
    value = _text(path, value)
    if empty_ok and value == "":
        return value
    if not _MAC.match(value):
        raise _Invalid(path, f"expected a MAC text such as 00:1E:C0:12:34:56 "
                             f"(upper-case hexadecimal), got {value!r}")
    return value


def _ipv4(path, value):
    value = _text(path, value)
    try:
        ipaddress.IPv4Address(value)
    except ValueError:
        raise _Invalid(path, f"expected an IPv4 address, got {value!r}") from None
    return value


def _object(path, value):
    if not isinstance(value, dict):
        raise _Invalid(path, f"expected an object, got {json.dumps(value)[:40]}")
    return value


def _list(path, value):
    if not isinstance(value, list):
        raise _Invalid(path, f"expected a list, got {json.dumps(value)[:40]}")
    return value


def _number_key(path, key):
    if not _NUMBER.match(key):
        raise _Invalid(path, f"key {key!r} is not a decimal number")
    return key


def _wire_key(path, key):
    if not _KEY.match(key):
        raise _Invalid(path, f"{key!r} is not usable as a message key")
    return key


def _only(path, obj, allowed):
    for key in obj:
        if key not in allowed:
            raise _Invalid(_at(path, key), "unknown field (allowed: "
                           + ", ".join(allowed) + ")")


def _require(path, obj, key):
    if key not in obj:
        raise _Invalid(_at(path, key), "missing")
    return obj[key]


def _numbered(path, value, check):
    """An object keyed by decimal numbers, checked entry by entry, in key order."""
    obj = _object(path, value)
    keys = sorted(obj, key=lambda k: (len(k), k))
    return {_number_key(path, k): check(_at(path, k), obj[k]) for k in keys}


# ---- devices ------------------------------------------------------------------

def ip_settings(path, value):
    obj = _object(path, value)
    _only(path, obj, IP_KEYS)
    settings = {key: _text(_at(path, key), _require(path, obj, key)) for key in IP_KEYS}
    for key in ("ip", "netmask", "gateway"):
        _ipv4(_at(path, key), settings[key])
    if not settings["hostname"]:
        raise _Invalid(_at(path, "hostname"), "may not be empty")
    return settings


def _modules(path, value):
    result = []
    for index, item in enumerate(_list(path, value)):
        where = _at(path, index)
        obj = _object(where, item)
        _only(where, obj, MODULE_FIELDS)
        result.append({key: _text(_at(where, key), _scalar(_at(where, key), obj.get(key, "")),
                                  forbid=";") for key in MODULE_FIELDS})
    return result


def _text_list(path, value):
    if isinstance(value, str):
        value = [value]
    return [_text(_at(path, i), item) for i, item in enumerate(_list(path, value))]


def _mac_or_empty(path, value):
    return _mac(path, value, empty_ok=True)


_BOX_FIELDS = {"system_name": _text, "system_description": _text,
               "pending_ip_settings": ip_settings}
KIND_FIELDS = {
    "corvanet": {"box": _text, "internal_protocol": _text, "address": _integer,
                 "neighbor_mac": _mac_or_empty, "module_positions": _integer,
                 "modules": _modules, **_BOX_FIELDS},
    "gx2400-ln-ctl": {"dip": _text, **_BOX_FIELDS},
    "tessora": {"address": _integer, "system": _text, "system_name": _text,
                "system_description": _text,
                **{name: _text for name in ROUTER_FIELDS},
                "ext_dev": _text_list, "program": _text_list},
}


def _firmware(path, value, kind):
    obj = _object(path, value)
    allowed = FIRMWARE_KEYS.get(kind, OTHER_FIRMWARE_KEYS)
    _only(path, obj, allowed)
    return {key: _text(_at(path, key), _scalar(_at(path, key), obj[key]))
            for key in allowed if key in obj}


def _extra(path, value, reserved):
    obj = _object(path, value)
    for key, item in obj.items():
        _wire_key(path, key)
        if key in reserved or key in codec.ENVELOPE or re.match(r"^module\d+$", key):
            raise _Invalid(_at(path, key), "key is already sent by the device")
        _text(_at(path, key), item)
    return dict(obj)


def _kind(path, obj, this_box):
    kind = _text(_at(path, "kind"), _require(path, obj, "kind"))
    if this_box and kind not in BOX_KINDS:
        raise _Invalid(_at(path, "kind"), f"this box must be one of {', '.join(BOX_KINDS)}, "
                                          f"got {kind!r}")
    if not _KIND.match(kind):
        raise _Invalid(_at(path, "kind"), f"not a device kind word: {kind!r}")
    return kind


def device(path, value, this_box=False):
    obj = _object(path, value)
    kind = _kind(path, obj, this_box)
    fields = dict(KIND_FIELDS.get(kind, {}))
    if this_box:
        fields.pop("system_name", None)
        fields.pop("system_description", None)
    _only(path, obj, ("kind", "mac", "ip_settings", "firmware", *fields, "extra"))
    result = {"kind": kind,
              "mac": _mac(_at(path, "mac"), _require(path, obj, "mac")),
              "ip_settings": ip_settings(_at(path, "ip_settings"),
                                         _require(path, obj, "ip_settings"))}
    if "firmware" in obj:
        result["firmware"] = _firmware(_at(path, "firmware"), obj["firmware"], kind)
    for name, check in fields.items():
        if name in obj:
            result[name] = check(_at(path, name), obj[name])
    if "extra" in obj:
        reserved = set(IP_KEYS) | set(fields) | set(FIRMWARE_KEYS.get(kind, OTHER_FIRMWARE_KEYS))
        result["extra"] = _extra(_at(path, "extra"), obj["extra"], reserved)
    return result


# ---- system and Spread text ---------------------------------------------------

def broadcast_address(ip, netmask):
    network = ipaddress.IPv4Network(f"{ip}/{netmask}", strict=False)
    return str(network.broadcast_address)


def spread_text(hosts, settings):
    """The Spread configuration text of a system with the given member hosts."""
    lines = [f"Spread_Segment {broadcast_address(settings['ip'], settings['netmask'])}:2836 {{"]
    lines += [f"{host['name']} {host['ip']}" for host in hosts]
    lines += [f"dummycon {settings['gateway']}", "}", "SocketPortReuse = ON"]
    return "".join(line + "\n" for line in lines)


def _spread_hosts(path, value):
    hosts = []
    for index, item in enumerate(_list(path, value)):
        where = _at(path, index)
        obj = _object(where, item)
        _only(where, obj, ("name", "ip"))
        name = _text(_at(where, "name"), _require(where, obj, "name"))
        if not name or any(c in name for c in " \t"):
            raise _Invalid(_at(where, "name"), "a host name without blanks is needed")
        hosts.append({"name": name, "ip": _ipv4(_at(where, "ip"), _require(where, obj, "ip"))})
    if not hosts:
        raise _Invalid(path, "a system needs at least one Spread host")
    return hosts


def system(path, value, box):
    if value is None:
        return None
    obj = _object(path, value)
    _only(path, obj, ("name", "description", "spread_hosts", "spread_file"))
    name = _text(_at(path, "name"), _require(path, obj, "name"))
    if not name:
        raise _Invalid(_at(path, "name"), "may not be empty (use null for no system)")
    if ("spread_hosts" in obj) == ("spread_file" in obj):
        raise _Invalid(path, 'give exactly one of "spread_hosts" and "spread_file"')
    if "spread_file" in obj:
        if not isinstance(obj["spread_file"], str) or "\0" in obj["spread_file"]:
            raise _Invalid(_at(path, "spread_file"), "expected a text without NUL")
        text = obj["spread_file"]
    else:
        hosts = _spread_hosts(_at(path, "spread_hosts"), obj["spread_hosts"])
        text = spread_text(hosts, box["ip_settings"])
    description = _text(_at(path, "description"), obj.get("description", ""))
    return {"name": name, "description": description, "spread_file": text}


# ---- stored configuration -----------------------------------------------------

def _port(path, value):
    if isinstance(value, str):
        value = {"name": _text(path, value, forbid=";")}
    obj = _object(path, value)
    _only(path, obj, PORT_FIELDS)
    return {key: _text(_at(path, key), obj.get(key, ""), forbid=";") for key in PORT_FIELDS}


def _ports(path, value):
    return _numbered(path, value, _port)


def _partition(path, value):
    obj = _object(path, value)
    result = {}
    for key, item in obj.items():
        _wire_key(path, key)
        if key in PARTITION_IDENTITY:
            raise _Invalid(_at(path, key), "is given by the position in the file")
        result[key] = _scalar(_at(path, key), item)
    return result


def _router(path, value):
    obj = _object(path, value)
    _only(path, obj, ("routerformat", "routersize", "routertype",
                      "inputs", "outputs", "partitions"))
    result = {key: _text(_at(path, key), obj[key])
              for key in ("routerformat", "routersize", "routertype") if key in obj}
    for key in ("inputs", "outputs"):
        result[key] = _ports(_at(path, key), obj.get(key, {}))
    result["partitions"] = _numbered(_at(path, "partitions"), obj.get("partitions", {}),
                                     _partition)
    return result


def _subsystem(path, value):
    obj = _object(path, value)
    result = {}
    for key, item in obj.items():
        if key == "routers":
            continue
        _wire_key(path, key)
        if key == "subsystem":
            raise _Invalid(_at(path, key), "is given by the key of the subsystem")
        result[key] = _scalar(_at(path, key), item)
    result["routers"] = _numbered(_at(path, "routers"), obj.get("routers", {}), _router)
    return result


def _check_levels(subsystems):
    owners = {}
    for s, sub in subsystems.items():
        for r, router in sub["routers"].items():
            for p, part in router["partitions"].items():
                level = part.get("levelno")
                if level is None:
                    continue
                where = f"subsystems.{s}.routers.{r}.partitions.{p}.levelno"
                if level in owners:
                    raise _Invalid(where, f"level {level} is already formed by {owners[level]}")
                owners[level] = where


def _check_unique_macs(box, devices):
    seen = {box["mac"]: "this_box.mac"}
    for index, item in enumerate(devices):
        where = f"devices[{index}].mac"
        if item["mac"] in seen:
            raise _Invalid(where, f"MAC {item['mac']} is already used by {seen[item['mac']]}")
        seen[item["mac"]] = where


def normalise(data):
    """Check a decoded network description and return it in canonical form."""
    obj = _object("", data)
    _only("", obj, ("this_box", "system", "devices", "subsystems", "comment"))
    box = device("this_box", _require("", obj, "this_box"), this_box=True)
    devices = [device(f"devices[{i}]", item)
               for i, item in enumerate(_list("devices", obj.get("devices", [])))]
    _check_unique_macs(box, devices)
    subsystems = _numbered("subsystems", obj.get("subsystems", {}), _subsystem)
    _check_levels(subsystems)
    return {"this_box": box, "system": system("system", obj.get("system"), box),
            "devices": devices, "subsystems": subsystems}


def _no_duplicates(pairs):
    obj = {}
    for key, value in pairs:
        if key in obj:
            raise ValueError(f'duplicate key "{key}" in one object')
        obj[key] = value
    return obj


def load(path):
    """Read and check a network file; raises NetworkError naming file and field."""
    source = str(path)
    try:
        with open(path, encoding="utf-8") as handle:
            text = handle.read()
    except (OSError, UnicodeDecodeError) as error:
        raise NetworkError(source, "", f"cannot be read: {error}") from None
    try:
        data = json.loads(text, object_pairs_hook=_no_duplicates)
    except json.JSONDecodeError as error:
        raise NetworkError(source, "", f"not valid JSON at line {error.lineno} "
                                       f"column {error.colno}: {error.msg}") from None
    except ValueError as error:
        raise NetworkError(source, "", f"not usable JSON: {error}") from None
    return check(data, source)


def check(data, source="network"):
    try:
        return normalise(data)
    except _Invalid as error:
        raise NetworkError(source, error.path, error.problem) from None
