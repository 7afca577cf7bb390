#include "zap.h"

#include "keys.h"

#include <QFile>

#include <sys/stat.h>

namespace tellurix::lumenfold::transport::detail {

namespace {

std::string text_of(const zmq::message_t& frame) {
    return std::string(frame.data<char>(), frame.size());
}

} // namespace

std::set<std::string> parse_authorized(const QByteArray& text, std::vector<int>* bad_lines) {
    std::set<std::string> keys;
    int number = 0;
    for (const QByteArray& raw : text.split('\n')) {
        ++number;
        const QByteArray line = raw.simplified();
        if (line.isEmpty())
            continue;
        // '#' is a Z85 character, so a comment after a key starts after a space; no key
        // begins with one, so a line that does is a comment.
        const QByteArray word = line.left(line.indexOf(' ') < 0 ? line.size() : line.indexOf(' '));
        const QByteArray rest = line.mid(word.size()).trimmed();
        const std::string key = word.toStdString();
        if (line.startsWith('#'))
            continue;
        if (is_z85_key(key) && (rest.isEmpty() || rest.startsWith('#')))
            keys.insert(key);
        else if (bad_lines)
            bad_lines->push_back(number);
    }
    return keys;
}

ZapHandler::ZapHandler(zmq::context_t& context, QString authorized_file)
    : socket_(context, zmq::socket_type::rep)
    , file_(std::move(authorized_file)) {
    socket_.set(zmq::sockopt::linger, 0);
    // ZeroMQ asks whatever listens here, for every socket of this context.
    socket_.bind("inproc://zeromq.zap.01");
}

ZapHandler::~ZapHandler() = default;

void ZapHandler::refresh(std::vector<QString>& notes) {
    const QByteArray name = QFile::encodeName(file_);
    struct stat st {};
    if (::stat(name.constData(), &st) != 0) {
        keys_.clear();
        size_ = -1;
        if (!missing_noted_)
            notes.push_back(QStringLiteral("ZmqQueue: no authorized producers file at %1: every "
                                           "producer is refused until it lists their public keys")
                                .arg(file_));
        missing_noted_ = true;
        return;
    }
    missing_noted_ = false;
    if (st.st_mtim.tv_sec == mtime_.tv_sec && st.st_mtim.tv_nsec == mtime_.tv_nsec &&
        st.st_size == size_ && st.st_ino == inode_)
        return;
    QFile file(file_);
    if (!file.open(QIODevice::ReadOnly)) {
        notes.push_back(QStringLiteral("ZmqQueue: cannot read the authorized producers file %1: %2")
                            .arg(file_, file.errorString()));
        return; // the keys read before stay
    }
    std::vector<int> bad;
    keys_ = parse_authorized(file.readAll(), &bad);
    mtime_ = st.st_mtim;
    size_ = st.st_size;
    inode_ = st.st_ino;
    for (int line : bad)
        notes.push_back(QStringLiteral("ZmqQueue: %1:%2 is not a public key (40 characters of "
                                       "Z85); skipped")
                            .arg(file_)
                            .arg(line));
}

bool ZapHandler::allowed(const std::string& address, const std::string& mechanism,
                         const std::string& key, std::vector<QString>& notes) {
    if (mechanism == "CURVE" && key.size() == 32) {
        char z85[41];
        zmq_z85_encode(z85, reinterpret_cast<const std::uint8_t*>(key.data()), 32);
        refresh(notes);
        if (keys_.count(z85))
            return true;
        // A refused producer tries again and again: tell once.
        if (refused_.insert({address, z85}).second)
            notes.push_back(QStringLiteral("ZmqQueue: refused a producer at %1 with key %2: "
                                           "the key is not listed in %3")
                                .arg(QString::fromStdString(address), QLatin1String(z85), file_));
        return false;
    }
    refused_early(address, mechanism,
                  QStringLiteral("it does not use CURVE encryption (%1)")
                      .arg(QString::fromStdString(mechanism)),
                  notes);
    return false;
}

void ZapHandler::refused_early(const std::string& address, const std::string& what,
                               const QString& why, std::vector<QString>& notes) {
    const auto now = std::chrono::steady_clock::now();
    if (address.empty()) {
        // The producer refused with its address a moment ago, trying again: told already.
        const auto placed = placed_.find(what);
        if (placed != placed_.end() && now - placed->second < std::chrono::seconds(10))
            return;
        unplaced_.emplace(what, std::make_pair(now, why));
        return;
    }
    placed_[what] = now;
    unplaced_.erase(what);
    // The same producer trying again, its address read this time (on a loaded machine
    // the first tries can all lose theirs): it was told and counted once already, so
    // the address is added to that, not told as a second producer.
    const auto told = told_unplaced_.find(what);
    if (told != told_unplaced_.end()) {
        const bool recent = now - told->second < std::chrono::seconds(10);
        told_unplaced_.erase(told);
        if (recent && refused_.erase({std::string(), what}) > 0) {
            if (refused_.insert({address, what}).second)
                notes.push_back(QStringLiteral("ZmqQueue: the producer refused just before "
                                               "without its address is at %1")
                                    .arg(QString::fromStdString(address)));
            return;
        }
    }
    if (refused_.insert({address, what}).second)
        notes.push_back(QStringLiteral("ZmqQueue: refused a producer at %1: %2")
                            .arg(QString::fromStdString(address), why));
}

void ZapHandler::tell_unplaced(std::vector<QString>& notes) {
    const auto due = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    for (auto at = unplaced_.begin(); at != unplaced_.end();) {
        if (at->second.first > due) {
            ++at;
            continue;
        }
        if (refused_.insert({std::string(), at->first}).second) {
            told_unplaced_[at->first] = std::chrono::steady_clock::now();
            notes.push_back(QStringLiteral("ZmqQueue: refused a producer whose address was "
                                           "gone before it could be read: %1")
                                .arg(at->second.second));
        }
        at = unplaced_.erase(at);
    }
}

void ZapHandler::serve(std::vector<QString>& notes) {
    tell_unplaced(notes);
    std::vector<zmq::message_t> request;
    for (;;) {
        request.clear();
        zmq::message_t frame;
        if (!socket_.recv(frame, zmq::recv_flags::dontwait))
            return;
        request.push_back(std::move(frame));
        while (request.back().more()) {
            zmq::message_t next;
            (void)socket_.recv(next);
            request.push_back(std::move(next));
        }
        // version, request id, domain, address, routing id, mechanism, credentials...
        const bool well_formed = request.size() >= 6 && text_of(request[0]) == "1.0";
        const std::string id = request.size() > 1 ? text_of(request[1]) : std::string();
        bool ok = false;
        if (well_formed)
            ok = allowed(text_of(request[3]), text_of(request[5]),
                         request.size() > 6 ? text_of(request[6]) : std::string(), notes);
        const std::string code = ok ? "200" : "400";
        const std::string reason = ok ? "OK" : "key not authorized";
        socket_.send(zmq::buffer(std::string("1.0")), zmq::send_flags::sndmore);
        socket_.send(zmq::buffer(id), zmq::send_flags::sndmore);
        socket_.send(zmq::buffer(code), zmq::send_flags::sndmore);
        socket_.send(zmq::buffer(reason), zmq::send_flags::sndmore);
        socket_.send(zmq::buffer(std::string()), zmq::send_flags::sndmore);
        socket_.send(zmq::buffer(std::string()), zmq::send_flags::none);
    }
}

} // namespace tellurix::lumenfold::transport::detail
