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

enum class Shape { Sorted, Spiral, SortedWithGaps };

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
    Series s;
    s.x.resize(n);
    s.y.resize(n);
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / n;
        if (shape == Shape::Spiral) {
            const double r = (0.2 + t) * (1.0 + 0.02 * noise(rng));
            const double a = t * 40.0 * M_PI + curve;
            s.x[i] = r * std::cos(a);
            s.y[i] = r * std::sin(a) + 3.0;
        } else {
            s.x[i] = 10.0 * t;
            s.y[i] = 3.0 + std::sin(t * 12.0 + curve) + 0.08 * noise(rng) + 0.3 * curve;
            if (shape == Shape::SortedWithGaps && i % 997 == 5)
                s.y[i] = (i % 2) != 0 ? std::nan("") : INFINITY;
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
        Case{"spiral_zoomed", Shape::Spiral, 640, 480, 1.0, 5.0, 60000, true, false}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

} // namespace
