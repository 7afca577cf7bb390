"""The sealed data connection beside a secured one (docs/wire-format.md, "Sealed data
connection").

CURVE encrypts a connection on one ZeroMQ I/O thread at each end; a secured consumer on
tcp also offers each producer a port of its own for data messages sealed with
AES-256-GCM under a key it hands out over the CURVE connection. This module holds the
sealing and the answer's form, apart from any socket. Sealing needs Debian's
python3-cryptography; without it a producer keeps to the CURVE connection.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import msgpack

from .wire import VERSION

try:
    from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
except ImportError:  # pragma: no cover - the package is optional
    Cipher = None

__all__ = ["Sealed", "Sealer", "available", "encode_seal", "parse_sealed"]

MAGIC = b"LFS1"
HEADER_BYTES = 20
TAG_BYTES = 16
KEY_BYTES = 32


def available() -> bool:
    """Whether this Python can seal (python3-cryptography is there)."""
    return Cipher is not None


@dataclass(frozen=True)
class Sealed:
    """The consumer's answer: its sealed port (0: none) and the channel's number and key."""

    port: int
    channel: int
    key: bytes


def encode_seal() -> bytes:
    return msgpack.packb(["seal", VERSION])


def parse_sealed(msg: list) -> "Sealed | None":
    """The ``["sealed", 2, port, channel, key]`` answer in the decoded ``msg``; None when
    it is not one."""
    if len(msg) != 5 or msg[0] != "sealed":
        return None
    port, channel, key = msg[2], msg[3], msg[4]
    if type(port) is not int or not 0 <= port <= 65535:
        return None
    if type(channel) is not int or channel < 0 or type(key) is not bytes or len(key) != KEY_BYTES:
        return None
    return Sealed(port, channel, key)


class Sealer:
    """Seals one producer's data messages in order, for the channel ``sealed`` names."""

    def __init__(self, sealed: Sealed) -> None:
        self._key = sealed.key
        self._prefix = MAGIC + sealed.channel.to_bytes(8, "big")
        self._counter = 0

    def seal(self, data: Any) -> bytearray:
        """The sealed message of the bytes-like ``data``: header, ciphertext, tag."""
        self._counter += 1
        counter = self._counter.to_bytes(8, "big")
        header = self._prefix + counter
        size = memoryview(data).nbytes
        out = bytearray(HEADER_BYTES + size + TAG_BYTES)
        out[:HEADER_BYTES] = header
        view = memoryview(out)
        # The nonce is four zero bytes and the counter; the header is authenticated too.
        encryptor = Cipher(algorithms.AES(self._key), modes.GCM(b"\0\0\0\0" + counter)).encryptor()
        encryptor.authenticate_additional_data(header)
        # update_into writes into the view without another copy of the message.
        encryptor.update_into(data, view[HEADER_BYTES:])
        encryptor.finalize()
        view[HEADER_BYTES + size:] = encryptor.tag
        return out
