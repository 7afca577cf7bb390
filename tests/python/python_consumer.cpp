// A stand-in host end for the Python producer tests and benchmarks: binds a ZmqQueue,
// takes COUNT items from it and prints what it got.
//
//   lumenfold_python_consumer ENDPOINT COUNT [--quiet] [--backlog BYTES] [--stay]
//                             [--secure KEY_FILE AUTHORIZED_FILE]
//
// Prints "ready <bound endpoint>" once bound. Then, per item, its text form on a line of
// its own, and each warning of the queue as "warning: <text>"; with --quiet only
// "done <items> <nanoseconds from the first item to the last>" at the end, for timing.
// --backlog bounds the bytes the queue holds for the host (Limits::max_backlog_bytes);
// --stay keeps the queue bound after the last item until standard input closes, so that
// producers still get their closing confirmation. --secure secures the queue
// (Security::key_file, authorized_producers) and prints "key <public key>" after "ready".
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
    bool quiet = false;
    bool stay = false;
    lf::transport::Limits limits;
    lf::transport::Security security;
    bool usage = argc < 3;
    for (int i = 3; i < argc && !usage; ++i) {
        if (std::strcmp(argv[i], "--quiet") == 0) {
            quiet = true;
        } else if (std::strcmp(argv[i], "--stay") == 0) {
            stay = true;
        } else if (std::strcmp(argv[i], "--backlog") == 0 && i + 1 < argc) {
            char* end = nullptr;
            const long long bytes = std::strtoll(argv[++i], &end, 10);
            usage = *end != '\0' || bytes < 1;
            limits.max_backlog_bytes = static_cast<std::size_t>(bytes);
        } else if (std::strcmp(argv[i], "--secure") == 0 && i + 2 < argc) {
            security.key_file = QString::fromLocal8Bit(argv[++i]);
            security.authorized_producers = QString::fromLocal8Bit(argv[++i]);
        } else {
            usage = true;
        }
    }
    if (usage) {
        std::fprintf(stderr,
                     "usage: %s ENDPOINT COUNT [--quiet] [--backlog BYTES] [--stay] "
                     "[--secure KEY_FILE AUTHORIZED_FILE]\n",
                     argv[0]);
        return 2;
    }
    char* end = nullptr;
    const long long count = std::strtoll(argv[2], &end, 10);
    if (*end != '\0' || count < 1) {
        std::fprintf(stderr, "%s: COUNT must be a positive integer\n", argv[0]);
        return 2;
    }
    lf::host::set_warning_handler([](const QString& text) { print_line("warning: " + text); });
    try {
        lf::transport::ZmqQueue queue(QString::fromLocal8Bit(argv[1]), limits, security);
        print_line("ready " + queue.endpoint());
        if (!queue.public_key().isEmpty())
            print_line("key " + queue.public_key());
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
        if (stay)
            while (std::fgetc(stdin) != EOF) {
            }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", argv[0], e.what());
        return 1;
    }
    return 0;
}
