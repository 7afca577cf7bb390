"""Where a producer connects."""

import os

import pytest

from lumenfold import connect_address, default_endpoint


@pytest.mark.parametrize(
    "runtime_dir,expected",
    [
        ("existing", "ipc://{dir}/lumenfold.ipc"),
        ("missing", "ipc:///tmp/lumenfold-{uid}.ipc"),
        ("empty", "ipc:///tmp/lumenfold-{uid}.ipc"),
        ("unset", "ipc:///tmp/lumenfold-{uid}.ipc"),
        ("a file", "ipc:///tmp/lumenfold-{uid}.ipc"),
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


@pytest.mark.parametrize(
    "given,expected",
    [
        (5555, "tcp://127.0.0.1:5555"),
        ("5555", "tcp://127.0.0.1:5555"),
        (" 5555 ", "tcp://127.0.0.1:5555"),
        ("tcp://:5555", "tcp://127.0.0.1:5555"),
        ("tcp://*:5555", "tcp://127.0.0.1:5555"),
        ("tcp://0.0.0.0:5555", "tcp://127.0.0.1:5555"),
        ("tcp://10.1.2.3:5555", "tcp://10.1.2.3:5555"),
        ("tcp://plotter.local:7000", "tcp://plotter.local:7000"),
        ("ipc:///run/x.ipc", "ipc:///run/x.ipc"),
        ("/run/x.ipc", "ipc:///run/x.ipc"),
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
        ("tcp://:70000", ValueError),
        ("localhost", ValueError),
        (True, TypeError),
        (5555.0, TypeError),
        (b"5555", TypeError),
    ],
)
def test_connect_address_refuses(given, error):
    with pytest.raises(error):
        connect_address(given)
