"""Wire format of the configuration-daemon link.

A message is the lines "to=", "from=", "msg=" and then body lines key=value,
each ended by a line feed, followed by one NUL byte.  Lists travel as runs of
adjacent lines with the same key; the daemon numbers such runs (text0, text1,
...) and rejects a key that repeats anywhere else, so the encoder refuses
bodies that would be unreadable on the other side.
"""

import string
from dataclasses import dataclass, field

NUL = b"\0"
ENVELOPE = ("to", "from", "msg")
# Bytes kept while waiting for a NUL; a peer that sends more is sending garbage.
MAX_PENDING = 1 << 20
# Key prefixes that the daemon's reader takes for comments or sections.
_READER_SPECIAL = (";", "#", "[")


class WireError(ValueError):
    """A message that the other side could not read back as it was meant."""


def to_text(raw):
    """Decode wire bytes without losing any of them."""
    return raw.decode("utf-8", "surrogateescape")


def to_bytes(text):
    return text.encode("utf-8", "surrogateescape")


class Framer:
    """Cuts a byte stream into messages at each NUL, across any read sizes."""

    def __init__(self, limit=MAX_PENDING):
        self._buffer = bytearray()
        self._limit = limit
        self.discarded = 0

    def feed(self, data):
        """Add received bytes; return the complete messages, NUL removed."""
        self._buffer += data
        frames = []
        while True:
            end = self._buffer.find(NUL)
            if end < 0:
                break
            frames.append(bytes(self._buffer[:end]))
            del self._buffer[:end + 1]
        if len(self._buffer) > self._limit:
            self.discarded += len(self._buffer)
            self._buffer.clear()
        return frames

    @property
    def pending(self):
        return len(self._buffer)


@dataclass
class Message:
    """One received message: envelope, body lines in order, and what was wrong."""

    to: str = None
    sender: str = None
    name: str = None
    body: list = field(default_factory=list)
    problems: list = field(default_factory=list)

    @property
    def complete(self):
        return None not in (self.to, self.sender, self.name)

    def get(self, key, default=""):
        for k, v in self.body:
            if k == key:
                return v
        return default

    def values(self, key):
        return [v for k, v in self.body if k == key]

    def has(self, key):
        return any(k == key for k, _ in self.body)


def _split_lines(text, problems):
    lines = text.split("\n")
    if lines[-1] == "":
        lines.pop()
    elif text:
        problems.append("last line is not ended by a line feed")
    return lines


def _read_pairs(lines, problems):
    pairs = []
    for number, line in enumerate(lines, 1):
        if "\r" in line:
            problems.append(f"line {number} holds a carriage return")
        key, sep, value = line.partition("=")
        if not sep:
            problems.append(f"line {number} has no '=': {line!r}")
        elif not key.strip():
            problems.append(f"line {number} has an empty key")
        else:
            pairs.append((key.strip(), value.strip()))
    return pairs


def parse(raw):
    """Read one message (without its NUL) into a Message; never raises."""
    message = Message()
    text = to_text(raw)
    pairs = _read_pairs(_split_lines(text, message.problems), message.problems)
    envelope = {}
    for key, value in pairs:
        if key in ENVELOPE and key not in envelope:
            envelope[key] = value
        else:
            message.body.append((key, value))
    message.to = envelope.get("to")
    message.sender = envelope.get("from")
    message.name = envelope.get("msg")
    for key in ENVELOPE:
        if key not in envelope:
            message.problems.append(f'no "{key}" line')
    if envelope and [k for k, _ in pairs[:3]] != list(ENVELOPE):
        message.problems.append('envelope is not "to", "from", "msg" in this order')
    return message


def check_line(key, value):
    if not key or key != key.strip():
        raise WireError(f"bad key {key!r}")
    if key.startswith(_READER_SPECIAL) or "=" in key:
        raise WireError(f"key {key!r} would not read back as a key")
    for part in (key, value):
        if "\n" in part or "\0" in part:
            raise WireError(f"line break or NUL in {key}={value!r}")


def check_body(body):
    """Refuse bodies the daemon would drop: repeats must be adjacent runs."""
    seen = set()
    previous = None
    for key, value in body:
        check_line(key, value)
        if key in ENVELOPE:
            raise WireError(f'body key "{key}" clashes with the envelope')
        if key != previous and key in seen:
            raise WireError(f'key "{key}" repeats but not in one adjacent run')
        seen.add(key)
        previous = key


def encode(to, sender, name, body=()):
    """Build the bytes of one message, NUL included."""
    check_line("to", to)
    check_line("from", sender)
    check_line("msg", name)
    check_body(body)
    lines = [f"to={to}", f"from={sender}", f"msg={name}"]
    lines += [f"{key}={value}" for key, value in body]
    return to_bytes("".join(line + "\n" for line in lines)) + NUL


def hex_encode(data):
    return "".join(f"{byte:02X}" for byte in data)


def hex_decode(text):
    """Decode pairs of hexadecimal digits; raises ValueError on anything else."""
    if len(text) % 2:
        raise ValueError("odd number of hexadecimal digits")
    if not all(c in string.hexdigits for c in text):
        raise ValueError("not a hexadecimal digit in the data")
    return bytes.fromhex(text)


@dataclass
class Outgoing:
    """One message to send; delay counts from the previous message of the answer."""

    to: str
    sender: str
    name: str
    body: list
    request: str = ""
    delay: float = 0.0
    fault: str = None
    raw: bytes = None

    def encode(self):
        if self.raw is not None:
            return self.raw
        return encode(self.to, self.sender, self.name, self.body)
