"""CURVE key files, as the C++ side keeps them: the secret key in Z85 on one line in a
file only its owner may read (mode 0600), its public half beside it as ``<file>.pub``."""

from __future__ import annotations

import os
import stat

import zmq
import zmq.utils.z85  # not imported by `import zmq`: without this, only after someone else did


def _first_key_line(data: bytes) -> bytes:
    # No Z85 key begins with '#', so such a line is a comment.
    for line in data.splitlines():
        line = line.strip()
        if line and not line.startswith(b"#"):
            return line
    return b""


def is_z85_key(text: bytes) -> bool:
    """True for a 40-character Z85 key (a 32-byte CURVE key)."""
    if len(text) != 40:
        return False
    try:
        return len(zmq.utils.z85.decode(text)) == 32
    except (ValueError, KeyError, IndexError, TypeError):
        return False


def write_keys(path: str) -> bytes:
    """Writes a fresh key pair to ``path`` (0600, replaced) and ``path``.pub; returns the
    public key."""
    public, secret = zmq.curve_keypair()
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    for name, text, mode in ((path, secret, 0o600), (path + ".pub", public, 0o644)):
        try:
            os.unlink(name)
        except FileNotFoundError:
            pass
        fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, mode)
        with os.fdopen(fd, "wb") as f:
            f.write(text + b"\n")
            os.fchmod(f.fileno(), mode)
    return public


def load_keys(path: str) -> tuple[bytes, bytes]:
    """(public, secret) of the secret key file ``path``. Raises PermissionError when others
    may read it, ValueError when it holds no key."""
    st = os.stat(path)
    if not stat.S_ISREG(st.st_mode):
        raise ValueError(f"the key file {path} is not a regular file")
    if st.st_uid != os.getuid() or st.st_mode & 0o077:
        raise PermissionError(
            f"the secret key file {path} must belong to user {os.getuid()} and be readable "
            f"by its owner only (it has mode {stat.S_IMODE(st.st_mode):04o}); run chmod 600 "
            "on it, or make a new key")
    with open(path, "rb") as f:
        secret = _first_key_line(f.read(4096))
    if not is_z85_key(secret):
        raise ValueError(f"{path} holds no secret key: expected 40 characters of Z85 on one line")
    return zmq.curve_public(secret), secret


def load_or_create_keys(path: str) -> tuple[bytes, bytes]:
    """load_keys, after writing a fresh pair there when ``path`` does not exist."""
    if not os.path.lexists(path):
        write_keys(path)
    return load_keys(path)


def apply_curve(sock: zmq.Socket, server_key: str | bytes | None, key_file: str | None) -> None:
    """Makes ``sock`` a CURVE client of the consumer whose public key is ``server_key``, with
    the key pair in ``key_file`` (a fresh one when None). Nothing without a server key."""
    if not server_key:
        if key_file:
            raise ValueError("a key file needs the consumer's public key (server_key) too")
        return
    server = server_key.encode() if isinstance(server_key, str) else bytes(server_key)
    server = server.strip()
    if not is_z85_key(server):
        raise ValueError(f"the consumer's public key must be 40 characters of Z85, not {server!r}")
    public, secret = load_or_create_keys(key_file) if key_file else zmq.curve_keypair()
    sock.setsockopt(zmq.CURVE_SERVERKEY, server)
    sock.setsockopt(zmq.CURVE_PUBLICKEY, public)
    sock.setsockopt(zmq.CURVE_SECRETKEY, secret)
