#include <tellurix/lumenfold/transport.h>

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <unistd.h>

namespace tellurix::lumenfold::transport {

QString default_endpoint() {
    const QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        return QStringLiteral("ipc://") + QDir(runtime).filePath(QStringLiteral("lumenfold.ipc"));
    return QStringLiteral("ipc:///tmp/lumenfold-%1.ipc").arg(static_cast<qulonglong>(::getuid()));
}

QString normalize_endpoint(const QString& endpoint) {
    const QString text = endpoint.trimmed();
    if (text.isEmpty())
        return default_endpoint();
    // A port alone, or a tcp endpoint without an address: this machine only.
    static const QRegularExpression port_only(QStringLiteral("^(?:tcp://:?)?(\\d+|\\*)$"));
    const QRegularExpressionMatch m = port_only.match(text);
    if (m.hasMatch())
        return QStringLiteral("tcp://127.0.0.1:") + m.captured(1);
    if (text.startsWith(QLatin1Char('/')))
        return QStringLiteral("ipc://") + text;
    return text;
}

} // namespace tellurix::lumenfold::transport
