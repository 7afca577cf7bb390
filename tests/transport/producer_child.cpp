// A producer process for the transport tests. It sends, then leaves main at once, so that
// delivery of the last items rests on the Producer's own shutdown.
//   producer_child ENDPOINT COUNT          COUNT items ("PD", [i, i / 2.0]), one send() each
//   producer_child ENDPOINT COUNT script   a mixed command sequence (see script_items),
//                                          with COUNT "PD" records in the middle
//   producer_child ENDPOINT 0 forever      ("PD", [i]) records until it is killed; prints
//                                          "sending" once the first is sent
#include <tellurix/lumenfold/transport.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using tellurix::lumenfold::host::Value;

namespace {

void send_script(tellurix::lumenfold::transport::Producer& producer, long count) {
    producer.send(QStringLiteral("PN"), Value::str_list({"t", "volts"}));
    producer.send(QStringLiteral("PXY"), Value("t,volts"));
    std::vector<Value> records;
    for (long i = 0; i < count; ++i)
        records.push_back(Value::tuple({"PD", Value::list({i, static_cast<double>(i) / 2.0})}));
    producer.send_batch(records);
    producer.send_item(Value::list({"PD", 1}));   // a list is no command item
    producer.send(QStringLiteral("XX"), Value()); // nor an unknown word
    producer.send(QStringLiteral("ROLL"), Value());
    producer.send(QStringLiteral("TN"), Value::str_list({"f", "mag"}));
    producer.send(QStringLiteral("TD"), Value::float_array({1.0, 2.0, 3.0}));
    producer.send(QStringLiteral("TXY"), Value("f,mag"));
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 4) {
        std::fprintf(stderr, "usage: %s ENDPOINT COUNT [script]\n", argv[0]);
        return 2;
    }
    tellurix::lumenfold::transport::Producer producer(QString::fromLocal8Bit(argv[1]));
    const long count = std::strtol(argv[2], nullptr, 10);
    if (argc == 4 && std::strcmp(argv[3], "script") == 0) {
        send_script(producer, count);
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[3], "forever") == 0) {
        for (std::int64_t i = 0;; ++i) {
            producer.send(QStringLiteral("PD"), Value::list({i}));
            if (i == 0) {
                std::puts("sending");
                std::fflush(stdout);
            }
        }
    }
    for (long i = 0; i < count; ++i)
        producer.send(QStringLiteral("PD"), Value::list({i, static_cast<double>(i) / 2.0}));
    return 0;
}
