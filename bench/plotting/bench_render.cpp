// Frame cost of the plot widget: a 1200x800 plot with 8 curves styled like the panel's
// settings; each frame sets all 8 curves' data and renders the whole widget into an image.
// "fast" is the adapter's own drawing, "qwt" the same data drawn point by point by Qwt.
// BM_OneChanged sets the data of one curve per frame only, as a live plot mostly does.
// Each benchmark reports the median CPU time of its frames, drawn back to back, as
// "frame_ms". Memory is read from the process's resident size, so run each BM_Memory case
// in a process of its own (--benchmark_filter=BM_Memory/sorted): memory freed by earlier
// cases hides the growth.
#include <tellurix/lumenfold/config.h>
#include <tellurix/lumenfold/plotting.h>

#include <QApplication>
#include <QImage>
#include <QTest>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace config = tellurix::lumenfold::config;
namespace plotting = tellurix::lumenfold::plotting;

namespace {

constexpr int kCurves = 8;
constexpr int kWidth = 1200;
constexpr int kHeight = 800;

struct Series {
    QVector<double> x, y;
};

enum class Kind { Sorted, Spiral, Cloud, Scatter };

// Sorted: a noisy sine per curve over increasing X. Spiral: a noisy spiral in record order.
// Cloud: points uniformly random over the whole view, so that each segment crosses a good
// part of the canvas (what white noise on both axes of an XY plot looks like). Scatter: the
// spiral under noise that puts consecutive points tens of pixels apart (a noisy IQ
// constellation, a Lissajous figure with noise): the symbols fill its middle, not its
// fringes, so many segments keep reaching tiles that never fill.
std::vector<Series> makeData(Kind kind, int n) {
    std::vector<Series> all;
    for (int k = 0; k < kCurves; ++k) {
        std::mt19937 rng(77u + static_cast<unsigned>(k));
        std::normal_distribution<double> noise(0.0, 1.0);
        std::uniform_real_distribution<double> anywhere(-1.0, 1.0);
        Series s;
        s.x.resize(n);
        s.y.resize(n);
        for (int i = 0; i < n; ++i) {
            const double t = static_cast<double>(i) / n;
            if (kind == Kind::Scatter) {
                const double r = (0.1 + t) * (1.0 + 0.1 * k);
                const double a = t * 60.0 * M_PI + k;
                s.x[i] = r * std::cos(a) + 0.15 * noise(rng);
                s.y[i] = r * std::sin(a) + 0.15 * noise(rng);
            } else if (kind == Kind::Cloud) {
                s.x[i] = anywhere(rng);
                s.y[i] = anywhere(rng);
            } else if (kind == Kind::Sorted) {
                s.x[i] = 100.0 * t;
                s.y[i] = std::sin(t * 20.0 + k) + 0.05 * noise(rng) + 0.5 * k;
            } else {
                const double r = (0.1 + t) * (1.0 + 0.01 * noise(rng)) * (1.0 + 0.1 * k);
                const double a = t * 60.0 * M_PI + k;
                s.x[i] = r * std::cos(a);
                s.y[i] = r * std::sin(a);
            }
        }
        all.push_back(std::move(s));
    }
    return all;
}

// The panel's look: its palette, pen widths and symbol sizes, in its curve-key order.
std::unique_ptr<plotting::PlotWidgetBase> makePlot(bool fast) {
    auto plot = std::make_unique<plotting::PlotWidgetBase>();
    plot->setFastRendering(fast);
    plot->showGrid(true, true);
    plot->setBackground(config::COL_UNSEL);
    for (int key : config::ridx) {
        const QColor color = (*config::defualt_colors)[static_cast<size_t>(key)];
        plotting::CurveStyle style;
        style.pen = QPen(color, config::widths[static_cast<size_t>(key)]);
        style.symbolBrush = QBrush(color);
        style.symbolPen = QPen(color, 0);
        style.symbolSize = config::SymSize[static_cast<size_t>(key)];
        plot->plot({}, {}, style);
    }
    plot->resize(kWidth, kHeight);
    plot->show();
    (void)QTest::qWaitForWindowExposed(plot.get());
    plot->plotItem()->vb()->enableAutoRange();
    return plot;
}

void renderFrame(plotting::PlotWidgetBase& plot, const std::vector<Series>& data, QImage& image) {
    const auto curves = plot.curves();
    for (int k = 0; k < kCurves; ++k)
        curves[k]->setData(data[static_cast<size_t>(k)].x, data[static_cast<size_t>(k)].y);
    plot.render(&image);
}

// One live plot per case, kept across the repetitions: each repetition times one frame of
// the same widget, as a running panel draws them. A first frame (fonts, scratch memory,
// symbol stamps) is drawn before the first timed one.
struct Live {
    std::vector<Series> data;
    std::unique_ptr<plotting::PlotWidgetBase> plot;
    QImage image{kWidth, kHeight, QImage::Format_ARGB32_Premultiplied};
};

Live& live(Kind kind, bool fast, int n) {
    // Widgets must go before the application object does.
    static auto& cases = []() -> std::map<std::tuple<Kind, bool, int>, Live>& {
        static std::map<std::tuple<Kind, bool, int>, Live> all;
        qAddPostRoutine([] { all.clear(); });
        return all;
    }();
    static std::tuple<Kind, bool, int> current;
    const auto key = std::make_tuple(kind, fast, n);
    if (!cases.empty() && current != key)
        cases.clear(); // one case in memory at a time
    current = key;
    auto it = cases.find(key);
    if (it == cases.end()) {
        Live& l = cases[key];
        l.data = makeData(kind, n);
        l.plot = makePlot(fast);
        renderFrame(*l.plot, l.data, l.image);
        return l;
    }
    return it->second;
}

// Frames drawn back to back, as a running panel draws them: each frame's CPU time is kept and
// the median reported as "frame_ms" (the library's own time column is the mean).
class FrameTimes {
public:
    void start() { begin_ = threadMs(); }
    void stop() { ms_.push_back(threadMs() - begin_); }
    void report(benchmark::State& state) {
        std::sort(ms_.begin(), ms_.end());
        if (!ms_.empty())
            state.counters["frame_ms"] = ms_[ms_.size() / 2];
    }

private:
    static double threadMs() {
        timespec ts{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
    }
    double begin_ = 0.0;
    std::vector<double> ms_;
};

void BM_Frame(benchmark::State& state, Kind kind, bool fast) {
    const int n = static_cast<int>(state.range(0));
    Live& l = live(kind, fast, n);
    FrameTimes times;
    for (auto _ : state) {
        times.start();
        renderFrame(*l.plot, l.data, l.image);
        benchmark::DoNotOptimize(l.image.constBits());
        times.stop();
    }
    times.report(state);
    state.counters["points"] = static_cast<double>(n) * kCurves;
}

// The reference host's pattern: every frame only the newest curve gets new data, the other
// seven are drawn as they were.
void BM_OneChanged(benchmark::State& state, Kind kind) {
    const int n = static_cast<int>(state.range(0));
    const auto data = makeData(kind, n);
    auto plot = makePlot(true);
    QImage image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    renderFrame(*plot, data, image);
    const auto curves = plot->curves();
    // Settle into the steady state before the timed frames.
    for (int warm = 0; warm < 3; ++warm) {
        curves[kCurves - 1]->setData(data.back().x, data.back().y);
        plot->render(&image);
    }
    FrameTimes times;
    for (auto _ : state) {
        times.start();
        curves[kCurves - 1]->setData(data.back().x, data.back().y);
        plot->render(&image);
        benchmark::DoNotOptimize(image.constBits());
        times.stop();
    }
    times.report(state);
    state.counters["points"] = static_cast<double>(n) * kCurves;
}

long residentBytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4096;
}

// Resident memory the plot adds on top of the data it shows, after a rendered frame.
void BM_Memory(benchmark::State& state, Kind kind) {
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        auto data = makeData(kind, n);
        const long before = residentBytes();
        auto plot = makePlot(true);
        QImage image(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
        renderFrame(*plot, data, image);
        const long after = residentBytes();
        const double dataBytes = static_cast<double>(n) * kCurves * 2 * sizeof(double);
        state.counters["data_MB"] = dataBytes / 1e6;
        state.counters["added_MB"] = static_cast<double>(after - before) / 1e6;
        state.counters["held_per_data"] =
            (dataBytes + static_cast<double>(after - before)) / dataBytes;
    }
}

void frameArgs(benchmark::internal::Benchmark* b, int frames) {
    b->Unit(benchmark::kMillisecond)->Iterations(frames);
}

} // namespace

BENCHMARK_CAPTURE(BM_Frame, sorted_fast, Kind::Sorted, true)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Apply([](benchmark::internal::Benchmark* b) { frameArgs(b, 20); });
BENCHMARK_CAPTURE(BM_Frame, unsorted_fast, Kind::Spiral, true)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Apply([](benchmark::internal::Benchmark* b) { frameArgs(b, 20); });
BENCHMARK_CAPTURE(BM_Frame, cloud_fast, Kind::Cloud, true)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Apply([](benchmark::internal::Benchmark* b) { frameArgs(b, 20); });
BENCHMARK_CAPTURE(BM_Frame, scatter_fast, Kind::Scatter, true)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Apply([](benchmark::internal::Benchmark* b) { frameArgs(b, 20); });
BENCHMARK_CAPTURE(BM_Frame, sorted_qwt, Kind::Sorted, false)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Apply([](benchmark::internal::Benchmark* b) { frameArgs(b, 3); });
BENCHMARK_CAPTURE(BM_Frame, unsorted_qwt, Kind::Spiral, false)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Apply([](benchmark::internal::Benchmark* b) { frameArgs(b, 3); });
BENCHMARK_CAPTURE(BM_Frame, cloud_qwt, Kind::Cloud, false)
    ->Arg(10000)
    ->Arg(100000)
    ->Apply([](benchmark::internal::Benchmark* b) { frameArgs(b, 3); });
BENCHMARK_CAPTURE(BM_OneChanged, sorted, Kind::Sorted)
    ->Arg(100000)
    ->Apply([](benchmark::internal::Benchmark* b) { frameArgs(b, 20); });
BENCHMARK_CAPTURE(BM_OneChanged, unsorted, Kind::Spiral)
    ->Arg(100000)
    ->Apply([](benchmark::internal::Benchmark* b) { frameArgs(b, 20); });
BENCHMARK_CAPTURE(BM_Memory, sorted, Kind::Sorted)
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Memory, unsorted, Kind::Spiral)
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Memory, cloud, Kind::Cloud)
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Memory, scatter, Kind::Scatter)
    ->Arg(1000000)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);
// What a frame costs with no data at all: axes, grid, background and the render itself.
BENCHMARK_CAPTURE(BM_Frame, empty, Kind::Sorted, true)
    ->Arg(0)
    ->Apply([](benchmark::internal::Benchmark* b) { frameArgs(b, 20); });

int main(int argc, char** argv) {
    // A benchmark needs no screen; a caller may still choose another platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
