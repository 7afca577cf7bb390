#include <tellurix/lumenfold/scope/demo.h>

#include <tellurix/lumenfold/host.h>
#include <tellurix/lumenfold/transport.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <random>

namespace tellurix::lumenfold::scope {

namespace {
using host::Value;
constexpr double pi = 3.14159265358979323846;
} // namespace

DemoProducer::DemoProducer(QString endpoint)
    : endpoint_(std::move(endpoint))
    , thread_([this] { run(); }) {}

DemoProducer::~DemoProducer() {
    stop_ = true;
    thread_.join();
}

void DemoProducer::run() {
    try {
        // Dropping (not waiting) when the scope is behind: the scope joins this thread when
        // it quits and stops draining first, so a waiting send would never return. Demo
        // rows lost to a busy window do not matter; a short linger keeps quitting quick.
        transport::Producer::Options options;
        options.drop_when_full = true;
        options.linger_ms = 200;
        transport::Producer producer(endpoint_, options);
        // Points: a time column and four signals, one of them complex (try fy = mag/phase).
        producer.send("PN", Value::str_list({"t", "sine", "cosine", "noisy", "iq"}));
        // Traces: a frequency axis, a real spectrum and a complex filter response.
        producer.send("TN", Value::str_list({"freq", "spectrum", "response"}));
        producer.send("PXY", "t,sine;t,noisy;t,iq;sine,cosine");
        producer.send("TXY", "freq,spectrum;freq,response");

        std::mt19937 rng(12345);
        std::normal_distribution<double> noise(0.0, 0.08);
        constexpr int rows_per_burst = 40; // every 20 ms: 2000 rows/s
        constexpr auto burst = std::chrono::milliseconds(20);
        constexpr double dt = 1.0 / 2000.0;
        constexpr double generation_seconds = 2.0; // "ROLL" every 2 s
        constexpr int trace_points = 512;
        int generation = 0, bursts = 0;
        double t = 0; // time within the current generation: generations overlay

        auto next = std::chrono::steady_clock::now();
        while (!stop_) {
            const double drift = 0.15 * generation; // each generation a little shifted
            for (int i = 0; i < rows_per_burst; ++i, t += dt) {
                const double w = 2 * pi * 1.5 * t + drift;
                producer.send("PD",
                              Value::list({t, std::sin(w), std::cos(w), std::sin(w) + noise(rng),
                                           std::complex<double>(std::cos(3 * w), std::sin(3 * w)) *
                                               (1.0 + 0.2 * std::sin(w))}));
            }
            if (t >= generation_seconds) {
                producer.send("ROLL", Value());
                t = 0;
                ++generation;
            }
            if (++bursts % 10 == 0) { // a trace every 200 ms
                QVector<double> freq(trace_points), spectrum(trace_points);
                QVector<std::complex<double>> response(trace_points);
                const double phase = 0.3 * bursts / 10.0;
                for (int k = 0; k < trace_points; ++k) {
                    const double f = 1.0 + k * 0.5;
                    freq[k] = f;
                    spectrum[k] =
                        1.0 / (1.0 + std::pow((f - 80.0 - 20 * std::sin(phase)) / 6.0, 2)) +
                        0.02 * std::abs(noise(rng));
                    const std::complex<double> s(0.0, f / 60.0);
                    response[k] = 1.0 / (s * s + 0.4 * s + 1.0);
                }
                producer.send("TD",
                              Value::list({Value::float_array(freq), Value::float_array(spectrum),
                                           Value::complex_array(response)}));
            }
            next += burst;
            std::this_thread::sleep_until(next);
        }
    } catch (const std::exception& e) {
        host::warn(QStringLiteral("DemoProducer::run: %1").arg(QString::fromUtf8(e.what())));
    }
}

} // namespace tellurix::lumenfold::scope
