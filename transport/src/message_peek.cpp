// The look at a message's header that the queue's receiving thread takes before it
// holds the message: data or control, its sequence number and how many items it carries,
// without decoding it.
#include "wire.h"

#include <QtEndian>

#include <limits>
#include <optional>
#include <utility>

namespace tellurix::lumenfold::transport {

namespace {

// A MessagePack integer at `p`, moving past it; nothing when another value is there.
std::optional<std::int64_t> peek_int(const unsigned char*& p, const unsigned char* end) {
    if (p >= end)
        return std::nullopt;
    const unsigned char m = *p;
    if (m <= 0x7f || m >= 0xe0) {
        ++p;
        return static_cast<std::int64_t>(static_cast<std::int8_t>(m));
    }
    static const std::pair<unsigned char, int> widths[] = {
        {0xcc, 1}, {0xcd, 2}, {0xce, 4}, {0xcf, 8}, {0xd0, 1}, {0xd1, 2}, {0xd2, 4}, {0xd3, 8}};
    for (const auto& [marker, width] : widths) {
        if (m != marker)
            continue;
        if (end - p < 1 + width)
            return std::nullopt;
        std::uint64_t bits = 0;
        for (int i = 1; i <= width; ++i)
            bits = (bits << 8) | p[i];
        p += 1 + width;
        if (m >= 0xd0) { // signed: extend the sign of the width read
            const int shift = 64 - 8 * width;
            return static_cast<std::int64_t>(bits << shift) >> shift;
        }
        if (bits > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return std::nullopt;
        return static_cast<std::int64_t>(bits);
    }
    return std::nullopt;
}

} // namespace

detail::Peek detail::peek_message(const char* data, std::size_t size) {
    Peek peek;
    auto p = reinterpret_cast<const unsigned char*>(data);
    const auto end = p + size;
    if (size == 0)
        return peek;
    std::uint32_t count = 0;
    if (*p >= 0x90 && *p <= 0x9f) {
        count = *p++ & 0x0fu;
    } else if (*p == 0xdc && size >= 3) {
        count = qFromBigEndian<quint16>(p + 1);
        p += 3;
    } else if (*p == 0xdd && size >= 5) {
        count = qFromBigEndian<quint32>(p + 1);
        p += 5;
    } else {
        return peek;
    }
    if (count == 0 || p == end)
        return peek;
    if ((*p >= 0xa0 && *p <= 0xbf) || *p == 0xd9 || *p == 0xda || *p == 0xdb) {
        peek.kind = Peek::Control;
        return peek;
    }
    const std::optional<std::int64_t> version = peek_int(p, end);
    if (!version)
        return peek; // a float or no number at all: the decoder says which
    if (*version != wire_version) {
        peek.kind = Peek::Foreign;
        peek.version = *version;
        return peek;
    }
    const std::optional<std::int64_t> seq = peek_int(p, end);
    if (!seq || *seq < 0 || count < 3)
        return peek;
    peek.kind = Peek::Data;
    peek.seq = static_cast<std::uint64_t>(*seq);
    peek.items = count - 2;
    return peek;
}

} // namespace tellurix::lumenfold::transport
