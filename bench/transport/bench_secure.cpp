// The cost of security: the same workloads over loopback tcp, plain and secured (CURVE),
// in one run. A producer thread feeds the queue; the benchmark's thread drains it.
// Arg 0: plain, 1: secured. Counters: items/s, bytes/s; latency in microseconds.
#include <tellurix/lumenfold/transport.h>

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

using tellurix::lumenfold::host::Value;
namespace transport = tellurix::lumenfold::transport;

struct Link {
    QTemporaryDir dir;
    std::unique_ptr<transport::ZmqQueue> queue;
    transport::Producer::Options options;

    explicit Link(bool secure) {
        transport::Security security;
        if (secure) {
            security.key_file = dir.filePath(QStringLiteral("server.key"));
            security.authorized_producers = dir.filePath(QStringLiteral("authorized"));
            const QString key = dir.filePath(QStringLiteral("producer.key"));
            QFile list(security.authorized_producers);
            list.open(QIODevice::WriteOnly);
            list.write(transport::write_key_pair(key).toLatin1() + "\n");
            list.close();
            options.key_file = key;
        }
        queue = std::make_unique<transport::ZmqQueue>(QStringLiteral("tcp://127.0.0.1:*"),
                                                      transport::Limits(), security);
        options.server_key = queue->public_key();
    }
};

// Sends `rounds` batches of `batch` from a thread and drains them here.
void stream(benchmark::State& state, const std::vector<Value>& batch, std::size_t item_bytes) {
    Link link(state.range(0) == 1);
    const int rounds = 50;
    std::size_t items = 0;
    for (auto _ : state) {
        std::thread producer([&] {
            transport::Producer p(link.queue->endpoint(), link.options);
            for (int r = 0; r < rounds; ++r)
                p.send_batch(batch);
            p.close();
        });
        const std::size_t want = batch.size() * rounds;
        for (std::size_t n = 0; n < want; ++n)
            benchmark::DoNotOptimize(link.queue->get());
        producer.join();
        items += want;
    }
    state.counters["items/s"] = benchmark::Counter(double(items), benchmark::Counter::kIsRate);
    state.counters["bytes/s"] =
        benchmark::Counter(double(items * item_bytes), benchmark::Counter::kIsRate);
    state.SetLabel(state.range(0) == 1 ? "secure" : "plain");
}

void BM_Records(benchmark::State& state) {
    std::vector<Value> batch;
    for (int i = 0; i < 20000; ++i)
        batch.push_back(Value::tuple(
            {QStringLiteral("PD"), Value::list({Value(i * 0.001), Value(double(i % 50))})}));
    stream(state, batch, 24);
}

void BM_Traces(benchmark::State& state) {
    QVector<double> samples(16384);
    for (int i = 0; i < samples.size(); ++i)
        samples[i] = i * 0.5;
    std::vector<Value> batch(8, Value::tuple({QStringLiteral("TD"), Value::float_array(samples)}));
    stream(state, batch, std::size_t(samples.size()) * 8);
}

// One item at a time: from send() to get(), median over the iterations' samples.
void BM_Latency(benchmark::State& state) {
    Link link(state.range(0) == 1);
    transport::Producer p(link.queue->endpoint(), link.options);
    std::vector<double> us;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        p.send(QStringLiteral("PD"), Value::list({Value(1.0), Value(2.0)}));
        benchmark::DoNotOptimize(link.queue->get());
        us.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us.empty() ? 0 : us[us.size() / 2];
    state.SetLabel(state.range(0) == 1 ? "secure" : "plain");
    p.close();
}

BENCHMARK(BM_Records)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Traces)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Latency)->Arg(0)->Arg(1)->Iterations(2000)->UseRealTime();

} // namespace
