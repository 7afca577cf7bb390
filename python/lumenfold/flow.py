"""Credit-based flow control between a producer and the panel's consumer.

The consumer grants each producer credit: how many messages, and how many bytes in
all, it may have on their way beyond the last one the consumer confirmed. This module
holds the producer's side of that bookkeeping, apart from any socket.
"""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass
from typing import Any, Deque, Optional, Tuple, Union

import msgpack

from .sealed import Sealed, parse_sealed
from .wire import VERSION

__all__ = [
    "INITIAL_WINDOW_MSGS",
    "INITIAL_WINDOW_BYTES",
    "SYNC_EVERY_S",
    "Credit",
    "Refused",
    "encode_sync",
    "decode_answer",
    "Ledger",
]

# What a producer may send before the consumer's first answer.
INITIAL_WINDOW_MSGS = 256
INITIAL_WINDOW_BYTES = 1 << 20
# How often a producer that waits for an answer asks again: the answer may have been
# lost, or the consumer restarted and has not heard of this producer.
SYNC_EVERY_S = 0.25


@dataclass(frozen=True)
class Credit:
    session: int
    base: int
    acked: int
    window_msgs: int
    window_bytes: int


@dataclass(frozen=True)
class Refused:
    reason: str


def encode_sync(last_seq: int, closing: bool) -> bytes:
    return msgpack.packb(["sync", VERSION, last_seq, bool(closing)])


def _count(v: Any) -> int:
    if type(v) is not int or v < 0:
        raise ValueError("not a count")
    return v


def decode_answer(frame: bytes) -> Union[Credit, Refused, Sealed, None]:
    """The consumer's answer in ``frame``; None for anything else, which a producer
    ignores (it cannot act on what it does not understand)."""
    try:
        msg = msgpack.unpackb(frame, raw=False, strict_map_key=False)
        if type(msg) is not list or len(msg) < 2 or msg[1] != VERSION:
            return None
        if msg[0] == "credit" and len(msg) == 7:
            return Credit(*(_count(v) for v in msg[2:]))
        if msg[0] == "refused" and len(msg) == 3:
            return Refused(str(msg[2]))
        if msg[0] == "sealed":
            return parse_sealed(msg)
    except Exception:
        pass
    return None


class Ledger:
    """The producer's account: messages in flight and the window the consumer granted.

    A message is "in flight" from its send until the consumer confirms that it holds it
    (a sequence number up to ``acked``), or until a new consumer says it never got it.
    """

    def __init__(self) -> None:
        self.session: Optional[int] = None
        self.acked = 0
        self.window_msgs = INITIAL_WINDOW_MSGS
        self.window_bytes = INITIAL_WINDOW_BYTES
        # (seq, bytes, items) in send order
        self.in_flight: Deque[Tuple[int, int, int]] = deque()
        self.in_flight_bytes = 0
        self.in_flight_items = 0
        self.confirmed_items = 0
        self.lost_items = 0
        self.restarts = 0

    def may_send(self, size: int) -> bool:
        if len(self.in_flight) >= self.window_msgs or self.window_bytes == 0:
            return False
        # A message larger than the whole window goes alone.
        return self.in_flight_bytes + size <= self.window_bytes or not self.in_flight

    def sent(self, seq: int, size: int, items: int) -> None:
        self.in_flight.append((seq, size, items))
        self.in_flight_bytes += size
        self.in_flight_items += items

    def _pop(self) -> int:
        _, size, items = self.in_flight.popleft()
        self.in_flight_bytes -= size
        self.in_flight_items -= items
        return items

    def credit(self, c: Credit) -> None:
        first = self.session is None
        if (not first and c.session != self.session) or (
            first and self.in_flight and self.in_flight[0][0] <= c.base
        ):
            # A new consumer: what it never received and the old one never confirmed
            # is gone with the old one. A first answer that says its consumer never
            # received messages this producer sent means they went to another one
            # whose answer this producer never read.
            self.restarts += 1
            while self.in_flight and self.in_flight[0][0] <= c.base:
                self.lost_items += self._pop()
        self.session = c.session
        self.acked = max(c.acked, c.base)
        while self.in_flight and self.in_flight[0][0] <= self.acked:
            self.confirmed_items += self._pop()
        self.window_msgs = c.window_msgs
        self.window_bytes = c.window_bytes
