// What the codec offers the producer and the queue beyond the public encode() and
// decode(): packing a batch into messages of a chosen size without copying the items
// first, reusing buffers, decoding into a kept vector.
#pragma once

#include <tellurix/lumenfold/transport.h>

namespace tellurix::lumenfold::transport::detail {

// Both write into `buffer` instead of a new one when it is not shared and big enough,
// so that a producer can hand back the buffers of messages already sent.

/// At least the bytes of a message carrying `item` alone.
std::size_t size_bound(const host::Value& item);

/// One message carrying `item` alone, as encode_item() makes it; `size`: its size_bound.
QByteArray encode_one(const host::Value& item, std::size_t size, QByteArray buffer);

/// One message of the longest prefix of the `count` items at `items` that stays within
/// `limits` and ends with the first item that brings it to `target_bytes` or beyond; at
/// least one item, even one that does not fit alone. The prefix's length goes to
/// `taken`. `size_hint`: the bytes the buffer starts with.
QByteArray encode_prefix(const host::Value* items, std::size_t count, const Limits& limits,
                         std::size_t target_bytes, std::size_t size_hint, QByteArray buffer,
                         std::size_t& taken);

/// decode() into `items`, whose capacity is kept for the next message; `items` is empty
/// when DecodeError is thrown.
void decode_into(const char* data, std::size_t size, const Limits& limits,
                 std::vector<host::Value>& items);

/// For an ipc endpoint in a directory named lumenfold-<uid> of this user (the default one
/// when XDG_RUNTIME_DIR is unset): makes the directory with mode 0700 when `create` and it
/// is missing, and throws std::runtime_error ("<who>: ...") when it is not a directory of
/// this user closed to everyone else. Other endpoints pass unexamined.
void claim_private_dir(const QString& endpoint, bool create, const char* who);

} // namespace tellurix::lumenfold::transport::detail
