#include <tellurix/lumenfold/transport.h>

#include "flow.h"
#include "handshake_watch.h"
#include "keys.h"
#include "recv_now.h"
#include "sealed_link.h"
#include "send_buffers.h"
#include "wire.h"

#include <zmq.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <mutex>
#include <optional>
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

// Items per message in send_batch: enough to amortise the per-message cost, small
// enough that the consumer starts applying a long batch early.
constexpr std::size_t batch_items = 4096;

// Bytes at which send_batch closes a message even with fewer items: beyond this, bigger
// messages save nothing per item and only hold memory and delay the first item.
constexpr std::size_t batch_bytes = 1u << 20;

} // namespace

// A message sent and not yet confirmed by the consumer.
struct InFlight {
    std::uint64_t seq;
    std::size_t bytes, items;
};

struct Producer::Socket {
    // Declared first, destroyed last: ZeroMQ releases the last lent messages while the
    // context below terminates.
    Recycler recycler;
    zmq::context_t context{1};
    zmq::socket_t socket{context, zmq::socket_type::dealer};
    QString endpoint;
    // The size of the last batch message, to start the next one's buffer at.
    std::size_t batch_size_hint = 4096;

    // Flow control, as the consumer's last answer left it.
    bool answered = false;
    std::uint64_t session = 0;
    std::uint64_t next_seq = 1;
    std::uint64_t acked = 0; // the consumer holds every message up to this one
    // Room beyond `acked`.
    std::uint64_t window_msgs = detail::initial_window_msgs;
    std::uint64_t window_bytes = detail::initial_window_bytes;
    std::deque<InFlight> in_flight;
    std::size_t in_flight_bytes = 0;
    std::chrono::steady_clock::time_point last_sync{};
    std::optional<QString> refused;
    std::optional<detail::HandshakeWatch> watch;
    std::vector<host::Value> scratch;
    SealedLink sealed;

    bool may_send(std::size_t bytes) const {
        if (in_flight.size() >= window_msgs || window_bytes == 0)
            return false;
        // A message larger than the whole window goes alone.
        return in_flight_bytes + bytes <= window_bytes || in_flight.empty();
    }
};

namespace {

// How often a producer that waits for the consumer asks again: the answer may have been
// lost, or the consumer restarted and has not heard of this producer.
constexpr auto sync_every = std::chrono::milliseconds(250);

// How long a producer waits for the sealed connection at each step before it keeps to the
// secured one: a consumer that does not answer, a port a firewall closes, a backlog that
// does not drain.
constexpr auto seal_answer_wait = std::chrono::seconds(1);
constexpr auto seal_connect_wait = std::chrono::seconds(3);
constexpr auto seal_drain_wait = std::chrono::seconds(2);

// Sets the CURVE options `options` ask for on a fresh socket; returns the producer's public
// key, empty when it does not encrypt.
QString secure(zmq::socket_t& socket, const Producer::Options& options) {
    if (options.server_key.isEmpty()) {
        if (!options.key_file.isEmpty())
            throw std::invalid_argument(
                "Producer: a key file needs the consumer's public key (server_key) too");
        return QString();
    }
    const std::string server_key = options.server_key.trimmed().toStdString();
    if (!detail::is_z85_key(server_key))
        throw std::invalid_argument("Producer: the consumer's public key must be 40 characters "
                                    "of Z85, not '" +
                                    server_key + "'");
    const detail::KeyPair keys = options.key_file.isEmpty()
                                     ? detail::generate_keys()
                                     : detail::load_or_create_keys(options.key_file, "Producer");
    socket.set(zmq::sockopt::curve_serverkey, server_key);
    socket.set(zmq::sockopt::curve_publickey, keys.public_z85);
    socket.set(zmq::sockopt::curve_secretkey, keys.secret_z85);
    return QString::fromStdString(keys.public_z85);
}

[[noreturn]] void throw_refused(const QString& endpoint, const QString& reason) {
    throw std::runtime_error(
        QStringLiteral("Producer: the consumer at %1 refused this producer: %2")
            .arg(endpoint, reason)
            .toStdString());
}

} // namespace

Producer::Producer() = default;
Producer::Producer(const QString& endpoint)
    : Producer(endpoint, Options()) {}
Producer::Producer(const QString& endpoint, const Options& options)
    : options_(options) {
    connect(endpoint);
}

Producer::~Producer() {
    // Nothing may leave a destructor: a socket error while closing, or a warning handler
    // that throws while close() reports unconfirmed items, would end the program.
    try {
        close();
    } catch (const std::exception& e) {
        try {
            host::warn(QStringLiteral("Producer::~Producer: %1").arg(QString::fromUtf8(e.what())));
        } catch (...) {
            // The warning channel itself failed; there is nowhere left to report to.
        }
    } catch (...) {
    }
}

bool Producer::connected() const noexcept {
    return socket_ != nullptr;
}

std::uint64_t Producer::unconfirmed_items() const noexcept {
    std::uint64_t n = 0;
    if (socket_)
        for (const InFlight& m : socket_->in_flight)
            n += m.items;
    return n;
}

void Producer::connect(const QString& endpoint) {
    close();
    const QString resolved = connect_form(endpoint);
    detail::claim_private_dir(resolved, false, "Producer");
    auto s = std::make_unique<Socket>();
    s->endpoint = resolved;
    s->watch.emplace(s->context, s->socket, "producer");
    s->socket.set(zmq::sockopt::sndhwm, options_.hwm);
    public_key_ = secure(s->socket, options_);
    try {
        s->socket.connect(resolved.toStdString());
    } catch (const zmq::error_t& e) {
        s->socket.set(zmq::sockopt::linger, 0);
        throw std::runtime_error(QStringLiteral("Producer: cannot connect to %1: %2")
                                     .arg(resolved, QString::fromLocal8Bit(e.what()))
                                     .toStdString());
    }
    socket_ = std::move(s);
    // Ask for credit at once, so that it is there by the first send.
    request_sync(false);
    ask_for_seal();
}

void Producer::ask_for_seal() {
    Socket& s = *socket_;
    s.sealed.close();
    // Only a secured consumer's tcp port has a sealed one beside it.
    if (public_key_.isEmpty() || !s.endpoint.startsWith(QLatin1String("tcp://")))
        return;
    const QByteArray body = detail::encode_seal();
    if (s.socket.send(zmq::const_buffer(body.constData(), static_cast<std::size_t>(body.size())),
                      zmq::send_flags::dontwait)) {
        s.sealed.state = SealedLink::Asked;
        s.sealed.since = std::chrono::steady_clock::now();
    }
}

void Producer::advance_sealed() {
    Socket& s = *socket_;
    SealedLink& link = s.sealed;
    // A producer that may wait waits here for the steps, a few round trips, rather than
    // send more over the slower connection meanwhile; one that drops when full never
    // waits, and sends over the secured connection until the sealed one is ready.
    const bool wait = !options_.drop_when_full;
    const auto timed_out = [&](auto limit) {
        return std::chrono::steady_clock::now() - link.since >= limit;
    };
    for (;;) {
        if (link.state == SealedLink::Asked) {
            // Until the consumer has answered anything the answer cannot come; what is
            // sent meanwhile waits in ZeroMQ's queue, as it would without a sealed
            // connection, and a producer the consumer refuses learns it when it would
            // without one.
            if (s.socket.get(zmq::sockopt::events) & ZMQ_POLLIN)
                read_answers(0);
            if (link.state == SealedLink::Asked && !s.answered) {
                link.since = std::chrono::steady_clock::now();
                return;
            }
            if (link.state == SealedLink::Asked && wait)
                read_answers(5);
            if (link.state == SealedLink::Asked) {
                if (timed_out(seal_answer_wait))
                    link.close();
                else if (!wait)
                    return;
            }
        } else if (link.state == SealedLink::Connecting) {
            link.watch->take();
            if (link.watch->ever_paired()) {
                link.state = SealedLink::Draining;
                link.since = std::chrono::steady_clock::now();
                // Its answer confirms everything sent before it.
                if (!s.in_flight.empty())
                    request_sync(false);
            } else if (timed_out(seal_connect_wait)) {
                link.close();
            } else if (!wait) {
                return;
            } else {
                // The answer may have been an old consumer's, read after it went: a
                // new one answers the syncs, and is asked again.
                if (std::chrono::steady_clock::now() - s.last_sync >= sync_every)
                    request_sync(false);
                zmq::pollitem_t items[2] = {{link.watch->handle(), 0, ZMQ_POLLIN, 0},
                                            {s.socket.handle(), 0, ZMQ_POLLIN, 0}};
                try {
                    zmq::poll(items, 2, std::chrono::milliseconds(5));
                } catch (const zmq::error_t& e) {
                    if (e.num() != EINTR)
                        throw;
                }
                if (items[1].revents & ZMQ_POLLIN)
                    read_answers(0);
            }
        } else if (link.state == SealedLink::Draining) {
            // What went over the secured connection must be in before anything goes
            // sealed, or the two could overtake each other.
            if (s.in_flight.empty()) {
                link.state = SealedLink::On;
            } else if (timed_out(seal_drain_wait) || s.refused) {
                link.close();
            } else {
                if (std::chrono::steady_clock::now() - s.last_sync >= sync_every / 10)
                    request_sync(false);
                read_answers(wait ? 10 : 0);
                if (!wait && !s.in_flight.empty())
                    return;
            }
        } else {
            return;
        }
    }
}

void Producer::request_sync(bool closing) {
    Socket& s = *socket_;
    const QByteArray body = detail::encode_sync({s.next_seq - 1, closing});
    s.last_sync = std::chrono::steady_clock::now();
    // A sync that does not fit now is asked again later.
    s.socket.send(zmq::const_buffer(body.constData(), static_cast<std::size_t>(body.size())),
                  zmq::send_flags::dontwait);
}

void Producer::read_answers(int wait_ms) {
    Socket& s = *socket_;
    if (wait_ms > 0) {
        zmq::pollitem_t item{s.socket.handle(), 0, ZMQ_POLLIN, 0};
        try {
            zmq::poll(&item, 1, std::chrono::milliseconds(wait_ms));
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR)
                throw;
        }
    }
    if (!s.refused) {
        const detail::HandshakeFailures failed = s.watch->take();
        if (failed.auth > 0)
            s.refused = options_.key_file.isEmpty()
                            ? QStringLiteral("it lets in only producers with a key it knows; "
                                             "give this producer a key file (key_file) and add "
                                             "its public half to the consumer's authorized "
                                             "producers")
                            : QStringLiteral("it does not know this producer's key %1: add it "
                                             "to the consumer's authorized producers")
                                  .arg(public_key_);
        else if (failed.mechanism > 0)
            s.refused = options_.server_key.isEmpty()
                            ? QStringLiteral("it encrypts and lets in only producers it knows: "
                                             "give this producer the consumer's public key "
                                             "(server_key) and a key file")
                            : QStringLiteral("it does not encrypt, and this producer was "
                                             "given a server key");
        else if (failed.other > 0 && !options_.server_key.isEmpty())
            s.refused = QStringLiteral("the handshake failed: is %1 the consumer's public key?")
                            .arg(options_.server_key);
        // A consumer that never paired with us refuses at once (ZeroMQ does not try
        // again); one that did may merely have gone at the wrong moment: it takes a few.
        else if (failed.wrong_socket + failed.other > 0 &&
                 s.watch->refused_in_a_row() >= (s.watch->ever_paired() ? 3 : 1))
            // Dropped before the handshake completed: ZeroMQ says no more, and a secured
            // consumer refusing a plain producer looks the same from here.
            s.refused = options_.server_key.isEmpty()
                            ? QStringLiteral("it dropped the connection during the handshake: "
                                             "it speaks another version of the wire format, "
                                             "or it encrypts and lets in only producers it "
                                             "knows (give this producer the consumer's public "
                                             "key, server_key, and a key file)")
                            // A consumer that cannot decrypt our greeting hangs up too.
                            : QStringLiteral("it dropped the connection during the handshake: "
                                             "is %1 the consumer's public key? Otherwise it "
                                             "speaks another version of the wire format")
                                  .arg(options_.server_key);
    }
    zmq::message_t message;
    while (detail::recv_now(s.socket, message)) {
        detail::Control c;
        try {
            if (!detail::decode_frame(message.data<char>(), message.size(), Limits(), s.scratch)
                     .control)
                continue;
            c = detail::parse_control(s.scratch);
        } catch (const DecodeError&) {
            continue; // not from a consumer of this format: nothing to act on
        }
        if (c.refused) {
            s.refused = c.refused;
            continue;
        }
        if (c.sealed) {
            s.sealed.open(s.context, s.endpoint, *c.sealed, options_.hwm);
            continue;
        }
        if (!c.credit)
            continue;
        const detail::Credit& k = *c.credit;
        if (s.answered && k.session != s.session) {
            // A new consumer: what it never received and the old one never confirmed is
            // gone with the old one.
            ++restarts_;
            while (!s.in_flight.empty() && s.in_flight.front().seq <= k.base) {
                lost_ += s.in_flight.front().items;
                s.in_flight_bytes -= s.in_flight.front().bytes;
                s.in_flight.pop_front();
            }
            // Its sealed port and channel are new too.
            ask_for_seal();
        }
        s.answered = true;
        s.session = k.session;
        s.acked = std::max(k.acked, k.base);
        while (!s.in_flight.empty() && s.in_flight.front().seq <= s.acked) {
            confirmed_ += s.in_flight.front().items;
            s.in_flight_bytes -= s.in_flight.front().bytes;
            s.in_flight.pop_front();
        }
        s.window_msgs = k.window_msgs;
        s.window_bytes = k.window_bytes;
    }
}

bool Producer::send_message(QByteArray message, std::size_t items) {
    if (!socket_)
        throw std::logic_error("Producer: send without a connection");
    Socket& s = *socket_;
    const auto size = static_cast<std::size_t>(message.size());
    if (size > Limits().max_message_bytes)
        throw std::invalid_argument(
            "Producer: message of " + std::to_string(message.size()) +
            " bytes exceeds what a consumer accepts; send the data in smaller items");
    if (s.sealed.state != SealedLink::Off && s.sealed.state != SealedLink::On)
        advance_sealed();
    // Within the credit granted; otherwise wait for more (or drop).
    if (!s.may_send(size))
        read_answers(0);
    while (!s.may_send(size) && !s.refused) {
        if (std::chrono::steady_clock::now() - s.last_sync >= sync_every)
            request_sync(false);
        if (options_.drop_when_full) {
            ++dropped_;
            s.recycler.give(std::move(message));
            return false;
        }
        read_answers(static_cast<int>(sync_every.count()));
    }
    if (s.refused)
        throw_refused(s.endpoint, *s.refused);
    bool sealing = s.sealed.state == SealedLink::On;
    // Kept while a sealed message waits: should the consumer turn out to be a new one
    // meanwhile, the channel is gone with the old one and the message goes over the
    // secured connection instead.
    QByteArray plain;
    if (sealing) {
        QByteArray sealed = s.recycler.take(size + detail::seal_overhead);
        sealed.resize(static_cast<int>(size + detail::seal_overhead));
        s.sealed.sealer->seal(message.constData(), size, sealed.data());
        plain = std::move(message);
        message = std::move(sealed);
    }
    zmq::message_t frame = to_frame(std::move(message), s.recycler);
    // Never blocks inside ZeroMQ: a connection refused during its handshake is not tried
    // again, and a blocking send would then wait for it forever. A full queue or no
    // connection is waited out here, where refusals are seen.
    for (;;) {
        zmq::socket_t& target = sealing ? *s.sealed.socket : s.socket;
        try {
            if (target.send(frame, zmq::send_flags::dontwait)) {
                ++sent_;
                s.in_flight.push_back({s.next_seq++, size, items});
                s.in_flight_bytes += size;
                s.recycler.give(std::move(plain));
                return true;
            }
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR)
                throw;
            continue;
        }
        if (options_.drop_when_full) {
            ++dropped_;
            s.recycler.give(std::move(plain));
            return false;
        }
        // A sealed connection that is down may be a consumer that restarted and has not
        // heard of this producer: ask, so that it answers.
        if (sealing && std::chrono::steady_clock::now() - s.last_sync >= sync_every)
            request_sync(false);
        read_answers(static_cast<int>(sync_every.count()) / 5);
        if (s.refused)
            throw_refused(s.endpoint, *s.refused);
        if (sealing && s.sealed.state != SealedLink::On) {
            sealing = false;
            frame = to_frame(std::move(plain), s.recycler);
            plain = QByteArray(); // nothing left to give back
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
    return send_message(
        detail::encode_one(item, socket_->next_seq, size, socket_->recycler.take(size)), 1);
}

bool Producer::send_batch(const std::vector<host::Value>& items) {
    if (!socket_)
        throw std::logic_error("Producer: send without a connection");
    const Limits limits;
    bool all = true;
    for (std::size_t begin = 0; begin < items.size();) {
        std::size_t taken = 0;
        QByteArray message =
            detail::encode_prefix(items.data() + begin, std::min(batch_items, items.size() - begin),
                                  socket_->next_seq, limits, batch_bytes, socket_->batch_size_hint,
                                  socket_->recycler.take(socket_->batch_size_hint), taken);
        socket_->batch_size_hint = static_cast<std::size_t>(message.size()) + 64;
        all = send_message(std::move(message), taken) && all;
        begin += taken;
    }
    return all;
}

bool Producer::close() {
    if (!socket_)
        return true;
    Socket& s = *socket_;
    const int linger = options_.linger_ms < 0 ? 0 : options_.linger_ms;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(linger);
    // The consumer answers a closing sync once it has read everything before it: that
    // answer, not the time it took, says what it holds. It also closes this producer's
    // account there.
    request_sync(true);
    while (!s.in_flight.empty() && !s.refused) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            break;
        if (now - s.last_sync >= sync_every)
            request_sync(true);
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
        read_answers(static_cast<int>(std::min<std::int64_t>(left.count(), sync_every.count())) +
                     1);
    }
    const std::uint64_t unconfirmed = unconfirmed_items();
    const std::uint64_t lost = lost_;
    std::unique_ptr<Socket> closing = std::move(socket_);
    // Everything that matters was confirmed or is reported below; nothing left to wait for.
    closing->watch.reset();
    closing->sealed.close();
    closing->socket.set(zmq::sockopt::linger, 0);
    closing->socket.close();
    closing->context.close();
    if (unconfirmed == 0 && lost == 0)
        return true;
    QString why;
    if (unconfirmed > 0)
        why =
            QStringLiteral("the consumer at %1 did not confirm %2 of the items sent within %3 ms; "
                           "they may be lost")
                .arg(closing->endpoint)
                .arg(unconfirmed)
                .arg(linger);
    if (lost > 0)
        why += QStringLiteral("%1%2 items were lost when the consumer restarted")
                   .arg(why.isEmpty() ? QString() : QStringLiteral("; "))
                   .arg(lost);
    if (closing->refused)
        why += QStringLiteral(" (the consumer refused this producer: %1)").arg(*closing->refused);
    host::warn(QStringLiteral("Producer::close: ") + why);
    return false;
}

} // namespace tellurix::lumenfold::transport
