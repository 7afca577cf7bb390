// Throughput of the command intake: items per second through CmdPump::flush from a
// MemoryQueue into datasets that only count, so that the figures are the intake's own cost.
#include <tellurix/lumenfold/cmdpump.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <limits>

namespace lf = tellurix::lumenfold;
using lf::host::Value;

namespace {

struct CountingDataset : lf::host::Dataset {
    void set_column_names(const Value&) override { ++names; }
    void append(const Value& record) override {
        ++records;
        benchmark::DoNotOptimize(&record);
    }
    void roll() override { ++rolls; }
    std::int64_t names = 0, records = 0, rolls = 0;
};

Value small_record() {
    std::vector<Value> fields;
    for (int i = 0; i < 10; ++i)
        fields.emplace_back(i * 0.25);
    return Value::list(std::move(fields));
}

Value bulk_record() {
    QVector<double> samples(10'000);
    for (int i = 0; i < samples.size(); ++i)
        samples[i] = i * 1e-3;
    return Value::float_array(std::move(samples));
}

constexpr int kBatch = 1000;

// Fills the queue outside the timed region, then times one flush of the whole batch.
template <bool Bounded> void drain(benchmark::State& state, const char* word, const Value& record) {
    lf::toolbar::ToolBar toolbar;
    lf::cmdpump::MemoryQueue queue;
    CountingDataset points, traces;
    lf::cmdpump::CmdPump pump(queue, toolbar, points, traces);
    const Value item = Value::tuple({word, record});
    for (auto _ : state) {
        state.PauseTiming();
        for (int i = 0; i < kBatch; ++i)
            queue.put(item);
        state.ResumeTiming();
        if constexpr (Bounded)
            benchmark::DoNotOptimize(
                pump.flush(std::numeric_limits<std::size_t>::max(), std::chrono::seconds(1)));
        else
            pump.flush();
    }
    if (points.records + traces.records != state.iterations() * kBatch)
        state.SkipWithError("records lost");
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void BM_FlushSmallRecords(benchmark::State& state) {
    drain<false>(state, "PD", small_record());
}
void BM_FlushBulkRecords(benchmark::State& state) {
    drain<false>(state, "TD", bulk_record());
}
void BM_BoundedFlushSmallRecords(benchmark::State& state) {
    drain<true>(state, "PD", small_record());
}

// Producer and intake on one thread, each item built anew: the whole in-process path.
void BM_PutAndFlushSmallRecords(benchmark::State& state) {
    lf::toolbar::ToolBar toolbar;
    lf::cmdpump::MemoryQueue queue;
    CountingDataset points, traces;
    lf::cmdpump::CmdPump pump(queue, toolbar, points, traces);
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i)
            queue.put(Value::tuple({"PD", small_record()}));
        pump.flush();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

BENCHMARK(BM_FlushSmallRecords);
BENCHMARK(BM_FlushBulkRecords);
BENCHMARK(BM_BoundedFlushSmallRecords);
BENCHMARK(BM_PutAndFlushSmallRecords);

} // namespace
