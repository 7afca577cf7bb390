#include <tellurix/lumenfold/scope/options.h>

#include <QCommandLineParser>

#include <cmath>

namespace tellurix::lumenfold::scope {

namespace {
const QString opt_listen = QStringLiteral("listen");
const QString opt_demo = QStringLiteral("demo");
const QString opt_secure = QStringLiteral("secure");
const QString opt_insecure = QStringLiteral("insecure");
const QString opt_plots = QStringLiteral("plots");
const QString opt_history = QStringLiteral("history");
const QString opt_traces = QStringLiteral("traces");
const QString opt_rate = QStringLiteral("frame-rate");
const QString opt_screenshot = QStringLiteral("screenshot");
const QString opt_quit = QStringLiteral("quit-after");

bool read_count(const QCommandLineParser& parser, const QString& name, long long low,
                long long high, long long& out, QString& error) {
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    const long long v = parser.value(name).toLongLong(&ok);
    if (!ok || v < low || v > high) {
        error = QStringLiteral("--%1 needs a whole number from %2 to %3, not '%4'")
                    .arg(name)
                    .arg(low)
                    .arg(high)
                    .arg(parser.value(name));
        return false;
    }
    out = v;
    return true;
}
} // namespace

void describe_options(QCommandLineParser& parser) {
    parser.setApplicationDescription(QStringLiteral(
        "Watches the data a producer streams to the Lumenfold command queue: a toolbar picks\n"
        "the (X,Y) column pairs, formats and axes; one plot per matched pair shows the newest\n"
        "data and, in lighter colours, its history."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({
        {opt_listen,
         QStringLiteral("Endpoint the command queue binds (ipc://PATH, tcp://HOST:PORT, or a "
                        "port alone for 127.0.0.1). Default: the per-user ipc endpoint the "
                        "producers use. Listening beyond this machine (tcp://*:PORT, "
                        "tcp://0.0.0.0:PORT, another address) needs --secure or --insecure; "
                        "before, tcp://*:PORT listened unencrypted."),
         QStringLiteral("ENDPOINT")},
        {opt_secure,
         QStringLiteral("Encrypt the queue and let in only the producers whose public keys "
                        "are listed in $XDG_CONFIG_HOME/lumenfold/authorized_producers. This "
                        "scope's key is $XDG_CONFIG_HOME/lumenfold/server.key (made on first "
                        "use; its public half, server.key.pub, is printed at start).")},
        {opt_insecure, QStringLiteral("Listen beyond this machine without encryption: anyone "
                                      "who reaches the port can send and read. Only on a "
                                      "network you trust.")},
        {opt_demo, QStringLiteral("Start a built-in producer that streams example points and "
                                  "traces to this scope, using every command.")},
        {opt_plots, QStringLiteral("Show at most N plots (default 9)."), QStringLiteral("N")},
        {opt_history,
         QStringLiteral("Keep at most N point rows over all generations (default 1000000); "
                        "older rows are dropped first."),
         QStringLiteral("N")},
        {opt_traces, QStringLiteral("Keep at most N traces, the newest included (default 8)."),
         QStringLiteral("N")},
        {opt_rate, QStringLiteral("Redraws per second (default 30)."), QStringLiteral("HZ")},
        {opt_screenshot,
         QStringLiteral("With --quit-after: save the window as PNG to FILE before quitting "
                        "and print where each plot area lies in it."),
         QStringLiteral("FILE")},
        {opt_quit, QStringLiteral("Quit after SECONDS (headless runs)."),
         QStringLiteral("SECONDS")},
    });
}

bool parse_options(QCommandLineParser& parser, const QStringList& arguments, ScopeOptions& options,
                   QString& error) {
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    if (!parser.positionalArguments().isEmpty()) {
        error = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[0]);
        return false;
    }
    if (parser.isSet(opt_listen)) {
        options.endpoint = parser.value(opt_listen).trimmed();
        if (options.endpoint.isEmpty()) {
            error = QStringLiteral("--listen needs an endpoint");
            return false;
        }
    }
    options.secure = parser.isSet(opt_secure);
    options.insecure = parser.isSet(opt_insecure);
    if (options.secure && options.insecure) {
        error = QStringLiteral("--secure and --insecure exclude each other");
        return false;
    }
    options.demo = parser.isSet(opt_demo);
    long long plots = options.max_plots, history = static_cast<long long>(options.history),
              traces = static_cast<long long>(options.traces), rate = options.frame_rate;
    if (!read_count(parser, opt_plots, 1, 64, plots, error) ||
        !read_count(parser, opt_history, 1, 1'000'000'000, history, error) ||
        !read_count(parser, opt_traces, 1, 1'000'000, traces, error) ||
        !read_count(parser, opt_rate, 1, 240, rate, error))
        return false;
    options.max_plots = static_cast<int>(plots);
    options.history = static_cast<std::size_t>(history);
    options.traces = static_cast<std::size_t>(traces);
    options.frame_rate = static_cast<int>(rate);
    if (parser.isSet(opt_quit)) {
        bool ok = false;
        const double s = parser.value(opt_quit).toDouble(&ok);
        if (!ok || !std::isfinite(s) || s <= 0) {
            error = QStringLiteral("--quit-after needs a positive number of seconds, not '%1'")
                        .arg(parser.value(opt_quit));
            return false;
        }
        options.quit_after = s;
    }
    if (parser.isSet(opt_screenshot)) {
        options.screenshot = parser.value(opt_screenshot);
        if (options.quit_after <= 0) {
            error = QStringLiteral("--screenshot needs --quit-after SECONDS");
            return false;
        }
    }
    return true;
}

} // namespace tellurix::lumenfold::scope
