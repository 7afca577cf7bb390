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
QByteArray encode_one(const host::Value& item, std::uint64_t seq, std::size_t size,
                      QByteArray buffer);

/// One message of the longest prefix of the `count` items at `items` that stays within
/// `limits` and ends with the first item that brings it to `target_bytes` or beyond; at
/// least one item, even one that does not fit alone. The prefix's length goes to
/// `taken`. `size_hint`: the bytes the buffer starts with.
QByteArray encode_prefix(const host::Value* items, std::size_t count, std::uint64_t seq,
                         const Limits& limits, std::size_t target_bytes, std::size_t size_hint,
                         QByteArray buffer, std::size_t& taken);

/// Most elements of a control message, its word included.
inline constexpr std::uint32_t max_control_elements = 16;

/// A control message: the array of `elements`, the first a string (the control word).
QByteArray encode_control(const std::vector<host::Value>& elements);

/// What one message turned out to be.
struct Frame {
    /// A control message (its elements went to `items`), not a data message.
    bool control = false;
    /// A data message's sequence number.
    std::uint64_t seq = 0;
};

/// A look at a message's header, enough to account for it before it is decoded.
struct Peek {
    enum Kind { Data, Control, Foreign, Malformed } kind = Malformed;
    /// Data: the sequence number and the number of items.
    std::uint64_t seq = 0;
    std::uint32_t items = 0;
    /// Foreign: the version the message claims (an integer other than wire_version).
    std::int64_t version = 0;
};
Peek peek_message(const char* data, std::size_t size);

/// Decodes one message into `items`, whose capacity is kept for the next message: the
/// items of a data message, or the elements of a control message. `items` is empty when
/// DecodeError is thrown.
Frame decode_frame(const char* data, std::size_t size, const Limits& limits,
                   std::vector<host::Value>& items);

/// Where the items of a checked data message stand: the byte offset of the next one and
/// how many are left.
struct ItemCursor {
    std::size_t offset = 0;
    std::uint32_t left = 0;
};

/// Checks one message whole, every rule and limit as decode_frame() does, without building
/// the items of a data message: `at` then points at its first item, for decode_items().
/// The elements of a control message go to `items`. Throws DecodeError.
Frame check_frame(const char* data, std::size_t size, const Limits& limits,
                  std::vector<host::Value>& items, ItemCursor& at);

/// The next items of a data message check_frame() accepted, into `items` (emptied
/// first): at most `most_items`, and none after the first that brings the bytes read to
/// `most_bytes`. A host that takes a long message in such slices keeps the items it holds
/// at once, and so the memory it touches, small.
void decode_items(const char* data, std::size_t size, const Limits& limits, ItemCursor& at,
                  std::uint32_t most_items, std::size_t most_bytes,
                  std::vector<host::Value>& items);

/// For an ipc endpoint in a directory named lumenfold-<uid> of this user (the default one
/// when XDG_RUNTIME_DIR is unset): makes the directory with mode 0700 when `create` and it
/// is missing, and throws std::runtime_error ("<who>: ...") when it is not a directory of
/// this user closed to everyone else. Other endpoints pass unexamined.
void claim_private_dir(const QString& endpoint, bool create, const char* who);

} // namespace tellurix::lumenfold::transport::detail
