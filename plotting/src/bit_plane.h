// Bit planes: one bit per logical pixel over a rectangle, the form in which symbol marks,
// their painted union and the pixels a line covers are gathered before anything is written
// to the image.
#pragma once

#include <QRect>

#include <cstdint>
#include <utility>
#include <vector>

namespace tellurix::lumenfold::plotting::detail {

/// One bit per logical pixel over `rect`; rows of `stride` 64-bit words, bit j of a row
/// standing for x = rect.left() + j. The words live in a vector owned elsewhere (scratch
/// memory or a curve's cache), so that a plane is cheap to pass and to copy.
struct Plane {
    QRect rect;
    int stride = 0;
    std::vector<std::uint64_t>* bits = nullptr;

    /// Covers `r` with rows of `rowWords` words, all clear, in `storage`.
    void reset(const QRect& r, int rowWords, std::vector<std::uint64_t>& storage);
    std::uint64_t* row(int r) const {
        return bits->data() + static_cast<size_t>(r) * static_cast<size_t>(stride);
    }
    /// Sets the bit of a pixel, if the pixel lies in the rectangle.
    void setIn(std::int64_t x, std::int64_t y) {
        const std::int64_t cx = x - rect.left(), cy = y - rect.top();
        if (cx < 0 || cy < 0 || cx >= rect.width() || cy >= rect.height())
            return;
        row(static_cast<int>(cy))[cx >> 6] |= std::uint64_t{1} << (cx & 63);
    }
    bool test(int x, int y) const {
        const int cx = x - rect.left(), cy = y - rect.top();
        if (cx < 0 || cy < 0 || cx >= rect.width() || cy >= rect.height())
            return false;
        return (row(cy)[cx >> 6] >> (cx & 63)) & 1u;
    }
};

/// A stamp's opaque pixels as one run [first, end) of columns per stamp row (empty rows
/// have first >= end); columns lie below 64.
using StampSpans = std::vector<std::pair<int, int>>;

/// ORs into `out` the stamp at every mark of rows [firstRow, endRow) of `marks`: mark bit j
/// of row y becomes bits j + c, c in the span of stamp row r, of row y - firstRow + r of
/// `out`. `out` shares the marks' bit origin and has at least as many words per row.
void stampUnion(const Plane& marks, int firstRow, int endRow, const StampSpans& spans, Plane& out);

/// Clears every bit outside `keep` (logical pixels).
void clearOutside(Plane& plane, const QRect& keep);

/// `deep` (same rectangle and stride as `cover`) gets the pixels of `cover` whose every
/// neighbour within `radius` in x and in y is set as well.
void erode(const Plane& cover, int radius, Plane& deep);

/// The rows that hold any mark, and whether the marks lie close enough together that their
/// stamps' union costs less to gather and write than the stamps one by one. Measured: with
/// four marks or more to each word that holds any (a line of symbols) the union costs less;
/// with two or three (symbols spread over the plot) stamping each one still does.
struct MarkLayout {
    int firstRow = 0, endRow = 0; // rows [firstRow, endRow) hold every mark
    bool crowded = false;
};
MarkLayout layoutOf(const Plane& marks);

/// Set bits of a word, without the library call the base instruction set makes of it.
inline int bitCount(std::uint64_t x) {
    x -= (x >> 1) & 0x5555555555555555u;
    x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
    return static_cast<int>((x * 0x0101010101010101u) >> 56);
}

} // namespace tellurix::lumenfold::plotting::detail
