// Writes the seed corpus of fuzz_decode: one file per message, each produced by the
// encoder (valid items of every kind, batches, edge cases) plus a few hand-made faults.
//   make_decode_corpus DIRECTORY
#include <tellurix/lumenfold/transport.h>

#include <QDir>
#include <QFile>

#include <cstdio>
#include <limits>

namespace transport = tellurix::lumenfold::transport;
using tellurix::lumenfold::host::Value;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const auto write = [&](const char* name, const QByteArray& bytes) {
        QFile f(dir.filePath(QString::fromLatin1(name)));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
            std::fprintf(stderr, "cannot write %s\n", name);
    };
    const auto item = [&](const char* name, const Value& v) {
        write(name, transport::encode_item(v));
    };
    item("none", Value());
    item("bool", Value(true));
    item("int_small", Value(7));
    item("int_negative", Value(-200000));
    item("int_max", Value(std::numeric_limits<std::int64_t>::max()));
    item("int_min", Value(std::numeric_limits<std::int64_t>::min()));
    item("float", Value(0.25));
    item("float_whole", Value(1.0));
    item("complex", Value(std::complex<double>(1, -1)));
    item("str", Value("volts"));
    item("str_unicode", Value(QStringLiteral("\u00b5V \U0001F600")));
    item("bytes", Value::bytes(QByteArray("\x00\x01\xff", 3)));
    item("list", Value::list({"t", "volts"}));
    item("tuple_empty", Value::tuple({}));
    item("float_array", Value::float_array({1, 2, 3}));
    item("complex_array", Value::complex_array({{1, 2}, {3, 4}}));
    item("cmd_pn", Value::tuple({"PN", Value::list({"t", "volts", "amps"})}));
    item("cmd_pd", Value::tuple({"PD", Value::list({0.5, 1.25, 2, Value()})}));
    item("cmd_td", Value::tuple({"TD", Value::float_array(QVector<double>(64, 0.5))}));
    item("cmd_roll", Value::tuple({"ROLL", Value()}));
    item("cmd_pxy", Value::tuple({"PXY", "t,volts;t,amps"}));
    item("nested_tuples",
         Value::tuple({"a", Value::tuple({Value::list({Value::tuple({Value()})}), 1})}));
    std::vector<Value> batch;
    for (int i = 0; i < 20; ++i)
        batch.push_back(Value::tuple({"PD", Value::list({i, i * 0.5})}));
    write("batch", transport::encode(batch));
    write("batch_mixed", transport::encode({Value(), Value::list({}), Value::bytes({}), Value(""),
                                            Value(false), Value(0), Value(0.0)}));
    // Faults, so that the rejecting paths are in the corpus from the start.
    write("bad_version", QByteArray("\x92\x01\xc0", 3));
    write("bad_version_float", QByteArray("\x93\xcb\x40\0\0\0\0\0\0\0\x01\xc0", 12));
    write("bad_map", QByteArray("\x93\x02\x01\x81\x01\x02", 6));
    write("bad_header_2e32", QByteArray("\x93\x02\x01\xdd\xff\xff\xff\xff\xc0", 9));
    write("bad_utf8", QByteArray("\x93\x02\x01\xa2\xc3\x28", 6));
    write("bad_complex_size", QByteArray("\x93\x02\x01\xd6\x02\x00\x00\x00\x00", 9));
    // Flow control: ["sync", 2, 5, false], ["credit", 2, 1, 0, 3, 100, 65536],
    // ["refused", 2, "x"].
    write("control_sync", QByteArray("\x94\xa4sync\x02\x05\xc2", 9));
    write("control_credit", QByteArray("\x97\xa6"
                                       "credit"
                                       "\x02\x01\x00\x03\x64\xce\x00\x01\x00\x00",
                                       18));
    write("control_refused", QByteArray("\x93\xa7refused\x02\xa1x", 12));
    return 0;
}
