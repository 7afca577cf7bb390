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


def _row_layout(cmd: str, values: Any) -> Tuple[bytes, int, Any]:
    """(bytes before a row's numbers, bytes per number, the numbers' bytes per row)."""
    m = values.shape[1]
    if values.dtype.kind == "c":
        width = 2 + 16  # fixext 16 of type 2: real, imaginary little-endian
        body = np.ascontiguousarray(values, dtype="<c16").view(np.uint8)
    else:
        width = 1 + 8  # float 64, big-endian
        body = np.ascontiguousarray(values, dtype=">f8").view(np.uint8)
    tail = b"\x92" + _pack(cmd) + _array_header(m)
    prefix = _ext_header(len(tail) + m * width, EXT_TUPLE) + tail
    return prefix, width, body.reshape(values.shape[0], m, width - (2 if width == 18 else 1))


def row_messages(
    cmd: str, values: Any, limits: Limits
) -> Iterator[Tuple[int, np.ndarray, int]]:
    """(rows, message, offset of its sequence number) for consecutive slices of
    ``values``, each message within ``limits`` and about MESSAGE_BYTES at most."""
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
    prefix, width, numbers = _row_layout(cmd, values)
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
    per_message = min(per_message, max(1, MESSAGE_BYTES // row_bytes))
    marker = np.frombuffer(b"\xd8" + bytes((EXT_COMPLEX,)) if width == 18 else b"\xcb", np.uint8)
    prefix_bytes = np.frombuffer(prefix, np.uint8)
    for start in range(0, n, per_message):
        k = min(per_message, n - start)
        head = _array_header(k + 2) + bytes((VERSION,)) + b"\xcf" + bytes(8)
        message = np.empty(len(head) + k * row_bytes, np.uint8)
        message[: len(head)] = np.frombuffer(head, np.uint8)
        rows = message[len(head) :].reshape(k, row_bytes)
        rows[:, : len(prefix)] = prefix_bytes
        cells = rows[:, len(prefix) :].reshape(k, m, width)
        cells[:, :, : len(marker)] = marker
        cells[:, :, len(marker) :] = numbers[start : start + k]
        yield k, message, len(head) - 8
