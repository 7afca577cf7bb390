"""lumenfold.read_recording: files written by the C++ RecordingWriter and files built by
hand from docs/recording-format.md read back as the items that were sent."""

import os
import struct
import subprocess

import msgpack
import numpy as np
import pytest

import lumenfold
from lumenfold import RecordingError, encode, read_recording
from lumenfold.recording import MAGIC, message_items

RECORDER = os.environ.get("LUMENFOLD_PYTHON_RECORDER", "")

T0 = 1_765_000_000_123_456_789

ITEMS = [
    ("PN", ["t", "volts", "z"]),
    ("PD", [0.0, 1.5, 2 + 3j]),
    ("PD", np.array([1.0, -2.5, 7.0])),
    ("ROLL", None),
    ("TN", ["f", "spectrum"]),
    ("TD", [np.linspace(0.0, 1.0, 5), np.array([1 + 1j, 2 - 2j, 0j, -1j, 3.5 + 0j])]),
    ("TXT", "µV \U0001f600"),
    ("RAW", b"\x00\xff"),
    ("NEST", [(1, 2), [True, None], -(1 << 62)]),
]


def equal(a, b):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return (
            isinstance(a, np.ndarray)
            and isinstance(b, np.ndarray)
            and a.dtype == b.dtype
            and np.array_equal(a, b)
        )
    if isinstance(a, (list, tuple)):
        return (
            type(a) is type(b) and len(a) == len(b) and all(map(equal, a, b))
        )
    return type(a) is type(b) and a == b


def v1_message(items):
    """A message framed as wire version 1 framed it, [1, item...], as older recordings
    hold them."""
    body = encode(items)  # [2, 1, item...], both numbers one byte each
    return bytes([0x90 | (len(items) + 1), 0x01]) + body[3:]


def messages():
    """(receive_time_ns, wire bytes, items) of a run: one item per message, one batch of
    three, one message in the framing of wire version 1."""
    out = [(T0 + i * 1000, encode([item]), [item]) for i, item in enumerate(ITEMS)]
    batch = [("PD", [float(i), 0.5 * i, complex(i, -i)]) for i in range(3)]
    out.append((T0 + 99_000, encode(batch), batch))
    v1 = [("PD", [9.0, 9.5, 9j])]
    out.append((T0 + 100_000, v1_message(v1), v1))
    return out


def expected_pairs(msgs):
    return [(t, item) for t, _, items in msgs for item in items]


def check_pairs(got, want):
    assert len(got) == len(want)
    for (gt, gi), (wt, wi) in zip(got, want):
        assert gt == wt
        assert equal(gi, wi), (gi, wi)


def hand_built(msgs, version=1):
    data = MAGIC + struct.pack("<II", version, 0)
    for t, body, _ in msgs:
        data += struct.pack("<QI", t, len(body)) + body
    return data


def test_v1_helper_builds_the_old_framing():
    assert msgpack.unpackb(v1_message([1])) == [1, 1]
    assert msgpack.unpackb(encode([1], seq=41)) == [2, 41, 1]


@pytest.mark.skipif(
    not (RECORDER and os.access(RECORDER, os.X_OK)),
    reason="lumenfold_python_recorder is not built (ctest sets LUMENFOLD_PYTHON_RECORDER)",
)
def test_reads_what_the_cpp_writer_wrote(tmp_path):
    msgs = messages()
    stdin = b"".join(struct.pack(">QI", t, len(b)) + b for t, b, _ in msgs)
    path = tmp_path / "run.lfrec"
    done = subprocess.run(
        [RECORDER, str(path)], input=stdin, capture_output=True, timeout=60, check=True
    )
    assert done.stdout.split() == [b"recorded", str(len(msgs)).encode(),
                                   str(path.stat().st_size).encode()]
    assert path.read_bytes() == hand_built(msgs), "the file is laid out as documented"
    check_pairs(list(lumenfold.read_recording(path)), expected_pairs(msgs))


@pytest.mark.parametrize("cut_back", [0, 1, 5, 11, 12, 13, 20])
def test_hand_built_file_cut_inside_its_last_message(tmp_path, cut_back):
    msgs = messages()
    whole = hand_built(msgs)
    path = tmp_path / "cut.lfrec"
    path.write_bytes(whole[: len(whole) - cut_back])
    want = msgs if cut_back == 0 else msgs[:-1]
    check_pairs(list(read_recording(str(path))), expected_pairs(want))


@pytest.mark.parametrize(
    "data, text",
    [
        (b"", "empty file"),
        (b"time,volts\n0,1\n", "not a Lumenfold recording"),
        (MAGIC[:5], "cut short inside its 16-byte header"),
        (MAGIC + struct.pack("<II", 2, 0), "recording format version 2"),
        (
            MAGIC + struct.pack("<II", 1, 0) + struct.pack("<QI", 1, 0xFFFFFFFF) + b"x" * 8,
            "at byte 16 claims a message of 4294967295 bytes",
        ),
    ],
    ids=["empty", "text", "short_header", "version_2", "huge_length"],
)
def test_foreign_and_damaged_files_are_refused(tmp_path, data, text):
    path = tmp_path / "bad.lfrec"
    path.write_bytes(data)
    with pytest.raises(RecordingError, match=text):
        list(read_recording(path))


def test_a_malformed_message_is_skipped_and_reported(tmp_path):
    good = encode([("PD", [1.0])])
    bad = [b"\x93\x01", msgpack.packb([3, "x"]), msgpack.packb([1])]  # cut, version 3, empty
    msgs = [(1, bad[0], []), (2, good, [("PD", [1.0])]), (3, bad[1], []), (4, bad[2], [])]
    path = tmp_path / "mixed.lfrec"
    path.write_bytes(hand_built(msgs))
    seen = []
    got = list(read_recording(path, on_bad_message=lambda i, e: seen.append(i)))
    check_pairs(got, [(2, ("PD", [1.0]))])
    assert seen == [0, 2, 3]


@pytest.mark.parametrize(
    "message, items",
    [
        (msgpack.packb([1, "a", 2]), ["a", 2]),
        (msgpack.packb([2, 7, "a", 2]), ["a", 2]),
    ],
    ids=["version_1", "version_2"],
)
def test_message_items_accepts_both_framings(message, items):
    assert message_items(message) == items
