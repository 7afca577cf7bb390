// Coarse tiles over a plane that a curve's thin line is drawn into: a tile whose every
// pixel that may be written is set already cannot change any more, so a segment that only
// touches such tiles is not walked at all. For dense clouds, where consecutive points land
// far apart and the line soon covers all it can, this leaves most segments untouched; the
// picture is the same, since skipping a segment only ever leaves out pixels that are set.
#pragma once

#include "bit_plane.h"
#include "thin_line.h"

#include <QPoint>
#include <QRect>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tellurix::lumenfold::plotting::detail {

class CoveredTiles {
public:
    /// Tiles are one plane word (64 pixels) wide and this many rows tall.
    static constexpr int kRows = 16;
    /// How far (in pixels, in x and in y) from the straight line between two vertices a thin
    /// pen's pixels can lie, caps and joints included.
    static constexpr int kMargin = 2;

    /// Over `plane`; only the logical pixels in `allowed` count, the others are as good as
    /// set (nothing may be written there).
    CoveredTiles(const Plane& plane, const QRect& allowed);

    /// Of the `count` segments from `run` (run[k] to run[k + 1]), writes to `out` the
    /// indices of those whose box (with the margin) holds a tile that was open when the
    /// tiles were last counted; returns how many. The others are covered; a tile closed
    /// since only sends a segment on to openStretches, which finds it covered then. Without
    /// a branch on the data: most segments of a dense line stop here.
    int mayBeOpen(const QPoint* run, int count, int* out);
    /// The segment's pixels that may still be unset lie in the rectangles put into `out`
    /// (logical pixels; stretches along its longer axis over the open tiles it touches,
    /// each spanning the other axis whole); none when it is covered.
    void openStretches(const QPoint& a, const QPoint& b, std::vector<QRect>& out);
    /// Looks again at the open tiles the segment last given to openStretches touches,
    /// after it was drawn.
    void drawn();
    /// Tiles with a pixel left to set.
    int open() const { return open_; }

private:
    struct Box {
        int c0, c1, r0, r1; // tile columns and rows, inclusive
    };
    // The tiles of the segment's box with the margin, cut to the plane; false when it lies
    // off the plane.
    bool boxOf(const QPoint& a, const QPoint& b, Box& box) const;
    void count();
    bool full(int column, int row);
    void close(int column, int row);
    const std::uint64_t* column(int c) const {
        return byColumn_.data() + static_cast<size_t>(c) * static_cast<size_t>(columnWords_);
    }

    const Plane& plane_;
    int columns_ = 0, rows_ = 0, width_ = 0, height_ = 0;
    // Open tiles as bits: bit r of tile column c, so that a segment asks the rows it reaches
    // in a tile column at once.
    int columnWords_ = 0;
    std::vector<std::uint64_t> byColumn_;
    std::vector<std::uint64_t> keepWords_; // per word column: the bits that count
    int firstRow_ = 0, endRow_ = 0;        // plane rows that count
    std::vector<std::uint8_t> fullRows_;   // per tile: its first rows found full
    int open_ = 0;
    // Open tiles in each rectangle from tile (0, 0), renewed when tiles have closed.
    std::vector<int> sums_;
    bool stale_ = true;
    std::vector<std::uint64_t> majorOpen_; // scratch of openStretches: open tiles along it
    struct Touched {
        int column, from, to; // tile rows [from, to] of a tile column
    };
    std::vector<Touched> touched_; // where the last segment touches open tiles
};

/// Draws the runs of `in` with `thin` (which writes into `plane`), segment by segment,
/// skipping what is covered already; runs ThinLine leaves to the engine (closed ones) are
/// appended to `closed`, each after a break. Returns the number of segments drawn.
std::size_t drawUncovered(const QPoint* in, std::size_t count, ThinLine& thin, const Plane& plane,
                          const QRect& allowed, std::vector<QPoint>& closed);

} // namespace tellurix::lumenfold::plotting::detail
