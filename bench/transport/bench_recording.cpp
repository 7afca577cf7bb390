// RecordingWriter: how fast it gets messages to the file (60-byte records and 1 MiB
// traces), and what append() costs the thread that receives them (the GUI thread), as a
// median per message; then that cost beside decoding the same message, with and without
// recording in the same run, which is the share of the receive path recording adds.
//
// Files go to $LUMENFOLD_BENCH_DIR (default: a temporary directory) and to /dev/null, so
// the disk's speed and the writer's own limit can be told apart.
#include <tellurix/lumenfold/recording.h>
#include <tellurix/lumenfold/transport.h>

#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

namespace transport = tellurix::lumenfold::transport;
using tellurix::lumenfold::host::Value;
using Clock = std::chrono::steady_clock;

// A "PD" record of 5 floats: 60 bytes on the wire, the small message of a fast stream.
QByteArray small_message() {
    return transport::encode_item(Value::tuple({"PD", Value::list({0.5, 1.5, 2.5, 3.5, 4.5})}));
}

// A "TD" trace of one float64 array: 1 MiB on the wire.
QByteArray large_message() {
    return transport::encode_item(
        Value::tuple({"TD", Value::float_array(QVector<double>((1 << 17) - 4, 0.25))}));
}

QString target_file(bool to_disk) {
    if (!to_disk)
        return QStringLiteral("/dev/null");
    static std::unique_ptr<QTemporaryDir> dir;
    if (const char* given = std::getenv("LUMENFOLD_BENCH_DIR"))
        return QString::fromLocal8Bit(given) + QStringLiteral("/bench.lfrec");
    if (!dir)
        dir = std::make_unique<QTemporaryDir>();
    return dir->filePath(QStringLiteral("bench.lfrec"));
}

double median(std::vector<double>& v) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

// Args: {message kind (0: 60 B, 1: 1 MiB), target (0: /dev/null, 1: file)}. Each iteration
// records 64 MiB of messages and closes the file, so the time includes reaching the disk
// (the page cache; no fsync). append_ns: median cost of one append() on the calling thread.
void BM_WriterThroughput(benchmark::State& state) {
    const bool large = state.range(0) == 1;
    const QByteArray message = large ? large_message() : small_message();
    const auto size = static_cast<std::size_t>(message.size());
    const std::size_t count = (64u << 20) / size;
    // Small messages are timed in groups: the clock costs about as much as one append.
    const std::size_t group = large ? 1 : 256;
    std::vector<double> per_message;
    per_message.reserve(count / group + 1);
    std::uint64_t written = 0;
    for (auto _ : state) {
        transport::RecordingWriter writer(target_file(state.range(1) == 1));
        std::uint64_t t = 1;
        for (std::size_t i = 0; i < count; i += group) {
            const std::size_t n = std::min(group, count - i);
            const auto start = Clock::now();
            for (std::size_t j = 0; j < n; ++j)
                writer.append(++t, message.constData(), size);
            const auto ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            per_message.push_back(ns / static_cast<double>(n));
        }
        if (!writer.close())
            state.SkipWithError("the recording could not be written");
        written += writer.bytes_written();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(written));
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(count));
    state.counters["append_ns"] = median(per_message);
}
BENCHMARK(BM_WriterThroughput)
    ->ArgNames({"large", "file"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(1.0);

// The receive path of one message, decoded as ZmqQueue decodes it, without (arg 0) and
// with recording it, copied (arg 1) or lent (arg 2, append_shared: what a queue that
// hands over its received buffer pays); the ratio of the medians is the cost recording
// adds on the receiving thread. The recording goes to /dev/null: this asks what the caller pays
// while the disk keeps up (the writer's thread still runs beside it), not how fast a disk
// is, and an endless stream of 1 MiB messages would fill one.
void BM_DecodeAndRecord(benchmark::State& state) {
    const bool large = state.range(0) == 1;
    const auto record = state.range(1);
    const QByteArray message = large ? large_message() : small_message();
    const auto size = static_cast<std::size_t>(message.size());
    std::unique_ptr<transport::RecordingWriter> writer;
    if (record)
        writer = std::make_unique<transport::RecordingWriter>(target_file(false));
    std::uint64_t t = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(transport::decode(message.constData(), size));
        if (record == 1)
            writer->append(++t, message.constData(), size);
        else if (record == 2) // a QByteArray copy shares the bytes: nothing is copied
            writer->append_shared(++t, std::make_shared<QByteArray>(message), message.constData(),
                                  size);
    }
    if (writer && !writer->close())
        state.SkipWithError("the recording could not be written");
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(size));
}
BENCHMARK(BM_DecodeAndRecord)
    ->ArgNames({"large", "record"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({0, 2})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({1, 2})
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
