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
    template <typename Visit> bool forTiles(const QPoint& a, const QPoint& b, Visit&& visit) const;
    bool full(int column, int row) const;
    // False when no tile in the segment's box is open (then it is covered).
    bool maybeOpen(const QPoint& a, const QPoint& b) const;
    void sum() const;

    const Plane& plane_;
    int columns_ = 0, rows_ = 0, width_ = 0, height_ = 0;
    std::vector<std::uint8_t> openTiles_;  // 1 where a tile has a pixel left to set
    std::vector<std::uint64_t> keepWords_; // per word column: the bits that count
    int firstRow_ = 0, endRow_ = 0;        // plane rows that count
    int open_ = 0;
    // Open tiles in each rectangle from tile (0, 0), to answer for a segment's box at once;
    // renewed lazily once tiles have closed (a stale count only sends a segment to the walk).
    mutable std::vector<int> sums_;
    mutable bool stale_ = true;
    std::vector<std::uint8_t> majorOpen_; // scratch of openStretches
    std::vector<int> touched_;            // open tiles the last segment touches
};

/// Draws the runs of `in` with `thin` (which writes into `plane`), segment by segment,
/// skipping what is covered already; runs ThinLine leaves to the engine (closed ones) are
/// appended to `closed`, each after a break. Returns the number of segments drawn.
std::size_t drawUncovered(const QPoint* in, std::size_t count, ThinLine& thin, const Plane& plane,
                          const QRect& allowed, std::vector<QPoint>& closed);

} // namespace tellurix::lumenfold::plotting::detail
