// lumenfold-scope under load: the whole window with 4 plots x 8 curves x 100,000 points
// while a producer streams 100,000 records/s into its ZeroMQ queue.
//
//   frames   back-to-back ticks (apply commands, redraw, paint): painted frames per second
//            ("painted_fps"; "fps" counts every tick, also those that found nothing new)
//   latency  the window on its own 30 Hz timer: time from send to repainted plot,
//            median and p95 over all frames
//   memory   resident memory after 1 minute and after --scope_minutes (default 2)
//
//   burst    10 million records sent as fast as the scope lets them in: peak resident
//            memory, seconds until all were applied
//
// Run: bench_scope [--scope_minutes=N] [benchmark flags]
#include <tellurix/lumenfold/scope/scope_window.h>

#include <tellurix/lumenfold/chartpane.h>
#include <tellurix/lumenfold/transport.h>

#include <QApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include "../support/process_memory.h"

#include "window_driving.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

using namespace tellurix::lumenfold;
using Clock = std::chrono::steady_clock;

namespace {

using scope_bench::CanvasPaints;
using scope_bench::wait_ms;

double scope_minutes = 2;
constexpr int points_per_curve = 100'000;
constexpr int curves = 8;
constexpr int records_per_second = 100'000;
const Clock::time_point epoch = Clock::now();

double now_seconds() {
    return std::chrono::duration<double>(Clock::now() - epoch).count();
}

// Streams "PD" rows (t, a, b, c, sent) at a steady rate, rolling every generation's worth,
// from its own thread through the real transport. `sent` is the send time in seconds.
class Streamer {
public:
    explicit Streamer(const QString& endpoint)
        : thread_([this, endpoint] { run(endpoint); }) {}
    ~Streamer() {
        stop_ = true;
        thread_.join();
    }
    std::uint64_t sent() const { return sent_; }

private:
    void run(const QString& endpoint) {
        // Never waits: the window stops draining before this thread is joined.
        transport::Producer::Options options;
        options.drop_when_full = true;
        options.linger_ms = 0;
        transport::Producer producer(endpoint, options);
        constexpr int batch = 1000; // every 10 ms
        const auto period = std::chrono::microseconds(1'000'000 * batch / records_per_second);
        auto next = Clock::now();
        std::uint64_t row = 0;
        std::vector<host::Value> items;
        while (!stop_) {
            items.clear();
            const double sent = now_seconds();
            for (int i = 0; i < batch; ++i, ++row) {
                const double t = double(row % points_per_curve);
                items.push_back(host::Value::tuple(
                    {"PD", host::Value::list({t, std::sin(t * 1e-3), std::cos(t * 1e-3),
                                              std::sin(t * 3e-3), sent})}));
                if ((row + 1) % points_per_curve == 0)
                    items.push_back(host::Value::tuple({"ROLL", host::Value()}));
            }
            producer.send_batch(items);
            sent_ += batch;
            next += period;
            std::this_thread::sleep_until(next);
        }
    }

    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> sent_{0};
    std::thread thread_;
};

// A window whose point dataset already holds 8 generations of 100,000 rows, showing
// the pairs t,a t,b t,c t,sent.
struct LoadedScope {
    QTemporaryDir dir;
    std::unique_ptr<scope::ScopeWindow> window;

    LoadedScope() {
        scope::ScopeOptions options;
        options.endpoint = QStringLiteral("ipc://%1/bench.ipc").arg(dir.path());
        options.history = std::size_t(points_per_curve) * curves;
        window = std::make_unique<scope::ScopeWindow>(options);
        window->resize(1280, 900);
        window->show();
        {
            transport::Producer setup(window->endpoint());
            setup.send("PN", host::Value::str_list({"t", "a", "b", "c", "sent"}));
            setup.send("PXY", "t,a;t,b;t,c;t,sent");
        }
        while (window->items_taken() < 2)
            wait_ms(5);
        scope::PointDataset& points = window->points();
        for (int g = 0; g < curves - 1; ++g) {
            for (int i = 0; i < points_per_curve; ++i) {
                const double t = i;
                points.append(host::Value::list(
                    {t, std::sin(t * 1e-3 + g), std::cos(t * 1e-3), std::sin(t * 3e-3), 0.0}));
            }
            points.roll();
        }
        window->tick();
    }

    void paint() { QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest); }
};

void BM_WindowFrames(benchmark::State& state) {
    LoadedScope s;
    Streamer streamer(s.window->endpoint());
    wait_ms(1500); // a full current generation before measuring
    std::size_t drawn_points = 0;
    CanvasPaints paints;
    qApp->installEventFilter(&paints);
    std::uint64_t frames = 0;
    for (auto _ : state) {
        const std::uint64_t before = paints.count;
        s.window->tick();
        s.paint();
        frames += paints.count != before ? 1 : 0;
    }
    qApp->removeEventFilter(&paints);
    state.counters["painted_fps"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
    for (const chartpane::PlotWidget* p : s.window->plots())
        for (const auto& [key, curve] : p->plots)
            drawn_points += static_cast<std::size_t>(curve->xData().size());
    state.counters["fps"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["plots"] = s.window->visible_plots();
    state.counters["points_shown"] = double(drawn_points);
    state.counters["items_per_s"] =
        benchmark::Counter(double(s.window->items_taken()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_WindowFrames)->Unit(benchmark::kMillisecond)->MinTime(5)->UseRealTime();

void BM_SendToPixels(benchmark::State& state) {
    LoadedScope s;
    Streamer streamer(s.window->endpoint());
    std::vector<double> latencies;
    chartpane::PlotWidget* stamped = s.window->plots().at(3); // t against the send time
    QObject::connect(s.window.get(), &scope::ScopeWindow::frameDrawn, [&] {
        s.paint();
        const QVector<double>& y = stamped->plots.at(0)->yData();
        if (!y.isEmpty() && y.last() > 0)
            latencies.push_back(now_seconds() - y.last());
    });
    for (auto _ : state)
        wait_ms(10'000);
    std::sort(latencies.begin(), latencies.end());
    if (latencies.empty()) {
        state.SkipWithError("no frame drew streamed data");
        return;
    }
    auto at = [&](double q) { return latencies[std::size_t(q * double(latencies.size() - 1))]; };
    state.counters["median_ms"] = at(0.5) * 1e3;
    state.counters["p95_ms"] = at(0.95) * 1e3;
    state.counters["frames"] = double(latencies.size());
}
BENCHMARK(BM_SendToPixels)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

void BM_MemoryFlat(benchmark::State& state) {
    LoadedScope s;
    Streamer streamer(s.window->endpoint());
    double at_one_minute = 0, at_end = 0;
    for (auto _ : state) {
        wait_ms(60'000);
        at_one_minute = lumenfold_bench::resident_mib();
        wait_ms(int((scope_minutes - 1) * 60'000));
        at_end = lumenfold_bench::resident_mib();
    }
    state.counters["rss_1min_MiB"] = at_one_minute;
    state.counters["rss_end_MiB"] = at_end;
    state.counters["growth_pct"] = 100.0 * (at_end - at_one_minute) / at_one_minute;
    state.counters["minutes"] = scope_minutes;
    state.counters["rows_held"] = double(s.window->points().rows_held());
    state.counters["items_taken"] = double(s.window->items_taken());
}
BENCHMARK(BM_MemoryFlat)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

// A burst of 10 million "PD" records of 10 floats, sent by a producer process in batches
// of 256 as fast as the scope lets it, into a scope with its default 1,000,000 rows of
// history, ticking as fast as it can. Run it alone (--benchmark_filter=BM_Burst) for a
// clean peak of resident memory.
void BM_Burst(benchmark::State& state) {
    constexpr long records = 10'000'000;
    QTemporaryDir dir;
    scope::ScopeOptions options;
    options.endpoint = QStringLiteral("ipc://%1/burst.ipc").arg(dir.path());
    scope::ScopeWindow window(options);
    window.resize(1280, 900);
    window.show();
    scope_bench::name_ten_columns(window);
    const std::uint64_t start_items = window.items_taken();
    double seconds = 0;
    for (auto _ : state) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QStringLiteral(LUMENFOLD_BENCH_PRODUCER),
                    {window.endpoint(), QStringLiteral("records"), QString::number(records),
                     QStringLiteral("256")});
        child.waitForStarted();
        const auto begin = Clock::now();
        const auto deadline = begin + std::chrono::minutes(10);
        while (window.items_taken() - start_items < std::uint64_t(records) &&
               Clock::now() < deadline) {
            window.tick();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
            QCoreApplication::processEvents();
        }
        seconds = std::chrono::duration<double>(Clock::now() - begin).count();
        child.waitForFinished(60'000);
    }
    const double applied = double(window.items_taken() - start_items);
    state.counters["applied"] = applied;
    state.counters["all_applied"] = applied >= records ? 1 : 0;
    state.counters["seconds"] = seconds;
    state.counters["items_per_s"] = applied / seconds;
    state.counters["rss_peak_MiB"] = lumenfold_bench::peak_resident_mib();
    state.counters["rows_held"] = double(window.points().rows_held());
}
BENCHMARK(BM_Burst)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    // Our own flag first; Google Benchmark rejects what it does not know.
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--scope_minutes=", 16) == 0) {
            scope_minutes = std::max(1.0, std::atof(argv[i] + 16));
            std::copy(argv + i + 1, argv + argc, argv + i);
            --argc;
            --i;
        }
    }
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
