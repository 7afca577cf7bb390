// How deep a value the encoder writes: as deep as any consumer reads and no deeper, with
// a clear refusal instead of a stack overflow for values a host nested without bound.
#include <tellurix/lumenfold/transport.h>

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <functional>
#include <stdexcept>
#include <string>

namespace {

using tellurix::lumenfold::host::Value;
namespace transport = tellurix::lumenfold::transport;

// `levels` lists (or tuples) one inside the other, the innermost holding 1.0.
Value nested(std::size_t levels, bool tuples) {
    Value v(1.0);
    for (std::size_t i = 0; i < levels; ++i)
        v = tuples ? Value::tuple({v}) : Value::list({v});
    return v;
}

// Every way a value reaches the encoder. A value nested `levels` deep sits in a message
// of levels + 1, the message array counting as one.
struct EncodingPath {
    const char* name;
    std::function<QByteArray(const Value&)> encode;
};

QByteArray through_producer(const Value& item, bool batch) {
    // Nothing listens there: the refusal comes before anything would be sent.
    QTemporaryDir dir;
    transport::Producer::Options options;
    options.drop_when_full = true;
    options.linger_ms = 0;
    transport::Producer producer("ipc://" + dir.path() + "/nobody.ipc", options);
    if (batch)
        producer.send_batch({item, Value(2)});
    else
        producer.send_item(item);
    return QByteArray("sent");
}

const EncodingPath paths[] = {
    {"encode_item", [](const Value& v) { return transport::encode_item(v); }},
    {"encode_one_item", [](const Value& v) { return transport::encode({v}); }},
    {"encode_batch",
     [](const Value& v) {
         return transport::encode({Value(1), v});
     }},
    {"producer_send_item", [](const Value& v) { return through_producer(v, false); }},
    {"producer_send_batch", [](const Value& v) { return through_producer(v, true); }},
};

struct DepthCase {
    std::size_t levels;
    bool tuples;
    bool accepted;
};

const DepthCase depth_cases[] = {
    {1023, false, true},     // the message at the deepest level a consumer reads
    {1023, true, true},      //
    {1024, false, false},    // one beyond
    {1024, true, false},     //
    {100'000, false, false}, // deep enough to overflow the stack of a recursive walk
    {100'000, true, false},  //
};

class EncoderDepth : public ::testing::TestWithParam<std::tuple<EncodingPath, DepthCase>> {};

TEST_P(EncoderDepth, IsBoundedByWhatAConsumerReads) {
    const auto& [path, c] = GetParam();
    const Value value = nested(c.levels, c.tuples);
    if (c.accepted) {
        const QByteArray bytes = path.encode(value);
        if (bytes == "sent")
            return;
        transport::Limits limits;
        limits.max_depth = c.levels + 1;
        const std::vector<Value> items = transport::decode(bytes, limits);
        EXPECT_EQ(items.back(), value);
        return;
    }
    try {
        path.encode(value);
        ADD_FAILURE() << "a value " << c.levels << " levels deep was encoded";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("nested more than 1023 lists and tuples deep"),
                  std::string::npos)
            << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Paths, EncoderDepth,
                         ::testing::Combine(::testing::ValuesIn(paths),
                                            ::testing::ValuesIn(depth_cases)),
                         [](const auto& info) {
                             const DepthCase& c = std::get<1>(info.param);
                             return std::string(std::get<0>(info.param).name) + "_" +
                                    std::to_string(c.levels) + (c.tuples ? "_tuples" : "_lists");
                         });

} // namespace
