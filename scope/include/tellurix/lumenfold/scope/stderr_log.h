// The scope's warnings and errors on stderr, for runs that nobody watches (--screenshot
// --quit-after, scripts, CI): the log panel alone is invisible there.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

#include <chrono>
#include <functional>

namespace tellurix::lumenfold::scope {

/// Writes each message as one line "<prefix><severity>: <text>", but each kind of message at
/// most once a second, so a producer that sends thousands of bad records a second cannot
/// flood the terminal. A kind is the severity and the text with its numbers, quoted parts
/// and bracketed payloads left out: "PD [1, 'x'] rejected: ... argument 'record[1]' ..." and
/// "PD [7, 'y'] rejected: ..." are one kind. What a second left out is written when the
/// second is over (flush_due) as the last message left out followed by
/// "(and N more like it in the last second)", so every message is either shown or counted.
///
/// Not thread-safe: the window calls it on the GUI thread only. Control characters in a
/// text are escaped ("\n"), so a message is always one line; very long texts are cut.
class RateLimitedLog {
public:
    using Clock = std::chrono::steady_clock;
    /// Receives one line, without its newline.
    using Sink = std::function<void(const QByteArray&)>;

    /// An empty sink writes to stderr.
    explicit RateLimitedLog(QString prefix, Sink sink = {});
    /// Writes what is still left out (flush_all).
    ~RateLimitedLog();
    RateLimitedLog(const RateLimitedLog&) = delete;
    RateLimitedLog& operator=(const RateLimitedLog&) = delete;

    void write(const QString& severity, const QString& text, Clock::time_point now);
    /// Writes the summaries of the kinds whose second is over at `now`.
    void flush_due(Clock::time_point now);
    /// Writes every summary still due, whatever the time (at the end of a run).
    void flush_all();

    /// The key that tells kinds apart (severity not included).
    static QString kind_of(const QString& text);

private:
    struct Kind {
        QString severity;
        Clock::time_point second_ends;
        int left_out = 0;
        QString last_left_out;
    };
    void emit_line(const QString& severity, const QString& text, int more);
    void summarise(Kind& kind, Clock::time_point now);

    QString prefix_;
    Sink sink_;
    QHash<QString, Kind> kinds_;
};

} // namespace tellurix::lumenfold::scope
