// The producer process of the transport benchmarks.
//   transport_bench_producer ENDPOINT records COUNT BATCH  COUNT ("PD", 10 floats) items,
//                                                          one send() each when BATCH is 1,
//                                                          else send_batch() of BATCH items
//   transport_bench_producer ENDPOINT traces COUNT [BATCH] COUNT ("TD", 10,000 float64),
//                                                          batched as the records are
//   transport_bench_producer ENDPOINT latency COUNT        COUNT ("PD", [send time in ns])
//                                                          items, one every 2 ms
#include <tellurix/lumenfold/transport.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

using tellurix::lumenfold::host::Value;
namespace transport = tellurix::lumenfold::transport;

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s ENDPOINT records|traces|latency COUNT [BATCH]\n", argv[0]);
        return 2;
    }
    transport::Producer producer(QString::fromLocal8Bit(argv[1]));
    const char* kind = argv[2];
    const long count = std::strtol(argv[3], nullptr, 10);
    if (std::strcmp(kind, "records") == 0) {
        const long batch = argc > 4 ? std::strtol(argv[4], nullptr, 10) : 1;
        // One batch of distinct records, built once and sent again and again: building
        // values is the producer's business, like making the trace data below.
        std::vector<Value> items;
        for (long i = 0; i < std::max(batch, 1L); ++i) {
            std::vector<Value> fields;
            fields.reserve(10);
            for (int f = 0; f < 10; ++f)
                fields.emplace_back(static_cast<double>(i) + f * 0.25);
            items.push_back(Value::tuple({"PD", Value::list(std::move(fields))}));
        }
        for (long sent = 0; sent < count;) {
            const long n = std::min(batch, count - sent);
            if (batch == 1)
                producer.send_item(items.front());
            else if (n == batch)
                producer.send_batch(items);
            else
                producer.send_batch(std::vector<Value>(items.begin(), items.begin() + n));
            sent += n;
        }
    } else if (std::strcmp(kind, "traces") == 0) {
        QVector<double> samples(10'000);
        for (int i = 0; i < samples.size(); ++i)
            samples[i] = i * 1e-3;
        // The same trace every time: making the data is the producer's business, not
        // the transport's, and is left out of the figures.
        const Value trace = Value::float_array(samples);
        const long batch = argc > 4 ? std::strtol(argv[4], nullptr, 10) : 1;
        if (batch <= 1) {
            for (long i = 0; i < count; ++i)
                producer.send(QStringLiteral("TD"), trace);
        } else {
            const std::vector<Value> items(static_cast<size_t>(batch),
                                           Value::tuple({QStringLiteral("TD"), trace}));
            for (long sent = 0; sent < count; sent += batch)
                producer.send_batch(std::vector<Value>(
                    items.begin(), items.begin() + std::min(batch, count - sent)));
        }
    } else if (std::strcmp(kind, "latency") == 0) {
        for (long i = 0; i < count; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            const auto now = std::chrono::steady_clock::now().time_since_epoch();
            producer.send(QStringLiteral("PD"),
                          Value::list({static_cast<std::int64_t>(
                              std::chrono::duration_cast<std::chrono::nanoseconds>(now).count())}));
        }
    } else {
        std::fprintf(stderr, "unknown kind %s\n", kind);
        return 2;
    }
    return producer.close() ? 0 : 1;
}
