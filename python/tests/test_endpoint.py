"""Where a producer connects."""

import os
import pathlib
import re

import pytest

from lumenfold import Producer, connect_address, default_endpoint
from lumenfold.endpoint import check_private_dir


@pytest.mark.parametrize(
    "runtime_dir,expected",
    [
        ("existing", "ipc://{dir}/lumenfold.ipc"),
        ("missing", "ipc:///tmp/lumenfold-{uid}/queue.ipc"),
        ("empty", "ipc:///tmp/lumenfold-{uid}/queue.ipc"),
        ("unset", "ipc:///tmp/lumenfold-{uid}/queue.ipc"),
        ("a file", "ipc:///tmp/lumenfold-{uid}/queue.ipc"),
    ],
)
def test_default_endpoint(monkeypatch, tmp_path, runtime_dir, expected):
    path = {
        "existing": str(tmp_path),
        "missing": str(tmp_path / "gone"),
        "empty": "",
        "a file": str(tmp_path / "f"),
    }.get(runtime_dir)
    (tmp_path / "f").write_text("")
    if path is None:
        monkeypatch.delenv("XDG_RUNTIME_DIR", raising=False)
    else:
        monkeypatch.setenv("XDG_RUNTIME_DIR", path)
    assert default_endpoint() == expected.format(dir=tmp_path, uid=os.getuid())


# The endpoint rules both ends implement, one row per typed text (see the file's header).
ENDPOINT_TABLE = pathlib.Path(__file__).resolve().parents[2] / "tests" / "data" / "endpoints.tsv"


def endpoint_rows():
    rows = []
    for line in ENDPOINT_TABLE.read_text(encoding="utf-8").splitlines():
        if not line or line.startswith("#"):
            continue
        typed, _bind, connect, *refusal = line.split("\t")
        typed = "" if typed == "(empty)" else typed
        refusal = refusal[0] if refusal else ""
        rows.append(pytest.param(typed, connect, refusal, id=typed or "empty"))
    return rows


@pytest.mark.parametrize("typed,connect,refusal", endpoint_rows())
def test_endpoint_table(typed, connect, refusal):
    if connect == "-":
        with pytest.raises(ValueError, match=re.escape(refusal)):
            connect_address(typed)
        with pytest.raises(ValueError, match=re.escape(refusal)):
            Producer(typed)
    elif connect == "(default)":
        assert connect_address(typed) == default_endpoint()
    else:
        assert connect_address(typed) == connect


@pytest.mark.parametrize(
    "given,expected",
    [
        (5555, "tcp://127.0.0.1:5555"),
        (" 5555 ", "tcp://127.0.0.1:5555"),
    ],
)
def test_connect_address(given, expected):
    assert connect_address(given) == expected


@pytest.mark.parametrize("given", [None, ""])
def test_no_endpoint_means_the_default(given):
    assert connect_address(given) == default_endpoint()


@pytest.mark.parametrize(
    "given,error",
    [
        (0, ValueError),
        (65536, ValueError),
        ("localhost", ValueError),
        (True, TypeError),
        (5555.0, TypeError),
        (b"5555", TypeError),
    ],
)
def test_connect_address_refuses(given, error):
    with pytest.raises(error):
        connect_address(given)


@pytest.mark.parametrize(
    "kind,mode,refused",
    [
        ("closed directory", 0o700, False),
        ("group may enter", 0o750, True),
        ("anyone may write", 0o777, True),
        ("a file", None, True),
        ("missing", None, False),
    ],
)
def test_private_directory(tmp_path, kind, mode, refused):
    directory = tmp_path / f"lumenfold-{os.getuid()}"
    if kind == "a file":
        directory.write_text("")
    elif kind != "missing":
        directory.mkdir()
        directory.chmod(mode)
    address = f"ipc://{directory}/queue.ipc"
    if refused:
        with pytest.raises(PermissionError, match="XDG_RUNTIME_DIR"):
            check_private_dir(address)
        with pytest.raises(PermissionError):
            Producer(address)
    else:
        check_private_dir(address)
        Producer(address, linger_ms=0).close()
    # Directories of other names are the user's own business.
    other = tmp_path / "open"
    other.mkdir()
    other.chmod(0o777)
    check_private_dir(f"ipc://{other}/queue.ipc")
