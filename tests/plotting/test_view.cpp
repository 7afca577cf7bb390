// The view box: mapping, fitting, following the data, log axes, links; curve data rules.
#include <tellurix/lumenfold/plotting.h>

#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <stdexcept>

namespace plotting = tellurix::lumenfold::plotting;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

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
