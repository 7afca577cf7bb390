#include "keys.h"

#include <tellurix/lumenfold/transport.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <zmq.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tellurix::lumenfold::transport::detail {

namespace {

constexpr std::size_t z85_key_size = 40;

std::runtime_error failure(const char* who, const QString& text) {
    return std::runtime_error((QLatin1String(who) + QStringLiteral(": ") + text).toStdString());
}

QString system_error() {
    return QString::fromLocal8Bit(::strerror(errno));
}

// The first line that is neither empty nor a comment, trimmed. (No key begins with '#':
// the first of each five Z85 characters stays below the last ones of the alphabet.)
std::string first_key_line(const QByteArray& text) {
    for (const QByteArray& line : text.split('\n')) {
        const QByteArray t = line.trimmed();
        if (!t.isEmpty() && !t.startsWith('#'))
            return t.toStdString();
    }
    return {};
}

void write_file(const QString& path, const std::string& text, mode_t mode) {
    const QByteArray name = QFile::encodeName(path);
    // O_EXCL after unlink: the mode is set at creation, never widened by an old file.
    ::unlink(name.constData());
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0)
        throw failure("keys", QStringLiteral("cannot create %1: %2").arg(path, system_error()));
    const std::string line = text + "\n";
    const bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::fchmod(fd, mode); // whatever the umask took away or added
    ::close(fd);
    if (!ok)
        throw failure("keys", QStringLiteral("cannot write %1").arg(path));
}

} // namespace

bool is_z85_key(const std::string& text) {
    if (text.size() != z85_key_size)
        return false;
    std::uint8_t bytes[32];
    return zmq_z85_decode(bytes, text.c_str()) != nullptr;
}

KeyPair generate_keys() {
    char public_key[41], secret_key[41];
    if (zmq_curve_keypair(public_key, secret_key) != 0)
        throw std::runtime_error(
            "keys: this ZeroMQ library was built without CURVE security (libsodium)");
    return {public_key, secret_key};
}

void write_keys(const QString& path, const KeyPair& keys) {
    const QString dir = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(dir))
        throw failure("keys", QStringLiteral("cannot create the directory %1").arg(dir));
    write_file(path, keys.secret_z85, 0600);
    write_file(path + QStringLiteral(".pub"), keys.public_z85, 0644);
}

KeyPair load_keys(const QString& path, const char* who) {
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0)
        throw failure(who,
                      QStringLiteral("cannot read the key file %1: %2").arg(path, system_error()));
    if (!S_ISREG(st.st_mode))
        throw failure(who, QStringLiteral("the key file %1 is not a regular file").arg(path));
    // A secret others can read is no secret: refuse it rather than trust it.
    if (st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
        throw failure(who, QStringLiteral("the secret key file %1 must belong to user %2 and be "
                                          "readable by its owner only (it has mode %3, owner %4); "
                                          "run chmod 600 on it, or make a new key")
                               .arg(path)
                               .arg(static_cast<qulonglong>(::getuid()))
                               .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'))
                               .arg(static_cast<qulonglong>(st.st_uid)));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw failure(
            who, QStringLiteral("cannot read the key file %1: %2").arg(path, file.errorString()));
    const std::string secret = first_key_line(file.read(4096));
    if (!is_z85_key(secret))
        throw failure(who, QStringLiteral("%1 holds no secret key: expected 40 characters of Z85 "
                                          "on one line")
                               .arg(path));
    char public_key[41];
    if (zmq_curve_public(public_key, secret.c_str()) != 0)
        throw failure(who, QStringLiteral("cannot derive the public key of %1: this ZeroMQ "
                                          "library was built without CURVE security")
                               .arg(path));
    return {public_key, secret};
}

KeyPair load_or_create_keys(const QString& path, const char* who, bool* created) {
    const bool missing = !QFileInfo::exists(path) && !QFileInfo(path).isSymLink();
    if (missing)
        write_keys(path, generate_keys());
    if (created)
        *created = missing;
    return load_keys(path, who);
}

} // namespace tellurix::lumenfold::transport::detail

namespace tellurix::lumenfold::transport {

QString write_key_pair(const QString& path) {
    const detail::KeyPair keys = detail::generate_keys();
    detail::write_keys(path, keys);
    return QString::fromStdString(keys.public_z85);
}

} // namespace tellurix::lumenfold::transport
