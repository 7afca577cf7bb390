// The view box: mapping, fitting, following the data, log axes, links; curve data rules.
#include <tellurix/lumenfold/plotting.h>

#include <qwt_scale_div.h>
#include <qwt_scale_draw.h>
#include <qwt_text.h>

#include <QLocale>
#include <QSet>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/qt_printers.h"

namespace plotting = tellurix::lumenfold::plotting;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();

plotting::CurveStyle style() {
    plotting::CurveStyle s;
    s.pen = QPen(Qt::blue, 1);
    s.symbolBrush = QBrush(Qt::blue);
    s.symbolPen = QPen(Qt::blue, 0);
    s.symbolSize = 3;
    return s;
}

std::unique_ptr<plotting::PlotWidgetBase> shownPlot(QSize size = QSize(640, 480)) {
    auto plot = std::make_unique<plotting::PlotWidgetBase>();
    plot->resize(size);
    plot->show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(plot.get()));
    return plot;
}

// ---------------------------------------------------------------------------------------------
// Mapping between widget pixels and data

struct MapCase {
    QSize size;
    QRectF range;
    bool logX, logY;
};

class Mapping : public ::testing::TestWithParam<MapCase> {};

TEST_P(Mapping, RoundTripsBothWays) {
    const MapCase& c = GetParam();
    auto plot = shownPlot(c.size);
    plot->setLogMode(c.logX, c.logY);
    auto* vb = plot->plotItem()->vb();
    vb->setRange(c.range);
    const QRect canvas = plot->canvas()->geometry();
    for (int i = 0; i <= 10; ++i) {
        const QPointF pixel(canvas.left() + canvas.width() * i / 10.0 + 0.25,
                            canvas.top() + canvas.height() * (10 - i) / 10.0 + 0.75);
        const QPointF data = vb->mapSceneToView(pixel);
        const QPointF back = vb->mapViewToScene(data);
        EXPECT_NEAR(back.x(), pixel.x(), 1e-9);
        EXPECT_NEAR(back.y(), pixel.y(), 1e-9);
        EXPECT_EQ(QPoint(qRound(back.x()), qRound(back.y())),
                  QPoint(qRound(pixel.x()), qRound(pixel.y())));
    }
    // The view's corners land on the canvas: left/right and top/bottom in widget pixels.
    const QPointF lowLeft = vb->mapViewToScene(QPointF(c.range.left(), c.range.top()));
    const QPointF highRight = vb->mapViewToScene(QPointF(c.range.right(), c.range.bottom()));
    EXPECT_GE(lowLeft.x(), canvas.left() - 1);
    EXPECT_LE(highRight.x(), canvas.right() + 1);
    EXPECT_GT(lowLeft.y(), highRight.y()); // larger data Y is higher on screen
    EXPECT_LE(lowLeft.y(), canvas.bottom() + 1);
    EXPECT_GE(highRight.y(), canvas.top() - 1);
    // Halfway in pixels is halfway in data (linear) or the geometric mean (log).
    const QPointF mid = vb->mapSceneToView((lowLeft + highRight) / 2);
    const double expectX = c.logX ? std::sqrt(c.range.left() * c.range.right())
                                  : (c.range.left() + c.range.right()) / 2;
    EXPECT_NEAR(mid.x(), expectX, std::abs(expectX) * 1e-9 + 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Views, Mapping,
                         ::testing::Values(MapCase{{640, 480}, {0, 0, 1, 1}, false, false},
                                           MapCase{{300, 700}, {-5e6, 2, 1e7, 0.001}, false, false},
                                           MapCase{{1200, 800}, {1, 1e-3, 1e5, 10}, true, true},
                                           MapCase{{500, 400}, {-3, 0.1, 6, 1000}, false, true}));

// ---------------------------------------------------------------------------------------------
// Fitting to the data

TEST(AutoRange, FitsFiniteDataOfAllCurvesSkippingNanAndInfinity) {
    auto plot = shownPlot();
    plot->plot({0, 1, kNaN, 3, kInf}, {5, kInf, 100, 7, 9}, style());
    plot->plot({-2, 2}, {6, -kInf}, style());
    plot->plotItem()->vb()->autoRange();
    const QRectF r = plot->plotItem()->vb()->viewRange();
    // Usable points: (0,5) (3,7) (-2,6): the view holds them with a small margin only.
    EXPECT_LE(r.left(), -2.0);
    EXPECT_GE(r.right(), 3.0);
    EXPECT_LE(r.top(), 5.0);
    EXPECT_GE(r.bottom(), 7.0);
    EXPECT_LT(r.width(), 5.0 * 1.2);
    EXPECT_LT(r.height(), 2.0 * 1.2);
    EXPECT_FALSE(plot->plotItem()->vb()->autoRangeEnabled());
}

// Bounds come from one pass over the data, several points at a time: an extreme counts
// wherever it lies, first, last, or in any lane of a step. X rising (its extremes at the ends)
// or in no order (its extremes moved around like those of Y).
class AutoRangeExtremes : public ::testing::TestWithParam<int> {};

TEST_P(AutoRangeExtremes, FitsTheExtremesWhereverTheyLie) {
    const int n = GetParam();
    auto plot = shownPlot();
    plot->plot({}, {}, style());
    auto* vb = plot->plotItem()->vb();
    for (const bool rising : {true, false}) {
        for (int at = 0; at < n; ++at) {
            QVector<double> x(n, 0.0), y(n, 0.0);
            for (int i = 0; i < n; ++i)
                x[i] = rising ? i : 0.0;
            if (!rising) {
                x[at] = 5.0;
                x[(at + 1) % n] = -5.0;
            }
            y[at] = 10.0;
            y[(at + n / 2) % n] = -10.0;
            plot->curves()[0]->setData(x, y);
            vb->autoRange();
            const QRectF r = vb->viewRange();
            const double left = rising ? 0.0 : -5.0, right = rising ? n - 1.0 : 5.0;
            SCOPED_TRACE(testing::Message() << "rising " << rising << " at " << at);
            EXPECT_LE(r.left(), left);
            EXPECT_GE(r.right(), right);
            EXPECT_LT(r.width(), (right - left) * 1.2);
            EXPECT_LE(r.top(), -10.0);
            EXPECT_GE(r.bottom(), 10.0);
            EXPECT_LT(r.height(), 20.0 * 1.2);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, AutoRangeExtremes, ::testing::Values(2, 5, 6, 7, 8, 9, 12, 33));

TEST(AutoRange, WithoutUsableDataKeepsTheView) {
    auto plot = shownPlot();
    plot->plot({kNaN, 1}, {1, kNaN}, style());
    plot->plotItem()->vb()->setRange(QRectF(10, 20, 5, 5));
    plot->plotItem()->vb()->autoRange();
    EXPECT_EQ(plot->plotItem()->vb()->viewRange(), QRectF(10, 20, 5, 5));
}

TEST(AutoRange, SinglePointGetsAVisibleSpan) {
    auto plot = shownPlot();
    plot->plot({4}, {-2}, style());
    plot->plotItem()->vb()->autoRange();
    const QRectF r = plot->plotItem()->vb()->viewRange();
    EXPECT_TRUE(r.contains(QPointF(4, -2)));
    EXPECT_GT(r.width(), 0.0);
    EXPECT_GT(r.height(), 0.0);
}

TEST(AutoRange, LogAxesCountOnlyPositiveValues) {
    auto plot = shownPlot();
    plot->plot({-5, 0, 10, 1000}, {3, 4, 0.01, -7}, style());
    plot->setLogMode(true, true);
    plot->plotItem()->vb()->autoRange();
    const QRectF r = plot->plotItem()->vb()->viewRange();
    // Only (10, 0.01) is usable on two log axes.
    EXPECT_GT(r.left(), 0.0);
    EXPECT_TRUE(r.contains(QPointF(10, 0.01)));
    EXPECT_LT(r.right(), 1000.0);
    EXPECT_GT(r.top(), 0.0);

    plot->setLogMode(true, false);
    plot->plotItem()->vb()->autoRange();
    const QRectF lin = plot->plotItem()->vb()->viewRange();
    // Log X only: (10, 0.01) and (1000, -7) count.
    EXPECT_LE(lin.top(), -7.0);
    EXPECT_GE(lin.right(), 1000.0);
    EXPECT_GT(lin.left(), 0.0);
}

TEST(AutoRange, SwitchingToLogRefitsARangeReachingZero) {
    auto plot = shownPlot();
    plot->plot({1, 100}, {1, 100}, style());
    plot->plotItem()->vb()->setRange(QRectF(-10, -10, 200, 200));
    plot->setLogMode(true, true);
    const QRectF r = plot->plotItem()->vb()->viewRange();
    EXPECT_GT(r.left(), 0.0);
    EXPECT_GT(r.top(), 0.0);
    EXPECT_TRUE(r.contains(QPointF(10, 10)));
}

TEST(EnableAutoRange, FollowsEveryDataChangeUntilSetRange) {
    auto plot = shownPlot();
    auto* c = plot->plot({}, {}, style());
    auto* vb = plot->plotItem()->vb();
    vb->enableAutoRange();
    EXPECT_TRUE(vb->autoRangeEnabled());
    c->setData({0, 1}, {0, 1});
    EXPECT_TRUE(vb->viewRange().contains(QPointF(1, 1)));
    c->setData({100, 200}, {-50, 50});
    EXPECT_TRUE(vb->viewRange().contains(QPointF(200, 50)));
    EXPECT_FALSE(vb->viewRange().contains(QPointF(1, 1)));

    vb->setRange(QRectF(0, 0, 1, 1));
    EXPECT_FALSE(vb->autoRangeEnabled());
    c->setData({500, 600}, {5, 6});
    EXPECT_EQ(vb->viewRange(), QRectF(0, 0, 1, 1));
}

TEST(AutoPan, KeepsTheSpanAndPutsTheNewestPointAtTheRightEdge) {
    auto plot = shownPlot();
    auto* c = plot->plot({0, 1, 2, 3}, {0, 1, 0, 1}, style());
    auto* vb = plot->plotItem()->vb();
    vb->setRange(QRectF(0, -1, 10, 3));
    vb->enableAutoRange();
    vb->setRange(QRectF(0, -1, 10, 3));
    vb->setAutoPan();
    EXPECT_TRUE(vb->autoPanEnabled());
    EXPECT_FALSE(vb->autoRangeEnabled());
    EXPECT_DOUBLE_EQ(vb->viewRange().right(), 3.0);
    EXPECT_DOUBLE_EQ(vb->viewRange().width(), 10.0);

    // Newest means last in record order (NaN tail skipped), not largest.
    c->setData({20, 40, 35, kNaN}, {0, 0, 9, 1});
    EXPECT_DOUBLE_EQ(vb->viewRange().right(), 35.0);
    EXPECT_DOUBLE_EQ(vb->viewRange().width(), 10.0);
    EXPECT_DOUBLE_EQ(vb->viewRange().top(), -1.0);
    EXPECT_DOUBLE_EQ(vb->viewRange().height(), 3.0);

    vb->enableAutoRange();
    EXPECT_FALSE(vb->autoPanEnabled());
}

// ---------------------------------------------------------------------------------------------
// Views the axes can map: extreme data and extreme requests

// The view maps the canvas soundly: finite, ordered and valid for the axis mode, its ends on
// the canvas and the pixels between them on distinct values inside it.
void expectMapsSoundly(plotting::PlotWidgetBase& plot) {
    auto* vb = plot.plotItem()->vb();
    const QRectF r = vb->viewRange();
    SCOPED_TRACE(testing::PrintToString(r));
    for (const double v : {r.left(), r.right(), r.top(), r.bottom()})
        ASSERT_TRUE(std::isfinite(v));
    ASSERT_LT(r.left(), r.right());
    ASSERT_LT(r.top(), r.bottom());
    EXPECT_TRUE(!plot.logModeX() || r.left() > 0.0);
    EXPECT_TRUE(!plot.logModeY() || r.top() > 0.0);
    // The view's ends lie on the canvas, most of its width apart (the axes' end labels may
    // take a little of it).
    const QRect canvas = plot.canvas()->geometry();
    const QPointF lowCorner = vb->mapViewToScene(QPointF(r.left(), r.top()));
    const QPointF highCorner = vb->mapViewToScene(QPointF(r.right(), r.bottom()));
    EXPECT_GE(lowCorner.x(), canvas.left() - 1);
    EXPECT_LE(highCorner.x(), canvas.right() + 1);
    EXPECT_LE(lowCorner.y(), canvas.bottom() + 1);
    EXPECT_GE(highCorner.y(), canvas.top() - 1);
    EXPECT_GT(highCorner.x() - lowCorner.x(), canvas.width() * 0.75);
    EXPECT_GT(lowCorner.y() - highCorner.y(), canvas.height() * 0.75);
    // The pixels just inside those ends map to distinct values inside the view, in order.
    const QPointF low = vb->mapSceneToView(lowCorner + QPointF(1, -1));
    const QPointF high = vb->mapSceneToView(highCorner + QPointF(-1, 1));
    EXPECT_LT(low.x(), high.x());
    EXPECT_LT(low.y(), high.y());
    EXPECT_GE(low.x(), r.left());
    EXPECT_LE(high.x(), r.right());
    EXPECT_GE(low.y(), r.top());
    EXPECT_LE(high.y(), r.bottom());
}

// Giving the view back to setRange keeps it (to rounding): a fitted view is a valid request.
void expectTakenBack(plotting::ViewBox* vb) {
    const QRectF before = vb->viewRange();
    ASSERT_NO_THROW(vb->setRange(before));
    const QRectF after = vb->viewRange();
    EXPECT_NEAR(after.left(), before.left(), before.width() * 1e-9);
    EXPECT_NEAR(after.right(), before.right(), before.width() * 1e-9);
    EXPECT_NEAR(after.top(), before.top(), before.height() * 1e-9);
    EXPECT_NEAR(after.bottom(), before.bottom(), before.height() * 1e-9);
}

struct FitCase {
    const char* name;
    QVector<double> x, y;
    bool logX, logY;
    bool whole; // all the data can be shown, and is
};

void PrintTo(const FitCase& c, std::ostream* os) {
    *os << c.name;
}

class ExtremeFit : public ::testing::TestWithParam<FitCase> {};

TEST_P(ExtremeFit, FitsAViewTheAxesCanMap) {
    const FitCase& c = GetParam();
    auto plot = shownPlot();
    plot->setLogMode(c.logX, c.logY);
    plot->plot(c.x, c.y, style());
    auto* vb = plot->plotItem()->vb();
    vb->autoRange();
    ASSERT_NO_FATAL_FAILURE(expectMapsSoundly(*plot));
    if (c.whole) {
        const QRectF r = vb->viewRange();
        for (int i = 0; i < c.x.size(); ++i) {
            EXPECT_LE(r.left(), c.x[i]);
            EXPECT_GE(r.right(), c.x[i]);
            EXPECT_LE(r.top(), c.y[i]);
            EXPECT_GE(r.bottom(), c.y[i]);
        }
    }
    expectTakenBack(vb);
    ASSERT_NO_FATAL_FAILURE(expectMapsSoundly(*plot));
}

INSTANTIATE_TEST_SUITE_P(
    Data, ExtremeFit,
    ::testing::Values(
        FitCase{"one_timestamp", {1.7e18}, {1.0}, false, false, true},
        FitCase{"equal_timestamps", {1.7e18, 1.7e18, 1.7e18}, {1.0, 1.0, 1.0}, false, false, true},
        FitCase{"equal_in_y", {0.0, 1.0}, {-1e16, -1e16}, false, false, true},
        FitCase{"few_steps_apart", {1e17, 1e17 + 16, 1e17 + 32}, {0, 1, 2}, false, false, true},
        FitCase{"largest_double", {kMax}, {-kMax}, false, false, true},
        FitCase{"smallest_doubles", {0.0, 5e-324}, {5e-324, 5e-324}, false, false, true},
        FitCase{"whole_double_range", {-1e308, 1e308}, {0, 1}, false, false, false},
        FitCase{"both_extremes", {-kMax, kMax}, {kMax, -kMax}, false, false, false},
        FitCase{"log_whole_range", {1e-320, 1e308}, {1e-320, 1e308}, true, true, false},
        FitCase{"log_one_huge_value", {1e300}, {1e300}, true, true, false},
        FitCase{"log_equal_values", {1e15, 1e15}, {1.0, 1.0}, true, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

struct RequestCase {
    const char* name;
    QRectF request;
    bool logX;
};

void PrintTo(const RequestCase& c, std::ostream* os) {
    *os << c.name;
}

class ExtremeRequest : public ::testing::TestWithParam<RequestCase> {};

// A request too narrow to map is widened about its middle, one too wide or beyond what a log
// axis maps is narrowed or clamped; each is accepted, not thrown back.
TEST_P(ExtremeRequest, IsShownAsTheNearestViewTheAxesCanMap) {
    const RequestCase& c = GetParam();
    auto plot = shownPlot();
    plot->setLogMode(c.logX, false);
    auto* vb = plot->plotItem()->vb();
    ASSERT_NO_THROW(vb->setRange(c.request));
    ASSERT_NO_FATAL_FAILURE(expectMapsSoundly(*plot));
    const QRectF r = vb->viewRange();
    const double mid = c.request.left() / 2 + c.request.right() / 2;
    if (!c.logX && c.request.width() < 1.0) {
        EXPECT_LE(r.left(), c.request.left());
        EXPECT_GE(r.right(), c.request.right());
        EXPECT_NEAR(r.left() / 2 + r.right() / 2, mid, r.width() * 1e-6);
    }
    EXPECT_EQ(r.top(), c.request.top());
    EXPECT_EQ(r.bottom(), c.request.bottom());
    expectTakenBack(vb);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, ExtremeRequest,
    ::testing::Values(
        RequestCase{"smallest_width", QRectF(0, 0, 5e-324, 1), false},
        RequestCase{"two_steps_at_a_timestamp", QRectF(1.7e18, 0, 512, 1), false},
        RequestCase{"one_step_at_1e16", QRectF(1e16, 0, 2, 1), false},
        RequestCase{"wider_than_half_the_doubles", QRectF(-1e308, 0, 1.7e308, 1), false},
        RequestCase{"log_beyond_the_mapped_decades", QRectF(1e-320, 1, 1e308, 1), true},
        RequestCase{"log_tiny_ratio", QRectF(1e10, 1, 1e-5, 1), true}),
    [](const auto& info) { return std::string(info.param.name); });

// Following the newest timestamp keeps the span where it can be shown, and widens it where
// it cannot.
TEST(AutoPan, FollowsTimestampsWithAViewTheAxesCanMap) {
    auto plot = shownPlot();
    auto* c = plot->plot({0, 1}, {0, 1}, style());
    auto* vb = plot->plotItem()->vb();
    vb->setRange(QRectF(0, 0, 1, 1));
    vb->setAutoPan();
    c->setData({1.7e18 - 1e6, 1.7e18}, {0, 1});
    ASSERT_NO_FATAL_FAILURE(expectMapsSoundly(*plot));
    EXPECT_EQ(vb->viewRange().right(), 1.7e18);
    EXPECT_TRUE(vb->autoPanEnabled());
    const double width = vb->viewRange().width();
    c->setData({1.7e18, 1.7e18 + 1e6}, {0, 1});
    EXPECT_EQ(vb->viewRange().right(), 1.7e18 + 1e6);
    EXPECT_EQ(vb->viewRange().width(), width);
}

// ---------------------------------------------------------------------------------------------
// Tick labels

struct TickCase {
    const char* name;
    QVector<double> x;
    bool offset; // the labels need an offset to tell the ticks apart
};

void PrintTo(const TickCase& c, std::ostream* os) {
    *os << c.name;
}

class TickLabels : public ::testing::TestWithParam<TickCase> {};

// Every major tick has its own label, and the label (plus the axis title's offset, when there
// is one) reads back as the tick's value to within a fraction of a tick step.
TEST_P(TickLabels, TellTheTicksApartAndReadBackAsTheirValues) {
    const TickCase& c = GetParam();
    auto plot = shownPlot();
    plot->plot(c.x, QVector<double>(c.x.size(), 1.0), style());
    plot->plotItem()->vb()->autoRange();
    const QList<double> ticks = plot->axisScaleDiv(QwtPlot::xBottom).ticks(QwtScaleDiv::MajorTick);
    ASSERT_GE(ticks.size(), 3);
    const QString title = plot->axisTitle(QwtPlot::xBottom).text();
    EXPECT_EQ(!title.isEmpty(), c.offset) << title.toStdString();
    bool ok = true;
    const double offset = title.isEmpty() ? 0.0 : QLocale().toDouble(title, &ok);
    ASSERT_TRUE(ok) << title.toStdString();
    const double step = ticks[1] - ticks[0];
    QSet<QString> seen;
    for (const double tick : ticks) {
        const QString label = plot->axisScaleDraw(QwtPlot::xBottom)->label(tick).text();
        SCOPED_TRACE(label.toStdString());
        EXPECT_FALSE(seen.contains(label));
        seen.insert(label);
        const double value = QLocale().toDouble(label, &ok);
        ASSERT_TRUE(ok);
        EXPECT_NEAR(offset + value, tick, step * 0.01);
    }
}

QVector<double> ramp(double from, int n) {
    QVector<double> x;
    for (int k = 0; k < n; ++k)
        x.append(from + k);
    return x;
}

INSTANTIATE_TEST_SUITE_P(
    Data, TickLabels,
    ::testing::Values(TickCase{"ordinary", {0, 10}, false}, TickCase{"millions", {1e6, 9e6}, false},
                      TickCase{"ramp_on_1e17", ramp(1e17, 1000), true},
                      TickCase{"one_timestamp", {1.7e18}, true},
                      TickCase{"unix_seconds", {1.7e9, 1.7e9 + 60}, true},
                      TickCase{"negative_offset", {-5e12 - 3, -5e12 + 3}, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------------------------
// Links

TEST(Links, ShareOneAxisOnlyAndEndOnRequestOrDestruction) {
    auto a = shownPlot();
    auto b = shownPlot();
    auto c = shownPlot();
    auto* va = a->plotItem()->vb();
    auto* vb = b->plotItem()->vb();
    auto* vc = c->plotItem()->vb();
    va->setRange(QRectF(0, 0, 10, 10));
    vb->setRange(QRectF(100, 100, 5, 5));
    vb->setXLink(va);
    EXPECT_DOUBLE_EQ(vb->viewRange().left(), 0.0);
    EXPECT_DOUBLE_EQ(vb->viewRange().width(), 10.0);
    EXPECT_DOUBLE_EQ(vb->viewRange().top(), 100.0); // Y untouched

    vc->setXLink(vb); // joins the same group
    va->setRange(QRectF(-3, 1, 6, 2));
    EXPECT_DOUBLE_EQ(vb->viewRange().left(), -3.0);
    EXPECT_DOUBLE_EQ(vc->viewRange().left(), -3.0);
    EXPECT_DOUBLE_EQ(vb->viewRange().top(), 100.0);

    vb->setXLink(nullptr);
    va->setRange(QRectF(50, 1, 6, 2));
    EXPECT_DOUBLE_EQ(vb->viewRange().left(), -3.0);
    EXPECT_DOUBLE_EQ(vc->viewRange().left(), 50.0);

    vc->setYLink(va);
    a.reset(); // destroying a member leaves the others working
    vc->setRange(QRectF(1, 2, 3, 4));
    EXPECT_EQ(vc->viewRange(), QRectF(1, 2, 3, 4));
}

TEST(Links, LinkedAutoRangeFitsTheDataOfTheWholeGroup) {
    auto a = shownPlot();
    auto b = shownPlot();
    a->plot({0, 1}, {0, 1}, style());
    b->plot({50, 60}, {100, 200}, style());
    b->plotItem()->vb()->setXLink(a->plotItem()->vb());
    a->plotItem()->vb()->autoRange();
    const QRectF ra = a->plotItem()->vb()->viewRange();
    EXPECT_LE(ra.left(), 0.0);
    EXPECT_GE(ra.right(), 60.0);
    EXPECT_GE(ra.bottom(), 1.0);
    EXPECT_LT(ra.bottom(), 100.0); // Y is not linked: own data only
    EXPECT_DOUBLE_EQ(b->plotItem()->vb()->viewRange().left(), ra.left());
}

// ---------------------------------------------------------------------------------------------
// Curve data and widget settings

TEST(CurveData, MismatchedLengthsThrowAndLeaveTheCurveAsItWas) {
    auto plot = shownPlot();
    auto* c = plot->plot({1, 2}, {3, 4}, style());
    EXPECT_THROW(c->setData({1, 2, 3}, {1, 2}), std::invalid_argument);
    EXPECT_EQ(c->xData(), QVector<double>({1, 2}));
    EXPECT_EQ(c->yData(), QVector<double>({3, 4}));
    EXPECT_THROW(plot->plot({1}, {}, style()), std::invalid_argument);
    EXPECT_EQ(plot->curves().size(), 1);
}

TEST(CurveData, HoldsItsOwnValuesWhenTheCallerChangesItsVectors) {
    auto plot = shownPlot();
    QVector<double> x{1, 2, 3}, y{4, 5, 6};
    auto* c = plot->plot({}, {}, style());
    c->setData(x, y);
    x[0] = 100;
    y.append(7);
    EXPECT_EQ(c->xData(), QVector<double>({1, 2, 3}));
    EXPECT_EQ(c->yData(), QVector<double>({4, 5, 6}));
    EXPECT_EQ(c->style().pen, style().pen);
}

TEST(ViewRange, InvalidRangesThrowAndKeepTheView) {
    auto plot = shownPlot();
    auto* vb = plot->plotItem()->vb();
    vb->setRange(QRectF(0, 0, 2, 2));
    EXPECT_THROW(vb->setRange(QRectF(0, 0, 0, 1)), std::invalid_argument);
    EXPECT_THROW(vb->setRange(QRectF(0, 0, kInf, 1)), std::invalid_argument);
    EXPECT_THROW(vb->setRange(QRectF(kNaN, 0, 1, 1)), std::invalid_argument);
    plot->setLogMode(false, true);
    EXPECT_THROW(vb->setRange(QRectF(1, -1, 1, 5)), std::invalid_argument);
    EXPECT_GT(vb->viewRange().top(), 0.0);
    // A flipped rectangle is taken normalised.
    vb->setRange(QRectF(QPointF(5, 50), QPointF(1, 10)));
    EXPECT_EQ(vb->viewRange(), QRectF(1, 10, 4, 40));
}

TEST(WidgetSettings, GridBackgroundAndLogFlagsReadBack) {
    plotting::PlotWidgetBase plot;
    EXPECT_FALSE(plot.gridShownX());
    plot.showGrid(true, false);
    EXPECT_TRUE(plot.gridShownX());
    EXPECT_FALSE(plot.gridShownY());
    plot.setBackground(QColor(1, 2, 3));
    EXPECT_EQ(plot.background(), QColor(1, 2, 3));
    EXPECT_EQ(plot.canvasBackground().color(), QColor(1, 2, 3));
    plot.setLogMode(false, true);
    EXPECT_FALSE(plot.logModeX());
    EXPECT_TRUE(plot.logModeY());
    EXPECT_TRUE(plot.fastRendering());
    plot.setFastRendering(false);
    EXPECT_FALSE(plot.fastRendering());
}

} // namespace
