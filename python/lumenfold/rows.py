"""Messages of many command items, one per row of a 2-D numpy array, written by numpy.

Each row of ``values`` becomes the item ``(cmd, [v1, v2, ...])``: the same bytes as
``encode([(cmd, list(row))])`` would give (float64 values as float 64, complex values
as ext 2), but every row has the same layout, so numpy writes the markers and the
big-endian values of all rows at once instead of a packer visiting each number.
"""

from __future__ import annotations

from typing import Any, Iterator, Tuple

import numpy as np

from .wire import (
    EXT_COMPLEX,
    EXT_TUPLE,
    VERSION,
    BufferPool,
    Limits,
    WireError,
    _array_header,
    _ext_header,
    _pack,
)

__all__ = ["row_messages"]

# A message is closed at this size, as the C++ producer's batches are: bigger messages
# save nothing per row and only hold memory and delay the first row.
MESSAGE_BYTES = 1 << 20


def _row_layout(cmd: str, values: Any) -> Tuple[bytes, bytes, str]:
    """(bytes before a row's numbers, the marker before each number, the numbers' dtype)."""
    m = values.shape[1]
    if values.dtype.kind == "c":
        marker, dtype = bytes((0xD8, EXT_COMPLEX)), "<c16"  # fixext 16: real, imaginary
    else:
        marker, dtype = b"\xcb", ">f8"  # float 64, big-endian
    width = len(marker) + np.dtype(dtype).itemsize
    tail = b"\x92" + _pack(cmd) + _array_header(m)
    prefix = _ext_header(len(tail) + m * width, EXT_TUPLE) + tail
    return prefix, marker, dtype


# The bytes of the rows of the last call, numbers left out: every row of a command has
# the same bytes around its numbers, so a message starts as a copy of these.
_templates: "dict[tuple[bytes, bytes, int], np.ndarray]" = {}


def _template(prefix: bytes, marker: bytes, width: int, m: int, rows: int) -> np.ndarray:
    """``rows`` rows of ``m`` numbers, ``width`` bytes each, with their bytes but the
    numbers'."""
    key = (prefix, marker, m)
    t = _templates.get(key)
    if t is None or t.shape[0] < rows:
        t = np.empty((rows, len(prefix) + m * width), np.uint8)
        t[:, : len(prefix)] = np.frombuffer(prefix, np.uint8)
        cells = t[:, len(prefix) :].reshape(rows, m, width)
        cells[:, :, : len(marker)] = np.frombuffer(marker, np.uint8)
        _templates.clear()
        _templates[key] = t
    return t


def row_messages(
    cmd: str, values: Any, limits: Limits, pool: "BufferPool | None" = None
) -> Iterator[Tuple[int, np.ndarray, int]]:
    """(rows, message, offset of its sequence number) for consecutive slices of
    ``values``, each message within ``limits`` and about MESSAGE_BYTES at most; big
    messages in buffers of ``pool`` when given."""
    if not isinstance(cmd, str):
        raise TypeError(f"cmd must be str, not {type(cmd).__name__}")
    values = np.asarray(values)
    if values.ndim != 2:
        raise TypeError(f"send_rows takes a 2-D array, not a {values.ndim}-D one")
    if values.dtype.kind not in "fc":
        raise TypeError(f"send_rows takes float or complex rows, not {values.dtype}")
    n, m = values.shape
    if n == 0:
        return
    prefix, marker, dtype = _row_layout(cmd, values)
    width = len(marker) + np.dtype(dtype).itemsize
    row_bytes = len(prefix) + m * width
    # The message array is depth 1, an item's tuple 2, its list 3; a row is the tuple,
    # the command, the list and its numbers.
    if limits.max_depth < 3 or m > limits.max_array_len:
        raise WireError(f"a row of {m} numbers does not fit in a message under {limits}")
    head_max = 5 + 1 + 9
    per_message = min(
        limits.max_array_len - 2,
        (limits.max_values - 3) // (m + 3),
        (limits.max_message_bytes - head_max) // row_bytes,
    )
    if per_message < 1:
        raise WireError(f"a row of {m} numbers does not fit in a message under {limits}")
    per_message = min(per_message, n, max(1, MESSAGE_BYTES // row_bytes))
    template = _template(prefix, marker, width, m, per_message).reshape(-1)
    for start in range(0, n, per_message):
        k = min(per_message, n - start)
        head = _array_header(k + 2) + bytes((VERSION,)) + b"\xcf" + bytes(8)
        size = len(head) + k * row_bytes
        if pool is not None and size >= pool.SMALLEST:
            message = np.frombuffer(pool.take(size), np.uint8)
        else:
            message = np.empty(size, np.uint8)
        message[: len(head)] = np.frombuffer(head, np.uint8)
        message[len(head) :] = template[: k * row_bytes]
        if m == 0:
            yield k, message, len(head) - 8
            continue
        # The numbers go straight to their places, one strided converting copy (the
        # byte swap included) rather than a pass per byte position.
        cells = np.ndarray(
            (k, m),
            dtype=dtype,
            buffer=message,
            offset=len(head) + len(prefix) + len(marker),
            strides=(row_bytes, width),
        )
        cells[...] = values[start : start + k]
        yield k, message, len(head) - 8
