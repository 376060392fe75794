"""The simulated network: this box, the other devices and the stored configuration.

Every state change the configuration daemon and the devices make lives here,
together with the bodies of the replies that read the state back.  All
methods work on the canonical form produced by schema.normalise, so the state
can be written back as a network file at any time.
"""

import copy
import ipaddress
import re

from . import codec, schema

# Records of a router program are Intel HEX lines.
_HEX_RECORD = re.compile(r"^:([0-9A-F]{2})+$")
_EOF_RECORD_TYPE = 1


def address_of(device):
    return f"{device['kind']}@{device['mac']}"


def _number_order(key):
    return (len(key), key)


def mnemonic_text(port_id, port):
    return ";".join([port_id] + [port[key] for key in schema.PORT_FIELDS])


def parse_mnemonic(text):
    """Split one "text" value: id;name;alias;description;icon."""
    fields = text.replace("\n", ";").split(";")
    fields += [""] * (1 + len(schema.PORT_FIELDS) - len(fields))
    return fields[0], dict(zip(schema.PORT_FIELDS, fields[1:]))


def check_hex_record(line):
    """Return None for a valid Intel HEX record, else what is wrong with it."""
    if not _HEX_RECORD.match(line):
        return "not an Intel HEX record"
    data = bytes.fromhex(line[1:])
    if len(data) < 5 or data[0] != len(data) - 5:
        return "byte count does not match the record length"
    if sum(data) % 256:
        return "checksum error"
    return None


def _range_size(text):
    """Number of ports in a range "0-N", or None."""
    match = re.match(r"^\s*(\d+)\s*-\s*(\d+)\s*$", text or "")
    if not match:
        return None
    return int(match.group(2)) - int(match.group(1)) + 1


def _valid_ipv4(text):
    try:
        ipaddress.IPv4Address(text)
        return True
    except ValueError:
        return False


class Network:
    """Mutable state of the simulated network."""

    def __init__(self, description):
        self.replace(description)

    def replace(self, description):
        """Take another network's state, as a device or another box would change it."""
        data = copy.deepcopy(description)
        self.box = data["this_box"]
        self.system = data["system"]
        self.devices = data["devices"]
        self.subsystems = data["subsystems"]

    def to_dict(self):
        """The state in network-file form (written as the state file)."""
        subsystems = copy.deepcopy(self.subsystems)
        for sub in subsystems.values():
            for router in sub["routers"].values():
                for direction in ("inputs", "outputs"):
                    router[direction] = {i: _compact_port(p) for i, p in router[direction].items()}
        system = None
        if self.system:
            system = {key: self.system[key] for key in ("name", "description", "spread_file")}
        return {"this_box": copy.deepcopy(self.box), "system": system,
                "devices": copy.deepcopy(self.devices), "subsystems": subsystems}

    # ---- devices -----------------------------------------------------------

    @property
    def box_address(self):
        return address_of(self.box)

    def all_devices(self):
        return [self.box] + self.devices

    def find(self, address):
        for device in self.all_devices():
            if address_of(device) == address:
                return device
        return None

    def is_box(self, device):
        return device.get("kind") in schema.BOX_KINDS

    def device_get_body(self, device):
        settings = device["ip_settings"]
        body = [(key, settings[key]) for key in schema.IP_KEYS]
        kind = device["kind"]
        if kind == "corvanet":
            body += self._corvanet_keys(device)
        elif kind == "gx2400-ln-ctl":
            body += self._firmware_keys(device) + self._present(device, ("dip",))
        elif kind == "tessora":
            body += self._tessora_keys(device)
        else:
            body += self._firmware_keys(device)
        body += list(device.get("extra", {}).items())
        return body

    def _firmware_keys(self, device):
        firmware = device.get("firmware", {})
        allowed = schema.FIRMWARE_KEYS.get(device["kind"], schema.OTHER_FIRMWARE_KEYS)
        return [(key, firmware[key]) for key in allowed if key in firmware]

    @staticmethod
    def _present(device, keys):
        return [(key, str(device[key])) for key in keys if key in device]

    def _corvanet_keys(self, device):
        body = self._firmware_keys(device)
        body += self._present(device, ("box", "internal_protocol", "address",
                                       "neighbor_mac", "module_positions"))
        for index, module in enumerate(device.get("modules", [])):
            value = ";".join(module[key] for key in schema.MODULE_FIELDS)
            body.append((f"module{index}", value))
        return body

    def _tessora_keys(self, device):
        body = self._present(device, ("address",))
        firmware = device.get("firmware", {})
        body += [(key, firmware[key]) for key in ("version", "build", "revision") if key in firmware]
        body += self._present(device, ("system", "system_name", "system_description")
                              + schema.ROUTER_FIELDS)
        body += [("ext_dev", value) for value in device.get("ext_dev", [])]
        return body

    def spread_get_body(self, device):
        """System membership and Spread text as a box reports them."""
        name, description, text = self._spread_of(device)
        return [("name", name), ("description", description),
                ("data", codec.hex_encode(codec.to_bytes(text)))]

    def _spread_of(self, device):
        if device is self.box:
            if not self.system:
                return "", "", ""
            return self.system["name"], self.system["description"], self.system["spread_file"]
        name = device.get("system_name", "")
        description = device.get("system_description", "")
        if not name:
            return "", "", ""
        if self.system and name == self.system["name"]:
            return name, description, self.system["spread_file"]
        hosts = [{"name": device["ip_settings"]["hostname"], "ip": device["ip_settings"]["ip"]}]
        return name, description, schema.spread_text(hosts, device["ip_settings"])

    def set_spread(self, name, description, data_hex):
        """Store the system sent with "spread set"; returns a problem or None."""
        try:
            text = codec.to_text(codec.hex_decode(data_hex))
        except ValueError as error:
            return f"data is not hexadecimal: {error}"
        if not name and not text:
            self.system = None
        else:
            self.system = {"name": name, "description": description, "spread_file": text}
        return None

    def apply_device_set(self, device, body, problems, on_reboot):
        """Take a "device set" into a device; IP settings wait for a reboot if asked."""
        settings = {}
        for key, value in body:
            if key in schema.IP_KEYS:
                settings[key] = value
            elif key == "bootprotocol":
                if value != "static":
                    problems.append(f'bootprotocol "{value}" is not supported')
            elif self._settable(device, key):
                device[key] = value
            else:
                problems.append(f'key "{key}" is not a setting of {address_of(device)}')
        settings = self._usable_settings(settings, problems)
        if not settings:
            return
        if on_reboot:
            device.setdefault("pending_ip_settings", dict(device["ip_settings"])).update(settings)
        else:
            device["ip_settings"].update(settings)

    def _settable(self, device, key):
        """Membership fields a device keeps (this box's system is set by "spread set")."""
        kind_fields = schema.KIND_FIELDS.get(device["kind"], {})
        membership = ("system_name", "system_description") + schema.ROUTER_FIELDS
        return device is not self.box and key in membership and key in kind_fields

    @staticmethod
    def _usable_settings(settings, problems):
        usable = {}
        for key, value in settings.items():
            if value == "":
                problems.append(f'empty "{key}" ignored')
            elif key != "hostname" and not _valid_ipv4(value):
                problems.append(f'"{key}" = "{value}" is not an IPv4 address; ignored')
            else:
                usable[key] = value
        return usable

    def reboot(self, device):
        """A reboot brings pending IP settings into force; True if any were."""
        pending = device.pop("pending_ip_settings", None)
        if pending:
            device["ip_settings"].update(pending)
        return bool(pending)

    def load_program_record(self, device, line):
        """Store one router program record; returns None or what is wrong."""
        problem = check_hex_record(line)
        if problem:
            return problem
        program = device.get("program", [])
        finished = program and int(program[-1][7:9], 16) == _EOF_RECORD_TYPE
        device["program"] = ([] if finished else program) + [line]
        return None

    # ---- subsystems ----------------------------------------------------------

    def subsystem_keys(self):
        return sorted(self.subsystems, key=_number_order)

    def subsystem_get_body(self, key):
        sub = self.subsystems.get(key)
        if sub is None:
            return [("subsystem", key), ("status", "unknown subsystem")]
        return [("subsystem", key)] + [(k, v) for k, v in sub.items() if k != "routers"]

    def set_subsystem(self, body, problems):
        key = _body_number(body, "subsystem", problems)
        if key is None:
            return False
        options = _unique_items(body, problems, skip=("subsystem",))
        routers = self.subsystems.get(key, {}).get("routers", {})
        self.subsystems[key] = {**options, "routers": routers}
        self.subsystems = dict(sorted(self.subsystems.items(), key=lambda i: _number_order(i[0])))
        return True

    def reset_subsystem(self, body, problems):
        key = _body_number(body, "subsystem", problems)
        if key is None:
            return False
        if self.subsystems.pop(key, None) is None:
            problems.append(f"subsystem {key} is not stored")
            return False
        return True

    # ---- partitions ----------------------------------------------------------

    def partitions(self):
        """(name, subsystem, router number, pid) of every stored partition, in order."""
        result = []
        for s in self.subsystem_keys():
            routers = self.subsystems[s]["routers"]
            for r in sorted(routers, key=_number_order):
                for p in sorted(routers[r]["partitions"], key=_number_order):
                    result.append((f"{s}:{r}:{p}", s, r, p))
        return result

    def partition_get_body(self, name):
        found = [entry for entry in self.partitions() if entry[0] == name]
        if not found:
            return [("partition", name), ("status", "unknown partition")]
        _, s, r, p = found[0]
        router = self.subsystems[s]["routers"][r]
        body = [("partition", name), ("subsystem", s), ("routerno", r), ("pid", p)]
        body += [(k, router[k]) for k in ("routerformat", "routersize", "routertype") if k in router]
        sent = {k for k, _ in body}
        body += [(k, v) for k, v in router["partitions"][p].items() if k not in sent]
        return body

    def set_partition(self, body, problems):
        place = self._partition_place(body, problems)
        if place is None:
            return False
        s, r, p = place
        if s not in self.subsystems:
            problems.append(f"subsystem {s} is not stored; partition rejected")
            return False
        fields = _unique_items(body, problems, skip=("subsystem", "routerno", "pid"))
        owner = self._level_owner(fields.get("levelno"))
        if owner not in (None, (s, r, p)):
            problems.append(f"level {fields['levelno']} is already formed by partition "
                            f"{':'.join(owner)}; partition rejected")
            return False
        routers = self.subsystems[s]["routers"]
        router = routers.setdefault(r, {"inputs": {}, "outputs": {}, "partitions": {}})
        router["partitions"][p] = fields
        _describe_router(router, fields)
        self.subsystems[s]["routers"] = dict(sorted(routers.items(),
                                                    key=lambda i: _number_order(i[0])))
        return True

    def reset_partition(self, body, problems):
        place = self._partition_place(body, problems)
        if place is None:
            return False
        s, r, p = place
        router = self.subsystems.get(s, {}).get("routers", {}).get(r)
        if router is None or router["partitions"].pop(p, None) is None:
            problems.append(f"partition {s}:{r}:{p} is not stored")
            return False
        if not router["partitions"]:
            del self.subsystems[s]["routers"][r]
        return True

    @staticmethod
    def _partition_place(body, problems):
        place = tuple(_body_number(body, key, problems) for key in ("subsystem", "routerno", "pid"))
        return None if None in place else place

    def _level_owner(self, levelno):
        """(subsystem, router number, pid) of the partition forming a level, or None."""
        for _, s, r, p in self.partitions():
            if levelno is not None and self.subsystems[s]["routers"][r]["partitions"][p] \
                    .get("levelno") == levelno:
                return (s, r, p)
        return None

    def router_of_level(self, levelno):
        owner = self._level_owner(levelno)
        return None if owner is None else self.subsystems[owner[0]]["routers"][owner[1]]

    # ---- mnemonics -------------------------------------------------------------

    def mnemonics_get_body(self, levelno, direction):
        body = [("levelno", levelno), ("direction", direction)]
        router = self.router_of_level(levelno)
        if router is None or direction not in ("input", "output"):
            return body
        ports = router[direction + "s"]
        return body + [("text", mnemonic_text(i, ports[i])) for i in ports]

    def set_mnemonics(self, body, problems):
        levelno = _single(body, "levelno", problems)
        direction = _single(body, "direction", problems)
        if levelno is None or direction is None:
            return False
        if direction not in ("input", "output"):
            problems.append(f'direction "{direction}" is neither "input" nor "output"')
            return False
        router = self.router_of_level(levelno)
        if router is None:
            problems.append(f"no partition forms level {levelno}; mnemonics rejected")
            return False
        ports = {}
        for key, value in body:
            if key == "text":
                port_id, port = parse_mnemonic(value)
                ports[port_id] = port
            elif key not in ("levelno", "direction"):
                problems.append(f'unexpected key "{key}"')
        router[direction + "s"] = ports
        return True


def _compact_port(port):
    """A port with a name only is written as its name."""
    if not any(port[key] for key in schema.PORT_FIELDS[1:]):
        return port["name"]
    return {key: value for key, value in port.items() if value}


def _describe_router(router, fields):
    """Router attributes that a partition brings (format) or implies (size)."""
    if fields.get("routerformat"):
        router["routerformat"] = fields["routerformat"]
        router["routertype"] = fields["routerformat"]
    inputs = _range_size(fields.get("physical_in"))
    outputs = _range_size(fields.get("physical_out"))
    if inputs and outputs:
        router["routersize"] = f"{inputs}x{outputs}"


def _single(body, key, problems):
    values = [v for k, v in body if k == key]
    if len(values) != 1:
        problems.append(f'expected one "{key}" line, got {len(values)}')
        return None
    return values[0]


def _body_number(body, key, problems):
    value = _single(body, key, problems)
    if value is not None and not value.isdigit():
        problems.append(f'"{key}" = "{value}" is not a decimal number')
        return None
    return value


def _unique_items(body, problems, skip=()):
    items = {}
    for key, value in body:
        if key in skip:
            continue
        if key in items:
            problems.append(f'key "{key}" given twice; the last one is kept')
        items[key] = value
    return items
