"""Reading Lumenfold recordings (docs/recording-format.md) without the C++ library.

    import lumenfold
    for receive_time_ns, item in lumenfold.read_recording("run.lfrec"):
        print(receive_time_ns, item)      # ("PD", [0.0, 1.5]), ("TD", array([...])), ...

Items come back in the form the producer module builds them: commands as tuples, lists
as lists, packed arrays as numpy arrays (``array.array``/lists without numpy).
"""

from __future__ import annotations

import struct
from typing import Any, BinaryIO, Iterator, List, Optional, Tuple

from . import wire

__all__ = ["MAGIC", "FORMAT_VERSION", "RecordingError", "read_recording", "message_items"]

MAGIC = b"\x89LFREC\r\n"
FORMAT_VERSION = 1
_HEADER = struct.Struct("<8sII")
_RECORD = struct.Struct("<QI")


class RecordingError(ValueError):
    """A file that is no recording, or a damaged one; the text says what is wrong."""


def message_items(message: bytes, limits: wire.Limits = wire.DEFAULT_LIMITS) -> list:
    """The items of one recorded wire message, whichever framing it was received in:
    version 1 carries ``[1, item, ...]``, version 2 ``[2, seq, item, ...]``.
    Raises wire.WireError for a message the panel would refuse."""
    if len(message) > limits.max_message_bytes:
        raise wire.WireError(
            f"message of {len(message)} bytes, more than {limits.max_message_bytes}"
        )
    if not message or not (0x90 <= message[0] <= 0x9F or message[0] in (0xDC, 0xDD)):
        raise wire.WireError("a message is a MessagePack array")
    reader = wire._Reader(memoryview(message), limits)
    values = reader.value(1)
    if reader.pos != len(message):
        raise wire.WireError("message holds bytes after its array")
    head = values[0] if values else None
    if type(head) is int and head == 1 and len(values) >= 2:
        return values[1:]
    if type(head) is int and head == 2 and len(values) >= 3 and type(values[1]) is int:
        return values[2:]
    raise wire.WireError("message is neither [1, item...] nor [2, seq, item...]")


def _records(f: BinaryIO, name: str, max_message: int) -> Iterator[Tuple[int, bytes]]:
    header = f.read(_HEADER.size)
    if not header:
        raise RecordingError(f"{name}: empty file, not a Lumenfold recording")
    if header[: len(MAGIC)] != MAGIC[: len(header)]:
        raise RecordingError(f"{name}: not a Lumenfold recording")
    if len(header) < _HEADER.size:
        raise RecordingError(f"{name}: cut short inside its {_HEADER.size}-byte header")
    _, version, _ = _HEADER.unpack(header)
    if version != FORMAT_VERSION:
        raise RecordingError(
            f"{name}: recording format version {version}; "
            f"this module reads version {FORMAT_VERSION}"
        )
    offset = _HEADER.size
    while True:
        head = f.read(_RECORD.size)
        if len(head) < _RECORD.size:
            return  # the end, or a record cut inside its header
        time_ns, length = _RECORD.unpack(head)
        if length > max_message:
            raise RecordingError(
                f"{name}: the record at byte {offset} claims a message of {length} bytes, "
                f"more than the largest message ({max_message} bytes): the file is damaged"
            )
        body = f.read(length)
        if len(body) < length:
            return  # cut inside its last message
        yield time_ns, body
        offset += _RECORD.size + length


def read_recording(
    path: Any,
    limits: wire.Limits = wire.DEFAULT_LIMITS,
    on_bad_message: Optional[Any] = None,
) -> Iterator[Tuple[int, Any]]:
    """Yields ``(receive_time_ns, item)`` for every item of every message of the
    recording at ``path``, in the order received.

    A file cut short ends quietly after its last whole message. A foreign or damaged
    file raises RecordingError. A recorded message that the panel would have refused
    as malformed is skipped, as the panel skips it; ``on_bad_message(index, error)``
    is called for each when given (``index``: the message's place, 0 for the first).
    """
    name = str(path)
    with open(path, "rb") as f:
        for index, (time_ns, body) in enumerate(
            _records(f, name, limits.max_message_bytes)
        ):
            try:
                items: List[Any] = message_items(body, limits)
            except wire.WireError as e:
                if on_bad_message is not None:
                    on_bad_message(index, e)
                continue
            for item in items:
                yield time_ns, item
