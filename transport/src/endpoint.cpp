#include <tellurix/lumenfold/transport.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tellurix::lumenfold::transport {

QString default_endpoint() {
    const QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return QStringLiteral("ipc://") + QDir(runtime).filePath(QStringLiteral("lumenfold.ipc"));
    // /tmp is everyone's: the socket lives in a directory of this user's own (see
    // detail::claim_private_dir), so that nobody else can take or watch the endpoint.
    return QStringLiteral("ipc:///tmp/lumenfold-%1/queue.ipc")
        .arg(static_cast<qulonglong>(::getuid()));
}

namespace detail {

void claim_private_dir(const QString& endpoint, bool create, const char* who) {
    if (!endpoint.startsWith(QLatin1String("ipc://")))
        return;
    const QFileInfo socket(endpoint.mid(6));
    const QString dir = socket.path();
    const QString own = QStringLiteral("lumenfold-%1").arg(static_cast<qulonglong>(::getuid()));
    if (QFileInfo(dir).fileName() != own)
        return;
    const QByteArray path = QFile::encodeName(dir);
    struct stat st {};
    if (::lstat(path.constData(), &st) != 0) {
        if (errno != ENOENT)
            throw std::runtime_error(
                QStringLiteral("%1: cannot examine %2: %3")
                    .arg(QLatin1String(who), dir, QString::fromLocal8Bit(::strerror(errno)))
                    .toStdString());
        if (!create)
            return; // the consumer makes it when it starts
        if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error(
                QStringLiteral("%1: cannot create %2: %3")
                    .arg(QLatin1String(who), dir, QString::fromLocal8Bit(::strerror(errno)))
                    .toStdString());
        if (::lstat(path.constData(), &st) != 0)
            throw std::runtime_error(QStringLiteral("%1: %2 vanished after it was made")
                                         .arg(QLatin1String(who), dir)
                                         .toStdString());
    }
    // Made by someone else first, or opened up to others: refuse rather than talk through it.
    if (!S_ISDIR(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
        throw std::runtime_error(
            QStringLiteral("%1: %2 must be a directory of user %3 that only its owner may enter "
                           "(it is owned by %4, mode %5); remove it, or set XDG_RUNTIME_DIR")
                .arg(QLatin1String(who), dir)
                .arg(static_cast<qulonglong>(::getuid()))
                .arg(static_cast<qulonglong>(st.st_uid))
                .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'))
                .toStdString());
}

} // namespace detail

namespace {

// ZeroMQ reads a tcp port into 16 bits without a range check: port 70000 would become
// 4464, a consumer and a producer both given "70000" would meet there, and a typing
// error would reach someone else's service. Ports are whole numbers from 1 to 65535, or
// "*" where a free one is wanted; `port` is the text after the last colon.
void check_port(const QString& port, const QString& endpoint) {
    if (port.isEmpty() || port == QLatin1String("*"))
        return;
    for (const QChar c : port)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return; // not a number: ZeroMQ names what is wrong with it
    bool ok = false;
    const qulonglong value = port.toULongLong(&ok);
    if (!ok || value < 1 || value > 65535)
        throw std::runtime_error(QStringLiteral("endpoint '%1': port %2 is out of range (1-65535)")
                                     .arg(endpoint, port)
                                     .toStdString());
}

// Every address of a tcp endpoint (ZeroMQ accepts "tcp://source:port;address:port").
void check_tcp_ports(const QString& endpoint) {
    const QString addresses = endpoint.mid(6);
    for (const QString& address : addresses.split(QLatin1Char(';'))) {
        const int colon = address.lastIndexOf(QLatin1Char(':'));
        if (colon >= 0 && !address.midRef(colon + 1).contains(QLatin1Char(']')))
            check_port(address.mid(colon + 1), endpoint);
    }
}

} // namespace

QString normalize_endpoint(const QString& endpoint) {
    QString text = endpoint.trimmed(); // not const: returned by move
    if (text.isEmpty())
        return default_endpoint();
    // A port alone, or a tcp endpoint without an address: this machine only.
    static const QRegularExpression port_only(QStringLiteral("^(?:tcp://:?)?(\\d+|\\*)$"));
    const QRegularExpressionMatch m = port_only.match(text);
    if (m.hasMatch()) {
        check_port(m.captured(1), text);
        return QStringLiteral("tcp://127.0.0.1:") + m.captured(1);
    }
    if (text.startsWith(QLatin1Char('/')))
        return QStringLiteral("ipc://") + text;
    if (text.startsWith(QLatin1String("tcp://")))
        check_tcp_ports(text);
    return text;
}

} // namespace tellurix::lumenfold::transport

namespace tellurix::lumenfold::transport {

bool reaches_beyond_this_machine(const QString& endpoint) {
    const int scheme_end = endpoint.indexOf(QLatin1String("://"));
    if (scheme_end < 0)
        return false; // not an endpoint ZeroMQ would bind; the bind says so
    const QString scheme = endpoint.left(scheme_end);
    if (scheme == QLatin1String("ipc") || scheme == QLatin1String("inproc"))
        return false;
    QString address = endpoint.mid(scheme_end + 3);
    // A source address ("tcp://a;b") picks the interface of the far end, not ours.
    address = address.section(QLatin1Char(';'), -1);
    const int colon = address.lastIndexOf(QLatin1Char(':'));
    QString host = colon < 0 ? address : address.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    static const QRegularExpression loopback_v4(
        QStringLiteral("^127\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}$"));
    return !(loopback_v4.match(host).hasMatch() || host == QLatin1String("::1") ||
             host == QLatin1String("localhost") || host == QLatin1String("lo"));
}

} // namespace tellurix::lumenfold::transport
