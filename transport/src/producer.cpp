#include <tellurix/lumenfold/transport.h>

#include "wire.h"

#include <zmq.hpp>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

namespace tellurix::lumenfold::transport {

namespace {

// A producer connects; a wildcard address in an endpoint written for binding means
// this machine.
QString connect_form(const QString& endpoint) {
    QString resolved = normalize_endpoint(endpoint);
    for (const char* wildcard : {"tcp://*:", "tcp://0.0.0.0:"}) {
        const QLatin1String prefix(wildcard);
        if (resolved.startsWith(prefix))
            return QStringLiteral("tcp://127.0.0.1:") + resolved.mid(prefix.size());
    }
    return resolved;
}

// Messages above this size are handed to ZeroMQ without a copy.
constexpr int zero_copy_bytes = 16 * 1024;

// Items per message in send_batch: enough to amortise the per-message cost, small
// enough that the consumer starts applying a long batch early.
constexpr std::size_t batch_items = 4096;

// Bytes at which send_batch closes a message even with fewer items: beyond this, bigger
// messages save nothing per item and only hold memory and delay the first item.
constexpr std::size_t batch_bytes = 1u << 20;

} // namespace

// Buffers of messages already sent, for the next messages to be encoded into. A
// producer streaming big items would otherwise allocate a fresh buffer for each, and
// ZeroMQ's I/O thread would free it: the allocator then hands that memory back to the
// system and the next buffer faults every page in again.
class Recycler {
public:
    // Takes a buffer for a message of about `size` bytes; an empty one when none fits.
    QByteArray take(std::size_t size) {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!free_.empty()) {
            QByteArray b = std::move(free_.back());
            free_.pop_back();
            if (static_cast<std::size_t>(b.capacity()) >= size)
                return b;
        }
        return QByteArray();
    }
    // Keeps `buffer` when there is room; any thread.
    void give(QByteArray&& buffer) {
        if (static_cast<std::size_t>(buffer.capacity()) > kept_bytes)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (free_.size() < kept_buffers)
            free_.push_back(std::move(buffer));
    }

private:
    static constexpr std::size_t kept_buffers = 4;
    static constexpr std::size_t kept_bytes = 4u << 20;
    std::mutex mutex_;
    std::vector<QByteArray> free_;
};

// What ZeroMQ holds of a message sent without a copy, released from its I/O thread.
struct Lent {
    QByteArray bytes;
    Recycler* recycler;
    static void release(void*, void* hint) {
        auto* lent = static_cast<Lent*>(hint);
        lent->recycler->give(std::move(lent->bytes));
        delete lent;
    }
};

struct Producer::Socket {
    // Declared first, destroyed last: ZeroMQ releases the last lent messages while the
    // context below terminates.
    Recycler recycler;
    zmq::context_t context{1};
    zmq::socket_t socket{context, zmq::socket_type::push};
    // The size of the last batch message, to start the next one's buffer at.
    std::size_t batch_size_hint = 4096;
};

Producer::Producer() = default;
Producer::Producer(const QString& endpoint)
    : Producer(endpoint, Options()) {}
Producer::Producer(const QString& endpoint, const Options& options)
    : options_(options) {
    connect(endpoint);
}

Producer::~Producer() {
    close();
}

bool Producer::connected() const noexcept {
    return socket_ != nullptr;
}

void Producer::connect(const QString& endpoint) {
    close();
    const QString resolved = connect_form(endpoint);
    detail::claim_private_dir(resolved, false, "Producer");
    auto s = std::make_unique<Socket>();
    s->socket.set(zmq::sockopt::sndhwm, options_.hwm);
    try {
        s->socket.connect(resolved.toStdString());
    } catch (const zmq::error_t& e) {
        s->socket.set(zmq::sockopt::linger, 0);
        throw std::runtime_error(QStringLiteral("Producer: cannot connect to %1: %2")
                                     .arg(resolved, QString::fromLocal8Bit(e.what()))
                                     .toStdString());
    }
    socket_ = std::move(s);
}

bool Producer::send_message(QByteArray message) {
    if (!socket_)
        throw std::logic_error("Producer: send without a connection");
    if (static_cast<std::size_t>(message.size()) > Limits().max_message_bytes)
        throw std::invalid_argument(
            "Producer: message of " + std::to_string(message.size()) +
            " bytes exceeds what a consumer accepts; send the data in smaller items");
    zmq::message_t frame;
    if (message.size() >= zero_copy_bytes) {
        auto* lent = new Lent{std::move(message), &socket_->recycler};
        frame.rebuild(const_cast<char*>(lent->bytes.constData()),
                      static_cast<std::size_t>(lent->bytes.size()), &Lent::release, lent);
    } else {
        frame.rebuild(message.constData(), static_cast<std::size_t>(message.size()));
        socket_->recycler.give(std::move(message));
    }
    const auto flags = options_.drop_when_full ? zmq::send_flags::dontwait : zmq::send_flags::none;
    for (;;) {
        try {
            if (socket_->socket.send(frame, flags)) {
                ++sent_;
                return true;
            }
            ++dropped_;
            return false;
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR)
                throw;
        }
    }
}

bool Producer::send(const QString& cmd, const host::Value& data) {
    return send_item(host::Value::tuple({cmd, data}));
}

bool Producer::send_item(const host::Value& item) {
    if (!socket_)
        throw std::logic_error("Producer: send without a connection");
    const std::size_t size = detail::size_bound(item);
    return send_message(detail::encode_one(item, size, socket_->recycler.take(size)));
}

bool Producer::send_batch(const std::vector<host::Value>& items) {
    if (!socket_)
        throw std::logic_error("Producer: send without a connection");
    const Limits limits;
    bool all = true;
    for (std::size_t begin = 0; begin < items.size();) {
        std::size_t taken = 0;
        QByteArray message = detail::encode_prefix(
            items.data() + begin, std::min(batch_items, items.size() - begin), limits, batch_bytes,
            socket_->batch_size_hint, socket_->recycler.take(socket_->batch_size_hint), taken);
        socket_->batch_size_hint = static_cast<std::size_t>(message.size()) + 64;
        all = send_message(std::move(message)) && all;
        begin += taken;
    }
    return all;
}

bool Producer::close() {
    if (!socket_)
        return true;
    std::unique_ptr<Socket> s = std::move(socket_);
    const int linger = options_.linger_ms < 0 ? 0 : options_.linger_ms;
    s->socket.set(zmq::sockopt::linger, linger);
    const auto start = std::chrono::steady_clock::now();
    s->socket.close();
    // Terminating the context waits until every queued message has been written to the
    // consumer's connection, or until the linger period has passed and the rest was
    // discarded; only the time it took tells the two apart.
    s->context.close();
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    if (sent_ > 0 && waited.count() >= linger) {
        host::warn(QStringLiteral("Producer::close: messages were still queued after %1 ms; "
                                  "those not yet delivered are lost")
                       .arg(linger));
        return false;
    }
    return true;
}

} // namespace tellurix::lumenfold::transport
