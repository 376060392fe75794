"""Faults the simulator can inject, chosen by message name ("*" means every name)."""

import argparse
import dataclasses


# Documentation MAC range: no real daemon is ever addressed this way.
_STRANGER = "kip@00:00:5E:00:53:01"
_OTHER_STRANGER = "kip@00:00:5E:00:53:02"
_GARBAGE_LINE = b"this line has no equals sign\n"


def _name_value(text, convert, what):
    name, sep, value = text.partition("=")
    if not sep or not name:
        raise argparse.ArgumentTypeError(f"expected MSG={what}, got {text!r}")
    try:
        return name, convert(value)
    except ValueError:
        raise argparse.ArgumentTypeError(f"bad {what} in {text!r}") from None


def _seconds(text):
    value = float(text)
    if value < 0:
        raise ValueError(text)
    return value


def delay_spec(text):
    return _name_value(text, _seconds, "SECONDS")


def fail_spec(text):
    return _name_value(text, str, "STATUS")


def add_arguments(parser):
    """The fault options, shared by the command line and the control port."""
    group = parser.add_argument_group("fault injection (MSG is a message name or *)")
    group.add_argument("--drop", metavar="MSG", action="append", default=[],
                       help="take the request but send no reply to it")
    group.add_argument("--delay", metavar="MSG=SECONDS", action="append", default=[],
                       type=delay_spec, help="send the replies to MSG that much later")
    group.add_argument("--fail", metavar="MSG=STATUS", action="append", default=[],
                       type=fail_spec, help="refuse MSG: change nothing, reply status=STATUS")
    group.add_argument("--close-after", metavar="MSG", action="append", default=[],
                       help="close the connection when MSG arrives, without handling it")
    group.add_argument("--malformed", metavar="MSG", nargs="?", const="*", action="append",
                       default=[], help="send an unreadable copy before each reply")
    group.add_argument("--misaddress", metavar="MSG", nargs="?", const="*", action="append",
                       default=[], help="send a copy addressed to another daemon first")
    group.add_argument("--offline", metavar="MAC", action="append", default=[],
                       help="the device with this MAC (or address) answers nothing")
    group.add_argument("--stall-reading", action="store_true",
                       help="read nothing from the links until the faults are replaced")


def _matches(names, name):
    return name in names or "*" in names


@dataclasses.dataclass
class Faults:
    drop: list = dataclasses.field(default_factory=list)
    delay: dict = dataclasses.field(default_factory=dict)
    fail: dict = dataclasses.field(default_factory=dict)
    close_after: list = dataclasses.field(default_factory=list)
    malformed: list = dataclasses.field(default_factory=list)
    misaddress: list = dataclasses.field(default_factory=list)
    offline: list = dataclasses.field(default_factory=list)
    stall_reading: bool = False

    @classmethod
    def from_namespace(cls, ns):
        return cls(drop=list(ns.drop), delay=dict(ns.delay), fail=dict(ns.fail),
                   close_after=list(ns.close_after), malformed=list(ns.malformed),
                   misaddress=list(ns.misaddress),
                   offline=[item.upper() for item in ns.offline],
                   stall_reading=ns.stall_reading)

    @classmethod
    def from_args(cls, args):
        """Parse fault options given as a list of words; raises ValueError."""
        parser = _ErrorRaisingParser(prog="faults", add_help=False)
        add_arguments(parser)
        return cls.from_namespace(parser.parse_args(args))

    def closes(self, name):
        return _matches(self.close_after, name)

    def drops(self, name):
        return _matches(self.drop, name)

    def delay_for(self, name):
        return self.delay.get(name, self.delay.get("*", 0.0))

    def status_for(self, name):
        return self.fail.get(name, self.fail.get("*"))

    def is_offline(self, device):
        address = f"{device['kind']}@{device['mac']}".upper()
        return device["mac"] in self.offline or address in self.offline

    def decoys(self, reply):
        """Broken copies to send before a reply, as the fault options ask."""
        copies = []
        if _matches(self.malformed, reply.request):
            copies.append(malformed_copy(reply))
        if _matches(self.misaddress, reply.request):
            copies.append(misaddressed_copy(reply))
        return copies


class _ErrorRaisingParser(argparse.ArgumentParser):
    def error(self, message):
        raise ValueError(message)


def malformed_copy(reply):
    """The reply with a line the daemon's reader cannot read, after the envelope."""
    text = reply.encode()
    cut = 0
    for _ in range(3):
        cut = text.index(b"\n", cut) + 1
    raw = text[:cut] + _GARBAGE_LINE + text[cut:]
    return dataclasses.replace(reply, raw=raw, fault="malformed", delay=0.0)


def misaddressed_copy(reply):
    stranger = _OTHER_STRANGER if reply.to == _STRANGER else _STRANGER
    return dataclasses.replace(reply, to=stranger, fault="misaddressed", delay=0.0)
