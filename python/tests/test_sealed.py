"""Sealing as docs/wire-format.md ("Sealed data connection") describes it: the package's
sealer gives the bytes of the page's one-line recipe, counters grow, and only a well-formed
answer is taken for one."""

import os

import pytest

from lumenfold.sealed import Sealed, Sealer, available, parse_sealed

pytestmark = pytest.mark.skipif(not available(), reason="python3-cryptography is not installed")


def test_sealer_gives_the_documented_bytes():
    from cryptography.hazmat.primitives.ciphers.aead import AESGCM

    key, channel = os.urandom(32), 0x1234_5678_9ABC
    sealer = Sealer(Sealed(5556, channel, key))
    for counter, message in enumerate([b"", b"\x93\x02\x01\xa1x", bytes(range(256)) * 300], 1):
        header = b"LFS1" + channel.to_bytes(8, "big") + counter.to_bytes(8, "big")
        documented = header + AESGCM(key).encrypt(b"\0" * 4 + header[12:20], message, header)
        assert bytes(sealer.seal(bytearray(message))) == documented


@pytest.mark.parametrize(
    "msg, taken",
    [
        (["sealed", 2, 5556, 7, b"k" * 32], True),
        (["sealed", 2, 0, 0, b"\0" * 32], True),  # no sealed port
        (["sealed", 2, 70000, 7, b"k" * 32], False),
        (["sealed", 2, -1, 7, b"k" * 32], False),
        (["sealed", 2, 5556, -7, b"k" * 32], False),
        (["sealed", 2, 5556, 7, b"k" * 31], False),
        (["sealed", 2, 5556, 7, "k" * 32], False),
        (["sealed", 2, 5556, 7], False),
        (["credit", 2, 5556, 7, b"k" * 32], False),
    ],
)
def test_only_a_well_formed_answer_is_taken(msg, taken):
    answer = parse_sealed(msg)
    assert (answer is not None) == taken
    if taken:
        assert (answer.port, answer.channel, answer.key) == tuple(msg[2:])
