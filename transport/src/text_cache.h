// The decoder's cache of short strings.
#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tellurix::lumenfold::transport::detail {

// Short ASCII strings (command words, column names, unit names) come again in every
// item; one implicitly shared QString per distinct text saves an allocation each time.
// Direct-mapped: a slot holds the exact bytes of its text, and a lookup only answers
// when length and bytes are equal, so a collision costs a miss, never a wrong string.
class TextCache {
public:
    static constexpr std::uint32_t longest = 16;

    // The QString of `size` (<= longest) ASCII bytes at `data`.
    QString get(const char* data, std::uint32_t size) {
        Slot& slot = slots_[slot_of(data, size)];
        if (slot.size != size || std::memcmp(slot.bytes, data, size) != 0) {
            slot.text = QString::fromLatin1(data, static_cast<int>(size));
            std::memcpy(slot.bytes, data, size);
            slot.size = size;
        }
        return slot.text;
    }

private:
    static constexpr std::size_t slot_count = 64;
    struct Slot {
        QString text;
        char bytes[longest] = {};
        std::uint32_t size = longest + 1; // matches nothing
    };

    static std::size_t slot_of(const char* data, std::uint32_t size) {
        std::uint32_t h = size * 0x9e3779b1u;
        for (std::uint32_t i = 0; i < size; ++i)
            h = (h ^ static_cast<unsigned char>(data[i])) * 0x01000193u;
        return (h ^ (h >> 15)) % slot_count;
    }

    Slot slots_[slot_count];
};

} // namespace tellurix::lumenfold::transport::detail
