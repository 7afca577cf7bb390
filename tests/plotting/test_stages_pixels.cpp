// The stages that turn vertices and marks into pixels, each against a plain reference written
// here pixel by pixel: bit planes, the segment filters, the covered tiles of a dense line,
// the pixel writer and the symbol stamps (against Qwt drawing each symbol).
#include "bit_plane.h"
#include "covered_tiles.h"
#include "pixel_writer.h"
#include "segment_filters.h"
#include "symbol_stamp.h"
#include "thin_line.h"
#include "vertex_runs.h"

#include <qwt_symbol.h>

#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace {

using namespace tellurix::lumenfold::plotting::detail;

struct Bits {
    std::vector<std::uint64_t> storage;
    Plane plane;
    Bits(const QRect& rect, int extraWords = 1) {
        plane.reset(rect, (rect.width() + 63) / 64 + extraWords, storage);
    }
    void randomise(unsigned seed, int percent) {
        std::mt19937 rng(seed);
        for (int y = 0; y < plane.rect.height(); ++y)
            for (int x = 0; x < plane.rect.width(); ++x)
                if (static_cast<int>(rng() % 100) < percent)
                    plane.setIn(plane.rect.left() + x, plane.rect.top() + y);
    }
};

// ---------------------------------------------------------------------------------------------
// Bit planes

struct PlaneCase {
    const char* name;
    QRect marks;      // the marks' rectangle
    int percent;      // of its pixels marked
    StampSpans spans; // the stamp, a run per row
    int radius;       // of the erosion
};

void PrintTo(const PlaneCase& c, std::ostream* os) {
    *os << c.name;
}

class PlaneStage : public ::testing::TestWithParam<PlaneCase> {};

TEST_P(PlaneStage, UnionErosionAndClearingAgreeWithPixelByPixel) {
    const PlaneCase& c = GetParam();
    Bits marks(c.marks);
    marks.randomise(4, c.percent);
    const int sh = static_cast<int>(c.spans.size());
    int sw = 0;
    for (const auto& s : c.spans)
        sw = std::max(sw, s.second);
    const QRect reach(c.marks.topLeft(), QSize(c.marks.width() + sw, c.marks.height() + sh - 1));
    Bits cover(reach);
    ASSERT_GE(cover.plane.stride, marks.plane.stride);
    cover.plane.stride = marks.plane.stride; // shares the marks' words, as the curve's does
    cover.plane.reset(reach, marks.plane.stride, cover.storage);
    stampUnion(marks.plane, 0, c.marks.height(), c.spans, cover.plane);
    for (int y = 0; y < reach.height(); ++y)
        for (int x = 0; x < reach.width(); ++x) {
            bool plain = false;
            for (int r = 0; r < sh && !plain; ++r)
                for (int col = c.spans[r].first; col < c.spans[r].second && !plain; ++col)
                    plain = marks.plane.test(reach.left() + x - col, reach.top() + y - r);
            ASSERT_EQ(cover.plane.test(reach.left() + x, reach.top() + y), plain)
                << "union at " << x << "," << y;
        }

    // A band of the marks' rows only, into a plane of one word more per row that stops a
    // row short of the stamps' reach, as the symbols' own union is gathered.
    const int from = c.marks.height() / 3, to = c.marks.height() - c.marks.height() / 4;
    const QRect band(c.marks.left(), c.marks.top() + from, reach.width(),
                     std::max(1, to - from + sh - 2));
    Bits wider(band);
    wider.plane.reset(band, marks.plane.stride + 1, wider.storage);
    stampUnion(marks.plane, from, to, c.spans, wider.plane);
    for (int y = 0; y < band.height(); ++y)
        for (int x = 0; x < (marks.plane.stride + 1) * 64; ++x) {
            bool plain = false;
            for (int r = 0; r < sh && !plain; ++r) {
                const int my = y + from - r; // marks row
                for (int col = c.spans[r].first; col < c.spans[r].second && !plain; ++col)
                    plain = my >= from && my < to &&
                            marks.plane.test(band.left() + x - col, c.marks.top() + my);
            }
            ASSERT_EQ(wider.plane.test(band.left() + x, band.top() + y), plain)
                << "band's union at " << x << "," << y;
        }

    Bits deep(reach);
    deep.plane.reset(reach, cover.plane.stride, deep.storage);
    erode(cover.plane, c.radius, deep.plane);
    for (int y = 0; y < reach.height(); ++y)
        for (int x = 0; x < reach.width(); ++x) {
            bool plain = true;
            for (int dy = -c.radius; dy <= c.radius && plain; ++dy)
                for (int dx = -c.radius; dx <= c.radius && plain; ++dx)
                    plain = cover.plane.test(reach.left() + x + dx, reach.top() + y + dy);
            ASSERT_EQ(deep.plane.test(reach.left() + x, reach.top() + y), plain)
                << "erosion at " << x << "," << y;
        }

    // Kept: inside the edges, the whole plane and more, within one word, from a word's first
    // column, nothing, and a rectangle off the plane.
    const QRect keeps[] = {reach.adjusted(3, 2, -5, -1),
                           reach.adjusted(-9, -9, 9, 9),
                           QRect(reach.left() + 5, reach.top() + 1, 20, 3),
                           QRect(reach.left() + 64, reach.top(), 70, reach.height()),
                           QRect(),
                           reach.translated(reach.width() + 1, 0)};
    for (const QRect& keep : keeps) {
        Bits kept(reach);
        kept.plane.reset(reach, cover.plane.stride, kept.storage);
        kept.storage = cover.storage;
        clearOutside(kept.plane, keep);
        for (int y = 0; y < reach.height(); ++y)
            for (int x = 0; x < kept.plane.stride * 64; ++x) {
                const QPoint p(reach.left() + x, reach.top() + y);
                const bool bit = (kept.plane.row(y)[x >> 6] >> (x & 63)) & 1u;
                ASSERT_EQ(bit,
                          keep.contains(p) && reach.contains(p) && cover.plane.test(p.x(), p.y()))
                    << "kept " << keep.x() << "," << keep.y() << " " << keep.width() << "x"
                    << keep.height() << " at " << x << "," << y;
            }
    }

    const MarkLayout layout = layoutOf(marks.plane);
    int first = c.marks.height(), end = 0;
    for (int y = 0; y < c.marks.height(); ++y)
        for (int x = 0; x < c.marks.width(); ++x)
            if (marks.plane.test(c.marks.left() + x, c.marks.top() + y)) {
                first = std::min(first, y);
                end = y + 1;
            }
    EXPECT_EQ(layout.firstRow, first);
    EXPECT_EQ(layout.endRow, end);
}

const StampSpans kDot{{0, 1}};
const StampSpans kDisc5{{1, 4}, {0, 5}, {0, 5}, {0, 5}, {1, 4}};
const StampSpans kWide{{0, 64}, {10, 40}, {63, 64}};

INSTANTIATE_TEST_SUITE_P(
    Rows, PlaneStage,
    ::testing::Values(PlaneCase{"dot_sparse", QRect(0, 0, 100, 40), 3, kDot, 1},
                      PlaneCase{"disc_dense", QRect(-7, 5, 130, 50), 40, kDisc5, 2},
                      PlaneCase{"disc_full", QRect(0, 0, 64, 30), 100, kDisc5, 3},
                      PlaneCase{"disc_empty", QRect(0, 0, 64, 30), 0, kDisc5, 1},
                      PlaneCase{"wide_stamp", QRect(3, -2, 200, 20), 2, kWide, 1},
                      PlaneCase{"one_pixel", QRect(0, 0, 1, 1), 100, kDisc5, 1},
                      PlaneCase{"word_edges", QRect(0, 0, 129, 9), 10, kDisc5, 4}),
    [](const ::testing::TestParamInfo<PlaneCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Segment filters

std::vector<QPoint> randomVertices(std::mt19937& rng, int n, const QRect& box, int breakEvery) {
    std::vector<QPoint> v;
    for (int i = 0; i < n; ++i) {
        if (breakEvery > 0 && static_cast<int>(rng() % breakEvery) == 0) {
            v.push_back(breakMark());
            continue;
        }
        const QPoint p(box.left() + static_cast<int>(rng() % box.width()),
                       box.top() + static_cast<int>(rng() % box.height()));
        if (v.empty() || v.back() != p)
            v.push_back(p);
    }
    return v;
}

// The segments of a vertex list, as (a, b) pairs.
std::vector<std::pair<QPoint, QPoint>> segmentsOf(const std::vector<QPoint>& v) {
    std::vector<std::pair<QPoint, QPoint>> s;
    for (size_t k = 1; k < v.size(); ++k)
        if (v[k - 1].x() != kBreak && v[k].x() != kBreak)
            s.push_back({v[k - 1], v[k]});
    return s;
}

struct FilterCase {
    const char* name;
    QRect box;  // where the vertices lie
    QRect area; // where symbols are drawn
    int n, breakEvery, shortest;
    QRect near = {}; // the near plane's rectangle, if any
    int nearReach = 0;
    int nearPercent = 33; // of its pixels set
};

void PrintTo(const FilterCase& c, std::ostream* os) {
    *os << c.name;
}

class FarSegmentFilter : public ::testing::TestWithParam<FilterCase> {};

TEST_P(FarSegmentFilter, KeepsExactlyTheSegmentsNotBetweenTwoCloseSymbols) {
    const FilterCase& c = GetParam();
    std::mt19937 rng(3);
    const std::vector<QPoint> in = randomVertices(rng, c.n, c.box, c.breakEvery);
    Bits near(c.near.isEmpty() ? QRect(0, 0, 1, 1) : c.near);
    near.randomise(9, c.nearPercent);
    NearCover cover;
    if (!c.near.isEmpty())
        cover = NearCover{&near.plane, c.nearReach};
    std::vector<QPoint> out;
    const auto [written, kept] =
        keepFarSegments(in.data(), in.size(), out, c.area, c.shortest, cover);
    out.resize(written);

    std::vector<std::pair<QPoint, QPoint>> plain;
    for (const auto& [a, b] : segmentsOf(in)) {
        const int length = std::max(std::abs(a.x() - b.x()), std::abs(a.y() - b.y()));
        const bool underSymbols = c.area.contains(a) && c.area.contains(b) && length <= c.shortest;
        const bool deepInside = !c.near.isEmpty() && near.plane.test(a.x(), a.y()) &&
                                near.plane.test(b.x(), b.y()) && length <= 2 * c.nearReach;
        if (!underSymbols && !deepInside)
            plain.push_back({a, b});
    }
    EXPECT_EQ(segmentsOf(out), plain);
    EXPECT_EQ(kept, plain.size());
    // Only kept segments are drawn: no vertex stands alone between breaks.
    forEachRun(out.data(), out.size(), [](const QPoint*, int count) { EXPECT_GE(count, 2); });
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FarSegmentFilter,
    ::testing::Values(
        FilterCase{"short_steps", QRect(0, 0, 6, 6), QRect(0, 0, 6, 6), 3000, 0, 3},
        FilterCase{"breaks", QRect(0, 0, 8, 8), QRect(0, 0, 8, 8), 3000, 7, 3},
        FilterCase{"area_edges", QRect(-3, -3, 12, 12), QRect(0, 0, 6, 6), 3000, 0, 5},
        FilterCase{"single_points", QRect(0, 0, 5, 5), QRect(0, 0, 5, 5), 300, 2, 1},
        FilterCase{"far_apart", QRect(0, 0, 500, 500), QRect(0, 0, 500, 500), 2000, 0, 3},
        // Long stretches of drawn segments, taken eight at a time where the processor allows,
        // broken by breaks and by the few short steps between symbols.
        FilterCase{"far_apart_breaks", QRect(0, 0, 300, 300), QRect(0, 0, 300, 300), 20000, 60, 3},
        FilterCase{"mostly_far", QRect(-5, -5, 30, 30), QRect(0, 0, 20, 20), 20000, 0, 3},
        // Ends tested in a plane that reaches past the vertices on some sides only.
        FilterCase{"near_plane", QRect(-3, -3, 40, 30), QRect(0, 0, 20, 20), 5000, 0, 1,
                   QRect(-1, -5, 37, 30), 3},
        FilterCase{"near_plane_breaks", QRect(0, 0, 70, 70), QRect(0, 0, 70, 70), 5000, 9, 3,
                   QRect(5, 5, 130, 60), 4},
        FilterCase{"near_only", QRect(0, 0, 30, 30), QRect(0, 0, 30, 30), 3000, 0, -1,
                   QRect(0, 0, 30, 30), 6},
        // A plane set nearly throughout, as deep inside a dense curve's symbols: long
        // stretches of covered segments, which are passed over eight at a time where the
        // processor allows, broken by the few that are not.
        FilterCase{"near_mostly_set", QRect(0, 0, 12, 12), QRect(0, 0, 12, 12), 20000, 0, -1,
                   QRect(0, 0, 12, 12), 8, 99},
        FilterCase{"near_mostly_set_breaks", QRect(0, 0, 12, 12), QRect(0, 0, 12, 12), 20000, 150,
                   -1, QRect(0, 0, 12, 12), 8, 99},
        FilterCase{"near_mostly_set_edges", QRect(-4, -4, 80, 20), QRect(0, 0, 60, 12), 20000, 0, 2,
                   QRect(-2, -3, 70, 18), 40, 98},
        FilterCase{"near_set_far_steps", QRect(0, 0, 40, 40), QRect(0, 0, 40, 40), 20000, 400, -1,
                   QRect(0, 0, 40, 40), 18, 99}),
    [](const ::testing::TestParamInfo<FilterCase>& info) { return std::string(info.param.name); });

// Pixels a one-pixel line from a to b writes, drawn on its own.
std::vector<QPoint> linePixels(const QPoint& a, const QPoint& b, const QRect& canvas) {
    std::vector<std::uint32_t> pixels(static_cast<size_t>(canvas.width()) * canvas.height(), 0);
    ThinLine thin(pixels.data(), canvas.width(), QRect(QPoint(0, 0), canvas.size()),
                  QRect(QPoint(0, 0), canvas.size()), -canvas.topLeft(), 1u, true);
    const QPoint ends[] = {a, b};
    thin.polyline(ends, 2);
    std::vector<QPoint> set;
    for (int y = 0; y < canvas.height(); ++y)
        for (int x = 0; x < canvas.width(); ++x)
            if (pixels[static_cast<size_t>(y) * canvas.width() + x] != 0)
                set.push_back(canvas.topLeft() + QPoint(x, y));
    return set;
}

TEST(DeepSegmentFilter, LeavesOutOnlySegmentsWhosePixelsAreAllCovered) {
    const QRect canvas(0, 0, 160, 120);
    Bits cover(canvas);
    // Blobs of cover, with holes, some touching the edges.
    std::mt19937 rng(8);
    for (int blob = 0; blob < 12; ++blob) {
        const QPoint centre(static_cast<int>(rng() % 160), static_cast<int>(rng() % 120));
        const int r = 5 + static_cast<int>(rng() % 25);
        for (int y = -r; y <= r; ++y)
            for (int x = -r; x <= r; ++x)
                if (x * x + y * y <= r * r && rng() % 400 != 0)
                    cover.plane.setIn(centre.x() + x, centre.y() + y);
    }
    Bits deep(canvas);
    erode(cover.plane, 2, deep.plane); // reach of a thin pen, plus one
    // A random walk of short steps, with breaks.
    std::vector<QPoint> in;
    QPoint at(80, 60);
    for (int i = 0; i < 4000; ++i) {
        if (rng() % 50 == 0) {
            in.push_back(breakMark());
            continue;
        }
        at += QPoint(static_cast<int>(rng() % 13) - 6, static_cast<int>(rng() % 13) - 6);
        at = QPoint(std::clamp(at.x(), -5, 165), std::clamp(at.y(), -5, 125));
        in.push_back(at);
    }
    std::vector<QPoint> out;
    const size_t kept = keepSegmentsOutside(in.data(), in.size(), out, deep.plane);
    const auto all = segmentsOf(in);
    const auto left = segmentsOf(out);
    EXPECT_EQ(kept, left.size());
    size_t dropped = 0;
    size_t k = 0;
    for (const auto& s : all) {
        if (k < left.size() && left[k] == s) {
            ++k;
            continue;
        }
        ++dropped;
        for (const QPoint& p : linePixels(s.first, s.second, canvas))
            ASSERT_TRUE(cover.plane.test(p.x(), p.y())) << "an uncovered pixel was left out";
    }
    EXPECT_EQ(k, left.size()) << "kept segments come in their order";
    EXPECT_GT(dropped, 100u) << "the test covers segments left out";
    EXPECT_GT(left.size(), 100u) << "and segments kept";
}

TEST(NearSegmentFilter, LeavesOutOnlySegmentsWhosePixelsAreAllCovered) {
    // The union eroded by a thin pen's reach plus one, plus the near reach, as the curve
    // item builds it; every segment the filter drops must draw only covered pixels.
    const QRect canvas(0, 0, 160, 120);
    const int reach = 4;
    Bits cover(canvas);
    std::mt19937 rng(21);
    for (int blob = 0; blob < 10; ++blob) {
        const QPoint centre(static_cast<int>(rng() % 160), static_cast<int>(rng() % 120));
        const int r = 6 + static_cast<int>(rng() % 30);
        for (int y = -r; y <= r; ++y)
            for (int x = -r; x <= r; ++x)
                if (x * x + y * y <= r * r && rng() % 300 != 0)
                    cover.plane.setIn(centre.x() + x, centre.y() + y);
    }
    Bits near(canvas);
    erode(cover.plane, 2 + reach, near.plane);
    std::vector<QPoint> in;
    QPoint at(80, 60);
    for (int i = 0; i < 6000; ++i) {
        if (rng() % 60 == 0) {
            in.push_back(breakMark());
            continue;
        }
        at += QPoint(static_cast<int>(rng() % 19) - 9, static_cast<int>(rng() % 19) - 9);
        at = QPoint(std::clamp(at.x(), -5, 165), std::clamp(at.y(), -5, 125));
        in.push_back(at);
    }
    std::vector<QPoint> out;
    const auto [written, kept] =
        keepFarSegments(in.data(), in.size(), out, QRect(), -1, NearCover{&near.plane, reach});
    out.resize(written);
    const auto left = segmentsOf(out);
    EXPECT_EQ(kept, left.size());
    size_t dropped = 0, k = 0;
    for (const auto& s : segmentsOf(in)) {
        if (k < left.size() && left[k] == s) {
            ++k;
            continue;
        }
        ++dropped;
        for (const QPoint& p : linePixels(s.first, s.second, canvas))
            for (int dy = -1; dy <= 1; ++dy) // and what a thin pen's joints may add
                for (int dx = -1; dx <= 1; ++dx)
                    ASSERT_TRUE(cover.plane.test(p.x() + dx, p.y() + dy))
                        << "an uncovered pixel was left out";
    }
    EXPECT_EQ(k, left.size()) << "kept segments come in their order";
    EXPECT_GT(dropped, 100u) << "the test covers segments left out";
    EXPECT_GT(left.size(), 100u) << "and segments kept";
}

// ---------------------------------------------------------------------------------------------
// Covered tiles of a dense line

struct TilesCase {
    const char* name;
    QRect plane;   // the plane's rectangle
    QRect allowed; // pixels that may be written
    QRect box;     // where vertices lie
    int n, breakEvery;
    int prefill;        // percent of the plane set beforehand (symbols)
    int step = 0;       // > 0: a walk in steps of up to this many pixels on each axis, not a cloud
    QRect cleared = {}; // pixels cleared after the prefill
    std::vector<QPoint> path = {}; // when given, these vertices
};

void PrintTo(const TilesCase& c, std::ostream* os) {
    *os << c.name;
}

class CoveredTilesStage : public ::testing::TestWithParam<TilesCase> {};

TEST_P(CoveredTilesStage, SetsTheSamePixelsAsEverySegmentDrawn) {
    const TilesCase& c = GetParam();
    std::mt19937 rng(12);
    std::vector<QPoint> in = c.path;
    if (!in.empty()) {
    } else if (c.step > 0) {
        QPoint at = c.box.center();
        for (int i = 0; i < c.n; ++i) {
            at += QPoint(static_cast<int>(rng() % (2 * c.step + 1)) - c.step,
                         static_cast<int>(rng() % (2 * c.step + 1)) - c.step);
            at = QPoint(std::clamp(at.x(), c.box.left(), c.box.right()),
                        std::clamp(at.y(), c.box.top(), c.box.bottom()));
            in.push_back(at);
        }
    } else {
        in = randomVertices(rng, c.n, c.box, c.breakEvery);
    }
    in.push_back(breakMark()); // and a closed run, which is the engine's
    for (const QPoint& p : {QPoint(5, 5), QPoint(20, 5), QPoint(20, 20), QPoint(5, 5)})
        in.push_back(c.box.topLeft() + p);

    std::size_t drawn = 0;
    auto run = [&](bool skipping, std::vector<QPoint>& closed) {
        Bits bits(c.plane);
        bits.randomise(30, c.prefill);
        for (int y = c.cleared.top(); y <= c.cleared.bottom(); ++y)
            for (int x = c.cleared.left(); x <= c.cleared.right(); ++x)
                bits.plane.row(y)[x >> 6] &= ~(std::uint64_t{1} << (x & 63));
        std::vector<std::uint32_t> unused(static_cast<size_t>(c.plane.right() + 2) *
                                          (c.plane.bottom() + 2));
        const QRect device(QPoint(0, 0), QSize(c.plane.right() + 2, c.plane.bottom() + 2));
        ThinLine thin(unused.data(), device.width(), device, c.allowed, QPoint(0, 0), 1u, true);
        thin.intoBits(bits.plane.row(0), bits.plane.stride, bits.plane.rect);
        if (skipping) {
            drawn = drawUncovered(in.data(), in.size(), thin, bits.plane, c.allowed, closed);
        } else {
            forEachRun(in.data(), in.size(), [&](const QPoint* r, int count) {
                if (count >= 2 && r[0] == r[count - 1]) {
                    closed.push_back(breakMark());
                    closed.insert(closed.end(), r, r + count);
                    return;
                }
                for (int i = 1; i < count; ++i)
                    thin.polyline(r + i - 1, 2);
            });
        }
        return bits.storage;
    };
    std::vector<QPoint> closedSkipping, closedAll;
    EXPECT_EQ(run(true, closedSkipping), run(false, closedAll));
    EXPECT_EQ(closedSkipping, closedAll);
    EXPECT_EQ(closedAll.size(), 5u);
    // Every table row but the smallest has segments left out, so that the test sees skipping.
    if (c.n >= 3000) {
        EXPECT_LT(drawn, segmentCount(in.data(), in.size()) * 19 / 20);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CoveredTilesStage,
    ::testing::Values(TilesCase{"cloud", QRect(0, 0, 300, 200), QRect(0, 0, 300, 200),
                                QRect(0, 0, 300, 200), 20000, 0, 0},
                      TilesCase{"cloud_over_symbols", QRect(0, 0, 300, 200), QRect(0, 0, 300, 200),
                                QRect(0, 0, 300, 200), 20000, 0, 95},
                      TilesCase{"allowed_part", QRect(-4, -4, 310, 210), QRect(10, 7, 250, 150),
                                QRect(0, 0, 300, 200), 20000, 0, 50},
                      TilesCase{"vertices_past_edges", QRect(0, 0, 200, 130), QRect(0, 0, 200, 130),
                                QRect(-150, -100, 500, 330), 20000, 0, 20},
                      TilesCase{"breaks_and_single_points", QRect(0, 0, 200, 130),
                                QRect(0, 0, 200, 130), QRect(0, 0, 200, 130), 20000, 3, 0},
                      TilesCase{"huge_coordinates", QRect(0, 0, 200, 130), QRect(0, 0, 200, 130),
                                QRect(-900000000, -900000000, 1800000000, 1800000000), 3000, 0, 0},
                      TilesCase{"few", QRect(0, 0, 300, 200), QRect(0, 0, 300, 200),
                                QRect(0, 0, 300, 200), 5, 0, 0},
                      // Short steps over symbols that fill most tiles: the segments of a noisy
                      // scatter, most of them in full tiles, many ending beside open ones.
                      TilesCase{"short_steps_over_symbols", QRect(0, 0, 300, 200),
                                QRect(0, 0, 300, 200), QRect(0, 0, 300, 200), 40000, 0, 99, 12},
                      // Short steps over full tiles, into and out of open ones; and along
                      // the plane's left edge.
                      TilesCase{"short_steps_few", QRect(0, 0, 300, 200), QRect(0, 0, 300, 200),
                                QRect(0, 0, 300, 200), 3000, 0, 100, 12, QRect(150, 100, 40, 20)},
                      TilesCase{"short_steps_at_edge", QRect(0, 0, 300, 200), QRect(0, 0, 300, 200),
                                QRect(-6, 0, 12, 200), 3000, 0, 100, 5, QRect(0, 40, 4, 30)},
                      // Eight segments among full tiles whose ninth vertex alone reaches an
                      // open one: the segments are looked at eight at a time.
                      TilesCase{"ninth_vertex_in_open_tile",
                                QRect(0, 0, 300, 200),
                                QRect(0, 0, 300, 200),
                                QRect(0, 0, 300, 200),
                                0,
                                0,
                                100,
                                0,
                                QRect(64, 0, 64, 16),
                                {QPoint(5, 5), QPoint(9, 5), QPoint(5, 9), QPoint(9, 9),
                                 QPoint(20, 5), QPoint(24, 9), QPoint(20, 9), QPoint(24, 5),
                                 QPoint(100, 8)}},
                      // Taller than 128 tile rows and wider than 64 tile columns.
                      TilesCase{"tall", QRect(0, 0, 70, 2200), QRect(0, 0, 70, 2200),
                                QRect(0, 0, 70, 2200), 20000, 0, 99, 40},
                      TilesCase{"wide", QRect(0, 0, 4200, 40), QRect(0, 0, 4200, 40),
                                QRect(0, 0, 4200, 40), 20000, 0, 99, 40}),
    [](const ::testing::TestParamInfo<TilesCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Pixel writer and symbol stamps

TEST(PixelWriter, PaintsEverySetBitThatMayBeWrittenAndNothingElse) {
    // Sparse, middling and dense planes: runs of set bits of every length from 1 to whole
    // words, cut by the allowed pixels at either end.
    for (const int percent : {8, 35, 80, 97})
        for (const QRect& allowed :
             {QRect(0, 0, 90, 70), QRect(13, 9, 40, 30), QRect(0, 60, 5, 10)})
            for (const QPoint& offset : {QPoint(0, 0), QPoint(7, -3)}) {
                QImage image(90, 70, QImage::Format_ARGB32_Premultiplied);
                image.fill(0xff102030u);
                Bits bits(QRect(-10, -5, 130, 90));
                bits.randomise(6, percent);
                const DirectTarget target{&image, offset, allowed};
                paintBits(target, bits.plane, 0xffabcdefu);
                for (int y = 0; y < image.height(); ++y)
                    for (int x = 0; x < image.width(); ++x) {
                        const bool set = allowed.contains(x, y) &&
                                         bits.plane.test(x - offset.x(), y - offset.y());
                        ASSERT_EQ(image.pixel(x, y), set ? 0xffabcdefu : 0xff102030u)
                            << x << "," << y;
                    }
            }
}

struct StampCase {
    const char* name;
    int size;
    QColor colour;
    int marks;     // how many
    bool crowded;  // along a line, or spread over the image
    QRect allowed; // device pixels that may be written
};

void PrintTo(const StampCase& c, std::ostream* os) {
    *os << c.name;
}

class StampStage : public ::testing::TestWithParam<StampCase> {};

TEST_P(StampStage, PaintsWhatQwtDrawsForEachSymbol) {
    const StampCase& c = GetParam();
    const QSize imageSize(160, 120);
    QwtSymbol symbol(QwtSymbol::Ellipse, QBrush(c.colour), QPen(c.colour, 0),
                     QSize(c.size, c.size));
    Bits marks(QRect(QPoint(0, 0), imageSize));
    std::mt19937 rng(2);
    for (int i = 0; i < c.marks; ++i) {
        if (c.crowded)
            marks.plane.setIn(i % imageSize.width(), 60 + static_cast<int>(rng() % 5) - 2);
        else
            marks.plane.setIn(static_cast<int>(rng() % 160), static_cast<int>(rng() % 120));
    }
    QImage reference(imageSize, QImage::Format_ARGB32_Premultiplied);
    reference.fill(0xfff0f0e0u);
    QImage stamped = reference;
    {
        QPainter p(&reference);
        p.setClipRect(c.allowed);
        forEachMark(marks.plane, [&](int x, int y) { symbol.drawSymbol(&p, QPointF(x, y)); });
    }
    {
        QPainter p(&stamped);
        SymbolStamp stamp;
        stamp.prepare(symbol, p);
        const DirectTarget target{&stamped, QPoint(0, 0), c.allowed};
        stamp.stampAll(&p, symbol, marks.plane, &target);
    }
    long differing = 0;
    for (int y = 0; y < imageSize.height(); ++y)
        for (int x = 0; x < imageSize.width(); ++x)
            differing += reference.pixel(x, y) != stamped.pixel(x, y) ? 1 : 0;
    EXPECT_EQ(differing, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StampStage,
    ::testing::Values(
        StampCase{"size1_sparse", 1, QColor(200, 0, 0), 300, false, QRect(0, 0, 160, 120)},
        StampCase{"size3_sparse", 3, QColor(0, 0, 200), 300, false, QRect(0, 0, 160, 120)},
        StampCase{"size5_crowded", 5, QColor(0, 120, 0), 600, true, QRect(0, 0, 160, 120)},
        StampCase{"size9_clipped", 9, QColor(90, 0, 90), 400, false, QRect(20, 15, 100, 70)},
        StampCase{"size15_crowded_clipped", 15, QColor(0, 90, 90), 600, true,
                  QRect(30, 58, 100, 40)},
        StampCase{"translucent", 7, QColor(200, 0, 0, 120), 200, false, QRect(0, 0, 160, 120)},
        StampCase{"translucent_clipped", 7, QColor(0, 0, 200, 60), 200, false,
                  QRect(5, 5, 60, 90)}),
    [](const ::testing::TestParamInfo<StampCase>& info) { return std::string(info.param.name); });

} // namespace
