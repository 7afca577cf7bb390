// ZmqQueue builds the items of a long message a slice at a time as the host takes them:
// the message is still applied whole or not at all, and counted as it was.
#include <tellurix/lumenfold/transport.h>

#include <QTemporaryDir>

#include "../support/warnings.h"
#include "queue_drain.h"

#include <gtest/gtest.h>
#include <zmq.hpp>

#include <algorithm>
#include <chrono>
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
    zmq::context_t context;
    zmq::socket_t raw(context, zmq::socket_type::dealer);
    raw.connect(queue.endpoint().toStdString());
    const auto send = [&](const QByteArray& b) {
        raw.send(zmq::const_buffer(b.constData(), static_cast<std::size_t>(b.size())));
    };
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

    send(transport::encode(rows, 1).chopped(1));
    send(bad_text_message);
    send(transport::encode(rows, 3));
    raw.set(zmq::sockopt::linger, 1000);

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

} // namespace
