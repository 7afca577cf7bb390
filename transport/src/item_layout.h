// The layout of a data message's last item checked in full, for checking the items that
// repeat it by comparing bytes instead of walking them.
//
// Records come by the thousand with the same bytes but for their float64 payloads, and
// any eight bytes are a valid float64: an item whose bytes equal those of the item
// checked in full, the payloads aside, is valid as that one was and holds as many
// values. Nothing else in it depends on where it lies in the message, once it lies there
// whole: its arrays and tuple bodies end where its own bytes say, and an array of n
// elements takes at least n of the item's bytes. Any fault is still found by the full
// walk of an item that does not repeat the layout, and reported as before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tellurix::lumenfold::transport::detail {

class ItemLayout {
public:
    /// The size of the item at `at`, when it repeats the layout, lies within the `left`
    /// bytes to the message's end and keeps to the `values_left` values the message may
    /// still hold; its values go to `values`. 0 otherwise.
    std::size_t repeated_at(const unsigned char* at, std::size_t left, std::size_t values_left,
                            std::size_t& values) const {
        if (size_ == 0 || left < size_ || values_ > values_left)
            return 0;
        std::size_t from = 0;
        for (std::uint32_t k = 0; k < float_count_; ++k) {
            const std::size_t to = floats_[k];
            if (!same(at + from, bytes_ + from, to - from))
                return 0;
            from = to + 8;
        }
        if (!same(at + from, bytes_ + from, size_ - from))
            return 0;
        values = values_;
        return size_;
    }

    /// A full check of the item at `item` begins, `values` counted in the message so far.
    void begin(const unsigned char* item, std::size_t values) {
        bytes_ = item;
        size_ = 0;
        values_ = values;
        float_count_ = 0;
        learning_ = true;
    }

    /// The check met a float64 whose payload begins at `payload`.
    void note_float(const unsigned char* payload) {
        if (!learning_)
            return;
        if (float_count_ == most_floats) {
            learning_ = false; // too many to note: no layout from this item
            return;
        }
        floats_[float_count_++] = static_cast<std::uint32_t>(payload - bytes_);
    }

    /// The item checked in full ends at `end`, `values` counted in the message so far.
    void end(const unsigned char* end, std::size_t values) {
        const auto size = static_cast<std::size_t>(end - bytes_);
        // A long item (a trace) is checked in a few steps anyway; comparing its bytes
        // would cost more.
        if (learning_ && size > 0 && size <= most_bytes) {
            size_ = size;
            values_ = values - values_;
        }
        learning_ = false;
    }

private:
    // The stretches between payloads are mostly a byte or a few: a call to memcmp for
    // each would cost more than the comparison.
    static bool same(const unsigned char* a, const unsigned char* b, std::size_t n) {
        for (; n >= 8; n -= 8, a += 8, b += 8) {
            std::uint64_t x, y;
            std::memcpy(&x, a, 8);
            std::memcpy(&y, b, 8);
            if (x != y)
                return false;
        }
        for (; n > 0; --n)
            if (*a++ != *b++)
                return false;
        return true;
    }

    static constexpr std::size_t most_bytes = 1024;
    static constexpr std::uint32_t most_floats = 128;

    const unsigned char* bytes_ = nullptr;
    std::size_t size_ = 0; // 0: none learned
    std::size_t values_ = 0;
    bool learning_ = false;
    // Where the float64 payloads lie in the item, in order.
    std::uint32_t float_count_ = 0;
    std::uint32_t floats_[most_floats];
};

} // namespace tellurix::lumenfold::transport::detail
