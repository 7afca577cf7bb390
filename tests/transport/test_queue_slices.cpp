// ZmqQueue builds the items of a long message a slice at a time as the host takes them:
// the message is still applied whole or not at all, and counted as it was, and its check
// finds every fault however quickly it passes records of one layout.
#include <tellurix/lumenfold/transport.h>

#include <QTemporaryDir>

#include "../support/warnings.h"
#include "queue_drain.h"

#include <gtest/gtest.h>
#include <zmq.hpp>

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

namespace {

using tellurix::lumenfold::host::Value;
namespace transport = tellurix::lumenfold::transport;
using namespace std::chrono_literals;

using queue_test::drain;
using queue_test::record;

class Slices : public queue_test::EachTransport {};

// A long message is checked whole before its first item is handed out, though its items
// are built a few hundred at a time as the host takes them.
TEST_P(Slices, LongMessageIsAppliedWholeOrNotAtAll) {
    Warnings warnings;
    transport::ZmqQueue queue(endpoint());
    queue_test::RawSender raw(queue.endpoint());
    std::vector<Value> rows;
    for (int i = 0; i < 3000; ++i)
        rows.push_back(record(i));
    std::vector<Value> bad_text = rows;
    bad_text.back() = Value::tuple({"PD", Value::list({1, 2})});
    QByteArray bad_text_message = transport::encode(bad_text, 2);
    // The last item's list of two ints becomes a one-byte string holding half of a
    // two-byte UTF-8 sequence: the first fault the decoder meets sits in the last item.
    const int at = bad_text_message.lastIndexOf(QByteArray("\x92\x01\x02", 3));
    ASSERT_GT(at, 0);
    bad_text_message.replace(at, 3, QByteArray("\x92\xa1\xc3", 3));

    raw.send(transport::encode(rows, 1).chopped(1));
    raw.send(bad_text_message);
    raw.send(transport::encode(rows, 3));
    raw.socket.set(zmq::sockopt::linger, 1000);

    const std::vector<Value> first = drain(queue, 1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first.front(), rows.front());
    EXPECT_EQ(queue.backlog_items(), rows.size() - 1);
    std::vector<Value> rest = drain(queue, rows.size() - 1);
    rest.insert(rest.begin(), first.front());
    EXPECT_EQ(rest, rows);
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(queue.items(), rows.size());
    EXPECT_EQ(queue.dropped_messages(), 2u);
    std::sort(warnings.texts.begin(), warnings.texts.end());
    EXPECT_EQ(warnings.texts,
              (std::vector<QString>{
                  "ZmqQueue: dropped a malformed message: message is truncated",
                  "ZmqQueue: dropped a malformed message: string is not valid UTF-8",
              }));
}

INSTANTIATE_TEST_SUITE_P(Transports, Slices, ::testing::Values("ipc", "tcp"));

// A record of ten floats, as send_rows() sends them: 98 bytes, the same but for the
// floats' eight bytes each.
Value float_record(int i) {
    std::vector<Value> fields;
    for (int k = 0; k < 10; ++k)
        fields.emplace_back(i + k * 0.25);
    return Value::tuple({"PD", Value::list(std::move(fields))});
}
constexpr int float_record_bytes = 98;

// A fault in the last record of a long message, its bytes at `offset` in that record
// replaced by `bytes`; %1 in the warning stands for the fault's place in the message.
struct LayoutFault {
    int offset;
    QByteArray bytes;
    const char* warning;
};

// A long message of records that share one layout is checked quicker than by walking
// every record: a fault after them is found all the same, and reported as before.
TEST(SliceLayouts, AFaultAfterRecordsOfOneLayoutIsFound) {
    const LayoutFault faults[] = {
        // The last float becomes an unsigned integer beyond 64 signed bits.
        {89, QByteArray("\xcf\xff\xff\xff\xff\xff\xff\xff\xff", 9),
         "integer 18446744073709551615 does not fit in 64 signed bits"},
        {5, QByteArray("\xc3\x28", 2), "string is not valid UTF-8"},
        {7, QByteArray("\x8a", 1), "maps are not part of the format"},
        {80, QByteArray("\xc1", 1), "invalid MessagePack at byte %1"},
        // The tuple's body one byte shorter than its array.
        {1, QByteArray("\x5e", 1), "message is truncated"},
    };
    Warnings warnings;
    QTemporaryDir dir;
    transport::Limits limits;
    limits.max_total_values = 5000;
    transport::ZmqQueue queue(QStringLiteral("ipc://") + dir.filePath("q.ipc"), limits);
    queue_test::RawSender raw(queue.endpoint());

    std::vector<Value> rows;
    for (int i = 0; i < 300; ++i)
        rows.push_back(float_record(i));
    // Floats that are no ordinary numbers are eight bytes all the same.
    using limits_of = std::numeric_limits<double>;
    rows[100] = Value::tuple({"PD", Value::list({limits_of::infinity(), -limits_of::infinity(),
                                                 -0.0, limits_of::denorm_min(), limits_of::max(),
                                                 limits_of::lowest(), 1e-300, 0.0, 1.0, 2.0})});
    // A record of another layout among them.
    rows[200] = Value::tuple({"PD", Value::list({1, 2.5})});

    std::uint64_t seq = 1;
    std::vector<QString> expected;
    const QString dropped = QStringLiteral("ZmqQueue: dropped a malformed message: ");
    for (const LayoutFault& fault : faults) {
        QByteArray message = transport::encode(rows, seq++);
        const int at = message.size() - float_record_bytes + fault.offset;
        message.replace(at, fault.bytes.size(), fault.bytes);
        raw.send(message);
        expected.push_back(dropped + QString::fromLatin1(fault.warning).arg(at));
    }
    // 13 values to a record: 400 records are more than the limit allows.
    std::vector<Value> too_many;
    for (int i = 0; i < 400; ++i)
        too_many.push_back(float_record(i));
    raw.send(transport::encode(too_many, seq++));
    expected.push_back(dropped + QStringLiteral("more than 5000 values in one message"));
    raw.send(transport::encode(rows, seq++));
    raw.socket.set(zmq::sockopt::linger, 1000);

    EXPECT_EQ(drain(queue, rows.size()), rows);
    EXPECT_EQ(queue.dropped_messages(), std::size(faults) + 1);
    std::sort(expected.begin(), expected.end());
    std::sort(warnings.texts.begin(), warnings.texts.end());
    EXPECT_EQ(warnings.texts, expected);
}

} // namespace
