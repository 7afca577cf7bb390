#include <tellurix/lumenfold/scope/options.h>

#include <QCommandLineParser>

#include <algorithm>
#include <cmath>

namespace tellurix::lumenfold::scope {

namespace {
const QString opt_listen = QStringLiteral("listen");
const QString opt_demo = QStringLiteral("demo");
const QString opt_reset = QStringLiteral("reset-settings");
const QString opt_secure = QStringLiteral("secure");
const QString opt_insecure = QStringLiteral("insecure");
const QString opt_plots = QStringLiteral("plots");
const QString opt_history = QStringLiteral("history");
const QString opt_traces = QStringLiteral("traces");
const QString opt_rate = QStringLiteral("frame-rate");
const QString opt_screenshot = QStringLiteral("screenshot");
const QString opt_quit = QStringLiteral("quit-after");
const QString opt_memory = QStringLiteral("max-memory");
const QString opt_backlog = QStringLiteral("backlog");
const QString opt_hdf5 = QStringLiteral("export-hdf5");
const QString opt_record = QStringLiteral("record");
const QString opt_speed = QStringLiteral("replay-speed");

// A size with an optional unit, from 1M to 1024T: 512M, 1.5G, 1073741824.
bool read_size(const QCommandLineParser& parser, const QString& name, std::size_t& out,
               QString& error) {
    if (!parser.isSet(name))
        return true;
    const QString text = parser.value(name).trimmed();
    QString number = text;
    double unit = 1;
    const QString units = QStringLiteral("KMGT");
    for (const QString& tail : {QStringLiteral("iB"), QStringLiteral("B")})
        if (number.size() > tail.size() && number.endsWith(tail, Qt::CaseInsensitive) &&
            units.contains(number[number.size() - tail.size() - 1].toUpper()))
            number.chop(tail.size());
    if (!number.isEmpty() && units.contains(number.back().toUpper())) {
        unit = std::pow(1024.0, units.indexOf(number.back().toUpper()) + 1);
        number.chop(1);
    }
    bool ok = false;
    const double bytes = number.toDouble(&ok) * unit;
    constexpr double low = 1 << 20, high = double(std::size_t(1) << 50);
    if (!ok || !std::isfinite(bytes) || bytes < low || bytes > high) {
        error = QStringLiteral("--%1 needs a size from 1M to 1024T (512M, 2G, ...), not '%2'")
                    .arg(name, text);
        return false;
    }
    out = static_cast<std::size_t>(bytes);
    return true;
}

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
                        "use; its public half, server.key.pub, is printed at start). On "
                        "tcp://HOST:PORT, producers send their data sealed to PORT+1: a "
                        "firewall should let both through.")},
        {opt_insecure, QStringLiteral("Listen beyond this machine without encryption: anyone "
                                      "who reaches the port can send and read. Only on a "
                                      "network you trust.")},
        {opt_demo, QStringLiteral("Start a built-in producer that streams example points and "
                                  "traces to this scope, using every command.")},
        {opt_reset, QStringLiteral("Forget the remembered window layout (geometry, docks, "
                                   "legend) before the window opens.")},
        {opt_plots, QStringLiteral("Show at most N plots (default 9)."), QStringLiteral("N")},
        {opt_history,
         QStringLiteral("Keep at most N point rows over all generations (default 1000000); "
                        "older rows are dropped first."),
         QStringLiteral("N")},
        {opt_traces, QStringLiteral("Keep at most N traces, the newest included (default 8)."),
         QStringLiteral("N")},
        {opt_memory,
         QStringLiteral("Keep at most SIZE bytes of values (K, M, G or T: powers of 1024), half "
                        "for points, half for traces (default: a quarter of physical memory); "
                        "older data is dropped first."),
         QStringLiteral("SIZE")},
        {opt_backlog,
         QStringLiteral("Hold at most SIZE bytes of commands received and not yet applied "
                        "(default 64M); producers beyond it are held back."),
         QStringLiteral("SIZE")},
        {opt_rate, QStringLiteral("Redraws per second (default 30)."), QStringLiteral("HZ")},
        {opt_screenshot,
         QStringLiteral("With --quit-after: save the window as PNG to FILE before quitting "
                        "and print where each plot area lies in it."),
         QStringLiteral("FILE")},
        {opt_hdf5,
         QStringLiteral("With --quit-after: save the points and traces held as HDF5 to FILE "
                        "before quitting."),
         QStringLiteral("FILE")},
        {opt_record,
         QStringLiteral("Record every message the queue receives, with its receive time, into "
                        "FILE (created or overwritten)."),
         QStringLiteral("FILE")},
        {opt_speed,
         QStringLiteral("Show the recording FILE at X times its recorded pace (default: as "
                        "fast as possible)."),
         QStringLiteral("X")},
        {opt_quit, QStringLiteral("Quit after SECONDS (headless runs)."),
         QStringLiteral("SECONDS")},
    });
    parser.addPositionalArgument(QStringLiteral("FILE"),
                                 QStringLiteral("A recording to show (made with --record)."),
                                 QStringLiteral("[FILE]"));
}

bool parse_options(QCommandLineParser& parser, const QStringList& arguments, ScopeOptions& options,
                   QString& error) {
    if (!parser.parse(arguments)) {
        error = parser.errorText();
        return false;
    }
    if (parser.positionalArguments().size() > 1) {
        error = QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments()[1]);
        return false;
    }
    options.replay = parser.positionalArguments().value(0);
    options.record = parser.value(opt_record);
    if (parser.isSet(opt_record) && options.record.isEmpty()) {
        error = QStringLiteral("--record needs a FILE");
        return false;
    }
    if (parser.isSet(opt_speed)) {
        bool ok = false;
        const double x = parser.value(opt_speed).toDouble(&ok);
        if (!ok || !std::isfinite(x) || x <= 0) {
            error = QStringLiteral("--replay-speed needs a positive number, not '%1'")
                        .arg(parser.value(opt_speed));
            return false;
        }
        options.replay_speed = x;
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
    options.reset_settings = parser.isSet(opt_reset);
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
    if (!read_size(parser, opt_memory, options.max_memory, error) ||
        !read_size(parser, opt_backlog, options.backlog, error))
        return false;
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
    if (parser.isSet(opt_hdf5)) {
        options.export_hdf5 = parser.value(opt_hdf5);
        if (options.quit_after <= 0 || options.export_hdf5.isEmpty()) {
            error = QStringLiteral("--export-hdf5 needs a FILE and --quit-after SECONDS");
            return false;
        }
    }
    return true;
}

QStringList without_qt_options(const QStringList& arguments) {
    // What QGuiApplication, QApplication and the X11 platform plug-in read from the
    // command line (and then remove) in Qt 5.15.
    static const QStringList with_value = {QStringLiteral("platform"),
                                           QStringLiteral("platformpluginpath"),
                                           QStringLiteral("platformtheme"),
                                           QStringLiteral("plugin"),
                                           QStringLiteral("qwindowgeometry"),
                                           QStringLiteral("qwindowtitle"),
                                           QStringLiteral("qwindowicon"),
                                           QStringLiteral("geometry"),
                                           QStringLiteral("title"),
                                           QStringLiteral("icon"),
                                           QStringLiteral("session"),
                                           QStringLiteral("style"),
                                           QStringLiteral("stylesheet"),
                                           QStringLiteral("display"),
                                           QStringLiteral("name"),
                                           QStringLiteral("visual")};
    static const QStringList alone = {QStringLiteral("reverse"),     QStringLiteral("widgetcount"),
                                      QStringLiteral("testability"), QStringLiteral("nograb"),
                                      QStringLiteral("dograb"),      QStringLiteral("sync")};
    static const QStringList with_equals = {QStringLiteral("style="), QStringLiteral("stylesheet="),
                                            QStringLiteral("qmljsdebugger=")};
    QStringList kept;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (i == 0 || !arg.startsWith(QLatin1Char('-'))) {
            kept << arg;
            continue;
        }
        if (arg == QLatin1String("--")) { // the rest is positional, for Qt as for us
            kept << arguments.mid(i);
            break;
        }
        const QString name = arg.mid(arg.startsWith(QLatin1String("--")) ? 2 : 1);
        if (with_value.contains(name) && i + 1 < arguments.size()) {
            ++i; // and its value
            continue;
        }
        if (alone.contains(name))
            continue;
        if (std::any_of(with_equals.begin(), with_equals.end(),
                        [&](const QString& prefix) { return name.startsWith(prefix); }))
            continue;
        kept << arg;
    }
    return kept;
}

} // namespace tellurix::lumenfold::scope
