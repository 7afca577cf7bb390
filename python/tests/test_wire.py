"""Byte-exact encoding, decoding and limits of the wire format."""

import array
import collections
import enum
import math

import msgpack
import numpy as np
import pytest

import lumenfold
from lumenfold import Limits, WireError, decode, encode

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)


class Colour(enum.IntEnum):
    GREEN = 2


class Name(str):
    pass


class Row(list):
    pass


Point = collections.namedtuple("Point", "x y")


def object_scalar(v):
    a = np.empty((), dtype=object)
    a[()] = v
    return a


def one_item(hex_item):
    """The message [2, 1, item] (version 2, sequence number 1) with the item's
    hand-written encoding."""
    return bytes.fromhex("930201" + hex_item.replace(" ", ""))


# ---------------------------------------------------------------------------
# Encoding, one item of every kind
# ---------------------------------------------------------------------------

ENCODINGS = [
    # scalars: none, false, zero and the empty string stay apart
    ("none", None, "c0"),
    ("false", False, "c2"),
    ("true", True, "c3"),
    ("zero", 0, "00"),
    ("empty str", "", "a0"),
    ("empty bytes", b"", "c4 00"),
    ("float 1.0 stays float64", 1.0, "cb 3ff0000000000000"),
    ("negative fixint", -1, "ff"),
    ("uint8", 128, "cc 80"),
    ("int8", -33, "d0 df"),
    ("int64 max", INT64_MAX, "cf 7fffffffffffffff"),
    ("int64 min", INT64_MIN, "d3 8000000000000000"),
    ("utf-8 str", "\u00e9", "a2 c3a9"),
    ("bytearray", bytearray(b"\x00\xff"), "c4 02 00ff"),
    ("memoryview", memoryview(b"a"), "c4 01 61"),
    ("complex", 1 + 2j, "d8 02 000000000000f03f 0000000000000040"),
    # subclasses and numpy scalars count as their base kind
    ("IntEnum", Colour.GREEN, "02"),
    ("str subclass", Name("ab"), "a2 6162"),
    ("numpy float64", np.float64(2.0), "cb 4000000000000000"),
    ("numpy float32 widened", np.float32(1.5), "cb 3ff8000000000000"),
    ("numpy int64", np.int64(-1), "ff"),
    ("numpy uint8", np.uint8(200), "cc c8"),
    ("numpy bool", np.bool_(True), "c3"),
    ("numpy complex64", np.complex64(1 + 2j), "d8 02 000000000000f03f 0000000000000040"),
    ("numpy 0-d array", np.array(1.5), "cb 3ff8000000000000"),
    # lists and tuples
    ("empty list", [], "90"),
    ("list", [1, 2], "92 0102"),
    ("list subclass", Row([True]), "91 c3"),
    ("empty tuple", (), "d4 01 90"),
    ("one-tuple", (1,), "d5 01 9101"),
    ("tuple", (1, 2), "c7 03 01 920102"),
    ("namedtuple", Point(1, 2), "c7 03 01 920102"),
    ("command item", ("PD", [1.0]), "c7 0e 01 92 a25044 91 cb3ff0000000000000"),
    ("tuple holding an empty list", ([],), "d5 01 9190"),
    ("list holding a tuple", [(None,)], "91 d5 01 91c0"),
    ("nested tuples", ((1,),), "c7 05 01 91 d5019101"),
    # packed arrays
    ("float64 array", np.array([1.0, -2.0]), "d8 03 000000000000f03f 00000000000000c0"),
    ("empty float64 array", np.array([], dtype=float), "c7 00 03"),
    ("big-endian float64 array", np.array([0.5], dtype=">f8"), "d7 03 000000000000e03f"),
    ("strided float64 array", np.arange(4.0)[::2], "d8 03 0000000000000000 0000000000000040"),
    ("int32 array as float64", np.array([1, 2], dtype=np.int32), "d8 03 000000000000f03f 0000000000000040"),
    ("bool array as float64", np.array([True]), "d7 03 000000000000f03f"),
    ("complex128 array", np.array([1 + 2j]), "d8 04 000000000000f03f 0000000000000040"),
    ("complex64 array widened", np.array([1 + 2j], dtype=np.complex64), "d8 04 000000000000f03f 0000000000000040"),
    ("array.array d", array.array("d", [0.5]), "d7 03 000000000000e03f"),
    ("array.array i as float64", array.array("i", [3]), "d7 03 0000000000000840"),
    ("empty array.array", array.array("d"), "c7 00 03"),
]


@pytest.mark.parametrize("value,hex_item", [c[1:] for c in ENCODINGS], ids=[c[0] for c in ENCODINGS])
def test_encodes_each_kind_byte_exact(value, hex_item):
    assert encode([value]) == one_item(hex_item)


TD_FLOATS = "c7 16 01 92 a25444 d8 03 000000000000f03f 00000000000000c0"


@pytest.mark.parametrize(
    "payload,hex_item",
    [
        (np.array([1.0, -2.0]), TD_FLOATS),
        (np.array([1.0, -2.0], dtype=">f8"), TD_FLOATS),
        (np.array([1.0, 5.0, -2.0])[::2], TD_FLOATS),
        (np.array([1, -2], dtype=np.int8), TD_FLOATS),
        (np.array([], dtype=float), "c7 07 01 92 a25444 c7 00 03"),
        (np.array([1 + 2j]), "c7 16 01 92 a25444 d8 04 000000000000f03f 0000000000000040"),
    ],
    ids=["float64", "big-endian", "strided", "int8", "empty", "complex128"],
)
def test_command_with_packed_array_encodes_byte_exact(payload, hex_item):
    assert encode([("TD", payload)]) == one_item(hex_item)


def test_batch_keeps_send_order_in_one_array():
    assert encode([("PD", 1), ("TD", 2)]) == bytes.fromhex(
        "94 02 01 c7 05 01 92a2504401 c7 05 01 92a2544402".replace(" ", "")
    )


def test_large_batch_uses_array16_header():
    assert encode([None] * 16) == bytes.fromhex("dc0012 02 01" + "c0" * 16)


@pytest.mark.parametrize(
    "size,header",
    [
        (300, "c8 0133 01"),  # body 1 + 3 + 3 + 300 = 307 bytes: ext 16
        (70_000, "c9 00011179 01"),  # body 1 + 3 + 5 + 70,000 = 70,009 bytes: ext 32
    ],
)
def test_long_tuple_bodies_use_wider_ext_headers(size, header):
    bin_header = "c5 012c" if size < 65536 else "c6 00011170"
    body = "92 a25044 " + bin_header
    assert encode([("PD", b"x" * size)]) == one_item(header + body) + b"x" * size


def test_very_large_batch_uses_array32_header():
    assert encode([None] * 65_534) == bytes.fromhex("dd00010000 02 01") + b"\xc0" * 65_534


def test_items_may_be_any_iterable():
    assert encode(iter([None, True])) == bytes.fromhex("940201c0c3")


REFUSED = [
    ("dict", {"a": 1}, TypeError),
    ("empty dict", {}, TypeError),
    ("OrderedDict", collections.OrderedDict(), TypeError),
    ("dict inside a command", ("PD", [{"a": 1}]), TypeError),
    ("set", {1}, TypeError),
    ("object", object(), TypeError),
    ("function", len, TypeError),
    ("raw ext", msgpack.ExtType(1, b"\x90"), TypeError),
    ("timestamp", msgpack.Timestamp(0), TypeError),
    ("int above int64", 2**63, OverflowError),
    ("int below int64", INT64_MIN - 1, OverflowError),
    ("big int among floats", [0.5, 2**64], OverflowError),
    ("big int among ints", [1, 2**64], OverflowError),
    ("big int in a tuple", ("PD", 2**70), OverflowError),
    ("numpy uint64 above int64", np.uint64(2**64 - 1), OverflowError),
    ("lone surrogate", "\ud800", ValueError),
    ("2-D array", np.zeros((2, 2)), TypeError),
    ("str array", np.array(["a"]), TypeError),
    ("datetime array", np.array(["2020-01-01"], dtype="datetime64[D]"), TypeError),
    ("unicode array.array", array.array("u", "x"), TypeError),
    ("list inside a 0-D object array", object_scalar([{"a": 1}]), TypeError),
]


@pytest.mark.parametrize("value,error", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_refuses_what_the_panel_would_drop(value, error):
    with pytest.raises(error):
        encode([("PD", value)])


def test_refuses_an_empty_message():
    with pytest.raises(WireError):
        encode([])


# ---------------------------------------------------------------------------
# Decoding hand-written messages
# ---------------------------------------------------------------------------

ACCEPTED = [
    ("nil", "930201c0", [None]),
    ("float32 widened", "930201ca3fc00000", [1.5]),
    ("uint64 at int64 max", "930201cf7fffffffffffffff", [INT64_MAX]),
    ("negative int8", "930201d0ff", [-1]),
    ("uint16", "930201cd0100", [256]),
    ("str8", "930201d90161", ["a"]),
    ("bin32", "930201c60000000100", [b"\x00"]),
    ("array16 message", "dc00030201c3", [True]),
    ("two items in order", "940201c0c2", [None, False]),
    ("array32 list", "930201dd00000001c0", [[None]]),
    ("tuple ext8", "930201c70301920102", [(1, 2)]),
]


@pytest.mark.parametrize("hex_message,expected", [c[1:] for c in ACCEPTED], ids=[c[0] for c in ACCEPTED])
def test_decodes_hand_written_messages(hex_message, expected):
    got = decode(bytes.fromhex(hex_message))
    assert got == expected
    assert [type(x) for x in got] == [type(x) for x in expected]


def test_decodes_packed_arrays():
    floats, complexes, empty = decode(
        bytes.fromhex(
            "950201 d803000000000000f03f00000000000000c0"
            " d804000000000000f03f0000000000000040 c70003".replace(" ", "")
        )
    )
    assert floats.dtype == np.float64 and floats.tolist() == [1.0, -2.0]
    assert complexes.dtype == np.complex128 and complexes.tolist() == [1 + 2j]
    assert empty.dtype == np.float64 and empty.size == 0


MALFORMED = [
    ("empty", ""),
    ("not an array", "01"),
    ("map message", "80"),
    ("version 1", "9201c0"),
    ("version 3", "930301c0"),
    ("no sequence number", "9102"),
    ("negative sequence number", "9302ffc0"),
    ("float sequence number", "9302cb3ff0000000000000c0"),
    ("sequence number above int64", "9302cf8000000000000000c0"),
    ("version true", "93c301c0"),
    ("version float", "93cb400000000000000001c0"),
    ("no item", "920201"),
    ("empty message array", "90"),
    ("empty map", "93020180"),
    ("map", "93020181a161c0"),
    ("map16", "930201de0000"),
    ("unknown ext", "930201d40500"),
    ("timestamp", "930201d6ff00000000"),
    ("uint64 above int64", "930201cf8000000000000000"),
    ("invalid utf-8", "930201a1ff"),
    ("encoded surrogate", "930201a3eda080"),
    ("truncated float", "930201cb00"),
    ("truncated array", "93020191"),
    ("truncated str", "930201a261"),
    ("trailing bytes", "930201c0c0"),
    ("complex body of 1 byte", "930201d40200"),
    ("float array body of 5 bytes", "930201c70503" + "00" * 5),
    ("complex array body of 8 bytes", "930201d704" + "00" * 8),
    ("tuple body not an array", "930201d40100"),
    ("tuple body with trailing bytes", "930201d5019000"),
    ("tuple body with an invalid value", "930201d5019180"),
    ("reserved byte", "930201c1"),
]


@pytest.mark.parametrize("hex_message", [c[1] for c in MALFORMED], ids=[c[0] for c in MALFORMED])
def test_rejects_malformed_messages(hex_message):
    with pytest.raises(WireError):
        decode(bytes.fromhex(hex_message))


# ---------------------------------------------------------------------------
# Round trip
# ---------------------------------------------------------------------------


def same(a, b):
    """Equal values of exactly the same kinds, all the way down."""
    if isinstance(a, np.ndarray):
        return isinstance(b, np.ndarray) and a.dtype == b.dtype and np.array_equal(a, b)
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float) and math.isnan(a):
        return math.isnan(b)
    return a == b


ROUND_TRIP = [
    None,
    False,
    0,
    "",
    b"",
    1.0,
    -0.0,
    float("inf"),
    float("nan"),
    5e-324,
    INT64_MAX,
    INT64_MIN,
    "t\u00e9\U0001f600",
    b"\x00\xff",
    -1.5 + 0.25j,
    [],
    (),
    ("PD", [0.1, 2, None, True]),
    ["PD", 1],
    ("TN", ["t", "volts"]),
    ((1, (2, [3, (4,)])),),
    np.linspace(0.0, 1.0, 7),
    np.array([1 + 1j, -2j]),
    [np.array([], dtype=float)],
]


@pytest.mark.parametrize("value", ROUND_TRIP, ids=[repr(v)[:40] for v in ROUND_TRIP])
def test_round_trip_keeps_value_and_kind(value):
    (got,) = decode(encode([value]))
    assert same(got, value)


def test_round_trip_of_a_batch_keeps_order():
    items = [("PD", [float(i), i]) for i in range(50)] + [("ROLL", None)]
    assert same(decode(encode(items)), items)


# ---------------------------------------------------------------------------
# Limits: what encode accepts, decode accepts under the same limits, and one step
# beyond each is refused on both sides.
# ---------------------------------------------------------------------------

LIMIT_CASES = [
    # the message array is depth 1, an item list depth 2
    ("depth of lists", Limits(max_depth=4), [[[]]], [[[[]]]]),
    ("depth of tuples", Limits(max_depth=4), (((),),), ((((),),),)),
    ("depth across lists and tuples", Limits(max_depth=4), [([],)], [([[]],)]),
    ("list length", Limits(max_array_len=3), [1, 2, 3], [1, 2, 3, 4]),
    ("tuple length", Limits(max_array_len=3), (1, 2, 3), (1, 2, 3, 4)),
    # message array, marker, sequence number, list, elements
    ("values in a list", Limits(max_values=7), [1, 2, 3], [1, 2, 3, 4]),
    ("values in a tuple", Limits(max_values=7), (1, 2, 3), (1, 2, 3, 4)),
    ("packed array is one value", Limits(max_values=5), [np.arange(100.0)], [np.arange(1.0), 1]),
    ("message bytes", Limits(max_message_bytes=13), b"x" * 8, b"x" * 9),
]


@pytest.mark.parametrize(
    "limits,at,beyond", [c[1:] for c in LIMIT_CASES], ids=[c[0] for c in LIMIT_CASES]
)
def test_limits_agree_between_encode_and_decode(limits, at, beyond):
    assert same(decode(encode([at], limits), limits), [at])
    with pytest.raises(WireError):
        encode([beyond], limits)
    with pytest.raises(WireError):
        decode(encode([beyond]), limits)


def test_message_array_length_counts_the_version_marker_and_sequence_number():
    limits = Limits(max_array_len=4)
    assert len(decode(encode([None, None], limits), limits)) == 2
    with pytest.raises(WireError):
        encode([None] * 3, limits)


@pytest.mark.parametrize("seq,hex_seq", [(0, "00"), (1, "01"), (300, "cd012c"), (2**40, "cf0000010000000000")])
def test_the_sequence_number_follows_the_version_marker(seq, hex_seq):
    assert encode([None], seq=seq) == bytes.fromhex("9302" + hex_seq + "c0")
    assert decode(encode([None], seq=seq)) == [None]


@pytest.mark.parametrize("seq", [-1, 2**63, 1.0, True, None])
def test_encode_refuses_a_sequence_number_the_consumer_would_not_read(seq):
    with pytest.raises(ValueError):
        encode([None], seq=seq)


def test_default_limits_are_the_documented_ones():
    assert lumenfold.DEFAULT_LIMITS == Limits(
        max_message_bytes=256 * 1024 * 1024,
        max_depth=32,
        max_array_len=1_000_000,
        max_values=4_000_000,
    )


def test_default_depth_accepts_32_levels_and_refuses_33():
    def nested(levels):  # levels below the message array
        v = []
        for _ in range(levels - 1):
            v = [v]
        return v

    assert same(decode(encode([nested(31)])), [nested(31)])
    with pytest.raises(WireError):
        encode([nested(32)])
