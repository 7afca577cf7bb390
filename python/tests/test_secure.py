"""Key files and CURVE producers: modes checked, keys made on first use, and a producer
whose key the consumer lists gets in encrypted while one it does not list gets nothing in."""

import os
import pathlib
import re
import stat
import subprocess
import sys
import threading
import time

import pytest
import zmq
from zmq.auth.thread import ThreadAuthenticator

from lumenfold import DeliveryWarning, Producer, decode
from lumenfold.keys import is_z85_key, load_keys, load_or_create_keys, write_keys
from lumenfold.sealed import available as sealed_available

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


def test_a_secured_producer_needs_no_other_import(tmp_path):
    # A fresh interpreter: pyzmq's Z85 module is not loaded by `import zmq`, nor by the
    # tests' other imports here.
    code = (
        "import sys; sys.path.insert(0, sys.argv[1])\n"
        "from lumenfold import Producer\n"
        "from lumenfold.keys import write_keys\n"
        "server = write_keys(sys.argv[2] + '/server.key').decode()\n"
        "p = Producer('tcp://127.0.0.1:1', server_key=server, key_file=sys.argv[2] + '/p.key',"
        " linger_ms=0)\n"
        "print(p.closed)\n"
        "p.close()\n"
    )
    package = str(pathlib.Path(__file__).resolve().parents[1])
    run = subprocess.run([sys.executable, "-c", code, package, str(tmp_path)],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert run.stdout.strip() == "False"


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


# ---------------------------------------------------------------------------
# The secured producer of docs/wire-format.md, against the C++ consumer
# ---------------------------------------------------------------------------

CONSUMER = os.environ.get("LUMENFOLD_PYTHON_CONSUMER", "")
WIRE_FORMAT = pathlib.Path(__file__).resolve().parents[2] / "docs" / "wire-format.md"


def documented_script(heading):
    """The first Python block after ``heading`` in docs/wire-format.md."""
    text = WIRE_FORMAT.read_text(encoding="utf-8")
    section = text[text.index(heading):]
    start = section.index("```python\n") + len("```python\n")
    return section[start:section.index("```", start)]


@pytest.mark.skipif(
    not (CONSUMER and os.access(CONSUMER, os.X_OK)),
    reason="the C++ consumer lumenfold_python_consumer is not built (ctest sets it)",
)
@pytest.mark.parametrize("listed", [True, False])
def test_documented_secured_producer_against_cpp_consumer(tmp_path, listed):
    script = tmp_path / "secure_producer.py"
    script.write_text(documented_script("### A complete secured producer in Python"))
    key_file = str(tmp_path / "producer.key")
    public = write_keys(key_file).decode()
    authorized = tmp_path / "authorized_producers"
    authorized.write_text("# producers let in\n" + (public + "\n" if listed else ""))
    # --stay: bound until its input closes, so that the producer's close is confirmed.
    consumer = subprocess.Popen(
        [CONSUMER, "tcp://127.0.0.1:*", "1002", "--stay", "--secure",
         str(tmp_path / "server.key"), str(authorized)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        endpoint = consumer.stdout.readline().split()[1]  # "ready <endpoint>"
        server_key = consumer.stdout.readline().split()[1]  # "key <public key>"
        assert server_key == (tmp_path / "server.key.pub").read_text().strip()
        run = subprocess.run([sys.executable, str(script), endpoint, server_key, key_file],
                             capture_output=True, text=True, timeout=60)
        if listed:
            assert run.returncode == 0, run.stderr
            assert run.stdout.strip() == "confirmed"
            lines = consumer.communicate("", timeout=30)[0].splitlines()
            assert len(lines) == 1002
            assert lines[0] == "('PN', ['t', 'volts'])"
            assert lines[-1] == "('PD', [0.999, 49])"  # the panel's text form of 49.0
        else:
            assert run.returncode != 0
            assert "the consumer refused this producer: it does not know this producer's key " \
                + public in run.stderr
            consumer.kill()
            lines = consumer.communicate(timeout=30)[0].splitlines()
            assert lines == [f"warning: ZmqQueue: refused a producer at 127.0.0.1 with key "
                             f"{public}: the key is not listed in {authorized}"]
    finally:
        if consumer.poll() is None:
            consumer.kill()
            consumer.wait()


@pytest.mark.skipif(
    not (CONSUMER and os.access(CONSUMER, os.X_OK)),
    reason="the C++ consumer lumenfold_python_consumer is not built (ctest sets it)",
)
@pytest.mark.skipif(not sealed_available(), reason="python3-cryptography is not installed")
def test_data_go_sealed_to_the_cpp_consumer_in_order(tmp_path):
    key_file = str(tmp_path / "producer.key")
    authorized = tmp_path / "authorized_producers"
    authorized.write_text(write_keys(key_file).decode() + "\n")
    count = 1 + 40 * 3
    consumer = subprocess.Popen(
        [CONSUMER, "tcp://127.0.0.1:*", str(count), "--stay", "--secure",
         str(tmp_path / "server.key"), str(authorized)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        endpoint = consumer.stdout.readline().split()[1]  # "ready <endpoint>"
        server_key = consumer.stdout.readline().split()[1]  # "key <public key>"
        with Producer(endpoint, server_key=server_key, key_file=key_file) as producer:
            producer.send("PN", ["coolant_temperature_k"])
            for i in range(40):
                # Big messages, so that the sealed ones are still on their way when the
                # closing sync (over CURVE) arrives.
                producer.send_batch([("TD", [0.5] * 20000), ("TD", [float(i)] * 20000)])
                producer.send("PD", [float(i)])
            assert producer.sealed
            assert producer.close()
        lines = consumer.communicate("", timeout=30)[0].splitlines()
        assert len(lines) == count
        assert lines[0] == "('PN', ['coolant_temperature_k'])"
        assert [line for line in lines if line.startswith("('PD'")] == [
            f"('PD', [{i}])" for i in range(40)
        ]
    finally:
        if consumer.poll() is None:
            consumer.kill()
            consumer.wait()


@pytest.mark.skipif(
    not (CONSUMER and os.access(CONSUMER, os.X_OK)),
    reason="the C++ consumer lumenfold_python_consumer is not built (ctest sets it)",
)
@pytest.mark.parametrize(
    "secured, producer_hears, consumer_logs",
    [
        (False, "it encrypts and lets in only producers it knows", "it does not encrypt"),
        (True, "the consumer's public key?", "its handshake could not be decrypted"),
    ],
)
def test_producer_refused_before_authentication(tmp_path, secured, producer_hears,
                                                consumer_logs):
    """A producer that does not encrypt, and one given another consumer's public key,
    are refused before the consumer's list is asked: both ends still say so."""
    key_file = str(tmp_path / "producer.key")
    authorized = tmp_path / "authorized_producers"
    authorized.write_text(write_keys(key_file).decode() + "\n")  # listed: the key is not why
    consumer = subprocess.Popen(
        [CONSUMER, "tcp://127.0.0.1:*", "1", "--secure", str(tmp_path / "server.key"),
         str(authorized)],
        stdout=subprocess.PIPE, text=True)
    try:
        endpoint = consumer.stdout.readline().split()[1]
        consumer.stdout.readline()  # its key; this producer is given another one
        options = {}
        if secured:
            options = {"server_key": zmq.curve_keypair()[0].decode(), "key_file": key_file}
        producer = Producer(endpoint, linger_ms=3000, **options)
        with pytest.warns(DeliveryWarning, match=re.escape(producer_hears)):
            producer.send("PN", ["secret_column"])
            assert not producer.close()
        # The consumer tells of a refusal whose address it could not read a second late.
        lines = []
        reader = threading.Thread(target=lambda: lines.extend(consumer.stdout), daemon=True)
        reader.start()
        deadline = time.monotonic() + 5
        while not any(consumer_logs in line for line in lines) and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)  # time for a second, wrong, line
        consumer.kill()
        reader.join(timeout=30)
        lines = [line.rstrip("\n") for line in lines]
        refusals = [line for line in lines if consumer_logs in line]
        assert len(refusals) == 1, lines
        assert refusals[0].startswith("warning: ZmqQueue: refused a producer")
        assert not any("secret_column" in line for line in lines)
    finally:
        if consumer.poll() is None:
            consumer.kill()
            consumer.wait()
