#include <tellurix/lumenfold/scope/stderr_log.h>

#include <cstdio>

namespace tellurix::lumenfold::scope {

namespace {

constexpr auto second = std::chrono::seconds(1);
// A refused list of a million names is a legitimate message; a terminal line of megabytes
// is not.
constexpr int longest_text = 2000;

// One line whatever the text holds: names may contain newlines and other controls.
QString one_line(const QString& text) {
    QString out;
    out.reserve(std::min(text.size(), longest_text) + 16);
    int i = 0;
    for (; i < text.size() && out.size() < longest_text; ++i) {
        const QChar c = text[i];
        const ushort u = c.unicode();
        if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else if (u < 0x20 || u == 0x7F)
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else if (u == 0x85 || u == 0x2028 || u == 0x2029)
            out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    if (i < text.size())
        out += QStringLiteral("... (%1 more characters)").arg(text.size() - i);
    return out;
}

// Where the quoted part or bracketed group that opens at `from` ends (the index of its
// closing character), or -1 when it does not close: then the opening character is plain
// text, so that a message cut short still gets a key of its own.
int closing(const QString& text, int from) {
    const QChar open = text[from];
    if (open == QLatin1Char('\'') || open == QLatin1Char('"')) {
        for (int i = from + 1; i < text.size(); ++i) {
            if (text[i] == QLatin1Char('\\'))
                ++i;
            else if (text[i] == open)
                return i;
        }
        return -1;
    }
    int depth = 0;
    for (int i = from; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
            const int end = closing(text, i);
            if (end < 0)
                return -1;
            i = end;
        } else if (c == QLatin1Char('[')) {
            ++depth;
        } else if (c == QLatin1Char(']') && --depth == 0) {
            return i;
        }
    }
    return -1;
}

} // namespace

RateLimitedLog::RateLimitedLog(QString prefix, Sink sink)
    : prefix_(std::move(prefix))
    , sink_(std::move(sink)) {
    if (!sink_)
        sink_ = [](const QByteArray& line) {
            std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
            std::fputc('\n', stderr);
            std::fflush(stderr);
        };
}

RateLimitedLog::~RateLimitedLog() {
    flush_all();
}

QString RateLimitedLog::kind_of(const QString& full) {
    // The start of a message says what it is; the key stays cheap for a huge one.
    const QString text = full.left(longest_text);
    QString key;
    key.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c.isDigit()) {
            while (i + 1 < text.size() && text[i + 1].isDigit())
                ++i;
            key += QLatin1Char('#');
            continue;
        }
        if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('[')) {
            const int end = closing(text, i);
            if (end >= 0) {
                key += c;
                key += text[end];
                i = end;
                continue;
            }
        }
        key += c;
    }
    return key;
}

void RateLimitedLog::emit_line(const QString& severity, const QString& text, int more) {
    QString line = prefix_ + severity + QLatin1String(": ") + one_line(text);
    if (more > 0)
        line += QStringLiteral(" (and %1 more like it in the last second)").arg(more);
    sink_(line.toUtf8());
}

void RateLimitedLog::summarise(Kind& kind, Clock::time_point now) {
    // The last message left out stands for the others; they are counted.
    emit_line(kind.severity, kind.last_left_out, kind.left_out - 1);
    kind.left_out = 0;
    kind.last_left_out.clear();
    kind.second_ends = now + second; // the summary was a line of this kind too
}

void RateLimitedLog::write(const QString& severity, const QString& text, Clock::time_point now) {
    flush_due(now);
    const QString key = severity + QLatin1Char('\x1f') + kind_of(text);
    const auto found = kinds_.find(key);
    if (found != kinds_.end()) {
        ++found->left_out;
        found->last_left_out = text;
        return;
    }
    emit_line(severity, text, 0);
    kinds_.insert(key, Kind{severity, now + second, 0, {}});
}

void RateLimitedLog::flush_due(Clock::time_point now) {
    for (auto it = kinds_.begin(); it != kinds_.end();) {
        if (it->second_ends > now) {
            ++it;
        } else if (it->left_out > 0) {
            summarise(*it, now);
            ++it;
        } else {
            it = kinds_.erase(it); // a quiet second: the next message is written at once
        }
    }
}

void RateLimitedLog::flush_all() {
    for (Kind& kind : kinds_)
        if (kind.left_out > 0)
            summarise(kind, Clock::now());
    kinds_.clear();
}

} // namespace tellurix::lumenfold::scope
