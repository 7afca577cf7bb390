// The fast drawing path must paint the same picture as Qwt drawing every point.
#include <tellurix/lumenfold/plotting.h>

#include <QImage>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>

namespace plotting = tellurix::lumenfold::plotting;

namespace {

// SortedUneven: X crowds at the start, jumps, and thins out, so that pixel columns hold very
// different numbers of points. SortedSpikes: X falls, and some Y lie far off the plot.
// SortedEdge: Y stays close to the top edge of the view, half the points above it.
// Cloud: points uniformly random over a square, each curve's square shifted so that every
// curve shows; consecutive points land far apart. Scatter: the spiral under noise that puts
// consecutive points tens of pixels apart; symbols fill its middle, not its fringes.
enum class Shape {
    Sorted,
    Spiral,
    SortedWithGaps,
    SortedUneven,
    SortedSpikes,
    SortedEdge,
    Cloud,
    Scatter
};

struct Case {
    const char* name;
    Shape shape;
    int width, height;
    double penWidth;
    double symbolSize;
    int points;
    bool zoomed; // view covers only part of the data
    bool logY;
};

struct Series {
    QVector<double> x, y;
};

// Deterministic data: a noisy wave over increasing X, or a noisy spiral in record order.
Series makeSeries(Shape shape, int n, int curve) {
    std::mt19937 rng(1234u + static_cast<unsigned>(curve));
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_real_distribution<double> anywhere(0.0, 1.0);
    Series s;
    s.x.resize(n);
    s.y.resize(n);
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / n;
        if (shape == Shape::Cloud) {
            s.x[i] = 0.5 * curve + anywhere(rng);
            s.y[i] = 0.3 * curve + anywhere(rng);
        } else if (shape == Shape::Scatter) {
            const double r = 0.2 + t;
            const double a = t * 40.0 * M_PI + curve;
            s.x[i] = r * std::cos(a) + 0.08 * noise(rng);
            s.y[i] = r * std::sin(a) + 3.0 + 0.08 * noise(rng);
        } else if (shape == Shape::Spiral) {
            const double r = (0.2 + t) * (1.0 + 0.02 * noise(rng));
            const double a = t * 40.0 * M_PI + curve;
            s.x[i] = r * std::cos(a);
            s.y[i] = r * std::sin(a) + 3.0;
        } else {
            s.x[i] = 10.0 * t;
            s.y[i] = 3.0 + std::sin(t * 12.0 + curve) + 0.08 * noise(rng) + 0.3 * curve;
            if (shape == Shape::SortedWithGaps && i % 997 == 5)
                s.y[i] = (i % 2) != 0 ? std::nan("") : INFINITY;
            if (shape == Shape::SortedUneven)
                s.x[i] = 10.0 * t * t * t + (t > 0.5 ? 2.0 : 0.0);
            if (shape == Shape::SortedEdge)
                s.y[i] = 3.0 + 0.01 * (3 - curve) * noise(rng);
            if (shape == Shape::SortedSpikes) {
                s.x[i] = 10.0 - 10.0 * t;
                if (i % 1231 == 7)
                    s.y[i] = (i % 3) != 0 ? 1.0e300 : -1.0e300;
            }
        }
    }
    return s;
}

QImage renderPlot(const Case& c, bool fast) {
    plotting::PlotWidgetBase plot;
    plot.setFastRendering(fast);
    plot.showGrid(true, true);
    plot.setBackground(QColor(250, 250, 245));
    plot.setLogMode(false, c.logY);
    const QColor colors[] = {Qt::red, Qt::darkBlue, QColor(0, 140, 0)};
    for (int k = 0; k < 3; ++k) {
        const Series s = makeSeries(c.shape, c.points, k);
        plotting::CurveStyle style;
        style.pen = QPen(colors[k], k == 0 ? c.penWidth : 1.0);
        style.symbolBrush = QBrush(colors[k]);
        style.symbolPen = QPen(colors[k], 0);
        style.symbolSize = c.symbolSize;
        plot.plot(s.x, s.y, style);
    }
    plot.resize(c.width, c.height);
    plot.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&plot));
    plot.plotItem()->vb()->autoRange();
    if (c.shape == Shape::SortedSpikes) // the range of the wave, not of the spikes
        plot.plotItem()->vb()->setRange(QRectF(0.0, 1.5, 10.0, 4.0));
    if (c.shape == Shape::SortedEdge) // symbols half off the plot, along its whole width
        plot.plotItem()->vb()->setRange(QRectF(0.0, 0.0, 10.0, 3.0));
    if (c.zoomed) {
        const QRectF r = plot.plotItem()->vb()->viewRange();
        plot.plotItem()->vb()->setRange(QRectF(r.left() + r.width() * 0.3,
                                               r.top() + r.height() * 0.2, r.width() * 0.25,
                                               r.height() * 0.4));
    }
    QImage image(plot.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    plot.render(&image);
    return image;
}

class RenderEquality : public ::testing::TestWithParam<Case> {};

TEST_P(RenderEquality, FastMatchesFullDrawing) {
    const Case& c = GetParam();
    const QImage full = renderPlot(c, false);
    const QImage fast = renderPlot(c, true);
    ASSERT_EQ(full.size(), fast.size());
    long differing = 0;
    for (int y = 0; y < full.height(); ++y) {
        const auto* a = reinterpret_cast<const QRgb*>(full.constScanLine(y));
        const auto* b = reinterpret_cast<const QRgb*>(fast.constScanLine(y));
        for (int x = 0; x < full.width(); ++x)
            differing += a[x] != b[x] ? 1 : 0;
    }
    const double share = static_cast<double>(differing) / (full.width() * full.height());
    if (share > 0.001 || qEnvironmentVariableIsSet("LUMENFOLD_SAVE_RENDER")) {
        full.save(QString("/tmp/lumenfold_render_%1_full.png").arg(c.name));
        fast.save(QString("/tmp/lumenfold_render_%1_fast.png").arg(c.name));
    }
    RecordProperty("differing_pixels", static_cast<int>(differing));
    EXPECT_LE(share, 0.001) << differing << " pixels differ";
    // The picture must not be blank: the curves were drawn at all.
    long curvePixels = 0;
    for (int y = 0; y < fast.height(); ++y)
        for (int x = 0; x < fast.width(); ++x)
            curvePixels += qRed(fast.pixel(x, y)) > 200 && qGreen(fast.pixel(x, y)) < 60 ? 1 : 0;
    EXPECT_GT(curvePixels, 100);
}

INSTANTIATE_TEST_SUITE_P(
    Pictures, RenderEquality,
    ::testing::Values(
        Case{"sorted_small", Shape::Sorted, 400, 300, 1.0, 3.0, 40000, false, false},
        Case{"sorted_wide_pen", Shape::Sorted, 1200, 800, 2.0, 5.0, 60000, false, false},
        Case{"sorted_thick", Shape::Sorted, 777, 333, 3.0, 3.0, 60000, false, false},
        Case{"sorted_zoomed", Shape::Sorted, 640, 480, 2.0, 5.0, 60000, true, false},
        Case{"sorted_gaps", Shape::SortedWithGaps, 640, 480, 1.0, 3.0, 60000, false, false},
        Case{"sorted_log", Shape::Sorted, 640, 480, 1.0, 3.0, 60000, false, true},
        Case{"sorted_lines_only", Shape::Sorted, 1200, 800, 2.0, 0.0, 200000, false, false},
        Case{"sorted_lines_sparse", Shape::Sorted, 640, 480, 1.0, 0.0, 3000, false, false},
        Case{"sorted_lines_zoomed", Shape::Sorted, 640, 480, 3.0, 0.0, 200000, true, false},
        Case{"sorted_sparse_symbols", Shape::Sorted, 800, 600, 1.0, 5.0, 1500, false, false},
        Case{"spiral_lines_only", Shape::Spiral, 1200, 800, 1.0, 0.0, 100000, false, false},
        Case{"spiral_lines_wide", Shape::Spiral, 800, 600, 2.0, 0.0, 20000, false, false},
        Case{"spiral_lines_zoomed", Shape::Spiral, 640, 480, 2.0, 0.0, 50000, true, false},
        Case{"spiral_sparse_symbols", Shape::Spiral, 500, 500, 1.0, 5.0, 2000, false, false},
        Case{"spiral_small", Shape::Spiral, 400, 300, 1.0, 3.0, 40000, false, false},
        Case{"spiral_wide_pen", Shape::Spiral, 1200, 800, 2.0, 5.0, 60000, false, false},
        Case{"spiral_thick", Shape::Spiral, 333, 777, 3.0, 3.0, 60000, false, false},
        Case{"spiral_zoomed", Shape::Spiral, 640, 480, 1.0, 5.0, 60000, true, false},
        // Enough segments under the symbols' union that short ones are tested by their ends.
        Case{"spiral_many", Shape::Spiral, 800, 600, 1.0, 3.0, 300000, false, false},
        Case{"spiral_many_big_symbols", Shape::Spiral, 700, 500, 1.0, 7.0, 300000, false, false},
        // Few points: symbols are stamped one by one, and those on the edge are cut.
        Case{"sorted_zoomed_few", Shape::Sorted, 640, 480, 1.0, 5.0, 8000, true, false},
        Case{"spiral_zoomed_few", Shape::Spiral, 640, 480, 1.0, 5.0, 8000, true, false},
        // Columns of very different sizes, rows far off the plot, X falling; with few points
        // the symbols crowd along the line and are painted as their union.
        Case{"sorted_uneven", Shape::SortedUneven, 800, 600, 1.0, 3.0, 60000, false, false},
        Case{"sorted_uneven_few", Shape::SortedUneven, 640, 480, 1.0, 5.0, 8000, false, false},
        Case{"sorted_spikes", Shape::SortedSpikes, 640, 480, 1.0, 3.0, 60000, false, false},
        Case{"sorted_spikes_zoomed_few", Shape::SortedSpikes, 640, 480, 2.0, 5.0, 8000, true,
             false},
        Case{"sorted_edge_few", Shape::SortedEdge, 640, 480, 1.0, 9.0, 8000, false, false},
        // Dense clouds: the line soon covers all it can, and most segments are skipped.
        Case{"cloud", Shape::Cloud, 600, 450, 1.0, 3.0, 60000, false, false},
        Case{"cloud_big_symbols", Shape::Cloud, 500, 400, 1.0, 7.0, 60000, false, false},
        Case{"cloud_zoomed", Shape::Cloud, 640, 480, 1.0, 3.0, 60000, true, false},
        Case{"scatter", Shape::Scatter, 640, 480, 1.0, 3.0, 200000, false, false},
        Case{"scatter_zoomed", Shape::Scatter, 640, 480, 1.0, 3.0, 200000, true, false}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// A drawn curve is kept from one repaint to the next; whatever it depends on must renew it.
enum class Change { None, DataOfOneCurve, Pan, Resize, LogY, Clear };

struct ChangeCase {
    const char* name;
    Shape shape;
    Change change;
};

class Plotted {
public:
    Plotted(const ChangeCase& c, bool fast) {
        plot.setFastRendering(fast);
        plot.showGrid(true, true);
        const QColor colors[] = {Qt::red, Qt::darkBlue, QColor(0, 140, 0)};
        for (int k = 0; k < 3; ++k) {
            const Series s = makeSeries(c.shape, 20000, k);
            plotting::CurveStyle style;
            style.pen = QPen(colors[k], k == 0 ? 2.0 : 1.0);
            style.symbolBrush = QBrush(colors[k]);
            style.symbolPen = QPen(colors[k], 0);
            style.symbolSize = 5.0;
            plot.plot(s.x, s.y, style);
        }
        plot.resize(700, 500);
        plot.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&plot));
        plot.plotItem()->vb()->autoRange();
        start = plot.plotItem()->vb()->viewRange();
    }

    void apply(Change change) {
        auto* vb = plot.plotItem()->vb();
        switch (change) {
        case Change::None:
            break;
        case Change::DataOfOneCurve: {
            Series s = makeSeries(Shape::Sorted, 5000, 7);
            for (double& y : s.y)
                y -= 1.0;
            plot.curves()[1]->setData(s.x, s.y);
            break;
        }
        case Change::Pan:
            vb->setRange(start.translated(start.width() * 0.2, start.height() * 0.1));
            break;
        case Change::Resize:
            plot.resize(500, 620);
            break;
        case Change::LogY:
            plot.setLogMode(false, true);
            vb->setRange(QRectF(start.left(), 0.5, start.width(), 5.0));
            break;
        case Change::Clear:
            plot.curves()[0]->setData({}, {});
            break;
        }
    }

    QImage render() {
        QImage image(plot.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        plot.render(&image);
        return image;
    }

    plotting::PlotWidgetBase plot;
    QRectF start;
};

long differingPixels(const QImage& a, const QImage& b) {
    if (a.size() != b.size())
        return static_cast<long>(a.width()) * a.height();
    long n = 0;
    for (int y = 0; y < a.height(); ++y) {
        const auto* pa = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* pb = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < a.width(); ++x)
            n += pa[x] != pb[x] ? 1 : 0;
    }
    return n;
}

class RepaintAfterChange : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(RepaintAfterChange, MatchesAFreshFullDrawingOfTheNewState) {
    const ChangeCase& c = GetParam();
    Plotted fast(c, true);
    const QImage before = fast.render();
    const QImage again = fast.render();
    EXPECT_EQ(differingPixels(before, again), 0) << "a repaint with nothing changed";
    fast.apply(c.change);
    const QImage after = fast.render();

    Plotted full(c, false);
    full.apply(c.change);
    const QImage reference = full.render();
    ASSERT_EQ(after.size(), reference.size());
    const long differing = differingPixels(after, reference);
    const double share = static_cast<double>(differing) / (after.width() * after.height());
    if (share > 0.001) {
        after.save(QString("/tmp/lumenfold_change_%1_fast.png").arg(c.name));
        reference.save(QString("/tmp/lumenfold_change_%1_full.png").arg(c.name));
    }
    EXPECT_LE(share, 0.001) << differing << " pixels differ";
    if (c.change != Change::None) {
        EXPECT_GT(differingPixels(before, after), 1000) << "the change shows";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Changes, RepaintAfterChange,
    ::testing::Values(ChangeCase{"sorted_none", Shape::Sorted, Change::None},
                      ChangeCase{"sorted_one_curve", Shape::Sorted, Change::DataOfOneCurve},
                      ChangeCase{"spiral_one_curve", Shape::Spiral, Change::DataOfOneCurve},
                      ChangeCase{"sorted_pan", Shape::Sorted, Change::Pan},
                      ChangeCase{"spiral_pan", Shape::Spiral, Change::Pan},
                      ChangeCase{"sorted_resize", Shape::Sorted, Change::Resize},
                      ChangeCase{"spiral_resize", Shape::Spiral, Change::Resize},
                      ChangeCase{"sorted_log", Shape::Sorted, Change::LogY},
                      ChangeCase{"sorted_clear", Shape::Sorted, Change::Clear}),
    [](const ::testing::TestParamInfo<ChangeCase>& info) { return std::string(info.param.name); });

// One curve over a fixed view, on a plot of `size`, rendered `frames` times.
std::vector<QImage> renderCurve(const QVector<double>& x, const QVector<double>& y,
                                const plotting::CurveStyle& style, QSize size, const QRectF& view,
                                bool fast, int frames = 1) {
    plotting::PlotWidgetBase plot;
    plot.setFastRendering(fast);
    plot.plot(x, y, style);
    plot.resize(size);
    plot.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&plot));
    plot.plotItem()->vb()->setRange(view);
    std::vector<QImage> images;
    for (int f = 0; f < frames; ++f) {
        QImage image(plot.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::white);
        plot.render(&image);
        images.push_back(image);
    }
    return images;
}

// A thin line in its symbols' colour is painted with their union and kept that way for
// repaints; a closed run, which the line writer leaves to the engine, must be drawn again
// on every repaint all the same.
TEST(RenderEquality, ClosedRunOfAMergedLineSurvivesRepaints) {
    QVector<double> x{0.0, 10.0, 10.0, 0.0, 0.0, std::nan("")};
    QVector<double> y{0.0, 0.0, 10.0, 10.0, 0.0, std::nan("")};
    std::mt19937 rng(5);
    std::normal_distribution<double> noise(0.0, 0.3);
    for (int i = 0; i < 60000; ++i) { // a dense cloud: enough points for the union
        x.append(5.0 + noise(rng));
        y.append(5.0 + noise(rng));
    }
    plotting::CurveStyle style;
    style.pen = QPen(Qt::darkBlue, 1.0);
    style.symbolBrush = QBrush(Qt::darkBlue);
    style.symbolPen = QPen(Qt::darkBlue, 0);
    style.symbolSize = 3.0;
    auto render = [&](bool fast, int frames) {
        return renderCurve(x, y, style, QSize(600, 450), QRectF(-1.0, -1.0, 12.0, 12.0), fast,
                           frames);
    };
    const std::vector<QImage> fast = render(true, 2);
    const QImage reference = render(false, 1).front();
    for (const QImage& frame : fast) {
        const long differing = differingPixels(frame, reference);
        EXPECT_LE(differing, frame.width() * frame.height() / 1000)
            << differing << " pixels differ";
    }
    EXPECT_EQ(differingPixels(fast[0], fast[1]), 0) << "a repaint with nothing changed";
}

// A few sorted points with a lone spike up and one down: their symbols reach the first and
// last rows any symbol reaches, at the edges of the band of rows a curve's marks are kept in.
TEST(RenderEquality, SymbolsAtTheDataExtremesAreDrawnAsTheFullDrawingDrawsThem) {
    for (const bool lines : {true, false}) {
        QVector<double> x, y;
        for (int i = 0; i < 400; ++i) {
            x.append(i);
            y.append(0.1 * std::sin(i * 0.3));
        }
        y[137] = 2.0;
        y[263] = -1.5;
        plotting::CurveStyle style;
        style.pen = lines ? QPen(Qt::darkBlue, 1.0) : QPen(Qt::NoPen);
        style.symbolBrush = QBrush(Qt::red);
        style.symbolPen = QPen(Qt::red, 0);
        style.symbolSize = 7.0;
        auto render = [&](bool fast) {
            return renderCurve(x, y, style, QSize(500, 400), QRectF(-10.0, -2.0, 420.0, 4.5), fast)
                .front();
        };
        const QImage fast = render(true), full = render(false);
        // Every symbol's pixels (the line is another colour): a symbol lost or cut at either
        // spike shows in the count.
        long redFast = 0, redFull = 0;
        for (int py = 0; py < fast.height(); ++py)
            for (int px = 0; px < fast.width(); ++px) {
                redFast += fast.pixel(px, py) == QColor(Qt::red).rgb() ? 1 : 0;
                redFull += full.pixel(px, py) == QColor(Qt::red).rgb() ? 1 : 0;
            }
        EXPECT_EQ(redFast, redFull) << (lines ? "with lines" : "symbols alone");
        EXPECT_GT(redFull, 400);
    }
}

} // namespace
