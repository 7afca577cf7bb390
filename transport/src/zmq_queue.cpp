#include <tellurix/lumenfold/transport.h>

#include "ipc_path.h"
#include "receiver.h"
#include "wire.h"

#include <deque>

#include <unistd.h>

namespace tellurix::lumenfold::transport {

namespace {

// Room is handed back to the receiving thread at least this often while the host works
// through a long backlog, so that producers need not wait for the host to finish it: every
// so many messages, or every such part of the backlog's bytes, whichever comes first (64
// messages of 1 MiB would be the whole default backlog, and the producer would stand
// idle while the host works through it).
constexpr std::size_t release_every = 64;
constexpr std::size_t release_parts = 16;

// A message is checked whole when the host reaches it, and its items are then built a
// slice at a time as the host takes them: a message of ten thousand records built at once
// would spread its items over megabytes, and building and dropping them there cost half
// as much again per item as in a slice that stays in the cache.
constexpr std::uint32_t slice_items = 256;
constexpr std::size_t slice_bytes = std::size_t{256} * 1024;

} // namespace

struct ZmqQueue::Flow {
    std::unique_ptr<detail::Receiver> receiver;
    // Messages taken from the receiver, oldest first.
    std::deque<detail::Held> held;
    // The message whose items are being taken, and where its next item is.
    detail::Held current;
    detail::ItemCursor cursor;
    std::vector<detail::Released> released;
    std::size_t released_bytes = 0;
    std::vector<QString> warnings;
};

ZmqQueue::ZmqQueue(const QString& endpoint, const Limits& limits)
    : ZmqQueue(endpoint, limits, Security()) {}

ZmqQueue::ZmqQueue(const QString& endpoint, const Limits& limits, const Security& security)
    : flow_(std::make_unique<Flow>())
    , limits_(limits) {
    const QString resolved = normalize_endpoint(endpoint);
    // Anyone who reaches an open port may inject commands and read the data.
    if (security.key_file.isEmpty() && !security.allow_insecure_network &&
        reaches_beyond_this_machine(resolved))
        throw std::runtime_error(
            QStringLiteral("ZmqQueue: %1 listens beyond this machine without encryption; "
                           "secure it (--secure: Security::key_file and authorized_producers), "
                           "listen on 127.0.0.1 or ipc, or allow it on a network you trust "
                           "(--insecure: Security::allow_insecure_network)")
                .arg(resolved)
                .toStdString());
    detail::claim_private_dir(resolved, true, "ZmqQueue");
    detail::clear_stale_ipc(resolved);
    flow_->receiver = std::make_unique<detail::Receiver>(resolved, limits, security);
}

ZmqQueue::~ZmqQueue() {
    const QByteArray file = detail::ipc_file(endpoint());
    flow_->receiver.reset();
    // ZeroMQ leaves the socket file behind; remove it unless someone bound there since.
    if (!file.isEmpty() && detail::ipc_path_state(file) == detail::IpcPath::Stale)
        ::unlink(file.constData());
}

QString ZmqQueue::endpoint() const {
    return flow_->receiver->endpoint();
}

std::uint64_t ZmqQueue::messages() const noexcept {
    return flow_->receiver->messages;
}

std::uint64_t ZmqQueue::dropped_messages() const noexcept {
    return flow_->receiver->dropped + dropped_here_;
}

std::uint64_t ZmqQueue::bytes() const noexcept {
    return flow_->receiver->bytes;
}

std::uint64_t ZmqQueue::backlog_items() const noexcept {
    return flow_->receiver->held_items + (pending_.size() - next_) + flow_->cursor.left;
}

std::uint64_t ZmqQueue::backlog_bytes() const noexcept {
    return flow_->receiver->held_bytes;
}

std::size_t ZmqQueue::producers() const noexcept {
    return flow_->receiver->producers;
}

std::chrono::milliseconds ZmqQueue::held_back_for() const {
    const detail::Clock::rep since = flow_->receiver->held_since;
    if (since == 0)
        return std::chrono::milliseconds(0);
    // Rounded up: a wait shorter than a millisecond is still a wait, and zero means none.
    return std::max(
        std::chrono::milliseconds(1),
        std::chrono::ceil<std::chrono::milliseconds>(
            detail::Clock::now() - detail::Clock::time_point(detail::Clock::duration(since))));
}

QString ZmqQueue::public_key() const {
    return flow_->receiver->public_key();
}

std::uint64_t ZmqQueue::refused_producers() const noexcept {
    return flow_->receiver->refused_producers;
}

void ZmqQueue::set_tap(Tap tap) {
    flow_->receiver->set_tap(std::move(tap));
}

void ZmqQueue::settle() {
    Flow& f = *flow_;
    f.receiver->release(f.released);
    f.released_bytes = 0;
    for (const QString& w : f.warnings)
        host::warn(w);
    f.warnings.clear();
}

void ZmqQueue::take_message() {
    Flow& f = *flow_;
    f.current = std::move(f.held.front());
    f.held.pop_front();
    const detail::Held& held = f.current;
    f.receiver->held_items -= held.items;
    f.receiver->held_bytes -= held.size;
    f.released.push_back({held.peer, held.size});
    f.released_bytes += held.size;
    if (f.released.size() >= release_every ||
        f.released_bytes >= limits_.max_backlog_bytes / release_parts) {
        f.receiver->release(f.released);
        f.released_bytes = 0;
    }
    next_ = 0;
    const char* const data = held.data();
    const std::size_t size = held.size;
    try {
        // A message of one slice or less is built at once, in one pass.
        if (held.items <= slice_items) {
            if (detail::decode_frame(data, size, limits_, pending_).control)
                throw DecodeError("a control message among the data");
            items_ += pending_.size();
            f.current = detail::Held();
            return;
        }
        if (detail::check_frame(data, size, limits_, pending_, f.cursor).control)
            throw DecodeError("a control message among the data");
        items_ += f.cursor.left;
    } catch (const DecodeError& e) {
        f.cursor = detail::ItemCursor();
        f.current = detail::Held();
        ++dropped_here_;
        host::warn(QStringLiteral("ZmqQueue: dropped a malformed message: %1")
                       .arg(QString::fromUtf8(e.what())));
    }
    pending_.clear();
}

bool ZmqQueue::empty() {
    Flow& f = *flow_;
    while (next_ == pending_.size()) {
        if (f.cursor.left > 0) {
            next_ = 0;
            detail::decode_items(f.current.data(), f.current.size, limits_, f.cursor, slice_items,
                                 slice_bytes, pending_);
            if (f.cursor.left == 0)
                f.current = detail::Held();
            continue;
        }
        if (f.held.empty()) {
            f.receiver->take(f.held, f.warnings, 0);
            settle();
            if (f.held.empty())
                return true;
        }
        take_message();
    }
    return false;
}

host::Value ZmqQueue::get() {
    Flow& f = *flow_;
    while (empty()) {
        f.receiver->take(f.held, f.warnings, 100);
        settle();
    }
    return std::move(pending_[next_++]);
}

} // namespace tellurix::lumenfold::transport
