// The cost of security: the same workloads over loopback tcp, plain and secured, in one
// run. Secured, the producer proves its key over CURVE and sends its data sealed
// (AES-256-GCM) on the consumer's sealed data port, as every secured C++ producer does. A
// producer thread feeds the queue; the benchmark's thread drains it.
// Arg 0: plain, 1: secured. Counters: items/s, bytes/s; latency in microseconds.
// BM_RawZmq sends the traces' message size through libzmq alone, as a floor to read the
// figures against, and says how fast one ZeroMQ I/O thread goes per second of processor
// time: ZeroMQ encrypts and decrypts each connection on one I/O thread per end, so that
// is what one producer can reach on a machine with a core free for each.
#include <tellurix/lumenfold/transport.h>

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <zmq.hpp>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>

#include <dirent.h>
#include <sys/resource.h>

namespace {

using tellurix::lumenfold::host::Value;
namespace transport = tellurix::lumenfold::transport;

struct Link {
    QTemporaryDir dir;
    std::unique_ptr<transport::ZmqQueue> queue;
    transport::Producer::Options options;

    explicit Link(bool secure) {
        // The consumer is set up as lumenfold-scope sets itself up.
        static const bool tuned = transport::keep_memory_for_large_messages();
        (void)tuned;
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

// Processor time of the whole process (both ends, every thread), in seconds.
double process_cpu_s() {
    rusage r{};
    ::getrusage(RUSAGE_SELF, &r);
    return double(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
           double(r.ru_utime.tv_usec + r.ru_stime.tv_usec) * 1e-6;
}

// Sends `rounds` batches of `batch` from a thread and drains them here.
void stream(benchmark::State& state, const std::vector<Value>& batch, std::size_t item_bytes) {
    Link link(state.range(0) == 1);
    const int rounds = 50;
    std::size_t items = 0;
    const double cpu_before = process_cpu_s();
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
    // Bytes per second of processor time, producer and consumer together: what the work
    // costs, whatever share of the processors the machine's other load leaves.
    state.counters["bytes/cpu_s"] = double(items * item_bytes) / (process_cpu_s() - cpu_before);
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

// Processor time (ns) of this process's ZeroMQ I/O threads, by thread id.
std::map<std::string, double> io_thread_times() {
    std::map<std::string, double> times;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir)
        return times;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        std::string name;
        std::getline(std::ifstream(task + "/comm"), name);
        double ns = 0;
        if (name.rfind("ZMQbg/IO", 0) == 0 && (std::ifstream(task + "/schedstat") >> ns))
            times[entry->d_name] = ns;
    }
    ::closedir(dir);
    return times;
}

void BM_RawZmq(benchmark::State& state) {
    const bool secure = state.range(0) == 1;
    zmq::context_t consumer_context(1), producer_context(1);
    zmq::socket_t router(consumer_context, zmq::socket_type::router);
    zmq::socket_t dealer(producer_context, zmq::socket_type::dealer);
    if (secure) {
        char server_public[41], server_secret[41], client_public[41], client_secret[41];
        zmq_curve_keypair(server_public, server_secret);
        zmq_curve_keypair(client_public, client_secret);
        router.set(zmq::sockopt::curve_server, true);
        router.set(zmq::sockopt::curve_secretkey, server_secret);
        dealer.set(zmq::sockopt::curve_serverkey, server_public);
        dealer.set(zmq::sockopt::curve_publickey, client_public);
        dealer.set(zmq::sockopt::curve_secretkey, client_secret);
    }
    router.bind("tcp://127.0.0.1:*");
    dealer.connect(router.get(zmq::sockopt::last_endpoint));
    const std::vector<char> payload(std::size_t(1) << 20, 'x'); // as send_batch's messages
    const int messages = 50;
    std::size_t bytes = 0;
    const std::map<std::string, double> before = io_thread_times();
    for (auto _ : state) {
        std::thread producer([&] {
            for (int i = 0; i < messages; ++i)
                dealer.send(zmq::buffer(payload), zmq::send_flags::none);
        });
        zmq::message_t id, body;
        for (int i = 0; i < messages; ++i) {
            (void)router.recv(id);
            (void)router.recv(body);
        }
        producer.join();
        bytes += payload.size() * messages;
    }
    double busiest_ns = 0;
    for (const auto& [thread, ns] : io_thread_times()) {
        const auto was = before.find(thread);
        busiest_ns = std::max(busiest_ns, ns - (was == before.end() ? 0 : was->second));
    }
    state.counters["bytes/s"] = benchmark::Counter(double(bytes), benchmark::Counter::kIsRate);
    // Bytes per second of processor time of the busiest I/O thread.
    state.counters["io_thread_bytes/cpu_s"] = busiest_ns > 0 ? double(bytes) / busiest_ns * 1e9 : 0;
    state.SetLabel(secure ? "secure, libzmq alone" : "plain, libzmq alone");
    router.set(zmq::sockopt::linger, 0);
    dealer.set(zmq::sockopt::linger, 0);
}

BENCHMARK(BM_Records)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Traces)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Latency)->Arg(0)->Arg(1)->Iterations(2000)->UseRealTime();
BENCHMARK(BM_RawZmq)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
