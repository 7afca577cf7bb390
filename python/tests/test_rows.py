"""Producer.send_rows: the items of each row, written by numpy, within the limits."""

import numpy as np
import pytest

from lumenfold import Limits, Producer, WireError, decode
from lumenfold.rows import MESSAGE_BYTES, row_messages
from lumenfold.wire import DEFAULT_LIMITS, encode_unnumbered, set_seq
from test_wire import same

RNG = np.random.default_rng(7)

ARRAYS = [
    ("float64", RNG.standard_normal((5, 10))),
    ("one column", np.array([[1.0], [-0.0], [np.inf]])),
    ("one row", np.array([[np.nan, 1e300, -1e-300]])),
    ("wide rows", RNG.standard_normal((3, 70_000))),  # list 32 and ext 32 headers
    ("16 columns", RNG.standard_normal((2, 16))),  # list 16 header
    ("float32 widened", RNG.standard_normal((4, 3)).astype(np.float32)),
    ("fortran order", np.asfortranarray(RNG.standard_normal((4, 6)))),
    ("strided", RNG.standard_normal((8, 6))[::2, ::3]),
    ("complex128", RNG.standard_normal((4, 3)) + 1j * RNG.standard_normal((4, 3))),
    ("complex64 widened", (RNG.standard_normal((2, 2)) + 1j).astype(np.complex64)),
    ("no columns", np.empty((3, 0))),
    ("one row, no columns", np.empty((1, 0))),
]


def numbered(rows, message, seq_at, seq=1):
    set_seq(message, seq_at, seq)
    return bytes(message)


@pytest.mark.parametrize("values", [a for _, a in ARRAYS], ids=[n for n, _ in ARRAYS])
def test_rows_are_the_bytes_of_the_same_items_sent_one_by_one(values):
    rows = [("PD", [v.item() for v in row]) for row in values]
    if values.dtype.kind == "c":
        rows = [("PD", [complex(v) for v in row]) for row in values]
    start = 0
    for count, message, seq_at in row_messages("PD", values, DEFAULT_LIMITS):
        expected, expected_at = encode_unnumbered(rows[start : start + count])
        assert numbered(count, message, seq_at) == numbered(count, expected, expected_at)
        start += count
    assert start == len(rows)


def test_calls_one_after_the_other_each_get_their_own_bytes():
    """The bytes around the numbers are kept from one call to the next: a call of another
    command, width, kind or length must not reuse those of an earlier one."""
    calls = [
        ("PD", RNG.standard_normal((3, 4))),
        ("PD", RNG.standard_normal((2000, 4))),  # more rows than the call before
        ("XY", RNG.standard_normal((5, 4))),  # another command
        ("PD", RNG.standard_normal((5, 5))),  # another width
        ("PD", RNG.standard_normal((5, 4)) + 1j),  # complex rows
        ("PD", RNG.standard_normal((1, 4))),  # back to the first layout, fewer rows
    ]
    for cmd, values in calls:
        as_python = complex if values.dtype.kind == "c" else float
        rows = [(cmd, [as_python(v) for v in row]) for row in values]
        start = 0
        for count, message, seq_at in row_messages(cmd, values, DEFAULT_LIMITS):
            expected, expected_at = encode_unnumbered(rows[start : start + count])
            assert numbered(count, message, seq_at) == numbered(count, expected, expected_at)
            start += count
        assert start == len(rows)


@pytest.mark.parametrize(
    "limits,rows_per_message",
    [
        (Limits(max_array_len=5), 3),  # beside the version and the sequence number
        (Limits(max_values=3 + 2 * (4 + 3)), 2),  # message, marker, seq; row: tuple, cmd, list, 4 numbers
        (Limits(max_message_bytes=15 + 2 * (3 + 1 + 3 + 1 + 4 * 9)), 2),
    ],
    ids=["elements", "values", "bytes"],
)
def test_rows_are_split_within_the_limits_in_order(limits, rows_per_message):
    values = np.arange(28.0).reshape(7, 4)
    messages = list(row_messages("PD", values, limits))
    assert [m[0] for m in messages] == [rows_per_message] * (7 // rows_per_message) + (
        [7 % rows_per_message] if 7 % rows_per_message else []
    )
    got = []
    for seq, m in enumerate(messages, 1):
        got += decode(numbered(*m, seq=seq), limits)
    assert got == [("PD", list(map(float, row))) for row in values]


def test_long_arrays_go_in_messages_of_about_a_mebibyte():
    values = np.zeros((300_000, 10))
    messages = list(row_messages("PD", values, DEFAULT_LIMITS))
    assert sum(m[0] for m in messages) == 300_000 and len(messages) > 1
    assert all(len(m[1]) <= MESSAGE_BYTES + 64 for m in messages)


@pytest.mark.parametrize(
    "values,error",
    [
        (np.arange(4.0), TypeError),
        (np.zeros((2, 2, 2)), TypeError),
        (np.zeros((2, 2), dtype=np.int64), TypeError),
        (np.zeros((2, 2), dtype=object), TypeError),
        (np.zeros((1, 6)), WireError),  # under Limits(max_array_len=5)
    ],
    ids=["1-D", "3-D", "ints", "objects", "row beyond the limits"],
)
def test_send_rows_refuses_what_it_cannot_send_before_sending(ipc_endpoint, values, error):
    with Producer(ipc_endpoint, limits=Limits(max_array_len=5), linger_ms=0) as p:
        with pytest.raises(error):
            p.send_rows("PD", values)
        assert p.messages_sent == 0


def test_send_rows_reaches_the_consumer_in_order(ipc_endpoint, fake_consumer):
    c = fake_consumer(ipc_endpoint)
    values = RNG.standard_normal((25_000, 10))
    with Producer(ipc_endpoint) as p:
        assert p.send_rows("PD", values) == 25_000
        assert p.send_rows("PD", np.empty((0, 10))) == 0
        messages = p.messages_sent
    assert messages > 1
    got = c.items(messages)
    assert same(got, [("PD", list(map(float, row))) for row in values])
