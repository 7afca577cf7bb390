// Endpoint texts: what the panel binds and what refuses, read from the table the Python
// producer's tests read too (tests/data/endpoints.tsv), so that both ends keep one rule.
#include <tellurix/lumenfold/transport.h>

#include <QFile>
#include <QTextStream>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

namespace transport = tellurix::lumenfold::transport;

struct EndpointRow {
    QString typed;
    QString bind;    // "-": refused
    QString connect; // "-": refused
    QString refusal; // words the error holds; empty: not shared between the ends
};

std::vector<EndpointRow> endpoint_rows() {
    QFile file(QStringLiteral(LUMENFOLD_ENDPOINT_TABLE));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        throw std::runtime_error("cannot read " + file.fileName().toStdString());
    std::vector<EndpointRow> rows;
    QTextStream in(&file);
    in.setCodec("UTF-8");
    QString line;
    while (in.readLineInto(&line)) {
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        QStringList f = line.split(QLatin1Char('\t'));
        if (f.size() < 3)
            throw std::runtime_error("endpoint table row without three columns: " +
                                     line.toStdString());
        for (QString& cell : f)
            if (cell == QLatin1String("(empty)"))
                cell.clear();
        rows.push_back({f[0], f[1], f[2], f.value(3)});
    }
    return rows;
}

std::string row_name(const ::testing::TestParamInfo<EndpointRow>& info) {
    return "row_" + std::to_string(info.index);
}

class EndpointTable : public ::testing::TestWithParam<EndpointRow> {
protected:
    // Runs `attempt`, which must throw std::runtime_error holding the row's refusal words.
    void expect_refused(const std::function<void()>& attempt, const char* who) {
        const EndpointRow& row = GetParam();
        try {
            attempt();
            ADD_FAILURE() << who << " accepted '" << row.typed.toStdString() << "'";
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(QString::fromUtf8(e.what()).contains(row.refusal))
                << who << ": " << e.what() << "\n  expected: " << row.refusal.toStdString();
        }
    }
};

TEST_P(EndpointTable, PanelBindsTheTableEndpoint) {
    const EndpointRow& row = GetParam();
    if (row.bind == QLatin1String("-")) {
        expect_refused([&] { transport::normalize_endpoint(row.typed); }, "normalize_endpoint");
        expect_refused([&] { transport::ZmqQueue queue(row.typed); }, "ZmqQueue");
    } else if (row.bind == QLatin1String("(default)")) {
        EXPECT_EQ(transport::normalize_endpoint(row.typed), transport::default_endpoint());
    } else {
        EXPECT_EQ(transport::normalize_endpoint(row.typed), row.bind)
            << "typed '" << row.typed.toStdString() << "'";
    }
}

// Which address an accepted text connects to is checked on the Python side, where it
// can be seen; here, that the C++ producer takes and refuses the same texts.
TEST_P(EndpointTable, ProducerTakesWhatTheTableTakes) {
    const EndpointRow& row = GetParam();
    transport::Producer::Options quick;
    quick.linger_ms = 0;
    if (row.connect == QLatin1String("-")) {
        expect_refused([&] { transport::Producer producer(row.typed, quick); }, "Producer");
    } else {
        transport::Producer producer(row.typed, quick);
        EXPECT_TRUE(producer.connected());
    }
}

INSTANTIATE_TEST_SUITE_P(Typed, EndpointTable, ::testing::ValuesIn(endpoint_rows()), row_name);

// Blanks around a typed endpoint (a shell variable, a config line) are not part of it.
TEST(EndpointText, SurroundingBlanksAreIgnored) {
    EXPECT_EQ(transport::normalize_endpoint(QStringLiteral(" 5555 ")),
              QStringLiteral("tcp://127.0.0.1:5555"));
    EXPECT_EQ(transport::normalize_endpoint(QStringLiteral("\ttcp://10.1.2.3:7\n")),
              QStringLiteral("tcp://10.1.2.3:7"));
    EXPECT_THROW(transport::normalize_endpoint(QStringLiteral(" 70000 ")), std::runtime_error);
}

// A refused port must not have been bound under another number on the way: the port it
// would have wrapped around to stays free for whoever asks for it.
TEST(EndpointPorts, OutOfRangeDoesNotWrapAround) {
    EXPECT_THROW(transport::ZmqQueue("70000"), std::runtime_error);
    transport::ZmqQueue queue(QStringLiteral("tcp://127.0.0.1:*"));
    const QString bound = queue.endpoint();
    const int port = bound.mid(bound.lastIndexOf(QLatin1Char(':')) + 1).toInt();
    ASSERT_GT(port, 0);
    // 65536 more is the same port to ZeroMQ's 16 bits.
    EXPECT_THROW(transport::Producer(QString::number(port + 65536)), std::runtime_error);
}

} // namespace
