"""Key files and CURVE producers: modes checked, keys made on first use, and a producer
whose key the consumer lists gets in encrypted while one it does not list gets nothing in."""

import os
import stat

import pytest
import zmq
from zmq.auth.thread import ThreadAuthenticator

from lumenfold import Producer, decode
from lumenfold.keys import is_z85_key, load_keys, load_or_create_keys, write_keys

pytestmark = pytest.mark.skipif(not zmq.has("curve"), reason="libzmq without CURVE")


@pytest.mark.parametrize(
    "mode, refused",
    [(0o600, False), (0o400, False), (0o640, True), (0o644, True), (0o604, True)],
)
def test_secret_key_file_modes(tmp_path, mode, refused):
    path = str(tmp_path / "p.key")
    public = write_keys(path)
    os.chmod(path, mode)
    if refused:
        with pytest.raises(PermissionError, match="chmod 600"):
            load_keys(path)
    else:
        assert load_keys(path)[0] == public


@pytest.mark.parametrize("text", [b"", b"a" * 39, b"~" * 40, b"# only a comment\n"])
def test_key_file_without_a_key_is_refused(tmp_path, text):
    path = tmp_path / "k"
    path.write_bytes(text)
    os.chmod(path, 0o600)
    with pytest.raises(ValueError, match="holds no secret key"):
        load_keys(str(path))


def test_keys_made_on_first_use_owner_only(tmp_path):
    path = str(tmp_path / "deeper" / "p.key")
    old = os.umask(0)
    try:
        public, secret = load_or_create_keys(path)
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o600
    assert stat.S_IMODE(os.stat(path + ".pub").st_mode) == 0o644
    assert open(path + ".pub", "rb").read().strip() == public
    assert is_z85_key(public) and is_z85_key(secret)
    assert load_or_create_keys(path) == (public, secret)


class _Listed:
    """The keys let in, as pyzmq's authenticator asks for them."""

    def __init__(self, keys):
        self.keys = set(keys)

    def callback(self, domain, key):
        # pyzmq hands the key over in Z85 already
        return bytes(key) in self.keys


# The consumer's half of whatever socket the producer uses.
PAIRS = {zmq.PUSH: zmq.PULL, zmq.DEALER: zmq.ROUTER}


@pytest.mark.parametrize("listed", [True, False])
def test_listed_producer_gets_in_and_unlisted_does_not(tmp_path, listed):
    key_file = str(tmp_path / "producer.key")
    public = write_keys(key_file)
    ctx = zmq.Context()
    auth = ThreadAuthenticator(ctx)
    auth.start()
    auth.configure_curve_callback(domain="*", credentials_provider=_Listed([public] if listed else []))
    producer = None
    try:
        server_public, server_secret = zmq.curve_keypair()
        plain = Producer("tcp://127.0.0.1:1", linger_ms=0)
        kind = plain._sock.socket_type
        plain.close()
        sock = ctx.socket(PAIRS[kind])
        sock.curve_server = True
        sock.curve_secretkey = server_secret
        port = sock.bind_to_random_port("tcp://127.0.0.1")
        producer = Producer(f"tcp://127.0.0.1:{port}", server_key=server_public.decode(),
                            key_file=key_file, linger_ms=500, drop_when_full=True)
        producer.send("PN", ["secret_column"])
        got = sock.poll(2000)
        assert bool(got) == listed
        if listed:
            frames = sock.recv_multipart()
            while frames[-1][1:2] == b"\xa4":  # ["sync", ...]: the producer's hello first
                frames = sock.recv_multipart()
            assert decode(frames[-1])[0][1] == ["secret_column"]
        sock.close(0)
    finally:
        if producer is not None:
            producer.close()
        auth.stop()
        ctx.destroy(0)


def test_key_file_without_server_key_is_a_mistake(tmp_path):
    with pytest.raises(ValueError, match="server_key"):
        Producer("tcp://127.0.0.1:1", key_file=str(tmp_path / "k"))
