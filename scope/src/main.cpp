// lumenfold-scope: watch what a producer streams to the Lumenfold command queue.
#include <tellurix/lumenfold/scope/demo.h>
#include <tellurix/lumenfold/scope/hdf5_export.h>
#include <tellurix/lumenfold/scope/options.h>
#include <tellurix/lumenfold/scope/scope_window.h>

#include <tellurix/lumenfold/chartpane.h>
#include <tellurix/lumenfold/transport.h>

#include <QApplication>
#include <QCommandLineParser>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <memory>

using namespace tellurix::lumenfold;

int main(int argc, char** argv) {
    // Traces arrive as large messages: keep the memory they come and go in.
    transport::keep_memory_for_large_messages();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("lumenfold-scope"));
    QApplication::setApplicationVersion(QStringLiteral(LUMENFOLD_SCOPE_VERSION));

    QCommandLineParser parser;
    scope::describe_options(parser);
    scope::ScopeOptions options;
    QString error;
    if (!scope::parse_options(parser, QApplication::arguments(), options, error)) {
        std::fprintf(stderr, "lumenfold-scope: %s\n(see lumenfold-scope --help)\n",
                     qUtf8Printable(error));
        return 2;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(0);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    std::unique_ptr<scope::ScopeWindow> window;
    try {
        window = std::make_unique<scope::ScopeWindow>(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "lumenfold-scope: %s\n", e.what());
        return 1;
    }
    window->show();

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
