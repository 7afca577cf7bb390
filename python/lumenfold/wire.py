"""The wire format between a producer and the panel's command queue.

A data message is one MessagePack array ``[2, seq, item, item, ...]``: the version
marker 2, the message's sequence number (1, 2, 3, ... per connection, which the consumer
confirms by) and one or more queue items in send order. Python values map to the kinds
the panel knows:

=====================  ==========================================================
Python                 MessagePack
=====================  ==========================================================
``None``               nil
``bool``               true / false
``int``                int (must fit in 64 signed bits)
``float``              float 64, always (``1.0`` never becomes an int)
``str``                str (UTF-8)
``bytes``/``bytearray`` bin
``list``               array
``tuple``              ext 1 holding an array of the elements
``complex``            ext 2: real, imaginary as little-endian float64
float64 array          ext 3: little-endian float64 values
complex128 array       ext 4: little-endian (real, imaginary) float64 pairs
=====================  ==========================================================

Packed arrays come from numpy 1-D arrays (float64, or any real dtype converted to it;
complex128, or complex64 widened) and from ``array.array`` of a numeric typecode.
Subclasses count as their base (a namedtuple is a tuple, an IntEnum an int) and numpy
scalars as the matching Python scalar. Everything else, dicts included, is refused with
TypeError before anything is sent: the consumer would drop the whole message.

The consumer refuses messages beyond its limits (``Limits``); ``encode`` checks the same
limits, so that an oversized batch fails in the producer instead of vanishing silently.
"""

from __future__ import annotations

import array
import struct
import sys
import threading
from dataclasses import dataclass
from typing import Any, Iterable, List

import msgpack

try:  # numpy is optional: without it packed arrays come from array.array only
    import numpy as _np
except ImportError:  # pragma: no cover - exercised only on machines without numpy
    _np = None

__all__ = [
    "VERSION",
    "EXT_TUPLE",
    "EXT_COMPLEX",
    "EXT_FLOAT_ARRAY",
    "EXT_COMPLEX_ARRAY",
    "Limits",
    "DEFAULT_LIMITS",
    "WireError",
    "encode",
    "decode",
]

VERSION = 2
EXT_TUPLE = 1
EXT_COMPLEX = 2
EXT_FLOAT_ARRAY = 3
EXT_COMPLEX_ARRAY = 4

INT64_MIN = -(1 << 63)
INT64_MAX = (1 << 63) - 1


@dataclass(frozen=True)
class Limits:
    """What one message may hold; the consumer's defaults unless configured there.

    ``max_depth`` counts every array and every ext body that holds values (a tuple)
    on the way down from the message array, which is depth 1. ``max_values`` counts
    every decoded value of the message: the message array, the version marker, each
    container, each scalar and each packed array (one value, whatever its length).
    """

    max_message_bytes: int = 256 * 1024 * 1024
    max_depth: int = 32
    max_array_len: int = 1_000_000
    max_values: int = 4_000_000


DEFAULT_LIMITS = Limits()


class WireError(ValueError):
    """A message that breaks the wire format or one of its limits."""


# ---------------------------------------------------------------------------
# Encoding
# ---------------------------------------------------------------------------

_LE = sys.byteorder == "little"
_COMPLEX = struct.Struct("<dd")
# Exact types that msgpack packs natively and the wire accepts as they are.
_NATIVE_LEAVES = frozenset({type(None), bool, float, str, bytes, bytearray})
# Exact types that reach the hook and count as one value each.
_HOOK_LEAVES = frozenset({complex, array.array})
_ONE_VALUE = _NATIVE_LEAVES | _HOOK_LEAVES
_NATIVE_LEAVES_AND_INT = _NATIVE_LEAVES | {int}
_REAL_TYPECODES = frozenset("bBhHiIlLqQfd")
_WIRE_DTYPES = (
    frozenset({_np.dtype("<f8"), _np.dtype("<c16")}) if _np is not None else frozenset()
)


def _float64_bytes_from_array(a: array.array) -> bytes:
    if a.typecode not in _REAL_TYPECODES:
        raise TypeError(f"cannot send array.array of typecode {a.typecode!r}")
    if a.typecode != "d":
        a = array.array("d", a)
    if not _LE:  # pragma: no cover - big-endian hosts only
        a = array.array("d", a)
        a.byteswap()
    return a.tobytes()


def _ndarray_ext(a: Any) -> msgpack.ExtType:
    if a.ndim != 1:
        raise TypeError(f"cannot send a {a.ndim}-D numpy array; send 1-D arrays")
    kind = a.dtype.kind
    if kind == "c":
        return msgpack.ExtType(
            EXT_COMPLEX_ARRAY, _np.ascontiguousarray(a, dtype="<c16").tobytes()
        )
    if kind in "fiub":
        return msgpack.ExtType(
            EXT_FLOAT_ARRAY, _np.ascontiguousarray(a, dtype="<f8").tobytes()
        )
    raise TypeError(f"cannot send a numpy array of dtype {a.dtype}")


def _checked_int(v: int) -> int:
    if not INT64_MIN <= v <= INT64_MAX:
        raise OverflowError(f"int {v} does not fit in 64 signed bits")
    return v


def _hook(obj: Any) -> Any:
    """Turns what msgpack does not pack natively (under strict types) into what it does.

    msgpack calls this once per object and packs the result without calling it again,
    so every branch returns a natively packable value.
    """
    if _np is not None and isinstance(obj, (_np.ndarray, _np.generic)):
        if isinstance(obj, _np.ndarray) and obj.ndim != 0:
            return _ndarray_ext(obj)
        obj = obj.item()
        # What an object array or scalar holds was never scanned against the limits.
        if isinstance(obj, (list, tuple, dict)):
            raise TypeError("cannot send a container inside a numpy scalar or 0-D array")
    if isinstance(obj, tuple):
        return msgpack.ExtType(EXT_TUPLE, _pack(list(obj)))
    if isinstance(obj, complex):
        return msgpack.ExtType(EXT_COMPLEX, _COMPLEX.pack(obj.real, obj.imag))
    if isinstance(obj, bool) or obj is None:
        return obj
    if isinstance(obj, float):
        return float(obj)
    if isinstance(obj, int):
        return _checked_int(int(obj))
    if isinstance(obj, str):
        return str.__str__(obj)
    if isinstance(obj, (bytes, bytearray, memoryview)):
        return bytes(obj)
    if isinstance(obj, list):
        return list(obj)
    if isinstance(obj, array.array):
        return msgpack.ExtType(EXT_FLOAT_ARRAY, _float64_bytes_from_array(obj))
    raise TypeError(f"cannot send a value of type {type(obj).__name__}")


# Packers are reused: making one allocates a large buffer, which costs more than
# packing a small item. The hook packs tuple bodies while the outer packer is busy,
# so each thread keeps a free list rather than a single packer.
_local = threading.local()
_KEEP_PACKER_BELOW = 1 << 20


def _pack(obj: Any) -> bytes:
    free = _local.__dict__.setdefault("packers", [])
    packer = (
        free.pop()
        if free
        else msgpack.Packer(use_bin_type=True, strict_types=True, default=_hook)
    )
    data = packer.pack(obj)
    # A packer keeps the buffer it grew to; one that held a big message is let go.
    if len(data) < _KEEP_PACKER_BELOW:
        free.append(packer)
    return data


def _is_wire_ready_array(a: Any) -> bool:
    """A 1-D numpy array whose memory already is the body of a packed array."""
    return (
        _np is not None
        and type(a) is _np.ndarray
        and a.ndim == 1
        and a.dtype in _WIRE_DTYPES
        and a.flags.c_contiguous
    )


def _append_array_item(parts: List[Any], cmd: str, a: Any) -> None:
    """The item (cmd, a) with the array's memory joined in place: bulk records are
    copied once, into the message, instead of through a packer."""
    head = _pack(cmd)
    code = EXT_COMPLEX_ARRAY if a.dtype.kind == "c" else EXT_FLOAT_ARRAY
    array_header = _ext_header(a.nbytes, code)
    body_size = 1 + len(head) + len(array_header) + a.nbytes
    parts += (_ext_header(body_size, EXT_TUPLE), b"\x92", head, array_header)
    parts.append(memoryview(a).cast("B"))


def _array_header(n: int) -> bytes:
    if n < 16:
        return bytes((0x90 | n,))
    if n < 0x10000:
        return b"\xdc" + n.to_bytes(2, "big")
    return b"\xdd" + n.to_bytes(4, "big")


_FIXEXT = {1: 0xD4, 2: 0xD5, 4: 0xD6, 8: 0xD7, 16: 0xD8}


def _ext_header(n: int, code: int) -> bytes:
    """The header msgpack writes for an ext value of `n` body bytes."""
    fixed = _FIXEXT.get(n)
    if fixed is not None:
        return bytes((fixed, code))
    if n < 0x100:
        return bytes((0xC7, n, code))
    if n < 0x10000:
        return b"\xc8" + n.to_bytes(2, "big") + bytes((code,))
    return b"\xc9" + n.to_bytes(4, "big") + bytes((code,))


class _Scan:
    """Checks a value tree against the limits and the kinds msgpack would pack natively
    but the wire refuses (dicts, raw ext objects, ints beyond 64 signed bits)."""

    __slots__ = ("limits", "values")

    def __init__(self, limits: Limits) -> None:
        self.limits = limits
        self.values = 0

    def container(self, seq: Any, depth: int) -> None:
        limits = self.limits
        if depth > limits.max_depth:
            raise WireError(f"nesting deeper than {limits.max_depth} levels")
        n = len(seq)
        if n > limits.max_array_len:
            raise WireError(f"array of {n} elements, more than {limits.max_array_len}")
        self.values += n  # the container itself was counted by its parent
        if self.values > limits.max_values:
            raise WireError(f"more than {limits.max_values} values in one message")
        if n > 16:
            # Long runs of plain leaves are the bulk of real records: classify them
            # in C rather than element by element.
            kinds = set(map(type, seq))
            if kinds <= _NATIVE_LEAVES:
                return
            if kinds <= _NATIVE_LEAVES_AND_INT:
                ints = [x for x in seq if type(x) is int] if len(kinds) > 1 else seq
                if min(ints) < INT64_MIN or max(ints) > INT64_MAX:
                    raise OverflowError("an int does not fit in 64 signed bits")
                return
        depth += 1
        for x in seq:
            t = type(x)
            if t in _ONE_VALUE:
                continue
            if t is int:
                if not INT64_MIN <= x <= INT64_MAX:
                    raise OverflowError(f"int {x} does not fit in 64 signed bits")
            elif t is list or t is tuple:
                self.container(x, depth)
            elif isinstance(x, (dict, msgpack.ExtType, msgpack.Timestamp)):
                raise TypeError(f"cannot send a value of type {t.__name__}")
            elif isinstance(x, (list, tuple)):
                self.container(x, depth)
            # Anything else is one value; the hook converts it or refuses it.


class BufferPool:
    """Buffers of big messages, used again once ZeroMQ has let go of them.

    A message of a megabyte in fresh memory costs a page fault for every 4 KiB, and the
    allocator hands buffers of that size back to the system when they are freed, so each
    message paid them again: that, not the copy itself, bounded the bytes per second of
    numpy traces. A buffer is free again when nothing but this pool refers to it (ZeroMQ
    holds the message while it sends it, without a copy).
    """

    __slots__ = ("_buffers", "_lock", "most", "largest")

    # Messages from this size on come from the pool (smaller ones are copied by ZeroMQ
    # and their buffers freed at once).
    SMALLEST = 64 * 1024

    def __init__(self, most: int = 8, largest: int = 16 << 20) -> None:
        self._buffers: List[bytearray] = []
        # Threads sharing a producer encode outside its send lock.
        self._lock = threading.Lock()
        self.most = most
        self.largest = largest

    def take(self, size: int) -> memoryview:
        """A writable buffer of exactly ``size`` bytes."""
        with self._lock:
            for b in self._buffers:
                # Referred to by the list, the loop and the call only: no message of it
                # is on its way.
                if size <= len(b) <= 2 * size and sys.getrefcount(b) == 3:
                    return memoryview(b)[:size]
            b = bytearray(size)
            if size <= self.largest:
                if len(self._buffers) == self.most:
                    # Keep the newest; an old one still in use lives on with its message.
                    self._buffers.pop(0)
                self._buffers.append(b)
            return memoryview(b)


# The producer numbers a message only when it leaves: the encoder leaves room for a
# uint64 sequence number right after the version marker, patched in place then.
_SEQ_SLOT = b"\xcf" + bytes(8)


def encode(items: Iterable[Any], limits: Limits = DEFAULT_LIMITS, seq: int = 1) -> bytes:
    """One wire message holding ``items`` (at least one) in order, numbered ``seq``.

    Raises TypeError for a value the wire cannot carry, OverflowError for an int beyond
    64 signed bits, WireError when the message would break ``limits``.
    """
    if isinstance(seq, bool) or not isinstance(seq, int) or not 0 <= seq <= INT64_MAX:
        raise ValueError(f"seq must be an int in 0..2**63-1, not {seq!r}")
    data, _ = _encode(list(items), limits, _pack(seq))
    return bytes(data)


def encode_unnumbered(
    items: List[Any], limits: Limits = DEFAULT_LIMITS, pool: "BufferPool | None" = None
) -> "tuple[Any, int]":
    """A message of ``items`` whose sequence number is still to be written, and the
    offset of that uint64: ``set_seq(message, offset, seq)`` numbers it. The message is
    a bytearray, or a writable memoryview of a buffer of ``pool``."""
    data, at = _encode(items, limits, _SEQ_SLOT, pool)
    return data, at + 1


def set_seq(message: Any, offset: int, seq: int) -> None:
    """Writes ``seq`` into the slot ``encode_unnumbered`` left at ``offset`` (of a
    bytearray, or of any writable byte buffer)."""
    memoryview(message).cast("B")[offset : offset + 8] = seq.to_bytes(8, "big")


def _encode(
    items: List[Any], limits: Limits, seq_bytes: bytes, pool: "BufferPool | None" = None
) -> "tuple[Any, int]":
    message: List[Any] = [VERSION, 0]
    message.extend(items)
    if len(message) == 2:
        raise WireError("a message holds at least one item")
    scan = _Scan(limits)
    scan.values = 1  # the message array
    scan.container(message, 1)
    # Items are packed one by one and joined under a header written here, which spares
    # the hook call for each (usually tuple) item and one copy of every body.
    head = _array_header(len(message)) + bytes((VERSION,))
    parts: List[Any] = [head, seq_bytes]
    for item in items:
        if type(item) is tuple:
            if len(item) == 2 and type(item[0]) is str and _is_wire_ready_array(item[1]):
                _append_array_item(parts, item[0], item[1])
                continue
            body = _pack(list(item))
            parts.append(_ext_header(len(body), EXT_TUPLE))
            parts.append(body)
        else:
            parts.append(_pack(item))
    size = sum(map(len, parts))
    if size > limits.max_message_bytes:
        raise WireError(f"message of {size} bytes, more than {limits.max_message_bytes}")
    # Few big parts (arrays) are written straight into a buffer of the pool; many small
    # ones are joined faster than they are placed one by one.
    if pool is None or size < pool.SMALLEST or size < 4096 * len(parts):
        return bytearray().join(parts), len(head)
    data = pool.take(size)
    at = 0
    for part in parts:
        end = at + len(part)
        data[at:end] = part
        at = end
    return data, len(head)


# ---------------------------------------------------------------------------
# Decoding
# ---------------------------------------------------------------------------

_U8 = struct.Struct(">B")
_U16 = struct.Struct(">H")
_U32 = struct.Struct(">I")
_U64 = struct.Struct(">Q")
_I8 = struct.Struct(">b")
_I16 = struct.Struct(">h")
_I32 = struct.Struct(">i")
_I64 = struct.Struct(">q")
_F32 = struct.Struct(">f")
_F64 = struct.Struct(">d")


class _Reader:
    __slots__ = ("buf", "pos", "limits", "values")

    def __init__(self, buf: memoryview, limits: Limits) -> None:
        self.buf = buf
        self.pos = 0
        self.limits = limits
        self.values = 0

    def take(self, n: int) -> memoryview:
        start = self.pos
        end = start + n
        if end > len(self.buf):
            raise WireError("message ends inside a value")
        self.pos = end
        return self.buf[start:end]

    def unpack(self, st: struct.Struct) -> Any:
        return st.unpack(self.take(st.size))[0]

    def count(self) -> None:
        self.values += 1
        if self.values > self.limits.max_values:
            raise WireError(f"more than {self.limits.max_values} values in one message")

    def array(self, n: int, depth: int) -> list:
        if depth > self.limits.max_depth:
            raise WireError(f"nesting deeper than {self.limits.max_depth} levels")
        if n > self.limits.max_array_len:
            raise WireError(
                f"array of {n} elements, more than {self.limits.max_array_len}"
            )
        return [self.value(depth + 1) for _ in range(n)]

    def text(self, n: int) -> str:
        try:
            return str(self.take(n), "utf-8")
        except UnicodeDecodeError as e:
            raise WireError(f"str that is not valid UTF-8: {e.reason}") from None

    def ext(self, n: int, depth: int) -> Any:
        code = self.unpack(_I8)
        body = self.take(n)
        if code == EXT_TUPLE:
            inner = _Reader(body, self.limits)
            inner.values = self.values
            first = inner.unpack(_U8)
            if 0x90 <= first <= 0x9F:
                length = first & 0x0F
            elif first == 0xDC:
                length = inner.unpack(_U16)
            elif first == 0xDD:
                length = inner.unpack(_U32)
            else:
                raise WireError("tuple body is not an array")
            elements = inner.array(length, depth)
            if inner.pos != len(body):
                raise WireError("tuple body holds bytes after its array")
            self.values = inner.values
            return tuple(elements)
        if code == EXT_COMPLEX:
            if n != 16:
                raise WireError(f"complex body of {n} bytes, not 16")
            re, im = _COMPLEX.unpack(body)
            return complex(re, im)
        if code == EXT_FLOAT_ARRAY:
            if n % 8:
                raise WireError(f"float64 array body of {n} bytes, not a multiple of 8")
            if _np is not None:
                return _np.frombuffer(body, dtype="<f8").astype("=f8")
            out = array.array("d", bytes(body))
            if not _LE:  # pragma: no cover
                out.byteswap()
            return out
        if code == EXT_COMPLEX_ARRAY:
            if n % 16:
                raise WireError(
                    f"complex128 array body of {n} bytes, not a multiple of 16"
                )
            if _np is not None:
                return _np.frombuffer(body, dtype="<c16").astype("=c16")
            return [complex(*p) for p in _COMPLEX.iter_unpack(body)]
        raise WireError(f"ext type {code} is not part of the wire format")

    def value(self, depth: int) -> Any:
        self.count()
        b = self.unpack(_U8)
        if b <= 0x7F:
            return b
        if b >= 0xE0:
            return b - 0x100
        if 0xA0 <= b <= 0xBF:
            return self.text(b & 0x1F)
        if 0x90 <= b <= 0x9F:
            return self.array(b & 0x0F, depth)
        if 0x80 <= b <= 0x8F or b in (0xDE, 0xDF):
            raise WireError("maps are not part of the wire format")
        if b == 0xC0:
            return None
        if b == 0xC2:
            return False
        if b == 0xC3:
            return True
        if b == 0xCA:
            return float(self.unpack(_F32))
        if b == 0xCB:
            return self.unpack(_F64)
        if b == 0xCC:
            return self.unpack(_U8)
        if b == 0xCD:
            return self.unpack(_U16)
        if b == 0xCE:
            return self.unpack(_U32)
        if b == 0xCF:
            v = self.unpack(_U64)
            if v > INT64_MAX:
                raise WireError(f"uint64 {v} does not fit in 64 signed bits")
            return v
        if b == 0xD0:
            return self.unpack(_I8)
        if b == 0xD1:
            return self.unpack(_I16)
        if b == 0xD2:
            return self.unpack(_I32)
        if b == 0xD3:
            return self.unpack(_I64)
        if b == 0xD9:
            return self.text(self.unpack(_U8))
        if b == 0xDA:
            return self.text(self.unpack(_U16))
        if b == 0xDB:
            return self.text(self.unpack(_U32))
        if b == 0xC4:
            return bytes(self.take(self.unpack(_U8)))
        if b == 0xC5:
            return bytes(self.take(self.unpack(_U16)))
        if b == 0xC6:
            return bytes(self.take(self.unpack(_U32)))
        if b == 0xDC:
            return self.array(self.unpack(_U16), depth)
        if b == 0xDD:
            return self.array(self.unpack(_U32), depth)
        if b in (0xD4, 0xD5, 0xD6, 0xD7, 0xD8):
            return self.ext(1 << (b - 0xD4), depth)
        if b == 0xC7:
            return self.ext(self.unpack(_U8), depth)
        if b == 0xC8:
            return self.ext(self.unpack(_U16), depth)
        if b == 0xC9:
            return self.ext(self.unpack(_U32), depth)
        raise WireError(f"byte 0x{b:02x} does not start a MessagePack value")


def decode(data: bytes, limits: Limits = DEFAULT_LIMITS) -> list:
    """The items of one data message, refusing what the panel's consumer refuses.

    Tuples come back as tuples, lists as lists, packed arrays as numpy arrays (or
    ``array.array('d')`` and a list of complex without numpy). Raises WireError.
    """
    if len(data) > limits.max_message_bytes:
        raise WireError(
            f"message of {len(data)} bytes, more than {limits.max_message_bytes}"
        )
    reader = _Reader(memoryview(data), limits)
    if not data or not (0x90 <= data[0] <= 0x9F or data[0] in (0xDC, 0xDD)):
        raise WireError("a message is a MessagePack array")
    message = reader.value(1)
    if reader.pos != len(data):
        raise WireError("message holds bytes after its array")
    if not message or type(message[0]) is not int or message[0] != VERSION:
        raise WireError(f"message does not start with the version marker {VERSION}")
    if len(message) < 2 or type(message[1]) is not int or message[1] < 0:
        raise WireError("message has no sequence number")
    if len(message) < 3:
        raise WireError("message holds no item")
    return message[2:]
