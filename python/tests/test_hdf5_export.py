"""lumenfold-scope --export-hdf5: what a producer sent, read back with h5py, is equal to
what was sent, in the layout docs/scope.md fixes; also when the scope recorded the run
(--record) and a second scope opened the recording and exported it."""

import os
import subprocess

import numpy as np
import pytest

from lumenfold import Producer

h5py = pytest.importorskip("h5py")

SCOPE = os.environ.get("LUMENFOLD_SCOPE", "")

pytestmark = pytest.mark.skipif(
    not (SCOPE and os.access(SCOPE, os.X_OK)),
    reason="lumenfold-scope is not built (ctest sets LUMENFOLD_SCOPE)",
)

POINT_NAMES = ["t", "volts", "z"]
# Generations as sent, oldest first: the last one holds no complex value in "z".
GENERATIONS = [
    [[0.0, 1.5, 2 + 3j], (1, -2.25, 0.5), np.array([2.0, 1e300, -0.0]), [3.0, 4.0, 1j]],
    [[4.0, 5.5, 1 - 1j], np.array([5.0, 6.0, 7 + 7j]), [6, 7, 8]],
    [[7.0, 8.0, 9.0], [8.0, float("inf"), -1.0]],
]
# A name with a slash and a repeated name: their datasets get escaped names.
# The scope refuses a name given twice, so a repeated name never reaches the export.
TRACE_NAMES = ["f", "mag/dB", "."]
TRACE_LINKS = ["f", "mag%2FdB", "%2E"]
TRACES = [
    [np.linspace(0.0, 1.0, 5), np.arange(5.0), np.array([1 + 1j, 2, 3, 4, 5 - 5j])],
    [np.array([0.5]), [2.5], [1j]],
    [np.linspace(-1.0, 1.0, 1000), np.cos(np.arange(1000.0)), np.ones(1000)],
]


def column(records, c):
    values = [complex(r[c]) for r in records]
    if any(v.imag != 0 for v in values) or any(isinstance(r[c], complex) for r in records):
        return np.array(values, dtype=np.complex128)
    return np.array([v.real for v in values], dtype=np.float64)


def run_scope(tmp_path, ipc_endpoint, out, send, extra=()):
    proc = subprocess.Popen(
        [SCOPE, "--listen", ipc_endpoint, "--quit-after", "5", "--export-hdf5", str(out), *extra],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
    )
    try:
        with Producer(ipc_endpoint, linger_ms=60000) as p:
            send(p)
        _, err = proc.communicate(timeout=120)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    return proc.returncode, err.decode(errors="replace")


def names_of(group):
    return [n.decode() if isinstance(n, bytes) else n for n in group.attrs["columns"]]


def open_recording(recording, ipc_endpoint, out):
    """A second scope shows the recording (on an endpoint of its own) and exports it."""
    done = subprocess.run(
        [SCOPE, str(recording), "--listen", ipc_endpoint + ".replay", "--quit-after", "3",
         "--export-hdf5", str(out)],
        capture_output=True,
        env=dict(os.environ, QT_QPA_PLATFORM="offscreen"),
        timeout=120,
    )
    return done.returncode, done.stderr.decode(errors="replace")


@pytest.mark.parametrize("route", ["live", "recorded"])
def test_export_reads_back_equal_to_what_was_sent(tmp_path, ipc_endpoint, route):
    out = tmp_path / "run.h5"

    def send(p):
        p.send("PN", POINT_NAMES)
        for i, generation in enumerate(GENERATIONS):
            if i:
                p.send("ROLL")
            for record in generation:
                p.send("PD", record)
        p.send("TN", TRACE_NAMES)
        for trace in TRACES:
            p.send("TD", trace)

    if route == "live":
        rc, err = run_scope(tmp_path, ipc_endpoint, out, send)
    else:
        recording = tmp_path / "run.lfrec"
        rc, err = run_scope(tmp_path, ipc_endpoint, tmp_path / "live.h5", send,
                            ["--record", str(recording)])
        assert rc == 0, err
        rc, err = open_recording(recording, ipc_endpoint, out)
    assert rc == 0, err
    with h5py.File(out, "r") as f:
        assert sorted(f.keys()) == ["points", "traces"]
        assert sorted(f["points"].keys(), key=int) == [str(g) for g in range(len(GENERATIONS))]
        for g, records in enumerate(GENERATIONS):
            group = f["points"][str(g)]
            assert names_of(group) == POINT_NAMES
            assert sorted(group.keys()) == sorted(POINT_NAMES)
            for c, name in enumerate(POINT_NAMES):
                got, want = group[name][()], column(records, c)
                assert got.dtype == want.dtype, (g, name)
                np.testing.assert_array_equal(got, want, err_msg=f"/points/{g}/{name}")
        assert sorted(f["traces"].keys(), key=int) == [str(k) for k in range(len(TRACES))]
        for k, trace in enumerate(TRACES):
            group = f["traces"][str(k)]
            assert names_of(group) == TRACE_NAMES
            for c, link in enumerate(TRACE_LINKS):
                want = np.asarray(trace[c])
                want = want.astype(np.complex128 if want.dtype.kind == "c" else np.float64)
                got = group[link][()]
                assert got.dtype == want.dtype, (k, link)
                np.testing.assert_array_equal(got, want, err_msg=f"/traces/{k}/{link}")


def test_export_that_cannot_be_written_fails_the_run(tmp_path, ipc_endpoint):
    out = tmp_path / "no such dir" / "run.h5"
    rc, err = run_scope(tmp_path, ipc_endpoint, out, lambda p: p.send("PN", ["t"]))
    assert rc == 1
    assert f"lumenfold-scope: cannot create {out}" in err
    assert not out.exists()
