// Transport throughput and latency, producer and consumer in separate processes as in
// use: items per second from transport_bench_producer through a ZmqQueue into
// CmdPump::flush (datasets that only count), over ipc and tcp; bytes per second for
// traces; and the send -> get() latency of single items at a pace the consumer keeps up
// with. Time is measured on the consumer from the first item taken to the last, so the
// producer's start-up is not counted.
#include <tellurix/lumenfold/transport.h>
#ifdef LUMENFOLD_BENCH_WITH_CMDPUMP
#include <tellurix/lumenfold/cmdpump.h>
#include <tellurix/lumenfold/toolbar.h>
#endif

#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>

namespace {

using tellurix::lumenfold::host::Value;
namespace host = tellurix::lumenfold::host;
namespace transport = tellurix::lumenfold::transport;
using Clock = std::chrono::steady_clock;

struct CountingDataset : host::Dataset {
    void set_column_names(const Value&) override {}
    void append(const Value& record) override {
        ++records;
        benchmark::DoNotOptimize(&record);
    }
    void roll() override {}
    std::int64_t records = 0;
};

QString endpoint_for(std::int64_t kind, const QTemporaryDir& dir) {
    return kind == 0 ? QStringLiteral("ipc://") + dir.filePath(QStringLiteral("bench.ipc"))
                     : QStringLiteral("tcp://127.0.0.1:*");
}

void start_producer(QProcess& child, const QString& endpoint, const QStringList& args) {
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QStringLiteral(LUMENFOLD_BENCH_PRODUCER), QStringList{endpoint} + args);
    child.waitForStarted();
}

// Takes `count` items from `queue` the way the host does; returns the seconds from the
// first item to the last, or a negative number of missing items when the producer has
// exited and nothing more arrived for a few seconds.
double intake(transport::ZmqQueue& queue, std::int64_t count, QProcess& child) {
    // The consumer process is set up as lumenfold-scope sets itself up.
    static const bool tuned = transport::keep_memory_for_large_messages();
    (void)tuned;
    CountingDataset points, traces;
#ifdef LUMENFOLD_BENCH_WITH_CMDPUMP
    tellurix::lumenfold::toolbar::ToolBar toolbar;
    tellurix::lumenfold::cmdpump::CmdPump pump(queue, toolbar, points, traces);
    const auto take = [&] { pump.flush(); };
#else
    const auto take = [&] {
        while (!queue.empty()) {
            const Value item = queue.get();
            (item[0].as_str() == QLatin1String("PD") ? points : traces).append(item[1]);
        }
    };
#endif
    const auto taken = [&] { return points.records + traces.records; };
    auto last_progress = Clock::now();
    std::int64_t seen = 0;
    std::optional<Clock::time_point> first;
    while (taken() < count) {
        take();
        if (taken() == seen) {
            // Nothing waiting: a host would get on with its frame; spinning here would
            // only take the CPU from the threads that move the data.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        if (taken() > seen) {
            if (!first)
                first = Clock::now();
            seen = taken();
            last_progress = Clock::now();
        } else if (Clock::now() - last_progress > std::chrono::seconds(5)) {
            // QProcess notices the exit only when asked.
            if (child.state() == QProcess::NotRunning || child.waitForFinished(0))
                return -static_cast<double>(count - seen);
        }
    }
    return std::chrono::duration<double>(Clock::now() - *first).count();
}

void throughput(benchmark::State& state, const QStringList& args, std::int64_t count,
                std::int64_t bytes_per_item) {
    QTemporaryDir dir;
    transport::ZmqQueue queue(endpoint_for(state.range(0), dir));
    std::int64_t items = 0;
    for (auto _ : state) {
        QProcess child;
        start_producer(child, queue.endpoint(), args);
        // The first item is taken before the clock starts.
        const double seconds = intake(queue, count, child);
        child.waitForFinished(-1);
        if (seconds < 0) {
            const std::string why = "lost " + std::to_string(static_cast<long>(-seconds)) +
                                    " items; producer exit code " +
                                    std::to_string(child.exitCode());
            state.SkipWithError(why.c_str());
            break;
        }
        state.SetIterationTime(seconds);
        items += count - 1;
    }
    state.SetItemsProcessed(items);
    if (bytes_per_item > 0)
        state.SetBytesProcessed(items * bytes_per_item);
    state.SetLabel(state.range(0) == 0 ? "ipc" : "tcp");
}

void BM_Records(benchmark::State& state) {
    const std::int64_t batch = state.range(1);
    const std::int64_t count = batch == 1 ? 400'000 : 3'000'000;
    throughput(state, {"records", QString::number(count), QString::number(batch)}, count, 0);
}
BENCHMARK(BM_Records)
    ->ArgsProduct({{0, 1}, {1, 256}})
    ->ArgNames({"tcp", "batch"})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_Traces(benchmark::State& state) {
    constexpr std::int64_t count = 20'000;
    throughput(state, {"traces", QString::number(count), QString::number(state.range(1))}, count,
               10'000 * 8);
}
BENCHMARK(BM_Traces)
    ->ArgsProduct({{0, 1}, {1, 8}})
    ->ArgNames({"tcp", "batch"})
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

void BM_Latency(benchmark::State& state) {
    constexpr int count = 1000;
    QTemporaryDir dir;
    transport::ZmqQueue queue(endpoint_for(state.range(0), dir));
    std::vector<double> micros;
    for (auto _ : state) {
        QProcess child;
        start_producer(child, queue.endpoint(), {"latency", QString::number(count)});
        for (int i = 0; i < count; ++i) {
            const Value item = queue.get();
            const auto now = Clock::now().time_since_epoch();
            const std::int64_t sent = item[1][0].as_int();
            micros.push_back(
                static_cast<double>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() - sent) /
                1000.0);
        }
        child.waitForFinished(-1);
    }
    std::sort(micros.begin(), micros.end());
    state.counters["median_us"] = micros[micros.size() / 2];
    state.counters["p99_us"] = micros[micros.size() * 99 / 100];
    state.counters["max_us"] = micros.back();
    state.SetLabel(state.range(0) == 0 ? "ipc" : "tcp");
}
BENCHMARK(BM_Latency)->Arg(0)->Arg(1)->ArgName("tcp")->Iterations(1)->Unit(benchmark::kMillisecond);

// The codec alone, in this process: what a message costs before and after the socket.
std::vector<Value> record_batch(int n) {
    std::vector<Value> items;
    for (int i = 0; i < n; ++i) {
        std::vector<Value> fields;
        for (int f = 0; f < 10; ++f)
            fields.emplace_back(i + f * 0.25);
        items.push_back(Value::tuple({"PD", Value::list(std::move(fields))}));
    }
    return items;
}

Value trace_item() {
    return Value::tuple({"TD", Value::float_array(QVector<double>(10'000, 0.5))});
}

void BM_EncodeRecords(benchmark::State& state) {
    const std::vector<Value> items = record_batch(256);
    for (auto _ : state)
        benchmark::DoNotOptimize(transport::encode(items));
    state.SetItemsProcessed(state.iterations() * 256);
}
BENCHMARK(BM_EncodeRecords);

void BM_DecodeRecords(benchmark::State& state) {
    const QByteArray message = transport::encode(record_batch(256));
    for (auto _ : state)
        benchmark::DoNotOptimize(transport::decode(message));
    state.SetItemsProcessed(state.iterations() * 256);
}
BENCHMARK(BM_DecodeRecords);

void BM_EncodeTrace(benchmark::State& state) {
    const Value item = trace_item();
    for (auto _ : state)
        benchmark::DoNotOptimize(transport::encode_item(item));
    state.SetBytesProcessed(state.iterations() * 80'000);
}
BENCHMARK(BM_EncodeTrace);

void BM_DecodeTrace(benchmark::State& state) {
    const QByteArray message = transport::encode_item(trace_item());
    for (auto _ : state)
        benchmark::DoNotOptimize(transport::decode(message));
    state.SetBytesProcessed(state.iterations() * 80'000);
}
BENCHMARK(BM_DecodeTrace);

// What the consumer's host thread spends per item once a message is in: decoding, then
// taking the items in order and dropping each, as a host applies them. A message of
// send_rows from Python holds about 10,700 such rows (1 MiB); the few hundred of a
// C++ batch show what the size of a message itself costs.
void BM_DecodeRows(benchmark::State& state) {
    const auto rows = static_cast<int>(state.range(0));
    const QByteArray message = transport::encode(record_batch(rows));
    for (auto _ : state) {
        std::vector<Value> items = transport::decode(message);
        for (Value& item : items) {
            Value taken = std::move(item);
            benchmark::DoNotOptimize(taken);
        }
    }
    state.SetItemsProcessed(state.iterations() * rows);
    state.SetBytesProcessed(state.iterations() * message.size());
}
BENCHMARK(BM_DecodeRows)->Arg(256)->Arg(10'700)->ArgName("rows");

// The host's side of a ZmqQueue alone: a producer thread sends records of 10 floats in
// batches (messages of 4096 items, as Producer::send_batch closes them), and this thread
// takes them with empty()/get() and drops them. The CPU time is this thread's: taking
// messages from the receiver, decoding, handing out and destroying the items.
void BM_QueueRows(benchmark::State& state) {
    QTemporaryDir dir;
    transport::ZmqQueue queue(endpoint_for(0, dir));
    transport::Producer producer(queue.endpoint());
    const std::vector<Value> items = record_batch(4 * 4096);
    for (auto _ : state) {
        std::thread send([&] { producer.send_batch(items); });
        for (std::size_t taken = 0; taken < items.size(); ++taken) {
            queue.empty();
            Value item = queue.get();
            benchmark::DoNotOptimize(item);
        }
        send.join();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(items.size()));
}
BENCHMARK(BM_QueueRows)->Unit(benchmark::kMillisecond);

// Ten traces of 10,000 float64 to a message, as send_batch of numpy traces sends them.
void BM_DecodeTraceBatch(benchmark::State& state) {
    const QByteArray message = transport::encode(std::vector<Value>(10, trace_item()));
    for (auto _ : state) {
        std::vector<Value> items = transport::decode(message);
        for (Value& item : items) {
            Value taken = std::move(item);
            benchmark::DoNotOptimize(taken);
        }
    }
    state.SetBytesProcessed(state.iterations() * message.size());
}
BENCHMARK(BM_DecodeTraceBatch);

} // namespace
