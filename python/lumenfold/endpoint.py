"""Where the panel listens, computed the same way on both ends."""

from __future__ import annotations

import os
import re

__all__ = ["default_endpoint", "connect_address"]

# A port alone, or a tcp endpoint whose host is missing or a wildcard.
_PORT = re.compile(r"(?:tcp://(?:\*|0\.0\.0\.0)?:)?(\d+)")


def default_endpoint() -> str:
    """``ipc://$XDG_RUNTIME_DIR/lumenfold.ipc`` when that variable names an existing
    directory, else ``ipc:///tmp/lumenfold-<uid>.ipc``."""
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime and os.path.isdir(runtime):
        return f"ipc://{runtime}/lumenfold.ipc"
    return f"ipc:///tmp/lumenfold-{os.getuid()}.ipc"


def connect_address(endpoint: str | int | None) -> str:
    """The ZeroMQ address a producer connects to for ``endpoint``.

    ``None`` or an empty text is the default endpoint. A bare port (``5555``,
    ``"5555"``, ``"tcp://:5555"``) and a wildcard host (``"tcp://*:5555"``,
    ``"tcp://0.0.0.0:5555"``) mean this machine, 127.0.0.1, which is where a panel
    given the same text listens. An absolute path is an ipc endpoint. Anything else
    (``ipc://...``, ``tcp://host:port``) is used as it is.
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
        port = int(m.group(1))
        if not 0 < port < 65536:
            raise ValueError(f"port {port} is out of range")
        return f"tcp://127.0.0.1:{port}"
    if text.startswith("/"):
        return "ipc://" + text
    if "://" not in text:
        raise ValueError(f"endpoint {text!r} is neither a port nor a ZeroMQ address")
    return text
