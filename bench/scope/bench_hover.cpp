// The value under the cursor at 8 curves x 1,000,000 points (target: at most 2 ms per mouse
// move).
//
//   HoverSearch     one search of the index per move, the cursor visiting the whole canvas
//                   (a 48 x 27 grid of positions, visited in a scrambled order)
//   HoverBuild      building the index from the curves, once per drawing
//   HoverMouseMove  a real plot widget, 1600 x 900: one mouse move delivered through the
//                   window system, the search, the status text and the marker moved and
//                   repainted (index already built, as for every move but the first)
//
// Data shapes (the argument): 0 "noise", every curve uniform noise over the whole canvas,
// so nearly every pixel holds a point; 1 "bands", eight thin noisy bands with empty canvas
// between them, where a cursor in a gap must search outwards; 2 "bands" on log axes.
//
// Run: bench_scope_hover [benchmark flags]
#include <tellurix/lumenfold/scope/cursor_readout.h>
#include <tellurix/lumenfold/scope/hover_index.h>

#include <tellurix/lumenfold/chartpane.h>

#include <QApplication>
#include <QTest>
#include <QWindow>

#include <qwt_transform.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

using namespace tellurix::lumenfold;

namespace {

constexpr int curves = 8;
constexpr int points = 1'000'000;
const QSize canvas(1600, 800);

struct Data {
    std::vector<QVector<double>> x, y;
};

// Deterministic, so every run measures the same picture.
const Data& data(int shape) {
    static std::vector<std::unique_ptr<Data>> made(3);
    auto& d = made[static_cast<std::size_t>(shape)];
    if (d)
        return *d;
    d = std::make_unique<Data>();
    std::mt19937_64 random(42 + shape);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (int c = 0; c < curves; ++c) {
        QVector<double> x(points), y(points);
        for (int i = 0; i < points; ++i) {
            x[i] = double(i) / points;
            const double band = (c + 0.5) / curves + 0.01 * normal(random);
            y[i] = shape == 0 ? uniform(random) : band;
            if (shape == 2) // the same bands spread over four decades
                y[i] = std::pow(10.0, 4 * y[i]);
        }
        d->x.push_back(std::move(x));
        d->y.push_back(std::move(y));
    }
    return *d;
}

std::vector<scope::HoverIndex::Series> series(const Data& d) {
    std::vector<scope::HoverIndex::Series> s;
    for (int c = 0; c < curves; ++c)
        s.push_back({d.x[c].constData(), d.y[c].constData(), static_cast<std::size_t>(points)});
    return s;
}

void maps(int shape, QwtScaleMap& xm, QwtScaleMap& ym) {
    xm.setPaintInterval(0, canvas.width() - 1);
    xm.setScaleInterval(0, 1);
    ym.setPaintInterval(canvas.height() - 1, 0);
    if (shape == 2) {
        ym.setTransformation(new QwtLogTransform);
        ym.setScaleInterval(1, 1e4);
    } else {
        ym.setScaleInterval(0, 1);
    }
}

// Positions all over the canvas, in an order that jumps about.
std::vector<QPointF> cursor_path(QSize area) {
    std::vector<QPointF> path;
    for (int gy = 0; gy < 27; ++gy)
        for (int gx = 0; gx < 48; ++gx)
            path.emplace_back((gx + 0.37) * area.width() / 48.0,
                              (gy + 0.61) * area.height() / 27.0);
    std::shuffle(path.begin(), path.end(), std::mt19937(7));
    return path;
}

void HoverSearch(benchmark::State& state) {
    const int shape = static_cast<int>(state.range(0));
    QwtScaleMap xm, ym;
    maps(shape, xm, ym);
    scope::HoverIndex index;
    index.build(series(data(shape)), xm, ym, canvas);
    const std::vector<QPointF> path = cursor_path(canvas);
    std::size_t k = 0;
    double far = 0;
    for (auto _ : state) {
        const auto hit = index.nearest(path[k++ % path.size()]);
        benchmark::DoNotOptimize(hit);
        far = std::max(far, hit ? hit->distance : 0.0);
    }
    state.counters["indexed_points"] = static_cast<double>(index.size());
    state.counters["farthest_hit_px"] = far;
}

void HoverBuild(benchmark::State& state) {
    const int shape = static_cast<int>(state.range(0));
    QwtScaleMap xm, ym;
    maps(shape, xm, ym);
    const auto s = series(data(shape));
    scope::HoverIndex index;
    for (auto _ : state) {
        index.build(s, xm, ym, canvas);
        benchmark::DoNotOptimize(index.size());
    }
    state.counters["indexed_points"] = static_cast<double>(index.size());
}

void HoverMouseMove(benchmark::State& state) {
    const int shape = static_cast<int>(state.range(0));
    const Data& d = data(shape);
    QString shown; // outlives the plot: the readout ends when the plot is torn down
    chartpane::PlotWidget plot;
    auto* readout = new scope::CursorReadout(&plot, {});
    QObject::connect(readout, &scope::CursorReadout::changed, readout,
                     [&shown](const QString& text, const QString&) { shown = text; });
    plot.resize(1600, 900);
    plot.setLogMode(false, shape == 2);
    int c = 0;
    for (const auto& [key, curve] : plot.plots) {
        (void)curve;
        plot.set_data(key, d.x[static_cast<std::size_t>(c)], d.y[static_cast<std::size_t>(c)]);
        ++c;
    }
    plot.auto_range();
    plot.show();
    if (!QTest::qWaitForWindowExposed(&plot)) {
        state.SkipWithError("the plot was not shown");
        return;
    }
    QWidget* canvas_widget = plot.canvas();
    std::vector<QPoint> path;
    for (const QPointF& p : cursor_path(canvas_widget->size()))
        path.push_back(canvas_widget->mapTo(&plot, p.toPoint()));
    QTest::mouseMove(plot.windowHandle(), path.back()); // builds the index
    QApplication::processEvents();
    const int builds = readout->builds();
    std::size_t k = 0;
    for (auto _ : state) {
        QTest::mouseMove(plot.windowHandle(), path[k++ % path.size()]);
        benchmark::DoNotOptimize(shown);
    }
    if (readout->builds() != builds)
        state.SkipWithError("the index was built again during the moves");
    if (shown.isEmpty())
        state.SkipWithError("no readout");
    state.counters["canvas_w"] = canvas_widget->width();
    state.counters["canvas_h"] = canvas_widget->height();
}

} // namespace

BENCHMARK(HoverSearch)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
BENCHMARK(HoverBuild)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(HoverMouseMove)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);
