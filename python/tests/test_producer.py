"""The producer against a consumer written in Python from the wire format page."""

import gc
import threading
import time
import warnings

import numpy as np
import pytest
import zmq

from lumenfold import DeliveryWarning, Limits, Producer, RefusedError
from lumenfold.flow import INITIAL_WINDOW_MSGS
from test_wire import same


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


def test_each_send_is_one_message_received_in_order(ipc_endpoint, fake_consumer):
    c = fake_consumer(ipc_endpoint)
    with Producer(ipc_endpoint) as p:
        for cmd, data in EVERY_KIND:
            assert p.send(cmd, data) is True
        assert (p.items_sent, p.messages_sent) == (len(EVERY_KIND), len(EVERY_KIND))
    assert same(c.items(len(EVERY_KIND)), EVERY_KIND)


def test_send_batch_is_one_message(ipc_endpoint, fake_consumer):
    c = fake_consumer(ipc_endpoint)
    with Producer(ipc_endpoint) as p:
        assert p.send_batch(iter(EVERY_KIND)) == len(EVERY_KIND)
        assert p.messages_sent == 1
        assert p.send_batch([]) == 0
        p.send("ROLL", None)
    assert same(c.recv(), EVERY_KIND)
    assert c.recv() == [("ROLL", None)]


def test_messages_are_numbered_from_one_without_gaps(ipc_endpoint, fake_consumer):
    c = fake_consumer(ipc_endpoint)
    with Producer(ipc_endpoint, limits=Limits(max_array_len=4)) as p:
        p.send("PD", 1)
        p.send_batch([("PD", i) for i in range(7)])  # split: several messages
        p.send_item(("ROLL", None))
        messages = p.messages_sent
        assert p.close() is True
        assert p.confirmed_items == p.items_sent == 9
    seqs = [c.messages.get(timeout=20)[0] for _ in range(messages)]
    assert seqs == list(range(1, messages + 1))
    assert c.syncs.get(timeout=20) == (0, False)  # asked for credit before the first


def test_batch_beyond_the_limits_goes_as_several_messages_in_order(ipc_endpoint, fake_consumer):
    c = fake_consumer(ipc_endpoint)
    items = [("PD", [float(i)]) for i in range(10)]
    with Producer(ipc_endpoint, limits=Limits(max_array_len=4)) as p:
        assert p.send_batch(items) == 10
        messages = p.messages_sent
    assert messages >= 5  # at most 2 items fit beside the version and sequence number
    assert c.items(messages) == items


def test_bad_item_in_a_batch_sends_nothing(ipc_endpoint, fake_consumer):
    c = fake_consumer(ipc_endpoint)
    with Producer(ipc_endpoint) as p:
        with pytest.raises(TypeError):
            p.send_batch([("PD", 1), ("PD", {"a": 1})])
        with pytest.raises(OverflowError):
            p.send("PD", [2**63])
        p.send("ROLL", None)
        assert p.items_sent == 1
    assert c.recv() == [("ROLL", None)]


def test_item_too_large_for_any_message_raises(ipc_endpoint):
    with Producer(ipc_endpoint, limits=Limits(max_array_len=3), linger_ms=0) as p:
        with pytest.raises(ValueError):
            p.send("PD", [1, 2, 3, 4])
        assert p.items_sent == 0


@pytest.mark.parametrize("cmd", [1, None, b"PD", ("PD",)])
def test_send_wants_a_str_command(ipc_endpoint, cmd):
    with Producer(ipc_endpoint, linger_ms=0) as p:
        with pytest.raises(TypeError):
            p.send(cmd, 1)


@pytest.mark.parametrize(
    "item", [["PD", 1], ("PD",), ("PD", 1, 2), (1, 2), "PD", None, ()]
)
def test_send_item_sends_malformed_items_as_they_are(ipc_endpoint, fake_consumer, item):
    c = fake_consumer(ipc_endpoint)
    with Producer(ipc_endpoint) as p:
        assert p.send_item(item) is True
    assert same(c.recv(), [item])


def test_items_sent_before_the_consumer_binds_are_kept(ipc_endpoint, fake_consumer):
    with Producer(ipc_endpoint) as p:
        for i in range(20):
            assert p.send("PD", i)
        c = fake_consumer(ipc_endpoint)
        assert c.items(20) == [("PD", i) for i in range(20)]


def test_blocking_producer_waits_for_credit_and_loses_nothing(ipc_endpoint, fake_consumer):
    n = 200
    c = fake_consumer(ipc_endpoint, window=(2, 1 << 20))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with Producer(ipc_endpoint) as p:
            for i in range(n):
                assert p.send("PD", i)
            assert p.items_dropped == 0
    assert c.items(n) == [("PD", i) for i in range(n)]
    assert p.confirmed_items == n and p.unconfirmed_items == 0


def held_back_at(c):
    """The last sequence number of the sync a held-back producer sends again."""
    while True:
        last_seq, closing = c.syncs.get(timeout=20)
        assert not closing
        if last_seq > 0:  # not the first sync, sent before any message
            return last_seq


def test_blocking_send_waits_until_the_consumer_confirms(ipc_endpoint, fake_consumer):
    window = 3
    c = fake_consumer(ipc_endpoint, window=(window, 1 << 20), confirm=False)
    p = Producer(ipc_endpoint)
    n = INITIAL_WINDOW_MSGS + 10
    sender = threading.Thread(target=lambda: [p.send("PD", i) for i in range(n)])
    sender.start()
    # Held back within the initial credit or the consumer's smaller one, whichever it
    # had read by then: it asks again rather than sending beyond it.
    k = held_back_at(c)
    assert window <= k <= INITIAL_WINDOW_MSGS
    assert c.items(k) == [("PD", i) for i in range(k)]
    assert c.messages.empty() and sender.is_alive()
    c.release()
    sender.join(20)
    assert not sender.is_alive()
    assert p.close() is True
    assert c.items(n - k) == [("PD", i) for i in range(k, n)]


def test_drop_mode_drops_and_counts_while_held_back(ipc_endpoint, fake_consumer):
    window = 3
    c = fake_consumer(ipc_endpoint, window=(window, 1 << 20), confirm=False)
    p = Producer(ipc_endpoint, drop_when_full=True)
    n = INITIAL_WINDOW_MSGS + 40
    results = [p.send("PD", i) for i in range(n)]
    # What the credit allowed went; beyond it nothing was confirmed, so every later item
    # is dropped.
    k = results.count(True)
    assert window <= k <= INITIAL_WINDOW_MSGS
    assert results == [True] * k + [False] * (n - k)
    assert (p.items_sent, p.items_dropped) == (k, n - k)
    assert p.send_batch([("PD", 1), ("PD", 2), ("PD", 3)]) == 0
    assert p.items_dropped == n - k + 3
    assert p.unconfirmed_items == k
    c.release()
    deadline = time.monotonic() + 10
    while not p.send("ROLL", None):
        assert time.monotonic() < deadline, "no room again after the consumer confirmed"
        time.sleep(0.01)
    assert c.items(k + 1) == [("PD", i) for i in range(k)] + [("ROLL", None)]
    assert p.close() is True
    assert p.confirmed_items == p.items_sent == k + 1


def test_a_refusing_consumer_raises_on_send(ipc_endpoint, fake_consumer):
    fake_consumer(ipc_endpoint, refuse="reads wire format 3")
    p = Producer(ipc_endpoint, linger_ms=200)
    with pytest.raises(RefusedError, match="reads wire format 3"):
        for i in range(INITIAL_WINDOW_MSGS + 1):
            p.send("PD", i)
    sent = p.items_sent
    assert sent <= INITIAL_WINDOW_MSGS
    with pytest.raises(RefusedError):
        p.send("PD", 0)
    with pytest.warns(DeliveryWarning, match=f"did not confirm {sent} .*refused this producer"):
        assert p.close() is False


def test_a_consumer_of_version_1_is_reported(ipc_endpoint):
    ctx = zmq.Context()
    pull = ctx.socket(zmq.PULL)  # how a version 1 consumer listens
    pull.bind(ipc_endpoint)
    try:
        p = Producer(ipc_endpoint, linger_ms=200)
        with pytest.raises(RefusedError, match="another version of the wire format"):
            for i in range(INITIAL_WINDOW_MSGS + 1):
                p.send("PD", i)
        with pytest.warns(DeliveryWarning):
            assert p.close() is False
    finally:
        pull.close(linger=0)
        ctx.term()


def test_a_consumer_restart_is_detected_and_lost_items_counted(ipc_endpoint, fake_consumer):
    c = fake_consumer(ipc_endpoint, confirm=False)
    p = Producer(ipc_endpoint)
    p.send_batch([("PD", 1), ("PD", 2)])
    p.send("PD", 3)
    assert c.items(2) == [("PD", 1), ("PD", 2), ("PD", 3)]
    c.restart()  # the new consumer never got them and the old one confirmed none
    with pytest.warns(DeliveryWarning, match="3 items were lost when the consumer restarted"):
        assert p.close() is False
    assert (p.lost_items, p.consumer_restarts, p.unconfirmed_items) == (3, 1, 0)
    assert p.confirmed_items == 0


def test_threads_may_share_a_producer(ipc_endpoint, fake_consumer):
    c = fake_consumer(ipc_endpoint)
    p = Producer(ipc_endpoint)
    threads = [
        threading.Thread(target=lambda t=t: [p.send(f"T{t}", i) for i in range(300)])
        for t in range(4)
    ]
    for t in threads:
        t.start()
    got = c.items(1200)
    for t in threads:
        t.join()
    assert p.close() is True
    for t in range(4):  # each thread's items arrive in its own order
        assert [data for cmd, data in got if cmd == f"T{t}"] == list(range(300))


# ---------------------------------------------------------------------------
# Closing
# ---------------------------------------------------------------------------


def test_close_reports_delivery(ipc_endpoint, fake_consumer):
    fake_consumer(ipc_endpoint)
    p = Producer(ipc_endpoint)
    p.send("PD", 1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert p.close() is True
    assert p.closed
    assert p.close() is True  # closing twice answers the same
    assert (p.confirmed_items, p.unconfirmed_items) == (1, 0)


@pytest.mark.parametrize("linger_ms", [0, 200])
def test_close_warns_with_the_count_of_items_not_confirmed(ipc_endpoint, linger_ms):
    p = Producer(ipc_endpoint, linger_ms=linger_ms)  # nobody listens
    p.send_batch([("PD", 1), ("PD", 2)])
    p.send("PD", 3)
    started = time.monotonic()
    with pytest.warns(DeliveryWarning, match=f"did not confirm 3 of the items sent within {linger_ms} ms"):
        assert p.close() is False
    assert time.monotonic() - started < linger_ms / 1000 + 2
    assert p.close() is False
    assert p.unconfirmed_items == 3


def test_close_confirms_what_a_consumer_held_when_it_was_released(ipc_endpoint, fake_consumer):
    c = fake_consumer(ipc_endpoint, confirm=False)
    p = Producer(ipc_endpoint, linger_ms=None)
    p.send("PD", 1)
    c.recv()
    assert p.unconfirmed_items == 1
    # The closing sync is answered only once the consumer has read everything before it.
    assert p.close() is True
    assert c.syncs.get(timeout=20) == (0, False)
    assert c.syncs.get(timeout=20) == (1, True)


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


def test_big_messages_reuse_only_buffers_no_message_still_holds():
    from lumenfold.wire import BufferPool

    pool = BufferPool(most=2)
    first = pool.take(100_000)
    first[:4] = b"held"
    second = pool.take(100_000)  # the first is still referred to
    assert bytes(second[:4]) != b"held"
    del first
    again = pool.take(90_000)  # free again, and big enough
    assert bytes(again[:4]) == b"held" and len(again) == 90_000
    assert bytes(pool.take(300_000)[:4]) != b"held"  # too small for that


def test_traces_from_numpy_arrive_intact_while_buffers_are_reused(ipc_endpoint, fake_consumer):
    # Each batch a message of about 800 kB, far more of them than the pool keeps: a
    # buffer taken again while ZeroMQ still sent from it would corrupt a message.
    c = fake_consumer(ipc_endpoint)
    batches = [[("TD", np.full(10_000, 10.0 * b + i)) for i in range(10)] for b in range(40)]
    with Producer(ipc_endpoint) as p:
        for batch in batches:
            assert p.send_batch(batch) == 10
        assert p.messages_sent == len(batches)
    got = c.items(len(batches))
    assert same(got, [item for batch in batches for item in batch])
