"""Where the panel listens, computed the same way on both ends."""

from __future__ import annotations

import os
import re
import stat

__all__ = ["default_endpoint", "connect_address", "check_private_dir"]

# A port alone, or a tcp endpoint whose host is missing or a wildcard.
_PORT = re.compile(r"(?:tcp://(?:\*|0\.0\.0\.0)?:)?(\d+)")
# The port of one address of a tcp endpoint ("host:port", "[v6]:port").
_ADDRESS_PORT = re.compile(r".*:([^:\]]*)")


def default_endpoint() -> str:
    """``ipc://$XDG_RUNTIME_DIR/lumenfold.ipc`` when that variable names an existing
    directory, else ``ipc:///tmp/lumenfold-<uid>/queue.ipc`` (a directory of this user's
    own, which the panel makes; see :func:`check_private_dir`)."""
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime and os.path.isdir(runtime):
        return f"ipc://{runtime}/lumenfold.ipc"
    return f"ipc:///tmp/lumenfold-{os.getuid()}/queue.ipc"


def check_private_dir(address: str) -> None:
    """Refuses an ipc address in a directory named ``lumenfold-<uid>`` that is not this
    user's own and closed to everyone else (made first by someone else in /tmp, or opened
    up): :class:`PermissionError`. A missing directory is fine, the panel makes it when
    it starts. Other addresses are not examined."""
    if not address.startswith("ipc://"):
        return
    directory = os.path.dirname(address[len("ipc://"):])
    if os.path.basename(directory) != f"lumenfold-{os.getuid()}":
        return
    try:
        st = os.lstat(directory)
    except FileNotFoundError:
        return
    if (
        not stat.S_ISDIR(st.st_mode)
        or st.st_uid != os.getuid()
        or st.st_mode & 0o077
    ):
        raise PermissionError(
            f"{directory} must be a directory of user {os.getuid()} that only its owner "
            f"may enter (it is owned by {st.st_uid}, mode {st.st_mode & 0o7777:04o}); "
            "remove it, or set XDG_RUNTIME_DIR"
        )


def connect_address(endpoint: str | int | None) -> str:
    """The ZeroMQ address a producer connects to for ``endpoint``.

    ``None`` or an empty text is the default endpoint. A bare port (``5555``,
    ``"5555"``, ``"tcp://:5555"``) and a wildcard host (``"tcp://*:5555"``,
    ``"tcp://0.0.0.0:5555"``) mean this machine, 127.0.0.1, which is where a panel
    given the same text listens. An absolute path is an ipc endpoint. Anything else
    (``ipc://...``, ``tcp://host:port``) is used as it is. A tcp port outside 1-65535
    (or ``*``, which only a binding end can use) raises :class:`ValueError`.
    """
    if endpoint is None:
        return default_endpoint()
    if isinstance(endpoint, bool) or not isinstance(endpoint, (str, int)):
        raise TypeError(f"endpoint must be str or int, not {type(endpoint).__name__}")
    text = str(endpoint).strip()
    if not text:
        return default_endpoint()
    m = _PORT.fullmatch(text)
    if m:
        _check_port(m.group(1), text)
        return f"tcp://127.0.0.1:{int(m.group(1))}"
    if text.startswith("/"):
        return "ipc://" + text
    if "://" not in text:
        raise ValueError(f"endpoint {text!r} is neither a port nor a ZeroMQ address")
    if text.startswith("tcp://"):
        ports = [
            m.group(1)
            for m in map(_ADDRESS_PORT.fullmatch, text[len("tcp://"):].split(";"))
            if m
        ]
        for port in ports:
            _check_port(port, text)
        if ports and ports[-1] == "*":
            raise ValueError(
                f"endpoint {text!r}: a producer connects to a port number, not '*'"
            )
    return text


def _check_port(port: str, endpoint: str) -> None:
    # ZeroMQ keeps only the low 16 bits of a tcp port: 70000 would quietly be 4464, where
    # someone else may listen. A port is a number from 1 to 65535 ("*" is left to the
    # caller); other texts are left for ZeroMQ to refuse.
    if port.isascii() and port.isdigit() and not 0 < int(port) < 65536:
        raise ValueError(f"endpoint {endpoint!r}: port {port} is out of range (1-65535)")
