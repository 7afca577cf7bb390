// Flow control under a steady overload: a producer process offers "PD" records of 10
// floats in batches of 256 as fast as it may, while this process, the consumer, applies
// at most --rate items a second (default 1,000,000) for --seconds (default 60). Reports
// the consumer's resident memory after 5 s and its highest and lowest after that, the
// items applied, and whether every item came, in order and complete.
//
// Run: bench_flow [--seconds=N] [--rate=ITEMS_PER_S] [benchmark flags]
#include <tellurix/lumenfold/transport.h>

#include <QProcess>
#include <QTemporaryDir>

#include "../support/process_memory.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

namespace transport = tellurix::lumenfold::transport;
using Clock = std::chrono::steady_clock;

double seconds_to_run = 60;
double rate = 1'000'000;

void BM_SteadyOverload(benchmark::State& state) {
    QTemporaryDir dir;
    transport::ZmqQueue queue(QStringLiteral("ipc://") + dir.filePath(QStringLiteral("flow.ipc")));
    // Far more than the run can take: the producer never runs out of records to offer.
    const auto offered = static_cast<long>(seconds_to_run * rate * 4);
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QStringLiteral(LUMENFOLD_BENCH_PRODUCER),
                {queue.endpoint(), QStringLiteral("records"), QString::number(offered),
                 QStringLiteral("256")});
    child.waitForStarted();
    double at_5s = 0, high = 0, low = 1e12;
    std::int64_t applied = 0;
    bool intact = true;
    for (auto _ : state) {
        const auto start = Clock::now();
        const auto end = start + std::chrono::duration<double>(seconds_to_run);
        auto next_sample = start + std::chrono::seconds(5);
        while (Clock::now() < end) {
            // Apply no faster than the rate: the host is the slow part here.
            const double due = std::chrono::duration<double>(Clock::now() - start).count() * rate;
            while (applied < due && !queue.empty()) {
                const tellurix::lumenfold::host::Value item = queue.get();
                intact = intact && item[1].size() == 10;
                ++applied;
            }
            if (applied >= due || queue.empty())
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            if (Clock::now() >= next_sample) {
                const double rss = lumenfold_bench::resident_mib();
                if (at_5s == 0)
                    at_5s = rss;
                else {
                    high = std::max(high, rss);
                    low = std::min(low, rss);
                }
                next_sample += std::chrono::milliseconds(500);
            }
        }
        state.counters["backlog_MiB"] = double(queue.backlog_bytes()) / (1 << 20);
        state.counters["held_back_s"] = double(queue.held_back_for().count()) / 1000.0;
    }
    child.kill();
    child.waitForFinished();
    state.counters["rss_5s_MiB"] = at_5s;
    state.counters["rss_high_MiB"] = high;
    state.counters["rss_low_MiB"] = low;
    state.counters["growth_pct"] = at_5s > 0 ? 100.0 * (high - at_5s) / at_5s : 0;
    state.counters["applied_per_s"] = double(applied) / seconds_to_run;
    state.counters["dropped"] = double(queue.dropped_messages());
    state.counters["intact"] = intact ? 1 : 0;
}
BENCHMARK(BM_SteadyOverload)->Unit(benchmark::kSecond)->Iterations(1)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    // Our own flags first; Google Benchmark rejects what it does not know.
    for (int i = 1; i < argc;) {
        if (std::strncmp(argv[i], "--seconds=", 10) == 0)
            seconds_to_run = std::max(6.0, std::atof(argv[i] + 10));
        else if (std::strncmp(argv[i], "--rate=", 7) == 0)
            rate = std::max(1.0, std::atof(argv[i] + 7));
        else {
            ++i;
            continue;
        }
        std::copy(argv + i + 1, argv + argc, argv + i);
        --argc;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
