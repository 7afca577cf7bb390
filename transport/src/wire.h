// What the codec offers the producer beyond the public encode(): packing a batch into
// messages of a chosen size without copying the items first.
#pragma once

#include <tellurix/lumenfold/transport.h>

namespace tellurix::lumenfold::transport::detail {

/// One message of the longest prefix of the `count` items at `items` that stays within
/// `limits` and ends with the first item that brings it to `target_bytes` or beyond; at
/// least one item, even one that does not fit alone. The prefix's length goes to
/// `taken`. `size_hint`: the bytes the buffer starts with.
QByteArray encode_prefix(const host::Value* items, std::size_t count, const Limits& limits,
                         std::size_t target_bytes, std::size_t size_hint, std::size_t& taken);

} // namespace tellurix::lumenfold::transport::detail
