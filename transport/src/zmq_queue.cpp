#include <tellurix/lumenfold/transport.h>

#include "wire.h"

#include <zmq.hpp>

#include <cerrno>
#include <cstring>
#include <string>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tellurix::lumenfold::transport {

namespace {

[[noreturn]] void bind_failed(const QString& endpoint, const QString& reason) {
    throw std::runtime_error(
        QStringLiteral("ZmqQueue: cannot bind %1: %2").arg(endpoint, reason).toStdString());
}

enum class IpcPath { None, Stale, Live, NotSocket, TooLong };

// What sits at the file system path of an ipc endpoint.
IpcPath ipc_path_state(const QByteArray& path) {
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0)
        return IpcPath::None;
    if (!S_ISSOCK(st.st_mode))
        return IpcPath::NotSocket;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (static_cast<std::size_t>(path.size()) >= sizeof addr.sun_path)
        return IpcPath::TooLong;
    std::memcpy(addr.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return IpcPath::Live; // cannot tell: assume someone is there
    const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int error = errno;
    ::close(fd);
    if (rc == 0)
        return IpcPath::Live;
    return error == ECONNREFUSED ? IpcPath::Stale : IpcPath::Live;
}

// The socket file of an ipc endpoint; empty for other transports and the abstract
// namespace.
QByteArray ipc_file(const QString& endpoint) {
    if (!endpoint.startsWith(QLatin1String("ipc://")))
        return QByteArray();
    const QByteArray path = endpoint.mid(6).toLocal8Bit();
    return path.startsWith('@') ? QByteArray() : path;
}

// ZeroMQ removes whatever file sits at an ipc path before binding, which would silently
// take the endpoint from a consumer that is still alive. So a socket file is removed only
// when nobody accepts connections on it any more.
void clear_stale_ipc(const QString& endpoint) {
    const QByteArray path = ipc_file(endpoint);
    if (path.isEmpty())
        return;
    switch (ipc_path_state(path)) {
    case IpcPath::None:
        return;
    case IpcPath::Stale:
        ::unlink(path.constData());
        return;
    case IpcPath::Live:
        bind_failed(endpoint, QStringLiteral("address in use (another consumer listens there)"));
    case IpcPath::NotSocket:
        bind_failed(endpoint, QStringLiteral("the path exists and is not a socket"));
    case IpcPath::TooLong:
        bind_failed(endpoint, QStringLiteral("the path is too long for a local socket"));
    }
}

} // namespace

struct ZmqQueue::Socket {
    zmq::context_t context{1};
    zmq::socket_t socket{context, zmq::socket_type::pull};
};

ZmqQueue::ZmqQueue(const QString& endpoint, const Limits& limits)
    : socket_(std::make_unique<Socket>())
    , limits_(limits) {
    const QString resolved = normalize_endpoint(endpoint);
    detail::claim_private_dir(resolved, true, "ZmqQueue");
    clear_stale_ipc(resolved);
    // No receive limit. When this side stops reading at its high-water mark and a producer
    // then closes an ipc connection, ZeroMQ sees the hang-up and drops what still sits
    // unread in the kernel: the producer's last items, though its close() succeeded.
    // Reading everything as it comes costs memory while the host lags behind, but loses
    // nothing.
    socket_->socket.set(zmq::sockopt::rcvhwm, 0);
    try {
        socket_->socket.bind(resolved.toStdString());
    } catch (const zmq::error_t& e) {
        bind_failed(resolved, QString::fromLocal8Bit(e.what()));
    }
}

ZmqQueue::~ZmqQueue() {
    const QByteArray file = ipc_file(endpoint());
    // Items still in transit are lost by design; do not keep the host waiting on them.
    socket_->socket.set(zmq::sockopt::linger, 0);
    socket_.reset();
    // ZeroMQ leaves the socket file behind; remove it unless someone bound there since.
    if (!file.isEmpty() && ipc_path_state(file) == IpcPath::Stale)
        ::unlink(file.constData());
}

QString ZmqQueue::endpoint() const {
    return QString::fromStdString(socket_->socket.get(zmq::sockopt::last_endpoint));
}

bool ZmqQueue::receive(bool wait) {
    zmq::message_t message;
    for (;;) {
        try {
            if (!socket_->socket.recv(message,
                                      wait ? zmq::recv_flags::none : zmq::recv_flags::dontwait))
                return false;
            break;
        } catch (const zmq::error_t& e) {
            if (e.num() != EINTR)
                throw;
        }
    }
    ++messages_;
    bytes_ += message.size();
    if (message.more()) {
        // The format is one frame per message; the frames of a multi-part message
        // arrive together, so the rest is waiting and is dropped with the first.
        while (message.more() && socket_->socket.recv(message, zmq::recv_flags::dontwait))
            bytes_ += message.size();
        ++dropped_;
        host::warn(QStringLiteral("ZmqQueue: dropped a malformed message: more than one frame"));
        return true;
    }
    try {
        // Only called once every pending item is taken: the message's items replace them.
        next_ = 0;
        detail::decode_into(message.data<char>(), message.size(), limits_, pending_);
        items_ += pending_.size();
    } catch (const DecodeError& e) {
        ++dropped_;
        host::warn(QStringLiteral("ZmqQueue: dropped a malformed message: %1")
                       .arg(QString::fromUtf8(e.what())));
    }
    return true;
}

bool ZmqQueue::empty() {
    while (next_ == pending_.size()) {
        if (!receive(false))
            return true;
    }
    return false;
}

host::Value ZmqQueue::get() {
    while (next_ == pending_.size())
        receive(true);
    return std::move(pending_[next_++]);
}

} // namespace tellurix::lumenfold::transport
