// The stages that turn data into vertices and marks, each against a plain reference written
// here point by point: the data summary, the decimation of sorted columns and the collection
// of parametric points. Run twice by CTest, with and without the AVX2 loops.
#include "data_summary.h"
#include "parametric_points.h"
#include "pixel_map.h"
#include "sorted_columns.h"
#include "thin_line.h"
#include "vertex_runs.h"

#include <qwt_scale_map.h>
#include <qwt_transform.h>

#include <QByteArray>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <utility>
#include <vector>

namespace {

using namespace tellurix::lumenfold::plotting::detail;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------------------------
// The switch to the portable loops

TEST(WideLoops, TheEnvironmentSwitchKeepsToThePortableLoops) {
    if (qgetenv("LUMENFOLD_PORTABLE") != "1")
        GTEST_SKIP() << "run with LUMENFOLD_PORTABLE=1 (CTest does, as a second run)";
    EXPECT_FALSE(wideLoops());
}

// ---------------------------------------------------------------------------------------------
// Data summary

enum class Values { Rising, Falling, Flat, Random, Huge };

struct SummaryCase {
    const char* name;
    int n;
    Values values;
    int oddAt;  // index given `odd` instead, or -1
    double odd; // NaN, an infinity or a far value
};

void PrintTo(const SummaryCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<double> valuesOf(Values kind, int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> any(-5.0, 5.0);
    std::vector<double> v(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        switch (kind) {
        case Values::Rising:
            v[i] = 0.25 * i - 3.0;
            break;
        case Values::Falling:
            v[i] = 7.0 - 0.5 * i;
            break;
        case Values::Flat:
            v[i] = 2.0;
            break;
        case Values::Random:
            v[i] = any(rng);
            break;
        case Values::Huge:
            v[i] = (i % 2 != 0 ? -1.0 : 1.0) * 1.0e307 * (1 + i % 7);
            break;
        }
    }
    return v;
}

class SummaryStage : public ::testing::TestWithParam<SummaryCase> {};

TEST_P(SummaryStage, AgreesWithAPlainPass) {
    const SummaryCase& c = GetParam();
    std::vector<double> xs = valuesOf(c.values, c.n, 1);
    const std::vector<double> ys = valuesOf(Values::Random, c.n, 2);
    if (c.oddAt >= 0)
        xs[static_cast<size_t>(c.oddAt)] = c.odd;
    const Summary s = summarise(xs.data(), ys.data(), c.n);

    bool finite = true, up = true, down = true;
    for (int i = 0; i < c.n; ++i) {
        finite = finite && std::isfinite(xs[i]) && std::isfinite(ys[i]);
        if (i > 0) {
            up = up && xs[i] >= xs[i - 1];
            down = down && xs[i] <= xs[i - 1];
        }
    }
    EXPECT_EQ(s.finite, finite);
    if (c.n > 1) {
        EXPECT_EQ(s.up, up);
        EXPECT_EQ(s.down, down);
        EXPECT_EQ(monotonic(xs.data(), c.n), up || down);
    }
    if (finite) {
        EXPECT_EQ(s.xmin, *std::min_element(xs.begin(), xs.end()));
        EXPECT_EQ(s.xmax, *std::max_element(xs.begin(), xs.end()));
        EXPECT_EQ(s.ymin, *std::min_element(ys.begin(), ys.end()));
        EXPECT_EQ(s.ymax, *std::max_element(ys.begin(), ys.end()));
    }
    // The bounds of the usable points, on linear and on log axes.
    for (bool logX : {false, true}) {
        std::optional<Bounds> plain;
        for (int i = 0; i < c.n; ++i) {
            const double x = xs[i], y = ys[i];
            if (!std::isfinite(x) || !std::isfinite(y) || (logX && x <= 0.0))
                continue;
            if (!plain)
                plain = Bounds{x, x, y, y};
            plain->xmin = std::min(plain->xmin, x);
            plain->xmax = std::max(plain->xmax, x);
            plain->ymin = std::min(plain->ymin, y);
            plain->ymax = std::max(plain->ymax, y);
        }
        const std::optional<Bounds> b = usableBounds(xs.data(), ys.data(), c.n, logX, false);
        ASSERT_EQ(b.has_value(), plain.has_value());
        if (b) {
            EXPECT_EQ(b->xmin, plain->xmin);
            EXPECT_EQ(b->xmax, plain->xmax);
            EXPECT_EQ(b->ymin, plain->ymin);
            EXPECT_EQ(b->ymax, plain->ymax);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SummaryStage,
    ::testing::Values(
        SummaryCase{"one", 1, Values::Random, -1, 0.0},
        SummaryCase{"one_nan", 1, Values::Random, 0, kNaN},
        SummaryCase{"two_rising", 2, Values::Rising, -1, 0.0},
        SummaryCase{"four_falling", 4, Values::Falling, -1, 0.0},
        SummaryCase{"five_flat", 5, Values::Flat, -1, 0.0},
        SummaryCase{"nine_random", 9, Values::Random, -1, 0.0},
        SummaryCase{"rising_nan_first", 17, Values::Rising, 0, kNaN},
        SummaryCase{"rising_nan_inside", 17, Values::Rising, 9, kNaN},
        SummaryCase{"rising_nan_last", 17, Values::Rising, 16, kNaN},
        SummaryCase{"rising_inf_tail", 18, Values::Rising, 17, kInf},
        SummaryCase{"falling_minus_inf", 33, Values::Falling, 5, -kInf},
        SummaryCase{"rising_step_back", 1001, Values::Rising, 998, -4.0},
        SummaryCase{"huge", 1000, Values::Huge, -1, 0.0},
        SummaryCase{"long_rising", 100003, Values::Rising, -1, 0.0},
        // Long data is read as two stretches side by side, the second from
        // 50,001 on here, and the last two points one by one.
        SummaryCase{"long_random", 65537, Values::Random, -1, 0.0},
        SummaryCase{"long_step_back_at_seam", 100003, Values::Rising, 50001, -4.0},
        SummaryCase{"long_step_back_before_seam", 100003, Values::Rising, 50000, -4.0},
        SummaryCase{"long_nan_in_second", 100003, Values::Rising, 70001, kNaN},
        SummaryCase{"long_step_back_last", 100003, Values::Rising, 100002, -4.0},
        SummaryCase{"long_falling_far_at_seam", 100003, Values::Falling, 50001, 1.0e300},
        // Stretches of 32,772: each ends in a group of four read after the wider steps.
        SummaryCase{"long_step_back_in_first_end", 65545, Values::Rising, 32770, -4.0},
        SummaryCase{"long_nan_in_second_end", 65545, Values::Rising, 65542, kNaN}),
    [](const ::testing::TestParamInfo<SummaryCase>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Sorted columns and parametric points: data mapped onto a canvas

struct Canvas {
    QwtScaleMap xMap, yMap;
    QRectF rect;
    Canvas(int width, int height, QRectF view, bool logY) {
        xMap.setPaintInterval(0, width);
        xMap.setScaleInterval(view.left(), view.right());
        if (logY)
            yMap.setTransformation(new QwtLogTransform);
        yMap.setPaintInterval(height, 0);
        yMap.setScaleInterval(view.top(), view.bottom());
        rect = QRectF(0, 0, width, height);
    }
    CollectInput input(const std::vector<double>& xs, const std::vector<double>& ys, bool logY,
                       double pen = 1.0) const {
        CollectInput in;
        in.xs = xs.data();
        in.ys = ys.data();
        in.n = static_cast<int>(xs.size());
        in.finite = true;
        for (size_t i = 0; i < xs.size(); ++i)
            in.finite = in.finite && std::isfinite(xs[i]) && std::isfinite(ys[i]);
        in.xMap = &xMap;
        in.yMap = &yMap;
        in.canvas = rect;
        in.penWidth = pen;
        in.logX = false;
        in.logY = logY;
        // Y's bounds, as the curve knows them for finite data (far values then send the
        // wide column scan the way that pulls rows in).
        if (in.finite && !ys.empty()) {
            in.yBounded = true;
            in.ymin = *std::min_element(ys.begin(), ys.end());
            in.ymax = *std::max_element(ys.begin(), ys.end());
        }
        return in;
    }
};

bool plainUsable(double x, double y, bool logY) {
    return std::isfinite(x) && std::isfinite(y) && (!logY || y > 0.0);
}

// Qwt's rounding of a mapped coordinate, written out: halves go up, far values are held.
std::int64_t plainPixel(double v) {
    v = std::min(std::max(v, -1.0e9), 1.0e9);
    return static_cast<std::int64_t>(std::floor(v + 0.5));
}

struct SortedCase {
    const char* name;
    int width, height;
    int n;
    double xFrom, xTo; // X from, to (falling when xTo < xFrom)
    QRectF view;       // left, top (Y low), width, height (Y span)
    double gapEvery;   // every so many points a NaN or infinite Y (0: none)
    double farEvery;   // every so many points a Y far off the canvas (0: none)
    bool logY;
    double steps; // Y held to multiples of 1 / steps, so that many points share a row (0: not)
};

void PrintTo(const SortedCase& c, std::ostream* os) {
    *os << c.name;
}

struct SortedData {
    std::vector<double> xs, ys;
};

SortedData sortedData(const SortedCase& c) {
    std::mt19937 rng(9);
    std::normal_distribution<double> noise(0.0, 1.0);
    SortedData d;
    for (int i = 0; i < c.n; ++i) {
        const double t = c.n > 1 ? static_cast<double>(i) / (c.n - 1) : 0.0;
        d.xs.push_back(c.xFrom + (c.xTo - c.xFrom) * t * t);
        double y = 3.0 + std::sin(t * 17.0) + 0.3 * noise(rng);
        if (c.steps > 0)
            y = std::round(y * c.steps) / c.steps;
        if (c.gapEvery > 0 && i % static_cast<int>(c.gapEvery) == 3)
            y = i % 2 != 0 ? kNaN : (i % 3 != 0 ? kInf : -kInf);
        if (c.farEvery > 0 && i % static_cast<int>(c.farEvery) == 1)
            y = i % 2 != 0 ? 1.0e300 : -1.0e300;
        if (c.logY && i % 11 == 5)
            y = -y;
        d.ys.push_back(y);
    }
    return d;
}

// Point by point: a column is a run of usable points whose X pixel, held to the columns kept
// apart, stays the same; it keeps its first, lowest, highest and last point.
std::vector<QPoint> plainColumns(const Canvas& cv, const SortedData& d, bool logY, double pen,
                                 const QRect& markRect, std::set<std::pair<int, int>>& marks) {
    const double reach = std::max(1.0, pen) + 2.0;
    const auto leftCol = static_cast<std::int64_t>(std::floor(cv.rect.left() - reach));
    const auto rightCol = static_cast<std::int64_t>(std::ceil(cv.rect.right() + reach));
    std::vector<QPoint> out;
    auto push = [&out](std::int64_t x, std::int64_t y) {
        const QPoint q(static_cast<int>(x), static_cast<int>(y));
        if (out.empty() || out.back() != q)
            out.push_back(q);
    };
    struct P {
        std::int64_t x, y;
    };
    std::vector<std::pair<P, int>> column; // points of the open column, with their index
    std::int64_t col = 0;
    auto close = [&]() {
        if (column.empty())
            return;
        auto low = column.front(), high = column.front();
        for (const auto& p : column) {
            if (p.first.y < low.first.y)
                low = p;
            if (p.first.y > high.first.y)
                high = p;
        }
        push(column.front().first.x, column.front().first.y);
        const auto& a = low.second <= high.second ? low : high;
        const auto& b = low.second <= high.second ? high : low;
        push(a.first.x, a.first.y);
        push(b.first.x, b.first.y);
        push(column.back().first.x, column.back().first.y);
        column.clear();
    };
    for (size_t i = 0; i < d.xs.size(); ++i) {
        if (!plainUsable(d.xs[i], d.ys[i], logY)) {
            close();
            out.push_back(breakMark());
            continue;
        }
        const P p{plainPixel(cv.xMap.transform(d.xs[i])), plainPixel(cv.yMap.transform(d.ys[i]))};
        if (markRect.contains(static_cast<int>(p.x), static_cast<int>(p.y)) &&
            std::llabs(p.x) < 1000000 && std::llabs(p.y) < 1000000)
            marks.insert({static_cast<int>(p.x), static_cast<int>(p.y)});
        const std::int64_t c = std::clamp(p.x, leftCol, rightCol);
        if (!column.empty() && c != col)
            close();
        col = c;
        column.push_back({p, static_cast<int>(i)});
    }
    close();
    return out;
}

std::set<std::pair<int, int>> marksOf(const Plane& plane) {
    std::set<std::pair<int, int>> set;
    for (int y = 0; y < plane.rect.height(); ++y)
        for (int x = 0; x < plane.rect.width(); ++x)
            if (plane.test(plane.rect.left() + x, plane.rect.top() + y))
                set.insert({plane.rect.left() + x, plane.rect.top() + y});
    return set;
}

class SortedColumnsStage : public ::testing::TestWithParam<SortedCase> {};

TEST_P(SortedColumnsStage, KeepTheSameVerticesAndMarksAsAPlainPass) {
    const SortedCase& c = GetParam();
    const SortedData d = sortedData(c);
    const Canvas cv(c.width, c.height, c.view, c.logY);
    const QRect markRect(0, 0, c.width, c.height);
    std::set<std::pair<int, int>> plainMarks;
    const std::vector<QPoint> plain = plainColumns(cv, d, c.logY, 1.0, markRect, plainMarks);

    const CollectInput in = cv.input(d.xs, d.ys, c.logY);
    std::vector<std::uint64_t> storage;
    Plane marks;
    marks.reset(markRect, (c.width + 63) / 64 + 1, storage);
    std::vector<QPoint> general;
    ASSERT_TRUE(collectSorted(in, general, &marks));
    EXPECT_EQ(general, plain);
    EXPECT_EQ(marksOf(marks), plainMarks);

    if (monotonic(d.xs.data(), c.n)) { // no NaN in X: the searching pass applies
        marks.reset(markRect, (c.width + 63) / 64 + 1, storage);
        std::vector<QPoint> searched;
        collectMonotone(in, searched, &marks);
        EXPECT_EQ(searched, plain);
        EXPECT_EQ(marksOf(marks), plainMarks);
        std::vector<QPoint> unmarked;
        collectMonotone(in, unmarked, nullptr);
        EXPECT_EQ(unmarked, plain);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SortedColumnsStage,
    ::testing::Values(
        SortedCase{"single_point", 100, 80, 1, 5.0, 5.0, QRectF(0, 0, 10, 6), 0, 0, false, 0},
        SortedCase{"two_points", 100, 80, 2, 1.0, 9.0, QRectF(0, 0, 10, 6), 0, 0, false, 0},
        SortedCase{"one_pixel_wide", 1, 50, 500, 0.0, 10.0, QRectF(0, 0, 10, 6), 0, 0, false, 0},
        SortedCase{"narrow_dense", 7, 60, 5000, 0.0, 10.0, QRectF(0, 0, 10, 6), 0, 0, false, 0},
        SortedCase{"dense", 640, 480, 200000, 0.0, 10.0, QRectF(0, 0, 10, 6), 0, 0, false, 0},
        SortedCase{"sparse", 1200, 300, 300, 0.0, 10.0, QRectF(0, 0, 10, 6), 0, 0, false, 0},
        SortedCase{"falling", 333, 200, 20000, 10.0, 0.0, QRectF(0, 0, 10, 6), 0, 0, false, 0},
        SortedCase{"gaps", 400, 300, 30000, 0.0, 10.0, QRectF(0, 0, 10, 6), 97, 0, false, 0},
        SortedCase{"far_rows", 400, 300, 30000, 0.0, 10.0, QRectF(0, 0, 10, 6), 0, 113, false, 0},
        SortedCase{"zoomed_folds_both_sides", 500, 300, 50000, 0.0, 10.0, QRectF(4, 2.5, 2, 1.5), 0,
                   0, false, 0},
        SortedCase{"edges_half_off", 300, 200, 20000, 0.0, 10.0, QRectF(0, 3, 10, 3), 0, 0, false,
                   0},
        SortedCase{"crosses_top_edge", 300, 200, 20000, 0.0, 10.0, QRectF(0, 1.5, 10, 2.5), 0, 0,
                   false, 0},
        SortedCase{"log_y", 400, 300, 30000, 0.0, 10.0, QRectF(0, 0.5, 10, 5), 0, 0, true, 0},
        SortedCase{"huge_x", 400, 300, 30000, -1.0e300, 1.0e300, QRectF(-1e299, 0, 2e299, 6), 0, 0,
                   false, 0},
        // Columns of thousands of points whose rows reach far beyond 64 of the first one's,
        // and rows shared by many points in each column (the first of them is the extreme).
        SortedCase{"tall_columns", 5, 400, 40000, 0.0, 10.0, QRectF(0, 0, 10, 6), 0, 0, false, 0},
        SortedCase{"tall_far_rows", 3, 300, 30000, 0.0, 10.0, QRectF(0, 0, 10, 6), 0, 113, false,
                   0},
        SortedCase{"shared_rows", 9, 300, 30000, 0.0, 10.0, QRectF(0, 0, 10, 6), 0, 0, false, 4},
        SortedCase{"shared_rows_falling", 40, 200, 30000, 10.0, 0.0, QRectF(0, 0, 10, 6), 0, 0,
                   false, 8}),
    [](const ::testing::TestParamInfo<SortedCase>& info) { return std::string(info.param.name); });

TEST(SortedColumnsStage, UnsortedDataIsRefused) {
    const Canvas cv(200, 100, QRectF(0, 0, 10, 6), false);
    const std::vector<double> xs{1.0, 2.0, 3.0, 2.5, 4.0};
    const std::vector<double> ys{1.0, 2.0, 3.0, 4.0, 5.0};
    std::vector<QPoint> verts;
    EXPECT_FALSE(collectSorted(cv.input(xs, ys, false), verts, nullptr));
}

// ---------------------------------------------------------------------------------------------
// Parametric points

// InView: over the whole view, up to its far edges (some points a pixel beyond the canvas);
// Inside: every point within the canvas, the collection's pass without tests.
enum class Cloud { InView, Inside, Spread, FarOut, WithGaps, Huge };

struct ParametricCase {
    const char* name;
    Cloud cloud;
    int width, height, n;
    double pen;
};

void PrintTo(const ParametricCase& c, std::ostream* os) {
    *os << c.name;
}

SortedData cloudData(const ParametricCase& c) {
    std::mt19937 rng(21);
    std::uniform_real_distribution<double> in(0.0, 1.0);
    std::uniform_real_distribution<double> wide(-2.0, 3.0);
    SortedData d;
    for (int i = 0; i < c.n; ++i) {
        double x = in(rng), y = in(rng);
        switch (c.cloud) {
        case Cloud::InView:
            break;
        case Cloud::Inside:
            x = 0.02 + 0.96 * x;
            y = 0.02 + 0.96 * y;
            break;
        case Cloud::Spread:
            x = wide(rng);
            y = wide(rng);
            break;
        case Cloud::FarOut: // long stretches beyond one edge, then back
            if ((i / 50) % 3 == 1)
                x = 5.0 + in(rng);
            break;
        case Cloud::WithGaps:
            if (i % 37 == 4)
                x = i % 2 != 0 ? kNaN : kInf;
            break;
        case Cloud::Huge:
            if (i % 29 == 3)
                y = (i % 2 != 0 ? 1.0 : -1.0) * 1.0e300;
            break;
        }
        d.xs.push_back(x);
        d.ys.push_back(y);
    }
    return d;
}

// The pixels a thin line through every run of `verts` writes on the canvas.
std::vector<std::uint32_t> drawn(const std::vector<QPoint>& verts, int width, int height) {
    std::vector<std::uint32_t> pixels(static_cast<size_t>(width) * height, 0);
    const QRect canvas(0, 0, width, height);
    ThinLine thin(pixels.data(), width, canvas, canvas, QPoint(0, 0), 1u, true);
    forEachRun(verts.data(), verts.size(), [&](const QPoint* run, int count) {
        // Closed runs are the engine's; open one up, with the same pixels but for a joint.
        if (!thin.polyline(run, count))
            thin.polyline(run, count - 1);
    });
    return pixels;
}

class ParametricStage : public ::testing::TestWithParam<ParametricCase> {};

TEST_P(ParametricStage, DrawsAndMarksWhatEveryPointWould) {
    const ParametricCase& c = GetParam();
    const SortedData d = cloudData(c);
    const Canvas cv(c.width, c.height, QRectF(0, 0, 1, 1), false);
    const CollectInput in = cv.input(d.xs, d.ys, false, c.pen);

    // Every usable point, repeats on one pixel dropped, a break at every unusable one.
    std::vector<QPoint> plain;
    std::set<std::pair<int, int>> plainMarks;
    const QRect markRect(0, 0, c.width, c.height);
    for (int i = 0; i < c.n; ++i) {
        if (!plainUsable(d.xs[i], d.ys[i], false)) {
            plain.push_back(breakMark());
            continue;
        }
        const QPoint p(static_cast<int>(plainPixel(cv.xMap.transform(d.xs[i]))),
                       static_cast<int>(plainPixel(cv.yMap.transform(d.ys[i]))));
        if (!plain.empty() && plain.back() == p)
            continue;
        plain.push_back(p);
        if (markRect.contains(p))
            plainMarks.insert({p.x(), p.y()});
    }

    std::optional<Bounds> bounds;
    if (in.finite)
        bounds = usableBounds(d.xs.data(), d.ys.data(), c.n, false, false);
    std::vector<std::uint64_t> storage;
    Plane marks;
    marks.reset(markRect, (c.width + 63) / 64 + 1, storage);
    std::vector<QPoint> verts;
    collectParametric(in, bounds, verts, &marks);
    EXPECT_EQ(marksOf(marks), plainMarks);
    EXPECT_EQ(drawn(verts, c.width, c.height), drawn(plain, c.width, c.height));
    if (c.cloud == Cloud::InView || c.cloud == Cloud::Inside) {
        EXPECT_EQ(verts, plain) << "nothing to leave out when every point is in view";
    }
    EXPECT_LE(verts.size(), plain.size() + 1);

    // Symbols only: every usable point's mark.
    marks.reset(markRect, (c.width + 63) / 64 + 1, storage);
    markPoints(in, marks);
    EXPECT_EQ(marksOf(marks), plainMarks);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ParametricStage,
    ::testing::Values(ParametricCase{"single_point", Cloud::InView, 50, 40, 1, 1.0},
                      ParametricCase{"in_view", Cloud::InView, 300, 200, 20000, 1.0},
                      ParametricCase{"one_pixel", Cloud::InView, 1, 1, 300, 1.0},
                      // Repeats now and then, in blocks of 4,096 points and a ragged end.
                      ParametricCase{"inside", Cloud::Inside, 300, 200, 20000, 1.0},
                      ParametricCase{"inside_few_pixels", Cloud::Inside, 8, 6, 20001, 1.0},
                      ParametricCase{"inside_some_repeats", Cloud::Inside, 40, 30, 10003, 1.0},
                      ParametricCase{"inside_two_pixels", Cloud::Inside, 2, 1, 9003, 1.0},
                      ParametricCase{"inside_three_points", Cloud::Inside, 50, 40, 3, 1.0},
                      ParametricCase{"spread_past_edges", Cloud::Spread, 300, 200, 20000, 1.0},
                      ParametricCase{"spread_wide_pen", Cloud::Spread, 300, 200, 20000, 4.0},
                      ParametricCase{"stretches_far_out", Cloud::FarOut, 256, 128, 20000, 1.0},
                      ParametricCase{"gaps", Cloud::WithGaps, 300, 200, 20000, 1.0},
                      ParametricCase{"huge", Cloud::Huge, 300, 200, 20000, 1.0}),
    [](const ::testing::TestParamInfo<ParametricCase>& info) {
        return std::string(info.param.name);
    });

} // namespace
