// lumenfold-scope: watch what a producer streams to the Lumenfold command queue.
#include <tellurix/lumenfold/scope/demo.h>
#include <tellurix/lumenfold/scope/hdf5_export.h>
#include <tellurix/lumenfold/scope/options.h>
#include <tellurix/lumenfold/scope/scope_window.h>

#include "replay.h"

#include <tellurix/lumenfold/chartpane.h>
#include <tellurix/lumenfold/transport.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>
#include <QTextStream>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <memory>

using namespace tellurix::lumenfold;

int main(int argc, char** argv) {
    // A file size limit must stop a recording, not the program: writes past it then fail
    // with EFBIG, which the recording reports.
    std::signal(SIGXFSZ, SIG_IGN);
    // The command line is answered before the GUI application exists: creating that
    // without a display aborts the process, and --help, --version or a mistyped option
    // need none. QApplication later takes its own options (-platform, -style, ...) out of
    // argv itself.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    QCommandLineParser parser;
    scope::describe_options(parser);
    scope::ScopeOptions options;
    QString error;
    if (!scope::parse_options(parser, scope::without_qt_options(arguments), options, error)) {
        std::fprintf(stderr, "lumenfold-scope: %s\n(see lumenfold-scope --help)\n",
                     qUtf8Printable(error));
        return 2;
    }
    const bool help =
        parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"));
    if (help || parser.isSet(QStringLiteral("version"))) {
        // The parser names the program through the application object; one without a
        // GUI is enough for that.
        QCoreApplication info(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("lumenfold-scope"));
        QCoreApplication::setApplicationVersion(QStringLiteral(LUMENFOLD_SCOPE_VERSION));
        if (help)
            parser.showHelp(0);
        parser.showVersion();
    }

    // Traces arrive as large messages: keep the memory they come and go in.
    transport::keep_memory_for_large_messages();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("lumenfold-scope"));
    QApplication::setApplicationVersion(QStringLiteral(LUMENFOLD_SCOPE_VERSION));

    std::unique_ptr<scope::ScopeWindow> window;
    try {
        window = std::make_unique<scope::ScopeWindow>(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumenfold-scope: %s\n", e.what());
        // Showing a recording needs no live stream: another scope may hold the default
        // endpoint. One asked for by --listen or --record is an error all the same.
        if (options.replay.isEmpty() || !options.endpoint.isEmpty() || !options.record.isEmpty())
            return 1;
        std::fprintf(stderr, "lumenfold-scope: showing %s without a live stream\n",
                     qUtf8Printable(options.replay));
        window =
            std::make_unique<scope::ScopeWindow>(options, std::make_unique<scope::EmptyQueue>());
    }
    window->show();
    QString opened;
    if (!options.replay.isEmpty() &&
        !window->open_recording(options.replay, options.replay_speed, &opened)) {
        std::fprintf(stderr, "lumenfold-scope: %s\n", qUtf8Printable(opened));
        return 1;
    }

    std::unique_ptr<scope::DemoProducer> demo;
    if (options.demo)
        demo = std::make_unique<scope::DemoProducer>(window->endpoint());

    int status = 0;
    if (options.quit_after > 0) {
        QTimer::singleShot(static_cast<int>(options.quit_after * 1000), window.get(), [&] {
            QString hdf5_error;
            if (!options.export_hdf5.isEmpty() &&
                !scope::export_hdf5(window->points(), window->traces(), options.export_hdf5,
                                    &hdf5_error)) {
                std::fprintf(stderr, "lumenfold-scope: %s\n", qUtf8Printable(hdf5_error));
                status = 1;
            }
            if (!options.screenshot.isEmpty()) {
                QString why;
                if (!window->export_png(options.screenshot, &why)) {
                    std::fprintf(stderr, "lumenfold-scope: %s\n", qUtf8Printable(why));
                    status = 1;
                } else {
                    // Where each plot lies in the picture, for whoever checks it.
                    QTextStream out(stdout);
                    for (const QString& line : window->plot_report())
                        out << line << '\n';
                }
            }
            QApplication::quit();
        });
    }
    const int rc = QApplication::exec();
    demo.reset(); // before the window: the producer's last sends find the queue still bound
    window.reset();
    return status != 0 ? status : rc;
}
