#!/usr/bin/python3
"""Items per second from the Python producer into the panel's C++ queue, beside the
same workload through multiprocessing.Queue between two Python processes.

    /usr/bin/python3 bench/python/throughput.py [--consumer PATH] [--scale F]

The C++ end is lumenfold_python_consumer (built with the tests; found through
$LUMENFOLD_PYTHON_CONSUMER, --consumer, or the build directories of this checkout).
Workloads: "PD" items of 10 floats (a Python list) and "TD" items of 10,000 float64
(a numpy array), over ipc, tcp and secured tcp (CURVE, data sealed when
python3-cryptography is there). A run through the producer is timed from the first send until close()
returns, the consumer having confirmed every item.
"""

from __future__ import annotations

import argparse
import contextlib
import glob
import multiprocessing as mp
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, os.pardir, os.pardir))
sys.path.insert(0, os.path.join(ROOT, "python"))

import numpy as np  # noqa: E402
import zmq  # noqa: E402

import lumenfold  # noqa: E402
from lumenfold.keys import write_keys  # noqa: E402
from lumenfold.wire import encode_unnumbered, set_seq  # noqa: E402



def pd_items(n: int) -> list:
    """`n` distinct "PD" items: distinct objects, so that no path gains from sharing."""
    return [("PD", [0.5 * i + k for i in range(10)]) for k in range(n)]


def td_items(n: int) -> list:
    return [("TD", np.linspace(0.0, 1.0, 10_000) + k) for k in range(n)]


def find_consumer(given: str | None) -> str:
    candidates = [given, os.environ.get("LUMENFOLD_PYTHON_CONSUMER")]
    candidates += sorted(
        glob.glob(os.path.join(ROOT, "build*", "**", "lumenfold_python_consumer"), recursive=True),
        key=os.path.getmtime,
        reverse=True,
    )
    for c in candidates:
        if c and os.access(c, os.X_OK):
            return c
    sys.exit("lumenfold_python_consumer not found: build it (tests/python) or pass --consumer")


# ---------------------------------------------------------------------------
# Python producer -> C++ consumer
# ---------------------------------------------------------------------------


def _consumer_cpu(proc: subprocess.Popen) -> float:
    """CPU seconds the consumer process spent, all its threads (the socket's I/O thread
    and the receiving thread included): on a shared machine a steadier measure of its
    cost than the wall clock."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    proc.wait(timeout=30)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


# A secured endpoint: the consumer encrypts and lets in only the producer key made here.
SECURED = "secured "


def _secure_args(endpoint: str) -> tuple[str, list, dict]:
    """(endpoint, consumer arguments, producer options) for `endpoint`, secured when it
    starts with SECURED: key files in a directory of their own."""
    if not endpoint.startswith(SECURED):
        return endpoint, [], {}
    keys = tempfile.mkdtemp(prefix="lf-bench-keys-")
    producer_key = os.path.join(keys, "producer.key")
    authorized = os.path.join(keys, "authorized_producers")
    with open(authorized, "wb") as f:
        f.write(write_keys(producer_key) + b"\n")
    args = ["--secure", os.path.join(keys, "server.key"), authorized]
    return endpoint[len(SECURED):], args, {"key_file": producer_key}


def _start_consumer(consumer: str, endpoint: str, count: int) -> tuple[subprocess.Popen, str, dict]:
    """Starts the C++ consumer for `count` items; returns it, the endpoint it bound and the
    producer's options."""
    endpoint, args, options = _secure_args(endpoint)
    proc = subprocess.Popen(
        [consumer, endpoint, str(count), "--quiet", "--stay", *args],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        encoding="utf-8",
    )
    ready = proc.stdout.readline()
    if not ready.startswith("ready "):
        proc.kill()
        proc.wait()
        raise RuntimeError(f"consumer did not start: {ready!r}")
    if options:
        options["server_key"] = proc.stdout.readline().split()[1]  # "key <public key>"
    return proc, ready.split(None, 1)[1].strip(), options


@contextlib.contextmanager
def _consumer_run(consumer: str, endpoint: str, count: int):
    """The C++ consumer for `count` items, the endpoint it bound and the producer's options,
    ended on the way out."""
    proc, bound, options = _start_consumer(consumer, endpoint, count)
    try:
        yield proc, bound, options
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()


def _consumer_figures(proc: subprocess.Popen, count: int, done: str) -> tuple[float, float]:
    """(consumer seconds, consumer CPU seconds) from its last line, once it took `count` items."""
    _, items, ns = done.split()
    assert int(items) == count, done
    proc.stdin.close()
    return int(ns) / 1e9, _consumer_cpu(proc)


def run_zmq(consumer: str, endpoint: str, pool: list, count: int, batch: int, how: str) -> tuple[float, float, float]:
    """(wall seconds, consumer seconds, consumer CPU seconds) for `count` items, `batch` per message.

    how: "send" goes through Producer.send / send_batch, timed until close() returns
    (the consumer confirmed every item); "raw" sends messages encoded beforehand on a
    bare DEALER socket, without flow control, timed until the consumer took the last
    item: the ceiling of the transport and the C++ end."""
    with _consumer_run(consumer, endpoint, count) as (proc, bound, options):
        batches = [pool[i : i + batch] for i in range(0, len(pool), batch)]
        rounds = count // batch
        if how == "raw":
            encoded = [encode_unnumbered(b) for b in batches]
            ctx = zmq.Context()
            sock = ctx.socket(zmq.DEALER)
            sock.connect(bound)
            start = time.perf_counter()
            for r in range(rounds):
                message, seq_at = encoded[r % len(encoded)]
                set_seq(message, seq_at, r + 1)
                sock.send(message)
            done = proc.stdout.readline()
            wall = time.perf_counter() - start
            sock.close(linger=0)
            ctx.term()
        else:
            producer = lumenfold.Producer(bound, **options)
            start = time.perf_counter()
            if batch == 1:
                send = producer.send
                for r in range(rounds):
                    cmd, data = pool[r % len(pool)]
                    send(cmd, data)
            else:
                for r in range(rounds):
                    producer.send_batch(batches[r % len(batches)])
            if not producer.close():
                raise RuntimeError("the consumer did not confirm every item")
            wall = time.perf_counter() - start
            done = proc.stdout.readline()
        return (wall, *_consumer_figures(proc, count, done))


def run_rows(consumer: str, endpoint: str, values: np.ndarray, repeats: int) -> tuple[float, float, float]:
    """(wall seconds, consumer seconds, consumer CPU seconds) for Producer.send_rows of `values` `repeats`
    times, from the first send until close() returns."""
    count = values.shape[0] * repeats
    with _consumer_run(consumer, endpoint, count) as (proc, bound, options):
        producer = lumenfold.Producer(bound, **options)
        start = time.perf_counter()
        for _ in range(repeats):
            producer.send_rows("PD", values)
        if not producer.close():
            raise RuntimeError("the consumer did not confirm every row")
        wall = time.perf_counter() - start
        return (wall, *_consumer_figures(proc, count, proc.stdout.readline()))


# ---------------------------------------------------------------------------
# Baseline: multiprocessing.Queue between two Python processes
# ---------------------------------------------------------------------------


def _mp_consumer(queue, results, count: int) -> None:
    results.put("ready")
    taken = 0
    while taken < count:
        got = queue.get()
        taken += len(got) if isinstance(got, list) else 1
    results.put("done")


def run_mp(pool: list, count: int, batch: int) -> float:
    queue, results = mp.Queue(), mp.Queue()
    proc = mp.Process(target=_mp_consumer, args=(queue, results, count))
    proc.start()
    assert results.get() == "ready"
    batches = [pool[i : i + batch] for i in range(0, len(pool), batch)]
    start = time.perf_counter()
    if batch == 1:
        for r in range(count):
            queue.put(pool[r % len(pool)])
    else:
        for r in range(count // batch):
            queue.put(batches[r % len(batches)])
    assert results.get() == "done"
    wall = time.perf_counter() - start
    proc.join()
    return wall


def run_encode(pool: list, count: int, batch: int) -> float:
    batches = [pool[i : i + batch] for i in range(0, len(pool), batch)]
    start = time.perf_counter()
    for r in range(count // batch):
        lumenfold.encode(batches[r % len(batches)])
    return time.perf_counter() - start


# ---------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--consumer", help="path of lumenfold_python_consumer")
    parser.add_argument("--scale", type=float, default=1.0, help="multiply the item counts")
    parser.add_argument("--repeat", type=int, default=3, help="runs per row; the fastest counts")
    parser.add_argument(
        "--targets",
        action="store_true",
        help="only the rows with a target: send_rows of 10 float64 columns (2 M rows/s) and "
        "numpy traces with send_batch (1.5 GB/s)",
    )
    args = parser.parse_args()
    consumer = find_consumer(args.consumer)

    def best(run):
        """The fastest of --repeat runs: on a shared machine the slower ones measure
        the neighbours. `run` returns wall seconds or (wall, consumer seconds,
        consumer CPU seconds)."""
        results = [run() for _ in range(max(1, args.repeat))]
        results = [r if isinstance(r, tuple) else (r, None, None) for r in results]
        return min(results, key=lambda r: r[0])

    workloads = [
        ("PD 10 floats", pd_items(1000), int(200_000 * args.scale), 100),
        ("TD 10k float64", td_items(50), int(2_000 * args.scale), 10),
    ]
    tmp = tempfile.mkdtemp(prefix="lf-bench-")
    rows = []
    try:
        values = np.random.default_rng(1).standard_normal((200_000, 10))
        repeats = max(1, int(10 * args.scale))
        row_bytes = len(lumenfold.encode([("PD", list(map(float, values[0])))])) - 3
        endpoints = (("ipc", f"ipc://{tmp}/bench.ipc"), ("tcp", "tcp://127.0.0.1:*"),
                     ("tcp secured", SECURED + "tcp://127.0.0.1:*"))
        for transport, endpoint in endpoints:
            rows.append(("PD 10 floats", f"lumenfold {transport}", "send_rows(200k x 10)",
                         values.shape[0] * repeats, *best(lambda: run_rows(consumer, endpoint, values, repeats)), row_bytes))
        for name, pool, count, batch_size in workloads:
            if args.targets and not name.startswith("TD"):
                continue
            count -= count % batch_size
            payload = len(lumenfold.encode(pool[:1])) - 3  # one item's bytes on the wire
            for b in () if args.targets else (1, batch_size):
                how = "encode" if b == 1 else f"encode {b} per message"
                rows.append((name, "encode only", how, count, *best(lambda: run_encode(pool, count, b)), payload))
            for transport, endpoint in endpoints:
                ways = (("send", 1), (f"send_batch({batch_size})", batch_size), ("raw", 1), ("raw", batch_size))
                # A bare socket does not speak CURVE: the secured rows go through the producer.
                ways = ways[:2] if endpoint.startswith(SECURED) else ways
                for how, b in ways[1:2] if args.targets else ways:
                    label = how if how != "raw" else f"pre-encoded, {b} per message"
                    mode = "raw" if how == "raw" else "send"
                    rows.append((name, f"lumenfold {transport}", label, count,
                                 *best(lambda: run_zmq(consumer, endpoint, pool, count, b, mode)), payload))
            for b in () if args.targets else (1, batch_size):
                how = "put" if b == 1 else f"put(list of {b})"
                rows.append((name, "mp.Queue", how, count, *best(lambda: run_mp(pool, count, b)), payload))
    finally:
        shutil.rmtree(tmp, ignore_errors=True)

    header = ("workload", "path", "method", "items", "seconds", "items/s", "MB/s", "consumer items/s",
              "consumer CPU items/s")
    table = [header]
    for name, path, how, count, wall, inner, cpu, payload in rows:
        table.append(
            (
                name,
                path,
                how,
                str(count),
                f"{wall:.3f}",
                f"{count / wall:,.0f}",
                f"{count * payload / wall / 1e6:,.1f}",
                f"{count / inner:,.0f}" if inner else "",
                f"{count / cpu:,.0f}" if cpu else "",
            )
        )
    widths = [max(len(r[i]) for r in table) for i in range(len(header))]
    import msgpack

    print(
        f"Python {sys.version.split()[0]}, pyzmq {zmq.__version__}, libzmq {zmq.zmq_version()}, "
        f"msgpack {'.'.join(map(str, msgpack.version))}, numpy {np.__version__}; "
        f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} CPUs"
    )
    print(f"Fastest of {args.repeat} runs per row. MB/s counts the wire bytes of one item;")
    print("consumer items/s is the C++ side's own time from its first item to its last;")
    print("consumer CPU items/s divides by the CPU time of the whole consumer process.")
    for i, r in enumerate(table):
        print("  ".join(c.rjust(w) if j >= 3 else c.ljust(w) for j, (c, w) in enumerate(zip(r, widths))))
        if i == 0:
            print("  ".join("-" * w for w in widths))


if __name__ == "__main__":
    main()
