// What a consumer checks at the file system path of an ipc endpoint before it binds and
// after it leaves.
#pragma once

#include <QByteArray>
#include <QString>

namespace tellurix::lumenfold::transport::detail {

enum class IpcPath { None, Stale, Live, NotSocket, TooLong };

/// What sits at `path`: nothing, a socket nobody listens on, a live one, something else.
IpcPath ipc_path_state(const QByteArray& path);

/// The socket file of an ipc endpoint; empty for other transports and the abstract
/// namespace.
QByteArray ipc_file(const QString& endpoint);

/// ZeroMQ removes whatever file sits at an ipc path before binding, which would silently
/// take the endpoint from a consumer that is still alive. So a socket file is removed only
/// when nobody accepts connections on it any more; otherwise std::runtime_error.
void clear_stale_ipc(const QString& endpoint);

[[noreturn]] void bind_failed(const QString& endpoint, const QString& reason);

} // namespace tellurix::lumenfold::transport::detail
