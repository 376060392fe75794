"""The configuration daemon and the devices: what each request does and answers.

Requests on the main link (port 3972) go to the configuration daemon of this
box; it answers as this box.  Requests on the direct link (port 3973) go to
the device named in "to", or to every device for "*", and each device answers
for itself.  Every reply is addressed to the request's "from".
"""

import dataclasses
import functools

from . import codec, schema
from .network import address_of

MAIN_LINK = "main"
DIRECT_LINK = "direct"
# A router asks for the next program record by answering "program get".
_REPLY_NAMES = {"program set": "program get"}


@dataclasses.dataclass
class Call:
    """One request being handled: what it changed and what was wrong with it."""

    message: codec.Message
    problems: list
    changed: bool = False
    box_rebooted: bool = False


@dataclasses.dataclass
class Outcome:
    replies: list
    changed: bool = False
    box_rebooted: bool = False


class NoFaults:
    def status_for(self, name):
        return None

    def is_offline(self, device):
        return False


class ConfDaemon:
    def __init__(self, network, update_time=0.1):
        self.network = network
        self.update_time = update_time

    def handle(self, message, link, faults=NoFaults()):
        """Handle one complete request; problems are added to message.problems."""
        call = Call(message, message.problems)
        status = faults.status_for(message.name)
        answers = []
        for device, answer in self._responders(call, link):
            if faults.is_offline(device):
                continue
            if status is not None:
                answers.append((device, [([("status", status)], 0.0)], "error-status"))
            else:
                answers.append((device, answer(call), None))
        name = _REPLY_NAMES.get(message.name, message.name)
        replies = [codec.Outgoing(message.sender, address_of(device), name, body,
                                  request=message.name, delay=delay, fault=fault)
                   for device, bodies, fault in answers for body, delay in bodies]
        return Outcome(replies, call.changed, call.box_rebooted)

    def _responders(self, call, link):
        """(device, answer) pairs; answer(call) handles the request as that device."""
        if link == MAIN_LINK:
            return self._main_responders(call)
        return self._device_responders(call)

    def _main_responders(self, call):
        to, name = call.message.to, call.message.name
        if to not in ("*", self.network.box_address):
            call.problems.append(f'"{to}" is not reachable on the main link')
            return []
        handler = _MAIN_HANDLERS.get(name)
        if handler is None:
            call.problems.append(f'the configuration daemon has no request "{name}"')
            return []
        return [(self.network.box, functools.partial(handler, self))]

    def _device_responders(self, call):
        to, name = call.message.to, call.message.name
        targets = self.network.all_devices() if to == "*" else [self.network.find(to)]
        if targets == [None]:
            call.problems.append(f'no device "{to}" on the network')
            return []
        handler = _DEVICE_HANDLERS.get(name)
        responders = [(d, functools.partial(handler, self, device=d)) for d in targets
                      if handler and _understands(d, name)]
        if not responders:
            call.problems.append(f'no device at "{to}" takes "{name}"')
        return responders

    # ---- configuration daemon (main link) -------------------------------------

    def _device_get(self, call):
        return [(self.network.device_get_body(self.network.box), 0.0)]

    def _spread_get(self, call):
        return [(self.network.spread_get_body(self.network.box), 0.0)]

    def _spread_set(self, call):
        get = call.message.get
        problem = self.network.set_spread(get("name"), get("description"), get("data"))
        if problem:
            call.problems.append(problem)
            return [([("status", problem)], 0.0)]
        call.changed = True
        return [([("status", "ok")], 0.0)]

    def _spread_update(self, call):
        return [([("status", "ok")], 0.0)]

    def _system_update(self, call):
        return [([("status", "working")], 0.0), ([("status", "ok")], self.update_time)]

    def _subsystem_list_get(self, call):
        return [([("subsystem", key) for key in self.network.subsystem_keys()], 0.0)]

    def _subsystem_get(self, call):
        return [(self.network.subsystem_get_body(call.message.get("subsystem")), 0.0)]

    def _partition_list_get(self, call):
        return [([("partition", entry[0]) for entry in self.network.partitions()], 0.0)]

    def _partition_get(self, call):
        return [(self.network.partition_get_body(call.message.get("partition")), 0.0)]

    def _mnemonics_get(self, call):
        get = call.message.get
        return [(self.network.mnemonics_get_body(get("levelno"), get("direction")), 0.0)]

    def _box_device_set(self, call):
        return self._take_device_set(call, self.network.box)

    def _box_reboot(self, call):
        return self._reboot(call, self.network.box)

    # ---- devices (direct link) -------------------------------------------------

    def _device_device_get(self, call, device):
        return [(self.network.device_get_body(device), 0.0)]

    def _device_spread_get(self, call, device):
        return [(self.network.spread_get_body(device), 0.0)]

    def _take_device_set(self, call, device):
        # This box changes its address only when it restarts; a controller
        # card and the other devices take new settings at once.
        on_reboot = device is self.network.box and device["kind"] == "corvanet"
        self.network.apply_device_set(device, call.message.body, call.problems, on_reboot)
        call.changed = True
        return []

    def _reboot(self, call, device):
        if device is self.network.box:
            call.box_rebooted = True
            call.changed = self.network.reboot(device)
        return []

    def _program_set(self, call, device):
        problem = self.network.load_program_record(device, call.message.get("line"))
        if problem:
            call.problems.append(f"program record {call.message.get('line')!r}: {problem}")
            return [([("status", problem)], 0.0)]
        call.changed = True
        return [([("status", "ok")], 0.0)]


def _understands(device, name):
    if name == "spread get":
        return device["kind"] in schema.BOX_KINDS
    if name == "program set":
        return device["kind"] == "tessora"
    return True


_MAIN_HANDLERS = {
    "device get": ConfDaemon._device_get,
    "spread get": ConfDaemon._spread_get,
    "spread set": ConfDaemon._spread_set,
    "spread update": ConfDaemon._spread_update,
    "system update": ConfDaemon._system_update,
    "subsystem list get": ConfDaemon._subsystem_list_get,
    "subsystem get": ConfDaemon._subsystem_get,
    "partition list get": ConfDaemon._partition_list_get,
    "partition get": ConfDaemon._partition_get,
    "mnemonics get": ConfDaemon._mnemonics_get,
    "device set": ConfDaemon._box_device_set,
    "reboot": ConfDaemon._box_reboot,
}


def _storing(method):
    """A request that only changes the stored configuration and has no reply."""
    def handler(daemon, call):
        call.changed = getattr(daemon.network, method)(call.message.body, call.problems)
        return []
    return handler


_MAIN_HANDLERS.update({
    "subsystem set": _storing("set_subsystem"),
    "subsystem reset": _storing("reset_subsystem"),
    "partition set": _storing("set_partition"),
    "partition reset": _storing("reset_partition"),
    "mnemonics set": _storing("set_mnemonics"),
})

_DEVICE_HANDLERS = {
    "device get": ConfDaemon._device_device_get,
    "spread get": ConfDaemon._device_spread_get,
    "device set": ConfDaemon._take_device_set,
    "reboot": ConfDaemon._reboot,
    "program set": ConfDaemon._program_set,
}
