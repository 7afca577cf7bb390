#include "receiver.h"

#include "flow.h"
#include "keys.h"
#include "recv_now.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <random>

#include <sys/eventfd.h>
#include <unistd.h>

namespace tellurix::lumenfold::transport::detail {

namespace {

// Without a message or room handed back, the thread still looks round this often: a
// producer that went silent while others wait is found out then.
constexpr int idle_ms = 200;

// Messages read in one round before the thread passes them on and answers producers.
constexpr int round_messages = 1024;

std::int64_t unix_time_ns() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::uint64_t random_session() {
    std::random_device random;
    return ((std::uint64_t{random()} << 32) | random()) >> 1;
}

} // namespace

Receiver::Receiver(const QString& endpoint, const Limits& limits, const Security& security)
    : limits_(limits)
    , session_(random_session())
    , ledger_(limits.max_backlog_bytes, limits.max_backlog_messages) {
    // A producer that keeps to its credit never has more messages on their way than the
    // backlog holds; the receive limit sits above that, so ZeroMQ never stops reading a
    // well-behaved producer (one that then hangs up would lose what the kernel still
    // held), and still stops one that ignores its credit.
    socket_.set(zmq::sockopt::rcvhwm, static_cast<int>(std::min<std::size_t>(
                                          limits.max_backlog_messages + 1024, INT_MAX)));
    // Oversized messages are refused while they arrive, not once they were read whole:
    // ZeroMQ drops the connection of a peer that sends one.
    socket_.set(zmq::sockopt::maxmsgsize, static_cast<std::int64_t>(std::min<std::size_t>(
                                              limits.max_message_bytes, INT64_MAX)));
    // An answer to a producer that has gone fails instead of vanishing: that is how the
    // credit of a producer that died comes back.
    socket_.set(zmq::sockopt::router_mandatory, true);
    // Nothing waits for answers still queued when the queue closes, nor for those queued
    // for a producer that hung up: ZeroMQ ends that connection with the linger the socket
    // had at that moment, and with any other than zero the context's termination then
    // waits for ever for an answer that can never leave (the host hung on exit).
    socket_.set(zmq::sockopt::linger, 0);
    if (!security.key_file.isEmpty()) {
        const KeyPair keys = load_or_create_keys(security.key_file, "ZmqQueue");
        zap_.emplace(context_, security.authorized_producers);
        socket_.set(zmq::sockopt::curve_server, true);
        socket_.set(zmq::sockopt::curve_secretkey, keys.secret_z85);
        socket_.set(zmq::sockopt::zap_domain, "lumenfold");
        public_key_ = QString::fromStdString(keys.public_z85);
    }
    try {
        socket_.bind(endpoint.toStdString());
    } catch (const zmq::error_t& e) {
        throw std::runtime_error(QStringLiteral("ZmqQueue: cannot bind %1: %2")
                                     .arg(endpoint, QString::fromLocal8Bit(e.what()))
                                     .toStdString());
    }
    endpoint_ = QString::fromStdString(socket_.get(zmq::sockopt::last_endpoint));
    if (zap_ && endpoint_.startsWith(QLatin1String("tcp://"))) {
        try {
            // A port asked for by number gets its neighbour, one asked for as any gets any.
            const QString asked_port = endpoint.section(QLatin1Char(':'), -1);
            sealed_.emplace(context_, endpoint_,
                            asked_port != QLatin1String("*") && asked_port != QLatin1String("0"),
                            limits.max_message_bytes, socket_.get(zmq::sockopt::rcvhwm),
                            socket_.get(zmq::sockopt::ipv6));
        } catch (const zmq::error_t& e) {
            // Producers then send everything over the secured connection, only slower.
            note(QStringLiteral("ZmqQueue: no port for sealed data beside %1 (%2); producers "
                                "send over the secured connection alone")
                     .arg(endpoint_, QString::fromLocal8Bit(e.what())));
        }
    }
    watch_.emplace(context_, socket_,
                   "consumer-" + std::to_string(reinterpret_cast<quintptr>(this)),
                   zap_.has_value());
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0)
        throw std::runtime_error("ZmqQueue: cannot create an event descriptor");
    thread_ = std::thread([this] { run(); });
}

// join() throws only for a thread that is not running or is this one, which cannot
// happen here, so nothing leaves this destructor.
// NOLINTNEXTLINE(bugprone-exception-escape)
Receiver::~Receiver() {
    stop_ = true;
    const std::uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
    thread_.join();
    ::close(wake_fd_);
    watch_.reset();
}

void Receiver::set_tap(ZmqQueue::Tap tap) {
    std::lock_guard<std::mutex> lock(mutex_);
    tap_ = std::move(tap);
}

void Receiver::take(std::deque<Held>& into, std::vector<QString>& warnings, int wait_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (inbox_.empty() && warnings_.empty() && wait_ms > 0)
        arrival_.wait_for(lock, std::chrono::milliseconds(wait_ms),
                          [this] { return !inbox_.empty() || !warnings_.empty(); });
    if (into.empty())
        into.swap(inbox_);
    else
        std::move(inbox_.begin(), inbox_.end(), std::back_inserter(into));
    inbox_.clear();
    warnings.insert(warnings.end(), std::make_move_iterator(warnings_.begin()),
                    std::make_move_iterator(warnings_.end()));
    warnings_.clear();
}

void Receiver::release(std::vector<Released>& released) {
    if (released.empty())
        return;
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wake = released_.empty();
        if (wake)
            released_.swap(released);
        else
            released_.insert(released_.end(), std::make_move_iterator(released.begin()),
                             std::make_move_iterator(released.end()));
    }
    released.clear();
    if (wake) {
        const std::uint64_t one = 1;
        (void)!::write(wake_fd_, &one, sizeof one);
    }
}

void Receiver::note(QString warning) {
    std::lock_guard<std::mutex> lock(mutex_);
    warnings_.push_back(std::move(warning));
    arrival_.notify_one();
}

void Receiver::run() {
    zmq::pollitem_t items[5] = {{socket_.handle(), 0, ZMQ_POLLIN, 0},
                                {nullptr, wake_fd_, ZMQ_POLLIN, 0},
                                {watch_->handle(), 0, ZMQ_POLLIN, 0},
                                {zap_ ? zap_->handle() : nullptr, 0, ZMQ_POLLIN, 0},
                                {sealed_ ? sealed_->handle() : nullptr, 0, ZMQ_POLLIN, 0}};
    const int polled = sealed_ ? 5 : zap_ ? 4 : 3;
    while (!stop_) {
        try {
            zmq::poll(items, polled, std::chrono::milliseconds(idle_ms));
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR)
                throw;
        }
        if (stop_)
            break;
        if (items[1].revents & ZMQ_POLLIN) {
            std::uint64_t count;
            (void)!::read(wake_fd_, &count, sizeof count);
        }
        const Clock::time_point now = Clock::now();
        look_at_handshakes(now);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            released_here_.swap(released_);
        }
        for (const Released& r : released_here_)
            ledger_.released(r.peer, r.bytes);
        released_here_.clear();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            round_tap_ = tap_;
        }
        read_messages(now);
        read_sealed(now);
        settle_syncs(now);
        if (beyond_credit_ > 0)
            note(QStringLiteral("ZmqQueue: dropped %1 messages sent beyond the producer's credit")
                     .arg(beyond_credit_));
        beyond_credit_ = 0;
        if (!arrived_.empty()) {
            std::lock_guard<std::mutex> lock(mutex_);
            const bool was_empty = inbox_.empty();
            for (Held& h : arrived_)
                inbox_.push_back(std::move(h));
            arrived_.clear();
            if (was_empty)
                arrival_.notify_one();
        }
        answer_producers(now);
    }
}

void Receiver::look_at_handshakes(Clock::time_point now) {
    const HandshakeFailures failed = watch_->take();
    int explained = 0;
    if (zap_) {
        explained = refuse_early(failed.refusals);
        zap_->serve(zap_notes_);
        for (QString& n : zap_notes_)
            note(std::move(n));
        zap_notes_.clear();
        refused_producers = zap_->refused();
    }
    // Such a producer tries again and again: say so now and then, not every time.
    if (failed.wrong_socket + failed.other > explained &&
        now - last_refusal_note_ >= std::chrono::seconds(10)) {
        last_refusal_note_ = now;
        note(QStringLiteral("ZmqQueue: refused a connection that did not complete its "
                            "handshake: a producer of another wire format version "
                            "(version 1 producers use PUSH sockets), or not a ZeroMQ peer"));
    }
    if (!zap_ && failed.mechanism > 0 && now - last_mechanism_note_ >= std::chrono::seconds(10)) {
        last_mechanism_note_ = now;
        note(QStringLiteral("ZmqQueue: refused a producer that encrypts: this consumer "
                            "is not secured"));
    }
}

// ZeroMQ refuses a producer that does not encrypt, or encrypts for another consumer's
// key, before it asks the ZAP handler: the handshake watch is the only one to see it.
// Returns how many of the failures counted as another kind (wrong_socket, other) this
// explained.
int Receiver::refuse_early(const std::vector<HandshakeFailures::Refusal>& refusals) {
    int explained = 0;
    for (const HandshakeFailures::Refusal& r : refusals) {
        const bool mismatch = r.event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL &&
                              r.value == ZMQ_PROTOCOL_ERROR_ZMTP_MECHANISM_MISMATCH;
        // Whichever end reads the other's greeting first ends the handshake: when it is
        // the producer, this end sees it hang up after our greeting asked for CURVE.
        const bool hung_up = r.event == ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL && r.value == EPIPE;
        const bool cryptographic = r.event == ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL &&
                                   r.value == ZMQ_PROTOCOL_ERROR_ZMTP_CRYPTOGRAPHIC;
        if (mismatch || hung_up)
            zap_->refused_early(r.address, "NULL",
                                QStringLiteral("it does not encrypt; this consumer lets in "
                                               "only producers given its public key %1")
                                    .arg(public_key_),
                                zap_notes_);
        else if (cryptographic)
            zap_->refused_early(r.address, "wrong server key",
                                QStringLiteral("its handshake could not be decrypted: it was "
                                               "given another public key than this "
                                               "consumer's, %1")
                                    .arg(public_key_),
                                zap_notes_);
        explained += hung_up || cryptographic;
    }
    return explained;
}

void Receiver::read_messages(Clock::time_point now) {
    for (int n = 0; n < round_messages; ++n) {
        zmq::message_t id;
        if (!recv_now(socket_, id))
            break;
        // The frames of one message arrive together: the rest is there.
        zmq::message_t body;
        if (!id.more() || !socket_.recv(body, zmq::recv_flags::dontwait))
            continue;
        std::string peer(id.data<char>(), id.size());
        if (body.more()) {
            // The format is one frame per message; the rest is dropped with the first.
            std::size_t size = body.size();
            while (body.more() && socket_.recv(body, zmq::recv_flags::dontwait))
                size += body.size();
            ++messages;
            bytes += size;
            ++dropped;
            note(QStringLiteral("ZmqQueue: dropped a malformed message: more than one frame"));
            continue;
        }
        const Peek peek = peek_message(body.data<char>(), body.size());
        if (peek.kind == Peek::Control) {
            try {
                decode_frame(body.data<char>(), body.size(), limits_, control_);
                const Control c = parse_control(control_);
                if (c.sync)
                    on_sync(peer, *c.sync, now);
                else if (c.seal)
                    on_seal(peer);
                else
                    throw DecodeError("a consumer does not take '" +
                                      control_.front().as_str().toStdString() + "'");
            } catch (const DecodeError& e) {
                note(QStringLiteral("ZmqQueue: dropped a control message: %1")
                         .arg(QString::fromUtf8(e.what())));
            }
            continue;
        }
        ++messages;
        bytes += body.size();
        if (peek.kind == Peek::Foreign) {
            ++dropped;
            note(QStringLiteral("ZmqQueue: dropped a message of wire format %1; this consumer "
                                "reads format %2: update the producer")
                     .arg(peek.version)
                     .arg(wire_version));
            if (refused_.insert(peer).second) {
                const QByteArray answer =
                    encode_refused(QStringLiteral("this consumer reads wire format %1 only, not %2")
                                       .arg(wire_version)
                                       .arg(peek.version));
                try {
                    socket_.send(zmq::const_buffer(peer.data(), peer.size()),
                                 zmq::send_flags::sndmore | zmq::send_flags::dontwait);
                    socket_.send(zmq::const_buffer(answer.constData(),
                                                   static_cast<std::size_t>(answer.size())),
                                 zmq::send_flags::dontwait);
                } catch (const zmq::error_t&) {
                    // gone already: nobody to tell
                }
            }
            continue;
        }
        // A message the header of which cannot be read still joins the backlog: decoding
        // it there reports what is wrong with it, in its place among the others.
        const std::size_t size = body.size();
        accept(std::move(peer), std::move(body), 0, size, peek, now);
    }
}

void Receiver::accept(std::string peer, zmq::message_t&& body, std::size_t offset, std::size_t size,
                      const Peek& peek, Clock::time_point now) {
    const char* const data = body.data<char>() + offset;
    const std::uint64_t seq = peek.kind == Peek::Data ? peek.seq : 0;
    if (!ledger_.received(peer, seq, size, now)) {
        ++dropped;
        ++beyond_credit_;
        return;
    }
    if (round_tap_)
        round_tap_(data, size, unix_time_ns());
    held_items += peek.items;
    held_bytes += size;
    arrived_.push_back(Held{std::move(body), std::move(peer), peek.items, offset, size});
}

void Receiver::read_sealed(Clock::time_point now) {
    if (!sealed_)
        return;
    sealed_->receive(round_messages, [&](const std::string& peer, zmq::message_t&& body,
                                         std::size_t offset, std::size_t size) {
        ++messages;
        bytes += size;
        // Only data travels sealed: the rest of the conversation stays on the connection
        // that carries the answers. A data message whose header cannot be read joins the
        // backlog, as on that connection, for the decoder to say what is wrong with it.
        const Peek peek = peek_message(body.data<char>() + offset, size);
        if (peek.kind == Peek::Control || peek.kind == Peek::Foreign) {
            ++dropped;
            note(QStringLiteral("ZmqQueue: dropped a sealed message that was not a data "
                                "message of wire format %1")
                     .arg(wire_version));
            return;
        }
        accept(peer, std::move(body), offset, size, peek, now);
    });
    const std::uint64_t refused = sealed_->take_refused();
    if (refused > 0) {
        dropped += refused;
        // Anyone may reach the port: say so now and then, not for every message.
        if (now - last_unsealed_note_ >= std::chrono::seconds(10)) {
            last_unsealed_note_ = now;
            note(QStringLiteral("ZmqQueue: dropped %1 messages on the sealed data port %2 "
                                "that were not sealed for a producer of this queue, altered "
                                "on the way, or sent again")
                     .arg(refused)
                     .arg(sealed_->port()));
        }
    }
}

void Receiver::on_sync(const std::string& peer, const Sync& sync, Clock::time_point now) {
    if (sealed_ && sealed_->has_channel(peer) && ledger_.acked(peer) < sync.last_seq) {
        auto [it, fresh] = waiting_syncs_.try_emplace(peer, WaitingSync{sync, now});
        if (!fresh) {
            it->second.sync.last_seq = std::max(it->second.sync.last_seq, sync.last_seq);
            it->second.sync.closing = it->second.sync.closing || sync.closing;
        }
        return;
    }
    waiting_syncs_.erase(peer);
    ledger_.sync(peer, sync.last_seq, sync.closing, now);
}

void Receiver::settle_syncs(Clock::time_point now) {
    // Sealed messages follow their sync within a round trip unless they were lost.
    constexpr auto longest_wait = std::chrono::seconds(1);
    for (auto it = waiting_syncs_.begin(); it != waiting_syncs_.end();) {
        if (ledger_.acked(it->first) >= it->second.sync.last_seq ||
            now - it->second.since >= longest_wait) {
            ledger_.sync(it->first, it->second.sync.last_seq, it->second.sync.closing, now);
            it = waiting_syncs_.erase(it);
        } else {
            ++it;
        }
    }
}

void Receiver::on_seal(const std::string& peer) {
    // Without a port (an ipc endpoint, or none could be bound), or with as many channels
    // as a consumer needs, the answer is port 0: the producer keeps to this connection.
    constexpr std::size_t most_channels = 4096;
    const bool offered =
        sealed_ && (sealed_->channels() < most_channels || sealed_->has_channel(peer));
    const QByteArray answer = encode_sealed(offered ? sealed_->offer(peer) : Sealed{});
    try {
        if (socket_.send(zmq::const_buffer(peer.data(), peer.size()),
                         zmq::send_flags::sndmore | zmq::send_flags::dontwait))
            socket_.send(
                zmq::const_buffer(answer.constData(), static_cast<std::size_t>(answer.size())),
                zmq::send_flags::dontwait);
    } catch (const zmq::error_t&) {
        if (offered)
            sealed_->forget(peer); // gone already
    }
}

void Receiver::answer_producers(Clock::time_point now) {
    grants_.clear();
    ledger_.grants(grants_, now);
    for (const Grant& g : grants_) {
        // Its last message is in (a closing sync waits for it): its channel closes.
        if (g.farewell && sealed_)
            sealed_->forget(g.peer);
        const QByteArray body =
            encode_credit({session_, g.base, g.acked, g.window_msgs, g.window_bytes});
        try {
            // An answer that does not fit the producer's queue now is left out: a
            // producer that waits asks again.
            if (socket_.send(zmq::const_buffer(g.peer.data(), g.peer.size()),
                             zmq::send_flags::sndmore | zmq::send_flags::dontwait))
                socket_.send(
                    zmq::const_buffer(body.constData(), static_cast<std::size_t>(body.size())),
                    zmq::send_flags::dontwait);
        } catch (const zmq::error_t& e) {
            if (e.num() != EHOSTUNREACH)
                throw;
            ledger_.gone(g.peer);
            if (sealed_)
                sealed_->forget(g.peer);
            waiting_syncs_.erase(g.peer);
        }
    }
    producers = ledger_.producers();
    const Clock::time_point since = ledger_.held_back_since();
    held_since = since == Clock::time_point{} ? 0 : since.time_since_epoch().count();
}

} // namespace tellurix::lumenfold::transport::detail
