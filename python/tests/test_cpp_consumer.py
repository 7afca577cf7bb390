"""The Python producer feeding the panel's C++ queue (lumenfold_python_consumer).

The consumer prints the text form of every item it takes; the expected texts are
written here in Python's own notation, which is the notation the panel shows."""

import math
import os
import subprocess
import threading
import warnings

import numpy as np
import pytest
import zmq

from lumenfold import DeliveryWarning, Limits, Producer, encode

CONSUMER = os.environ.get("LUMENFOLD_PYTHON_CONSUMER", "")

pytestmark = pytest.mark.skipif(
    not (CONSUMER and os.access(CONSUMER, os.X_OK)),
    reason="the C++ consumer lumenfold_python_consumer is not built "
    "(build it and set LUMENFOLD_PYTHON_CONSUMER to its path; ctest does both)",
)


# ---------------------------------------------------------------------------
# Expected text forms
# ---------------------------------------------------------------------------


def float_text(d):
    if math.isnan(d):
        return "nan"
    r = repr(d)
    return r[:-2] if r.endswith(".0") else r


def complex_text(c):
    return repr(complex(c))


def array_text(a, element):
    values = list(a)
    if len(values) > 1000:
        parts = [element(x) for x in values[:3]] + ["..."] + [element(x) for x in values[-3:]]
    else:
        parts = [element(x) for x in values]
    return "array([" + ", ".join(parts) + "])"


def quoted(v):
    if isinstance(v, np.ndarray):
        if v.dtype.kind == "c":
            return array_text(v, complex_text)
        return array_text(v, lambda x: float_text(float(x)))
    if isinstance(v, bool) or v is None or isinstance(v, (int, str, bytes)):
        return repr(v)
    if isinstance(v, float):
        return float_text(v)
    if isinstance(v, complex):
        return complex_text(v)
    if isinstance(v, list):
        return "[" + ", ".join(quoted(x) for x in v) + "]"
    if isinstance(v, tuple):
        if len(v) == 1:
            return "(" + quoted(v[0]) + ",)"
        return "(" + ", ".join(quoted(x) for x in v) + ")"
    raise AssertionError(f"no text form for {type(v).__name__}")


def text_form(v):
    return v if isinstance(v, str) else quoted(v)


# ---------------------------------------------------------------------------
# The consumer process
# ---------------------------------------------------------------------------


class Consumer:
    """The C++ consumer; it stays bound after its last item until finish(), so that
    producers closing after it still get their confirmation, unless stay=False."""

    def __init__(self, endpoint, count, *options, stay=True):
        self.proc = subprocess.Popen(
            [CONSUMER, endpoint, str(count), *options] + (["--stay"] if stay else []),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            encoding="utf-8",
        )
        # A consumer that hangs fails the test rather than the whole run.
        self.watchdog = threading.Timer(120, self.proc.kill)
        self.watchdog.start()
        ready = self.proc.stdout.readline()
        assert ready.startswith("ready "), ready + self.proc.stderr.read()
        self.endpoint = ready[len("ready ") :].strip()

    def lines(self, n):
        out = []
        for _ in range(n):
            line = self.proc.stdout.readline()
            assert line, "consumer ended early: " + self.proc.stderr.read()
            out.append(line[:-1])
        return out

    def finish(self):
        self.proc.stdin.close()
        rest = self.proc.stdout.read()
        code = self.proc.wait()
        self.watchdog.cancel()
        assert code == 0, self.proc.stderr.read()
        return rest


@pytest.fixture
def consumer(ipc_endpoint):
    started = []

    def start(count, *options, endpoint=ipc_endpoint, stay=True):
        c = Consumer(endpoint, count, *options, stay=stay)
        started.append(c)
        return c

    yield start
    for c in started:
        if c.proc.poll() is None:
            c.proc.kill()
            c.proc.wait()
        c.watchdog.cancel()
        for f in (c.proc.stdin, c.proc.stdout, c.proc.stderr):
            f.close()


def raw_send(endpoint, messages):
    """Sends `messages` as they are from a socket of the producers' kind, without the
    producer's checks (well within the initial credit)."""
    ctx = zmq.Context()
    sock = ctx.socket(zmq.DEALER)
    sock.connect(endpoint)
    for m in messages:
        sock.send(m)
    sock.close(linger=5000)
    ctx.term()


# ---------------------------------------------------------------------------
# Items of every kind
# ---------------------------------------------------------------------------

ITEMS = [
    ("PN", ["t", "volts"]),
    ("PD", [0.0, 1.0, -2.5, 0.1, 1e300, 1e-7, 1e16, float("inf"), -math.inf, math.nan, -0.0]),
    ("PD", [1, -1, 2**63 - 1, -(2**63), True, False, None, "", b""]),
    ("PD", ["it's", 'say "hi"', "a\\b\nc\t\x01", "\u00e9\U0001f600", b"\x00'\xff\n"]),
    ("PD", [1 + 2j, -1.5j, complex(-0.0, 1), complex(1, -0.0), np.float32(0.1)]),
    ("TD", np.linspace(0.0, 1.0, 5)),
    ("TD", np.arange(2000.0)),
    ("TD", np.array([1 + 2j, -1.5j, 0j])),
    ("TD", np.array([], dtype=float)),
    ("TD", np.array([1, 2], dtype=np.int16)),
    ("ROLL", None),
    ("PXY", "t,volts"),
    ("TXY", ""),
    ("TD", ("a", (1,), [(2, 3)], (), [])),
    # well-formed on the wire but not as commands: the panel must see them as they are
    ["PD", 1],
    ("PD",),
    ("PD", 1, 2),
    (1, "PD"),
    5,
    "PD",
]


def expected(item):
    if isinstance(item, tuple) and len(item) == 2 and isinstance(item[1], list):
        item = (item[0], [float(x) if type(x) is np.float32 else x for x in item[1]])
    return text_form(item)


def test_each_kind_reaches_the_panel_as_sent(consumer):
    c = consumer(len(ITEMS))
    with Producer(c.endpoint) as p:
        for item in ITEMS:
            assert p.send_item(item)
        got = c.lines(len(ITEMS))
    assert got == [expected(item) for item in ITEMS]
    assert c.finish() == ""


def test_a_batch_arrives_whole_and_in_order(consumer):
    c = consumer(len(ITEMS) + 1)
    with Producer(c.endpoint) as p:
        assert p.send_batch(ITEMS) == len(ITEMS)
        assert p.send("ROLL", None)
    assert c.lines(len(ITEMS) + 1) == [expected(i) for i in ITEMS] + ["('ROLL', None)"]
    c.finish()


def test_tcp_port_alone_reaches_a_panel_bound_to_the_same_text(consumer):
    with socket_port() as port:
        c = consumer(1, endpoint=str(port))
    assert c.endpoint == f"tcp://127.0.0.1:{port}"
    with Producer(port) as p:
        p.send("PD", [1.5])
    assert c.lines(1) == ["('PD', [1.5])"]
    c.finish()


class socket_port:
    """A tcp port that was free a moment ago."""

    def __enter__(self):
        import socket

        self.s = socket.socket()
        self.s.bind(("127.0.0.1", 0))
        port = self.s.getsockname()[1]
        self.s.close()
        return port

    def __exit__(self, *exc):
        return False


# ---------------------------------------------------------------------------
# Malformed messages and the limits, seen from the panel
# ---------------------------------------------------------------------------

MALFORMED = [
    ("map", bytes.fromhex("93020181a161c0")),
    ("version 1", bytes.fromhex("9201c0")),
    ("no sequence number", bytes.fromhex("9102")),
    ("no item", bytes.fromhex("920201")),
    ("uint64 above int64", bytes.fromhex("930201cf8000000000000000")),
    ("unknown ext", bytes.fromhex("930201d40500")),
    ("invalid utf-8", bytes.fromhex("930201a1ff")),
    ("encoded surrogate", bytes.fromhex("930201a3eda080")),
    ("overlong utf-8", bytes.fromhex("930201a2c080")),
    ("trailing bytes", bytes.fromhex("930201c0c0")),
]


@pytest.mark.parametrize("message", [m for _, m in MALFORMED], ids=[n for n, _ in MALFORMED])
def test_a_malformed_message_is_dropped_with_a_warning(consumer, message):
    c = consumer(1)
    raw_send(c.endpoint, [message, encode([("ROLL", None)], seq=2)])
    line = c.lines(1)[0]
    assert line.startswith("warning: ")
    assert c.lines(1) == ["('ROLL', None)"]
    c.finish()


def nested(levels):
    """A list `levels` deep (the item itself is level 1)."""
    v = []
    for _ in range(levels - 1):
        v = [v]
    return v


# message array, version, sequence number, outer list: 4; + 4 lists + 3,999,992 zeros
VALUES_AT_LIMIT = [[0] * 999_998] * 4

LIMITS = [
    # (name, items at the default limit, items one step beyond): what the Python encoder
    # accepts the panel accepts; one step beyond, the panel drops the message with a
    # warning and goes on.
    ("depth", [nested(31)], [nested(32)]),
    ("tuple depth", [("PD", nested(30))], [("PD", nested(31))]),
    ("list length", [[0] * 1_000_000], [[0] * 1_000_001]),
    ("message length", [None] * 999_998, [None] * 999_999),
    ("values", [VALUES_AT_LIMIT], [VALUES_AT_LIMIT + [0]]),
]


@pytest.mark.parametrize("at,beyond", [c[1:] for c in LIMITS], ids=[c[0] for c in LIMITS])
def test_panel_and_encoder_agree_on_the_limits(consumer, at, beyond):
    loose = Limits(max_depth=64, max_array_len=2_000_000, max_values=8_000_000)
    with pytest.raises(ValueError):
        encode(beyond)
    c = consumer(len(at) + 1)
    raw_send(c.endpoint, [encode(beyond, loose), encode(at, seq=2), encode(["end"], seq=3)])
    assert c.lines(1)[0].startswith("warning: ")
    got = c.lines(len(at) + 1)
    assert got[-1] == "end"
    if len(at) == 1:
        assert got[0] == text_form(at[0])
    c.finish()


# ---------------------------------------------------------------------------
# Flow control against the panel's queue
# ---------------------------------------------------------------------------


def test_close_confirms_everything_at_a_small_backlog(consumer):
    n = 3000
    c = consumer(n, "--backlog", "4096")  # a few dozen messages' worth
    p = Producer(c.endpoint)
    reader = threading.Thread(target=lambda: c.lines(n))
    reader.start()
    for i in range(n - 1000):
        assert p.send("PD", [float(i)])
    assert p.send_batch([("PD", [float(i)]) for i in range(n - 1000, n)]) == 1000
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert p.close() is True
    assert (p.confirmed_items, p.unconfirmed_items, p.items_dropped) == (n, 0, 0)
    reader.join(60)
    c.finish()


def test_a_restarted_panel_is_found_and_the_producer_goes_on(consumer):
    first = consumer(1, stay=False)
    p = Producer(first.endpoint)
    p.send_batch([("PD", 1), ("PD", 2)])
    p.send("PD", 3)
    assert first.lines(1) == ["('PD', 1)"]
    first.finish()  # quits holding the two items it did not hand over
    second = consumer(2)
    assert p.send("PD", 4) and p.send("PD", 5)
    assert second.lines(2) == ["('PD', 4)", "('PD', 5)"]
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        closed = p.close()
    assert p.consumer_restarts == 1
    # The first panel confirmed its three items, or its answer was lost with it and the
    # second one says it never got them: either way each item is accounted for once.
    assert p.lost_items in (0, 3)
    assert p.confirmed_items + p.lost_items == 5 and p.unconfirmed_items == 0
    assert closed is (p.lost_items == 0)
    assert [str(w.message).endswith("3 items were lost when the consumer restarted") for w in caught] == (
        [] if closed else [True]
    )
    second.finish()
