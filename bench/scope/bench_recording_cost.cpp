// What recording costs lumenfold-scope: the window ticks back to back (apply commands,
// redraw, paint) while a producer process sends "PD" records of 10 floats in batches of 256
// as fast as the scope lets it in, in alternating phases without and with --record, all in
// one run. Each phase sends the same number of records and lasts until the window has
// applied all of them.
//
//   painted_fps_off/on   painted frames per second, median over the phases of each kind
//   fps_ratio            painted_fps_on / painted_fps_off (target: at least 0.9)
//   items_per_s_off/on   records applied per second, median over the phases
//   items_ratio          items_per_s_on / items_per_s_off
//   written / received   records in the recordings (read back and decoded) against
//                        records the window applied while recording (target: equal)
//
// Run: bench_scope_recording_cost [--benchmark_filter=...]   (QT_QPA_PLATFORM=offscreen)
#include <tellurix/lumenfold/recording.h>
#include <tellurix/lumenfold/scope/scope_window.h>
#include <tellurix/lumenfold/transport.h>

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include "window_driving.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

using namespace tellurix::lumenfold;
using Clock = std::chrono::steady_clock;

namespace {

using scope_bench::CanvasPaints;
using scope_bench::wait_ms;

constexpr long records_per_phase = 2'000'000;
constexpr int phases_per_kind = 3;

struct Phase {
    double fps = 0, items_per_s = 0;
};

// Sends records_per_phase records from a producer process and ticks the window until it
// has applied them all.
Phase run_phase(scope::ScopeWindow& window, CanvasPaints& paints) {
    const std::uint64_t start_items = window.items_taken();
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QStringLiteral(LUMENFOLD_BENCH_PRODUCER),
                {window.endpoint(), QStringLiteral("records"), QString::number(records_per_phase),
                 QStringLiteral("256")});
    child.waitForStarted();
    // The clock starts with the first record applied, not with the child's start-up.
    while (window.items_taken() == start_items)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
    const std::uint64_t items_before = window.items_taken();
    const auto begin = Clock::now();
    std::uint64_t frames = 0;
    const auto deadline = begin + std::chrono::minutes(5);
    while (window.items_taken() - start_items < std::uint64_t(records_per_phase) &&
           Clock::now() < deadline) {
        const std::uint64_t before = paints.count;
        window.tick();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::UpdateRequest);
        QCoreApplication::processEvents();
        frames += paints.count != before ? 1 : 0;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    child.waitForFinished(60'000);
    return {double(frames) / seconds, double(window.items_taken() - items_before) / seconds};
}

// Items in a recording, each message decoded as a replay would.
std::uint64_t recorded_items(const QString& file) {
    transport::RecordingReader reader(file);
    transport::RecordingMessage message;
    std::uint64_t items = 0;
    while (reader.next(message))
        items += transport::decode(message.bytes.data(), message.bytes.size()).size();
    return items;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void BM_RecordingCost(benchmark::State& state) {
    QTemporaryDir dir;
    scope::ScopeOptions options;
    options.endpoint = QStringLiteral("ipc://%1/cost.ipc").arg(dir.path());
    scope::ScopeWindow window(options);
    window.resize(1280, 900);
    window.show();
    scope_bench::name_ten_columns(window);
    CanvasPaints paints;
    qApp->installEventFilter(&paints);
    std::vector<double> fps[2], rate[2];
    std::uint64_t received = 0, written = 0;
    for (auto _ : state) {
        run_phase(window, paints); // warm-up: a full history, as in the measured phases
        for (int p = 0; p < 2 * phases_per_kind; ++p) {
            const int on = p % 2;
            const QString file = dir.filePath(QStringLiteral("phase%1.lfrec").arg(p));
            QString error;
            if (on && !window.start_recording(file, &error)) {
                state.SkipWithError(error.toStdString().c_str());
                return;
            }
            const std::uint64_t taken = window.items_taken();
            const Phase phase = run_phase(window, paints);
            fps[on].push_back(phase.fps);
            rate[on].push_back(phase.items_per_s);
            if (on) {
                if (!window.stop_recording())
                    state.SkipWithError("the recording did not reach its file whole");
                received += window.items_taken() - taken;
                written += recorded_items(file);
                QFile::remove(file);
            }
        }
    }
    qApp->removeEventFilter(&paints);
    state.counters["painted_fps_off"] = median(fps[0]);
    state.counters["painted_fps_on"] = median(fps[1]);
    state.counters["fps_ratio"] = median(fps[1]) / median(fps[0]);
    state.counters["items_per_s_off"] = median(rate[0]);
    state.counters["items_per_s_on"] = median(rate[1]);
    state.counters["items_ratio"] = median(rate[1]) / median(rate[0]);
    state.counters["received"] = double(received);
    state.counters["written"] = double(written);
    state.counters["lost"] = double(received) - double(written);
}
BENCHMARK(BM_RecordingCost)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace
