import os
import queue
import shutil
import sys
import tempfile
import threading

import msgpack
import pytest
import zmq

# Tests import the installed package when there is one (ctest installs it into a venv
# and says so); otherwise the checkout's.
SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))
try:
    import lumenfold
except ImportError:
    if os.environ.get("LUMENFOLD_TESTS_INSTALLED"):
        raise
    sys.path.insert(0, SOURCE)
    import lumenfold

if os.environ.get("LUMENFOLD_TESTS_INSTALLED"):
    assert os.path.abspath(lumenfold.__file__).startswith(
        os.environ["LUMENFOLD_TESTS_INSTALLED"] + os.sep
    ), f"testing {lumenfold.__file__}, not the installed package"

from lumenfold import decode  # noqa: E402


@pytest.fixture
def ipc_endpoint():
    """A fresh ipc endpoint in a short private directory (socket paths are limited to
    about 100 bytes, which pytest's own temporary paths can exceed)."""
    directory = tempfile.mkdtemp(prefix="lf-")
    yield f"ipc://{directory}/q.ipc"
    shutil.rmtree(directory, ignore_errors=True)


class FakeConsumer:
    """A consumer of wire format 2 in Python: a ROUTER served by a thread of its own,
    whose answers the test steers.

    It answers every sync with a credit of ``window`` (messages, bytes) beyond what it
    confirms. With ``confirm=True`` it confirms each data message as it arrives (and
    answers it); with ``confirm=False`` it confirms nothing and holds the producer to
    its window until ``release()``. ``restart()`` makes it a new consumer that never
    heard of anyone; ``refuse`` makes it answer syncs with a refusal."""

    def __init__(self, endpoint, window=(65536, 64 << 20), confirm=True, refuse=None):
        self.window = window
        self.confirm = confirm
        self.refuse = refuse
        self.session = 1
        self.messages = queue.Queue()  # (seq, items) of each data message, in order
        self.syncs = queue.Queue()  # (last_seq, closing) of each sync
        self._peers = {}  # identity -> [base, acked, last seq received]
        self._orders = queue.Queue()
        self._stop = threading.Event()
        self._ctx = zmq.Context()
        self._sock = self._ctx.socket(zmq.ROUTER)
        self._sock.setsockopt(zmq.LINGER, 0)
        self._sock.bind(endpoint)
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def recv(self, timeout=20):
        """The items of the next data message."""
        return self.messages.get(timeout=timeout)[1]

    def items(self, messages, timeout=20):
        out = []
        for _ in range(messages):
            out.extend(self.recv(timeout))
        return out

    def release(self, window=(65536, 64 << 20)):
        self._order("release", window)

    def restart(self):
        self._order("restart", None)

    def _order(self, order, arg):
        done = threading.Event()
        self._orders.put((order, arg, done))
        assert done.wait(20)

    def _answer(self, ident):
        base, acked, _ = self._peers[ident]
        credit = ["credit", 2, self.session, base, acked, self.window[0], self.window[1]]
        self._sock.send_multipart([ident, msgpack.packb(credit)])

    def _serve(self):
        while not self._stop.is_set():
            while not self._orders.empty():
                order, arg, done = self._orders.get()
                if order == "release":
                    self.confirm, self.window = True, arg
                    for ident, peer in self._peers.items():
                        peer[1] = peer[2]
                        self._answer(ident)
                else:
                    self.session += 1
                    self._peers.clear()
                done.set()
            if not self._sock.poll(20):
                continue
            ident, frame = self._sock.recv_multipart()
            msg = msgpack.unpackb(frame)
            if isinstance(msg[0], str):
                assert msg[0] == "sync" and msg[1] == 2, msg
                self.syncs.put((msg[2], msg[3]))
                if self.refuse is not None:
                    self._sock.send_multipart(
                        [ident, msgpack.packb(["refused", 2, self.refuse])]
                    )
                    continue
                peer = self._peers.setdefault(ident, [msg[2], msg[2], msg[2]])
                if self.confirm or msg[3]:
                    peer[1] = peer[2]
                self._answer(ident)
                continue
            seq = msg[1]
            peer = self._peers.setdefault(ident, [seq - 1, seq - 1, seq - 1])
            peer[2] = seq
            self.messages.put((seq, decode(frame)))
            if self.confirm and self.refuse is None:
                peer[1] = seq
                self._answer(ident)

    def close(self):
        self._stop.set()
        self._thread.join()
        self._sock.close()
        self._ctx.term()


@pytest.fixture
def fake_consumer():
    made = []

    def make(endpoint, **kwargs):
        c = FakeConsumer(endpoint, **kwargs)
        made.append(c)
        return c

    yield make
    for c in made:
        c.close()
