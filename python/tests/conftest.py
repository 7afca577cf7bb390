import os
import shutil
import sys
import tempfile

import pytest
import zmq

# The package is tested from the checkout, whether or not PYTHONPATH names it.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))


@pytest.fixture
def ipc_endpoint():
    """A fresh ipc endpoint in a short private directory (socket paths are limited to
    about 100 bytes, which pytest's own temporary paths can exceed)."""
    directory = tempfile.mkdtemp(prefix="lf-")
    yield f"ipc://{directory}/q.ipc"
    shutil.rmtree(directory, ignore_errors=True)


class Pull:
    """A pure-Python consumer: a PULL socket bound to an endpoint."""

    def __init__(self, endpoint):
        self.ctx = zmq.Context()
        self.sock = self.ctx.socket(zmq.PULL)
        self.sock.setsockopt(zmq.LINGER, 0)
        # A missing message fails the test instead of hanging it.
        self.sock.setsockopt(zmq.RCVTIMEO, 20000)
        self.sock.bind(endpoint)

    def recv(self):
        return self.sock.recv()

    def close(self):
        self.sock.close()
        self.ctx.term()


@pytest.fixture
def pull_factory():
    made = []

    def make(endpoint):
        p = Pull(endpoint)
        made.append(p)
        return p

    yield make
    for p in made:
        p.close()
