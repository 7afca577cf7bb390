"""The sending end of the panel's command queue."""

from __future__ import annotations

import threading
import time
import warnings
from typing import Any, Iterable, List, Optional

import zmq

from .endpoint import check_private_dir, connect_address
from .keys import apply_curve
from .wire import DEFAULT_LIMITS, Limits, WireError, encode

__all__ = ["Producer", "DeliveryWarning"]


class DeliveryWarning(RuntimeWarning):
    """Items may not have reached the panel before the producer closed."""


class Producer:
    """Puts command items into the queue of a panel listening at ``endpoint``.

    ``endpoint`` is a ZeroMQ address (``ipc://...``, ``tcp://host:port``), a bare port
    (127.0.0.1) or None for the default endpoint. The panel binds; the producer
    connects, so either may start first: items sent before the panel is up wait in the
    producer.

    By default ``send`` blocks while ``hwm`` messages already wait for a slow or absent
    panel, so nothing is lost. With ``drop_when_full=True`` it never blocks: a message
    that finds the queue full is dropped, counted in ``items_dropped`` and reported by
    a False result.

    ``close`` (also on leaving a ``with`` block) waits at most ``linger_ms`` for waiting
    messages to be delivered; ``linger_ms=None`` waits as long as it takes. One producer
    may be shared by threads; its sends are serialised.
    """

    def __init__(
        self,
        endpoint: str | int | None = None,
        *,
        drop_when_full: bool = False,
        hwm: int = 1000,
        linger_ms: Optional[int] = 5000,
        limits: Limits = DEFAULT_LIMITS,
        server_key: str | bytes | None = None,
        key_file: str | None = None,
    ) -> None:
        if isinstance(hwm, bool) or not isinstance(hwm, int) or hwm < 1:
            raise ValueError(f"hwm must be a positive int, not {hwm!r}")
        if linger_ms is not None and (
            isinstance(linger_ms, bool) or not isinstance(linger_ms, int) or linger_ms < 0
        ):
            raise ValueError(f"linger_ms must be None or an int >= 0, not {linger_ms!r}")
        self.endpoint = connect_address(endpoint)
        check_private_dir(self.endpoint)
        self.drop_when_full = bool(drop_when_full)
        self.hwm = hwm
        self.linger_ms = linger_ms
        self.limits = limits
        self.items_sent = 0
        self.items_dropped = 0
        self.messages_sent = 0
        self._lock = threading.Lock()
        self._closed = False
        self._flags = zmq.NOBLOCK if self.drop_when_full else 0
        # A context of its own: terminating it tells close() whether the waiting
        # messages left before the linger ran out.
        self._ctx = zmq.Context(1)
        try:
            self._sock = self._ctx.socket(zmq.PUSH)
            self._sock.setsockopt(zmq.SNDHWM, hwm)
            self._sock.setsockopt(zmq.LINGER, -1 if linger_ms is None else linger_ms)
            # Encrypted and authenticated towards a secured consumer (docs: "Security").
            apply_curve(self._sock, server_key, key_file)
            self._sock.connect(self.endpoint)
        except BaseException:
            self._closed = True
            self._close_result = None
            self._ctx.destroy(linger=0)
            raise

    # -- sending ------------------------------------------------------------

    def send(self, cmd: str, data: Any = None) -> bool:
        """Sends the command item ``(cmd, data)``. True once queued for delivery, False
        when dropped (drop mode only)."""
        if not isinstance(cmd, str):
            raise TypeError(f"cmd must be str, not {type(cmd).__name__}")
        return self._send([(cmd, data)]) == 1

    def send_item(self, item: Any) -> bool:
        """Sends ``item`` as it is, well-formed or not (the panel warns about and drops
        items that are not a (str, payload) tuple)."""
        return self._send([item]) == 1

    def send_batch(self, items: Iterable[Any]) -> int:
        """Sends ``items`` in order, as few messages as the limits allow (one, usually);
        returns how many items were queued. Every item is encoded before the first
        message leaves, so a bad item raises with nothing sent."""
        return self._send(list(items))

    def _send(self, items: List[Any]) -> int:
        if not items:
            return 0
        messages = self._encode(items)
        queued = 0
        with self._lock:
            if self._closed:
                raise RuntimeError("Producer.send: the producer is closed")
            for count, data in messages:
                try:
                    self._sock.send(data, self._flags, copy=False)
                except zmq.Again:
                    self.items_dropped += count
                    continue
                self.messages_sent += 1
                self.items_sent += count
                queued += count
        return queued

    def _encode(self, items: List[Any]) -> List[tuple]:
        """(item count, message) pairs; a batch over the limits is halved until each
        part fits, and one item that cannot fit raises."""
        try:
            return [(len(items), encode(items, self.limits))]
        except WireError:
            if len(items) == 1:
                raise
        half = len(items) // 2
        return self._encode(items[:half]) + self._encode(items[half:])

    # -- closing ------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> Optional[bool]:
        """Delivers what waits and releases the connection.

        Returns True when every waiting message left within ``linger_ms``; False (with
        a DeliveryWarning) when the linger ran out first, so items may be lost; None when
        ``linger_ms`` is 0, which discards waiting messages without looking. Closing
        twice returns the first answer.
        """
        with self._lock:
            if self._closed:
                return self._close_result
            self._closed = True
            self._sock.close()
            start = time.monotonic()
            self._ctx.term()
            elapsed_ms = (time.monotonic() - start) * 1000.0
        if self.linger_ms is None:
            result: Optional[bool] = True
        elif self.linger_ms == 0:
            result = None
        else:
            # term() returns early once everything is out, and only at the end of the
            # linger when something could not go: a return near the deadline means
            # messages were still waiting. A timer may fire a little early, hence 0.9.
            result = elapsed_ms < 0.9 * self.linger_ms
            if not result:
                warnings.warn(
                    f"lumenfold.Producer.close: could not deliver every waiting item "
                    f"to {self.endpoint} within {self.linger_ms} ms; some may be lost",
                    DeliveryWarning,
                    stacklevel=2,
                )
        self._close_result = result
        return result

    def __del__(self) -> None:
        # Left to pyzmq, a context whose socket is still open blocks its collector
        # forever; closing here bounds that wait by the linger, as close() does.
        if getattr(self, "_closed", True) or not hasattr(self, "_sock"):
            return
        try:
            self.close()
        except Exception:
            pass

    def __enter__(self) -> "Producer":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<lumenfold.Producer {self.endpoint} {state}, {self.items_sent} items sent>"
