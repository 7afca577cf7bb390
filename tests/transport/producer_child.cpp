// A producer process for the transport tests: sends COUNT command items
// ("PD", [i, i / 2.0]) to ENDPOINT with one send() each, then leaves main at once, so
// that delivery of the last items rests on the Producer's own shutdown.
#include <tellurix/lumenfold/transport.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    using tellurix::lumenfold::host::Value;
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s ENDPOINT COUNT\n", argv[0]);
        return 2;
    }
    tellurix::lumenfold::transport::Producer producer(QString::fromLocal8Bit(argv[1]));
    const long count = std::strtol(argv[2], nullptr, 10);
    for (long i = 0; i < count; ++i)
        producer.send(QStringLiteral("PD"), Value::list({i, static_cast<double>(i) / 2.0}));
    return 0;
}
