// A stand-in host end for the Python producer tests and benchmarks: binds a ZmqQueue,
// takes COUNT items from it and prints what it got.
//
//   lumenfold_python_consumer ENDPOINT COUNT [--quiet]
//
// Prints "ready <bound endpoint>" once bound. Then, per item, its text form on a line of
// its own, and each warning of the queue as "warning: <text>"; with --quiet only
// "done <items> <nanoseconds from the first item to the last>" at the end, for timing.
#include <tellurix/lumenfold/host.h>
#include <tellurix/lumenfold/transport.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

namespace lf = tellurix::lumenfold;

namespace {

void print_line(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    std::fwrite(utf8.constData(), 1, static_cast<std::size_t>(utf8.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "--quiet") != 0)) {
        std::fprintf(stderr, "usage: %s ENDPOINT COUNT [--quiet]\n", argv[0]);
        return 2;
    }
    char* end = nullptr;
    const long long count = std::strtoll(argv[2], &end, 10);
    if (*end != '\0' || count < 1) {
        std::fprintf(stderr, "%s: COUNT must be a positive integer\n", argv[0]);
        return 2;
    }
    const bool quiet = argc == 4;
    lf::host::set_warning_handler([](const QString& text) { print_line("warning: " + text); });
    try {
        lf::transport::ZmqQueue queue(QString::fromLocal8Bit(argv[1]));
        print_line("ready " + queue.endpoint());
        using Clock = std::chrono::steady_clock;
        Clock::time_point first;
        for (long long i = 0; i < count; ++i) {
            // get() waits by itself; asking empty() first is what CmdPump does, and it
            // keeps the timing honest about the path a host takes.
            queue.empty();
            const lf::host::Value item = queue.get();
            if (i == 0)
                first = Clock::now();
            if (!quiet)
                print_line(lf::host::text_form(item));
        }
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - first).count();
        if (quiet)
            print_line(QStringLiteral("done %1 %2").arg(count).arg(static_cast<qint64>(ns)));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}
