#include "ipc_path.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tellurix::lumenfold::transport::detail {

[[noreturn]] void bind_failed(const QString& endpoint, const QString& reason) {
    throw std::runtime_error(
        QStringLiteral("ZmqQueue: cannot bind %1: %2").arg(endpoint, reason).toStdString());
}

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

QByteArray ipc_file(const QString& endpoint) {
    if (!endpoint.startsWith(QLatin1String("ipc://")))
        return QByteArray();
    const QByteArray path = endpoint.mid(6).toLocal8Bit();
    return path.startsWith('@') ? QByteArray() : path;
}

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

} // namespace tellurix::lumenfold::transport::detail
