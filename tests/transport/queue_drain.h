// What the queue tests share: a run over each transport, taking items from a ZmqQueue,
// and the records they send.
#pragma once

#include <tellurix/lumenfold/transport.h>

#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <zmq.hpp>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

namespace queue_test {

// A test run once over ipc and once over tcp: its parameter is "ipc" or "tcp".
class EachTransport : public ::testing::TestWithParam<const char*> {
protected:
    QTemporaryDir dir;
    QString endpoint() const {
        return QString::fromLatin1(GetParam()) == QLatin1String("ipc")
                   ? QStringLiteral("ipc://") + dir.filePath("q.ipc")
                   : QStringLiteral("tcp://127.0.0.1:*");
    }
};

// A bare DEALER socket connected to a queue, for bytes a Producer would never send.
struct RawSender {
    zmq::context_t context;
    zmq::socket_t socket{context, zmq::socket_type::dealer};
    explicit RawSender(const QString& endpoint) { socket.connect(endpoint.toStdString()); }
    void send(const QByteArray& b, zmq::send_flags flags = zmq::send_flags::none) {
        socket.send(zmq::const_buffer(b.constData(), static_cast<std::size_t>(b.size())), flags);
    }
};

// Takes `count` items, waiting for them at most a generous while (a hang, not a timing,
// is what the deadline guards against).
inline std::vector<tellurix::lumenfold::host::Value>
drain(tellurix::lumenfold::transport::ZmqQueue& queue, std::size_t count,
      std::chrono::milliseconds patience = std::chrono::seconds(20)) {
    std::vector<tellurix::lumenfold::host::Value> items;
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (items.size() < count && std::chrono::steady_clock::now() < deadline) {
        if (queue.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        else
            items.push_back(queue.get());
    }
    return items;
}

// A "PD" record of two numbers that tells its place in a stream.
inline tellurix::lumenfold::host::Value record(std::int64_t i) {
    using tellurix::lumenfold::host::Value;
    return Value::tuple({"PD", Value::list({i, i / 2.0})});
}

} // namespace queue_test
