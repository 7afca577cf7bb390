"""The producer against a pure-Python consumer over ipc."""

import gc
import threading
import time
import warnings

import numpy as np
import pytest

from lumenfold import DeliveryWarning, Limits, Producer, decode
from test_wire import same


def received_items(pull, messages):
    out = []
    for _ in range(messages):
        out.extend(decode(pull.recv()))
    return out


EVERY_KIND = [
    ("PN", ["t", "volts", "phase"]),
    ("PD", [0.0, 1.0, -2.5]),
    ("PD", [1, True, None, "", b"raw", 1 + 2j]),
    ("TD", np.linspace(0.0, 1.0, 1000)),
    ("TD", np.array([1 + 1j, 2 - 2j])),
    ("PXY", "t,volts"),
    ("ROLL", None),
    ("TD", (1, (2, [3]))),
]


def test_each_send_is_one_message_received_in_order(ipc_endpoint, pull_factory):
    pull = pull_factory(ipc_endpoint)
    with Producer(ipc_endpoint) as p:
        for cmd, data in EVERY_KIND:
            assert p.send(cmd, data) is True
        assert (p.items_sent, p.messages_sent) == (len(EVERY_KIND), len(EVERY_KIND))
    assert same(received_items(pull, len(EVERY_KIND)), EVERY_KIND)


def test_send_batch_is_one_message(ipc_endpoint, pull_factory):
    pull = pull_factory(ipc_endpoint)
    with Producer(ipc_endpoint) as p:
        assert p.send_batch(iter(EVERY_KIND)) == len(EVERY_KIND)
        assert p.messages_sent == 1
        assert p.send_batch([]) == 0
        p.send("ROLL", None)
    assert same(decode(pull.recv()), EVERY_KIND)
    assert decode(pull.recv()) == [("ROLL", None)]


def test_batch_beyond_the_limits_goes_as_several_messages_in_order(ipc_endpoint, pull_factory):
    pull = pull_factory(ipc_endpoint)
    items = [("PD", [float(i)]) for i in range(10)]
    with Producer(ipc_endpoint, limits=Limits(max_array_len=4)) as p:
        assert p.send_batch(items) == 10
        messages = p.messages_sent
    assert messages >= 4  # at most 3 items fit beside the version marker
    assert received_items(pull, messages) == items


def test_bad_item_in_a_batch_sends_nothing(ipc_endpoint, pull_factory):
    pull = pull_factory(ipc_endpoint)
    with Producer(ipc_endpoint) as p:
        with pytest.raises(TypeError):
            p.send_batch([("PD", 1), ("PD", {"a": 1})])
        with pytest.raises(OverflowError):
            p.send("PD", [2**63])
        p.send("ROLL", None)
        assert p.items_sent == 1
    assert decode(pull.recv()) == [("ROLL", None)]


def test_item_too_large_for_any_message_raises(ipc_endpoint):
    with Producer(ipc_endpoint, limits=Limits(max_array_len=2), linger_ms=0) as p:
        with pytest.raises(ValueError):
            p.send("PD", [1, 2, 3])
        assert p.items_sent == 0


@pytest.mark.parametrize("cmd", [1, None, b"PD", ("PD",)])
def test_send_wants_a_str_command(ipc_endpoint, cmd):
    with Producer(ipc_endpoint, linger_ms=0) as p:
        with pytest.raises(TypeError):
            p.send(cmd, 1)


@pytest.mark.parametrize(
    "item", [["PD", 1], ("PD",), ("PD", 1, 2), (1, 2), "PD", None, ()]
)
def test_send_item_sends_malformed_items_as_they_are(ipc_endpoint, pull_factory, item):
    pull = pull_factory(ipc_endpoint)
    with Producer(ipc_endpoint) as p:
        assert p.send_item(item) is True
    assert same(decode(pull.recv()), [item])


def test_items_sent_before_the_consumer_binds_are_kept(ipc_endpoint, pull_factory):
    with Producer(ipc_endpoint) as p:
        for i in range(20):
            p.send("PD", i)
        pull = pull_factory(ipc_endpoint)
        assert received_items(pull, 20) == [("PD", i) for i in range(20)]


def test_blocking_producer_loses_nothing_past_the_high_water_mark(ipc_endpoint, pull_factory):
    n = 200
    p = Producer(ipc_endpoint, hwm=1)
    sender = threading.Thread(target=lambda: [p.send("PD", i) for i in range(n)])
    sender.start()
    pull = pull_factory(ipc_endpoint)
    got = received_items(pull, n)
    sender.join()
    assert p.close() is True
    assert got == [("PD", i) for i in range(n)]
    assert p.items_dropped == 0


def test_drop_mode_drops_and_counts_when_full(ipc_endpoint, pull_factory):
    p = Producer(ipc_endpoint, drop_when_full=True, hwm=2)
    results = [p.send("PD", i) for i in range(10)]
    assert results.count(False) == p.items_dropped > 0
    assert results.count(True) == p.items_sent
    kept = [("PD", i) for i, ok in enumerate(results) if ok]
    pull = pull_factory(ipc_endpoint)
    assert received_items(pull, len(kept)) == kept
    # Room frees up once ZeroMQ has told the producer that the reader caught up, which
    # can come a moment after the reads: until then an item is still dropped.
    deadline = time.monotonic() + 10
    while not p.send("ROLL", None):
        assert time.monotonic() < deadline, "no room again after the reader caught up"
        time.sleep(0.01)
    assert decode(pull.recv()) == [("ROLL", None)]
    assert p.close() is True


def test_drop_mode_counts_every_item_of_a_dropped_batch(ipc_endpoint):
    with Producer(ipc_endpoint, drop_when_full=True, hwm=1, linger_ms=0) as p:
        assert p.send_batch([("PD", 1)]) == 1
        assert p.send_batch([("PD", 2), ("PD", 3), ("PD", 4)]) == 0
        assert (p.items_sent, p.items_dropped) == (1, 3)


def test_threads_may_share_a_producer(ipc_endpoint, pull_factory):
    pull = pull_factory(ipc_endpoint)
    p = Producer(ipc_endpoint)
    threads = [
        threading.Thread(target=lambda t=t: [p.send(f"T{t}", i) for i in range(300)])
        for t in range(4)
    ]
    for t in threads:
        t.start()
    got = received_items(pull, 1200)
    for t in threads:
        t.join()
    p.close()
    for t in range(4):  # each thread's items arrive in its own order
        assert [data for cmd, data in got if cmd == f"T{t}"] == list(range(300))


# ---------------------------------------------------------------------------
# Closing
# ---------------------------------------------------------------------------


def test_close_reports_delivery(ipc_endpoint, pull_factory):
    pull_factory(ipc_endpoint)
    p = Producer(ipc_endpoint)
    p.send("PD", 1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert p.close() is True
    assert p.closed
    assert p.close() is True  # closing twice answers the same


def test_close_warns_when_items_could_not_be_delivered(ipc_endpoint):
    p = Producer(ipc_endpoint, linger_ms=200)  # nobody listens
    p.send("PD", 1)
    with pytest.warns(DeliveryWarning, match="some may be lost"):
        assert p.close() is False


def test_close_without_linger_does_not_claim_delivery(ipc_endpoint):
    p = Producer(ipc_endpoint, linger_ms=0)
    p.send("PD", 1)
    assert p.close() is None


def test_a_producer_left_open_is_closed_when_collected(ipc_endpoint):
    p = Producer(ipc_endpoint, linger_ms=100)  # nobody listens
    p.send("PD", 1)
    with pytest.warns(DeliveryWarning):
        del p
        gc.collect()


def test_send_after_close_raises(ipc_endpoint):
    with Producer(ipc_endpoint, linger_ms=0) as p:
        pass
    assert p.closed
    with pytest.raises(RuntimeError):
        p.send("PD", 1)


@pytest.mark.parametrize(
    "kwargs",
    [{"hwm": 0}, {"hwm": True}, {"hwm": 1.5}, {"linger_ms": -1}, {"linger_ms": "5"}],
)
def test_constructor_refuses_bad_options(ipc_endpoint, kwargs):
    with pytest.raises(ValueError):
        Producer(ipc_endpoint, **kwargs)


def test_constructor_refuses_a_bad_endpoint():
    with pytest.raises(ValueError):
        Producer("nowhere")
