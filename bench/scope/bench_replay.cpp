// Opening a recording in lumenfold-scope as fast as possible: 10 million "PD" records of
// 10 floats (written with RecordingWriter in 4096-item messages, as send_batch packs
// them), shown by a window on its own timer until the last state is loaded.
//
//   seconds   from open_recording() to the progress bar gone (everything applied and
//             drawn); the target is within 10 s on the 2-core build machine
//   items/s   records applied per second over that time
//
// Run: bench_scope_replay [benchmark flags]   (QT_QPA_PLATFORM=offscreen for no display)
#include <tellurix/lumenfold/recording.h>
#include <tellurix/lumenfold/scope/scope_window.h>
#include <tellurix/lumenfold/transport.h>

#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <chrono>

using namespace tellurix::lumenfold;
using host::Value;

namespace {

constexpr std::int64_t records = 10'000'000;
constexpr std::int64_t per_message = 4096;

class NoQueue : public host::Queue {
public:
    bool empty() override { return true; }
    Value get() override { throw std::logic_error("NoQueue::get"); }
};

// The recording: a "PN" and "PXY" message, then the records. A few dozen distinct messages are
// encoded and written in turn, so that writing the file costs little of the run.
void write_recording(const QString& file) {
    transport::RecordingWriter writer(file);
    std::uint64_t t = 1'700'000'000'000'000'000ull;
    QStringList names;
    for (int c = 0; c < 10; ++c)
        names << QStringLiteral("c%1").arg(c);
    // Two plots, so that loading includes drawing what was loaded.
    const QByteArray head = transport::encode(
        {Value::tuple({"PN", Value::str_list(names)}), Value::tuple({"PXY", "c0,c1;c0,c2"})});
    writer.append(t, head.constData(), static_cast<std::size_t>(head.size()));
    std::vector<QByteArray> messages;
    for (int m = 0; m < 32; ++m) {
        std::vector<Value> items;
        for (std::int64_t i = 0; i < per_message; ++i) {
            std::vector<Value> row;
            for (int c = 0; c < 10; ++c)
                row.emplace_back(double(m * per_message + i) * 0.001 + c);
            items.push_back(Value::tuple({"PD", Value::list(std::move(row))}));
        }
        messages.push_back(transport::encode(items));
    }
    for (std::int64_t done = 0, m = 0; done < records; done += per_message, ++m) {
        const QByteArray& bytes = messages[static_cast<std::size_t>(m) % messages.size()];
        t += 400'000; // 10 M records/s as recorded
        writer.append(t, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    if (!writer.close())
        throw std::runtime_error(writer.error().toStdString());
}

void BM_OpenRecording(benchmark::State& state) {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("ten-million.lfrec"));
    write_recording(file);
    for (auto _ : state) {
        scope::ScopeWindow window(scope::ScopeOptions{}, std::make_unique<NoQueue>());
        window.show();
        const auto start = std::chrono::steady_clock::now();
        QString error;
        if (!window.open_recording(file, 0, &error)) {
            state.SkipWithError(error.toStdString().c_str());
            return;
        }
        QEventLoop loop;
        QObject::connect(&window, &scope::ScopeWindow::frameDrawn, &loop, [&] {
            if (!window.replaying())
                loop.quit();
        });
        loop.exec();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        state.counters["seconds"] = seconds;
        state.counters["items/s"] = double(records) / seconds;
        state.counters["rows_held"] = double(window.points().rows_held());
    }
}
BENCHMARK(BM_OpenRecording)->Unit(benchmark::kSecond)->Iterations(1)->UseManualTime();

} // namespace
