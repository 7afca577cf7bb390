// The warning channel and the clipboard facility.
#include <tellurix/lumenfold/host.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QLoggingCategory>

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace host = tellurix::lumenfold::host;
using host::Value;

namespace {

// ---------------------------------------------------------------------------
// Warning channel
// ---------------------------------------------------------------------------

struct LoggedMessage {
    QtMsgType type;
    QString category;
    QString text;
};

std::vector<LoggedMessage>& logged() {
    static std::vector<LoggedMessage> messages;
    return messages;
}

void record_message(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    logged().push_back({type, QString::fromLatin1(context.category), text});
}

// Captures what reaches Qt's logging while it lives.
class QtLogCapture {
public:
    QtLogCapture()
        : previous_(qInstallMessageHandler(record_message)) {
        logged().clear();
    }
    ~QtLogCapture() { qInstallMessageHandler(previous_); }
    QtLogCapture(const QtLogCapture&) = delete;
    QtLogCapture& operator=(const QtLogCapture&) = delete;

private:
    QtMessageHandler previous_;
};

class WarningChannel : public ::testing::Test {
protected:
    void TearDown() override { host::set_warning_handler({}); }
};

TEST_F(WarningChannel, DefaultHandlerWritesToTheLumenfoldLoggingCategory) {
    QtLogCapture capture;
    host::warn(QStringLiteral("QueueHandler - fifo Content must be tuple"));
    ASSERT_EQ(logged().size(), 1U);
    EXPECT_EQ(logged()[0].type, QtWarningMsg);
    EXPECT_EQ(logged()[0].category, QStringLiteral("tellurix.lumenfold"));
    EXPECT_EQ(logged()[0].text, QStringLiteral("QueueHandler - fifo Content must be tuple"));
}

TEST_F(WarningChannel, InstalledHandlersChainAndEmptyRestoresTheDefault) {
    QStringList first, second;
    EXPECT_FALSE(host::set_warning_handler([&](const QString& t) { first << t; }));
    host::warn(QStringLiteral("one"));

    host::WarningHandler previous =
        host::set_warning_handler([&](const QString& t) { second << t; });
    ASSERT_TRUE(previous);
    host::warn(QStringLiteral("two"));
    previous(QStringLiteral("through the returned handler"));
    EXPECT_EQ(first, QStringList({"one", "through the returned handler"}));
    EXPECT_EQ(second, QStringList({"two"}));

    QtLogCapture capture;
    EXPECT_TRUE(host::set_warning_handler({}));
    host::warn(QStringLiteral("three"));
    EXPECT_EQ(first.size(), 2);
    EXPECT_EQ(second.size(), 1);
    ASSERT_EQ(logged().size(), 1U);
    EXPECT_EQ(logged()[0].text, QStringLiteral("three"));
}

TEST_F(WarningChannel, HandlerMayReplaceItselfWhileRunning) {
    QStringList seen;
    // Captures large enough to live on the heap, so that destroying the running handler
    // would free what it reads next (the sanitizer build reports that).
    const QString suffix = QStringLiteral(" still running");
    const std::array<char, 64> ballast{};
    host::set_warning_handler([&seen, suffix, ballast](const QString& t) {
        seen << t;
        // Replacing the running handler must not destroy it under its own feet.
        host::set_warning_handler([&](const QString& u) { seen << QStringLiteral("new:") + u; });
        seen << t + suffix + QString::number(ballast[0]);
    });
    host::warn(QStringLiteral("a"));
    host::warn(QStringLiteral("b"));
    EXPECT_EQ(seen, QStringList({"a", "a still running0", "new:b"}));
}

// ---------------------------------------------------------------------------
// Clipboard facility
// ---------------------------------------------------------------------------

class RecordingClipboard : public host::Clipboard {
public:
    void copy(const Value& value) override { copied.push_back(value); }
    std::vector<Value> copied;
};

class ClipboardFacility : public ::testing::Test {
protected:
    void SetUp() override { original_ = host::clipboard(); }
    void TearDown() override { host::set_clipboard(original_); }
    host::Clipboard* original_ = nullptr;
};

TEST_F(ClipboardFacility, DefaultPutsTheTextFormOnTheSystemClipboard) {
    ASSERT_NE(host::clipboard(), nullptr);
    QClipboard* system = QGuiApplication::clipboard();
    ASSERT_NE(system, nullptr);
    for (const Value& v : {Value(0.25), Value::tuple({1.5, 2}), Value("plain text")}) {
        system->clear();
        host::clipboard()->copy(v);
        EXPECT_EQ(system->text(), host::text_form(v));
    }
}

TEST_F(ClipboardFacility, ReplacedFacilityReceivesTheValueAndNullMeansNone) {
    RecordingClipboard recorder;
    host::set_clipboard(&recorder);
    EXPECT_EQ(host::clipboard(), &recorder);
    host::clipboard()->copy(Value::list({1, 2}));
    ASSERT_EQ(recorder.copied.size(), 1U);
    EXPECT_EQ(recorder.copied[0], Value::list({1, 2}));

    host::set_clipboard(nullptr);
    EXPECT_EQ(host::clipboard(), nullptr);
    host::set_clipboard(original_);
    EXPECT_EQ(host::clipboard(), original_);
}

} // namespace
