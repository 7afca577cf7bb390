#include "flow.h"

#include <cstring>

namespace tellurix::lumenfold::transport::detail {

namespace {

host::Value count(std::uint64_t n) {
    return static_cast<std::int64_t>(n);
}

[[noreturn]] void bad(const QString& word, const char* what) {
    throw DecodeError("control message '" + word.toStdString() + "': " + what);
}

std::uint64_t count_at(const std::vector<host::Value>& e, std::size_t i, const QString& word) {
    if (!e[i].is_int() || e[i].as_int() < 0)
        bad(word, "a count is not a non-negative integer");
    return static_cast<std::uint64_t>(e[i].as_int());
}

} // namespace

QByteArray encode_sync(const Sync& sync) {
    return encode_control({"sync", wire_version, count(sync.last_seq), sync.closing});
}

QByteArray encode_credit(const Credit& c) {
    return encode_control({"credit", wire_version, count(c.session), count(c.base), count(c.acked),
                           count(c.window_msgs), count(c.window_bytes)});
}

QByteArray encode_refused(const QString& reason) {
    return encode_control({"refused", wire_version, reason});
}

QByteArray encode_seal() {
    return encode_control({"seal", wire_version});
}

QByteArray encode_sealed(const Sealed& s) {
    return encode_control(
        {"sealed", wire_version, std::int64_t{s.port}, count(s.key.channel),
         host::Value::bytes(QByteArray(reinterpret_cast<const char*>(s.key.key.data()),
                                       static_cast<int>(s.key.key.size())))});
}

Control parse_control(const std::vector<host::Value>& e) {
    const QString& word = e.at(0).as_str();
    if (e.size() < 2 || !e[1].is_int())
        bad(word, "no version");
    if (e[1].as_int() != wire_version)
        throw DecodeError("control message of unsupported format version " +
                          host::text_form(e[1]).toStdString());
    Control c;
    if (word == QLatin1String("sync")) {
        if (e.size() != 4 || !e[3].is_bool())
            bad(word, "expected [\"sync\", 2, last_seq, closing]");
        c.sync = Sync{count_at(e, 2, word), e[3].as_bool()};
    } else if (word == QLatin1String("credit")) {
        if (e.size() != 7)
            bad(word, "expected 7 elements");
        c.credit = Credit{count_at(e, 2, word), count_at(e, 3, word), count_at(e, 4, word),
                          count_at(e, 5, word), count_at(e, 6, word)};
    } else if (word == QLatin1String("refused")) {
        if (e.size() != 3 || !e[2].is_str())
            bad(word, "expected [\"refused\", 2, reason]");
        c.refused = e[2].as_str();
    } else if (word == QLatin1String("seal")) {
        if (e.size() != 2)
            bad(word, "expected [\"seal\", 2]");
        c.seal = true;
    } else if (word == QLatin1String("sealed")) {
        if (e.size() != 5 || !e[4].is_bytes() ||
            e[4].as_bytes().size() != static_cast<int>(seal_key_bytes))
            bad(word, "expected [\"sealed\", 2, port, channel, key of 32 bytes]");
        const std::uint64_t port = count_at(e, 2, word);
        if (port > 65535)
            bad(word, "the port is not a tcp port");
        Sealed s;
        s.port = static_cast<std::uint16_t>(port);
        s.key.channel = count_at(e, 3, word);
        std::memcpy(s.key.key.data(), e[4].as_bytes().constData(), seal_key_bytes);
        c.sealed = s;
    } else {
        throw DecodeError("unknown control message '" + word.toStdString() + "'");
    }
    return c;
}

} // namespace tellurix::lumenfold::transport::detail
