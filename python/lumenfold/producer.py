"""The sending end of the panel's command queue."""

from __future__ import annotations

import itertools
import threading
import time
import warnings
from typing import Any, Iterable, List, Optional, Tuple

import zmq
from zmq.utils.monitor import recv_monitor_message

from .endpoint import check_private_dir, connect_address
from . import sealed as _sealed
from .flow import SYNC_EVERY_S, Credit, Ledger, Refused, decode_answer, encode_sync
from .keys import apply_curve
from .wire import DEFAULT_LIMITS, BufferPool, Limits, WireError, encode_unnumbered, set_seq

__all__ = ["Producer", "DeliveryWarning", "RefusedError"]


class DeliveryWarning(RuntimeWarning):
    """Items may not have reached the panel before the producer closed."""


class RefusedError(RuntimeError):
    """The consumer does not serve this producer (another version of the wire format)."""


# Messages from this size on are handed to ZeroMQ without a copy (and come from the
# producer's BufferPool).
_ZERO_COPY_BYTES = BufferPool.SMALLEST
_NOT_PAIRED = (
    "its socket does not pair with this producer's: it speaks another version of the "
    "wire format, or it encrypts and lets in only producers it knows (give this producer "
    "the consumer's public key, server_key, and a key file)"
)
# Refusals of a producer given a server key: the consumer does not encrypt, or it hung
# up on a greeting it could not decrypt.
_PLAIN_CONSUMER = "it does not encrypt, and this producer was given a server key"
_HUNG_UP_SECURED = (
    "it dropped the connection during the handshake: is {} the consumer's public key? "
    "Otherwise it speaks another version of the wire format"
)


# The connection events that tell whether the consumer's socket pairs with ours.
_WATCHED = (
    zmq.EVENT_HANDSHAKE_FAILED_PROTOCOL
    | zmq.EVENT_HANDSHAKE_FAILED_AUTH
    | zmq.EVENT_HANDSHAKE_SUCCEEDED
    | zmq.EVENT_DISCONNECTED
)

# A secured consumer that does not let this producer's key in.
_NOT_LET_IN = (
    "it does not know this producer's key: add the key's public half to the consumer's "
    "authorized producers"
)


def _open_socket(
    ctx: zmq.Context,
    endpoint: str,
    hwm: int,
    server_key: "str | bytes | None" = None,
    key_file: "str | None" = None,
) -> Tuple[zmq.Socket, zmq.Socket]:
    """The producer's DEALER connected to ``endpoint``, and the monitor of its
    handshakes (a consumer of another wire format version has a socket type that does
    not pair with a DEALER, and ZeroMQ refuses the connection)."""
    sock = ctx.socket(zmq.DEALER)
    try:
        sock.setsockopt(zmq.SNDHWM, hwm)
        sock.setsockopt(zmq.LINGER, 0)
        # Encrypted and authenticated towards a secured consumer (docs: "Security").
        apply_curve(sock, server_key, key_file)
        monitor = sock.get_monitor_socket(_WATCHED)
        sock.connect(endpoint)
    except BaseException:
        sock.close(linger=0)
        raise
    return sock, monitor


class _SealedLink:
    """The sealed data connection of a secured producer (docs/wire-format.md, "Sealed
    data connection"): asked for with the first sync and used once the consumer answered,
    the connection is up and everything sent before it was confirmed, so that the two
    connections never overtake each other. Any step that does not come within its time
    leaves the producer on its CURVE connection."""

    OFF, ASKED, CONNECTING, DRAINING, ON = range(5)
    ANSWER_WAIT_S, CONNECT_WAIT_S, DRAIN_WAIT_S = 1.0, 3.0, 2.0

    def __init__(self) -> None:
        self.state = self.OFF
        self.since = 0.0
        self.sealer: "Optional[_sealed.Sealer]" = None
        self.sock: Optional[zmq.Socket] = None
        self.monitor: Optional[zmq.Socket] = None

    def open(self, ctx: zmq.Context, endpoint: str, offer: "_sealed.Sealed", hwm: int) -> None:
        if self.state != self.ASKED:
            return
        if offer.port == 0:  # the consumer has no sealed port
            self.close()
            return
        self.sock = ctx.socket(zmq.PUSH)
        # Messages go only to a connection that is up: one that never comes up holds none.
        self.sock.setsockopt(zmq.IMMEDIATE, 1)
        self.sock.setsockopt(zmq.SNDHWM, hwm)
        self.sock.setsockopt(zmq.LINGER, 0)
        self.monitor = self.sock.get_monitor_socket(zmq.EVENT_HANDSHAKE_SUCCEEDED)
        self.sock.connect(f"{endpoint.rsplit(':', 1)[0]}:{offer.port}")
        self.sealer = _sealed.Sealer(offer)
        self.state = self.CONNECTING
        self.since = time.monotonic()

    def connected(self, wait_ms: int) -> bool:
        return self.monitor is not None and self.monitor.poll(wait_ms, zmq.POLLIN) != 0

    def close(self) -> None:
        if self.sock is not None:
            self.sock.disable_monitor()
            self.monitor.close(linger=0)
            self.sock.close(linger=0)
        self.sock = self.monitor = self.sealer = None
        self.state = self.OFF


class Producer:
    """Puts command items into the queue of a panel listening at ``endpoint``.

    ``endpoint`` is a ZeroMQ address (``ipc://...``, ``tcp://host:port``), a bare port
    (127.0.0.1) or None for the default endpoint. The panel binds; the producer
    connects, so either may start first: a first 256 messages (1 MiB) sent before the
    panel is up wait in the producer.

    The panel grants credit: how much this producer may have on its way. By default
    ``send`` waits while there is none left, so nothing is lost while both ends run.
    With ``drop_when_full=True`` it never waits: an item that finds no credit is
    dropped, counted in ``items_dropped`` and reported by a False result. ``hwm`` bounds
    the messages ZeroMQ keeps for a connection that is not up yet.

    ``close`` (also on leaving a ``with`` block) waits at most ``linger_ms`` (None: as
    long as it takes) for the panel to confirm that it holds every item sent. One
    producer may be shared by threads; its sends are serialised.

    ``confirmed_items`` counts items the panel confirmed, ``unconfirmed_items`` those on
    their way, ``lost_items`` those a restarted panel never received, and
    ``consumer_restarts`` how often the panel was found restarted.
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
        self._closed = True  # until the socket is there, for __del__
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
        self._pool = BufferPool()
        self._ledger = Ledger()
        self._seq = 0  # the sequence number of the last data message sent
        self._last_sync = 0.0
        self._refused: Optional[str] = None
        self._server_key = server_key.decode() if isinstance(server_key, bytes) else server_key
        self._paired = False  # the current connection's handshake succeeded
        self._close_result = True
        self._ctx = zmq.Context(1)
        try:
            self._sock, self._monitor = _open_socket(
                self._ctx, self.endpoint, hwm, server_key, key_file
            )
        except BaseException:
            self._ctx.destroy(linger=0)
            raise
        self._closed = False
        # Ask for credit at once, so that it is there by the first send.
        self._sync(False)
        self._sealed = _SealedLink()
        self._ask_for_seal()

    # -- what the consumer confirmed -----------------------------------------

    @property
    def confirmed_items(self) -> int:
        """Items the consumer confirmed it holds."""
        return self._ledger.confirmed_items

    @property
    def unconfirmed_items(self) -> int:
        """Items sent and not yet confirmed (nor known lost)."""
        return self._ledger.in_flight_items

    @property
    def lost_items(self) -> int:
        """Items sent to a consumer that restarted before it confirmed them and that
        its successor never received."""
        return self._ledger.lost_items

    @property
    def sealed(self) -> bool:
        """Whether data messages go sealed on the secured consumer's data port
        (docs/wire-format.md, "Sealed data connection") rather than over the CURVE
        connection; False for a producer that does not encrypt."""
        return self._sealed.state == _SealedLink.ON

    @property
    def consumer_restarts(self) -> int:
        """How often the consumer was found to be a new one."""
        return self._ledger.restarts

    # -- sending ------------------------------------------------------------

    def send(self, cmd: str, data: Any = None) -> bool:
        """Sends the command item ``(cmd, data)``. True once on its way, False when
        dropped (drop mode only)."""
        if not isinstance(cmd, str):
            raise TypeError(f"cmd must be str, not {type(cmd).__name__}")
        return self._send([(cmd, data)]) == 1

    def send_item(self, item: Any) -> bool:
        """Sends ``item`` as it is, well-formed or not (the panel warns about and drops
        items that are not a (str, payload) tuple)."""
        return self._send([item]) == 1

    def send_batch(self, items: Iterable[Any]) -> int:
        """Sends ``items`` in order, as few messages as the limits allow (one, usually);
        returns how many items went. Every item is encoded before the first message
        leaves, so a bad item raises with nothing sent."""
        return self._send(list(items))

    def send_rows(self, cmd: str, values: Any) -> int:
        """Sends the item ``(cmd, list(row))`` for each row of the 2-D numpy array
        ``values`` (float64 or complex128; other float and complex dtypes are
        converted), in order and many rows to a message; returns how many rows went.

        The items are those ``send(cmd, list(row))`` would send, but numpy writes the
        rows' bytes, so no Python code runs per number. Needs numpy."""
        from .rows import row_messages

        return self._send_messages(row_messages(cmd, values, self.limits, self._pool))

    def _send(self, items: List[Any]) -> int:
        if not items:
            return 0
        return self._send_messages(self._encode(items))

    def _send_messages(self, messages: Iterable[Tuple[int, Any, int]]) -> int:
        """Sends (item count, message, offset of its sequence number) triples; a message
        is any writable byte buffer. An iterator is started before anything is sent, so
        that input it refuses raises with nothing sent."""
        messages = iter(messages)
        first = next(messages, None)
        if first is None:
            return 0
        sent = 0
        with self._lock:
            if self._closed:
                raise RuntimeError("Producer.send: the producer is closed")
            for count, data, seq_at in itertools.chain((first,), messages):
                if self._send_message(data, seq_at, count):
                    sent += count
        return sent

    def _encode(self, items: List[Any]) -> List[Tuple[int, bytearray, int]]:
        """(item count, message, offset of its sequence number) triples; a batch over the
        limits is halved until each part fits, and one item that cannot fit raises."""
        try:
            data, seq_at = encode_unnumbered(items, self.limits, self._pool)
            return [(len(items), data, seq_at)]
        except WireError:
            if len(items) == 1:
                raise
        half = len(items) // 2
        return self._encode(items[:half]) + self._encode(items[half:])

    def _send_message(self, data: Any, seq_at: int, count: int) -> bool:
        ledger = self._ledger
        size = memoryview(data).nbytes
        if self._sealed.state not in (_SealedLink.OFF, _SealedLink.ON):
            self._advance_sealed()
        # Answers are read as they come, not only when there is no room: a producer
        # that never waited still learns which consumer it talks to, and so finds out
        # when that one is replaced.
        if not ledger.may_send(size) or self._sock.getsockopt(zmq.EVENTS) & zmq.POLLIN:
            self._read_answers(0)
        while not ledger.may_send(size) and self._refused is None:
            if time.monotonic() - self._last_sync >= SYNC_EVERY_S:
                self._sync(False)
            if self.drop_when_full:
                self.items_dropped += count
                return False
            self._read_answers(int(SYNC_EVERY_S * 1000))
        if self._refused is not None:
            raise RefusedError(
                f"lumenfold.Producer: the consumer at {self.endpoint} refused this "
                f"producer: {self._refused}"
            )
        seq = self._seq + 1
        set_seq(data, seq_at, seq)
        # A sealed message that waits keeps its plain form: should the consumer turn out
        # to be a new one meanwhile, the channel is gone with the old one and the message
        # goes over the CURVE connection instead.
        plain, sock = data, self._sock
        if self._sealed.state == _SealedLink.ON:
            data, sock = self._sealed.sealer.seal(plain), self._sealed.sock
        while True:
            try:
                sock.send(data, zmq.NOBLOCK, copy=size < _ZERO_COPY_BYTES)
                break
            except zmq.Again:
                # ZeroMQ keeps no more for a connection that is not up: a dropping send
                # drops; a blocking one waits, and learns meanwhile if it never will be.
                if self.drop_when_full:
                    self.items_dropped += count
                    return False
                # A sealed connection that is down may be a consumer that restarted
                # and has not heard of this producer: ask, so that it answers.
                if sock is not self._sock and time.monotonic() - self._last_sync >= SYNC_EVERY_S:
                    self._sync(False)
                self._read_answers(0)
                if self._refused is not None:
                    raise RefusedError(
                        f"lumenfold.Producer: the consumer at {self.endpoint} refused "
                        f"this producer: {self._refused}"
                    )
                if sock is not self._sock and self._sealed.state != _SealedLink.ON:
                    data, sock = plain, self._sock
                    continue
                sock.poll(int(SYNC_EVERY_S * 1000) // 5, zmq.POLLOUT)
        self._seq = seq
        ledger.sent(seq, size, count)
        self.messages_sent += 1
        self.items_sent += count
        return True

    # -- the sealed data connection -----------------------------------------

    def _ask_for_seal(self) -> None:
        self._sealed.close()
        # Only a secured consumer's tcp port has a sealed one beside it.
        if not self._server_key or not self.endpoint.startswith("tcp://"):
            return
        if not _sealed.available():
            return
        try:
            self._sock.send(_sealed.encode_seal(), zmq.NOBLOCK)
        except zmq.Again:
            return
        self._sealed.state = _SealedLink.ASKED
        self._sealed.since = time.monotonic()

    def _advance_sealed(self) -> None:
        # A producer that may wait waits here for the steps, a few round trips, rather
        # than send more over the slower connection meanwhile; one that drops when full
        # never waits.
        link = self._sealed
        wait = not self.drop_when_full
        while True:
            if link.state == link.ASKED:
                # Until the consumer has answered anything the answer cannot come, and a
                # refused producer learns it when it would without a sealed connection.
                if self._sock.getsockopt(zmq.EVENTS) & zmq.POLLIN:
                    self._read_answers(0)
                if link.state == link.ASKED and self._ledger.session is None:
                    link.since = time.monotonic()
                    return
                if link.state == link.ASKED and wait:
                    self._read_answers(5)
                if link.state == link.ASKED:
                    if time.monotonic() - link.since >= link.ANSWER_WAIT_S:
                        link.close()
                    elif not wait:
                        return
            elif link.state == link.CONNECTING:
                if link.connected(5 if wait else 0):
                    link.state = link.DRAINING
                    link.since = time.monotonic()
                    if self._ledger.in_flight:
                        self._sync(False)  # its answer confirms everything sent before it
                elif time.monotonic() - link.since >= link.CONNECT_WAIT_S:
                    link.close()
                elif not wait:
                    return
                else:
                    # The answer may have been an old consumer's, read after it went: a
                    # new one answers the syncs, and is asked again.
                    if time.monotonic() - self._last_sync >= SYNC_EVERY_S:
                        self._sync(False)
                    self._read_answers(0)
            elif link.state == link.DRAINING:
                # What went over CURVE must be confirmed before anything goes sealed.
                if not self._ledger.in_flight:
                    link.state = link.ON
                elif self._refused is not None or (
                    time.monotonic() - link.since >= link.DRAIN_WAIT_S
                ):
                    link.close()
                else:
                    if time.monotonic() - self._last_sync >= SYNC_EVERY_S / 10:
                        self._sync(False)
                    self._read_answers(10 if wait else 0)
                    if not wait and self._ledger.in_flight:
                        return
            else:
                return

    # -- talking with the consumer -------------------------------------------

    def _sync(self, closing: bool) -> None:
        self._last_sync = time.monotonic()
        try:
            self._sock.send(encode_sync(self._seq, closing), zmq.NOBLOCK)
        except zmq.Again:
            pass  # asked again later

    def _read_answers(self, wait_ms: int) -> None:
        if wait_ms > 0:
            self._sock.poll(wait_ms, zmq.POLLIN)
        if self._refused is None:
            self._refused = self._handshakes_refused()
        while True:
            try:
                frame = self._sock.recv(zmq.NOBLOCK, copy=True)
            except zmq.Again:
                return
            answer = decode_answer(frame)
            if isinstance(answer, Credit):
                restarts = self._ledger.restarts
                self._ledger.credit(answer)
                # A new consumer: its sealed port and channel are new too.
                if self._ledger.restarts != restarts:
                    self._ask_for_seal()
            elif isinstance(answer, Refused):
                self._refused = answer.reason
            elif isinstance(answer, _sealed.Sealed):
                self._sealed.open(self._ctx, self.endpoint, answer, self.hwm)

    def _handshakes_refused(self) -> Optional[str]:
        # The end that finds the other's socket type wrong reports a failed handshake;
        # when that is the consumer, this end only sees the connection close before its
        # handshake succeeded (and ZeroMQ does not try again). A secured consumer that
        # does not know our key fails the handshake's authentication.
        refused: Optional[str] = None
        while True:
            try:
                message = recv_monitor_message(self._monitor, zmq.NOBLOCK)
            except zmq.Again:
                return refused
            event = message["event"]
            if event == zmq.EVENT_HANDSHAKE_SUCCEEDED:
                self._paired = True
            elif event == zmq.EVENT_DISCONNECTED and self._paired:
                self._paired = False
            elif event == zmq.EVENT_HANDSHAKE_FAILED_AUTH:
                refused = _NOT_LET_IN
            elif refused is None and self._server_key:
                mismatch = (
                    event == zmq.EVENT_HANDSHAKE_FAILED_PROTOCOL
                    and message["value"] == zmq.PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH
                )
                refused = _PLAIN_CONSUMER if mismatch else _HUNG_UP_SECURED.format(self._server_key)
            elif refused is None:
                refused = _NOT_PAIRED

    # -- closing ------------------------------------------------------------

    @property
    def closed(self) -> bool:
        return self._closed

    def close(self) -> bool:
        """Waits for the consumer to confirm every item sent, then releases the
        connection.

        Returns True when the consumer confirmed that it holds every item sent; False,
        with a DeliveryWarning saying how many items were not confirmed, when
        ``linger_ms`` ran out first, the consumer refused this producer, or items were
        lost to a consumer restart. Closing twice returns the first answer.
        """
        with self._lock:
            if self._closed:
                return self._close_result
            self._closed = True
            ledger = self._ledger
            deadline = None if self.linger_ms is None else time.monotonic() + self.linger_ms / 1000
            # The consumer answers a closing sync once it has read everything before
            # it: that answer, not the time it took, says what it holds.
            self._sync(True)
            self._read_answers(0)
            while ledger.in_flight and self._refused is None:
                now = time.monotonic()
                if deadline is not None and now >= deadline:
                    break
                if now - self._last_sync >= SYNC_EVERY_S:
                    self._sync(True)
                wait = SYNC_EVERY_S if deadline is None else min(deadline - now, SYNC_EVERY_S)
                self._read_answers(int(wait * 1000) + 1)
            unconfirmed = ledger.in_flight_items
            lost = ledger.lost_items
            refused = self._refused
            self._sealed.close()
            self._sock.disable_monitor()
            self._monitor.close(linger=0)
            self._sock.close(linger=0)
            self._ctx.term()
            self._close_result = unconfirmed == 0 and lost == 0
        if not self._close_result:
            why = []
            if unconfirmed:
                waited = "" if self.linger_ms is None else f" within {self.linger_ms} ms"
                why.append(
                    f"the consumer at {self.endpoint} did not confirm {unconfirmed} of "
                    f"the items sent{waited}; they may be lost"
                )
            if lost:
                why.append(f"{lost} items were lost when the consumer restarted")
            text = "; ".join(why)
            if refused is not None:
                text += f" (the consumer refused this producer: {refused})"
            warnings.warn("lumenfold.Producer.close: " + text, DeliveryWarning, stacklevel=2)
        return self._close_result

    def __del__(self) -> None:
        # Left to pyzmq, a context whose socket is still open blocks its collector
        # forever; closing here bounds that wait by the linger, as close() does.
        if getattr(self, "_closed", True):
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
