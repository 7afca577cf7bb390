// The warning channel and the clipboard facility.
#include <tellurix/lumenfold/host.h>

#include <QClipboard>
#include <QGuiApplication>
#include <QLoggingCategory>

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <ostream>
#include <stdexcept>
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

// A handler that breaks its contract by throwing: the warning goes to the default channel
// with the handler's complaint, nothing reaches warn()'s caller, and the handler stays.
struct ThrowingHandlerCase {
    const char* name;
    std::function<void()> raise;
    const char* complaint;
};

void PrintTo(const ThrowingHandlerCase& c, std::ostream* os) {
    *os << c.name;
}

class ThrowingHandler : public ::testing::TestWithParam<ThrowingHandlerCase> {
protected:
    void TearDown() override { host::set_warning_handler({}); }
};

TEST_P(ThrowingHandler, FallsBackToTheDefaultChannel) {
    int calls = 0;
    host::set_warning_handler([&](const QString&) {
        ++calls;
        GetParam().raise();
    });
    QtLogCapture capture;
    EXPECT_NO_THROW(host::warn(QStringLiteral("ToolBar::textEdited: bad item")));
    EXPECT_NO_THROW(host::warn(QStringLiteral("second")));
    EXPECT_EQ(calls, 2);
    ASSERT_EQ(logged().size(), 2U);
    EXPECT_EQ(logged()[0].type, QtWarningMsg);
    EXPECT_EQ(logged()[0].category, QStringLiteral("tellurix.lumenfold"));
    EXPECT_EQ(logged()[0].text,
              QStringLiteral("ToolBar::textEdited: bad item (the warning handler threw: %1)")
                  .arg(QLatin1String(GetParam().complaint)));
    EXPECT_TRUE(logged()[1].text.startsWith(QStringLiteral("second (")));
}

const ThrowingHandlerCase kThrowingHandlers[] = {
    {"StdException", [] { throw std::runtime_error("warnings are errors here"); },
     "warnings are errors here"},
    {"OtherType", [] { throw 42; }, "unknown error"},
};

INSTANTIATE_TEST_SUITE_P(Table, ThrowingHandler, ::testing::ValuesIn(kThrowingHandlers),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Containment at a slot boundary
// ---------------------------------------------------------------------------

struct GuardedCase {
    const char* name;
    std::function<void()> body;
    QStringList warnings;
};

void PrintTo(const GuardedCase& c, std::ostream* os) {
    *os << c.name;
}

class Guarded : public ::testing::TestWithParam<GuardedCase> {
protected:
    void TearDown() override { host::set_warning_handler({}); }
};

TEST_P(Guarded, TurnsWhatTheBodyThrowsIntoOneWarning) {
    QStringList seen;
    host::set_warning_handler([&](const QString& t) { seen << t; });
    bool ran_to_the_throw = false;
    host::guarded("Widget::slot", [&] {
        ran_to_the_throw = true;
        GetParam().body();
    });
    EXPECT_TRUE(ran_to_the_throw);
    EXPECT_EQ(seen, GetParam().warnings);
}

const GuardedCase kGuardedCases[] = {
    {"NothingThrown", [] {}, {}},
    {"StdException", [] { throw std::out_of_range("no curve 9"); }, {"Widget::slot: no curve 9"}},
    {"OtherType", [] { throw 7; }, {"Widget::slot: unknown error"}},
};

INSTANTIATE_TEST_SUITE_P(Table, Guarded, ::testing::ValuesIn(kGuardedCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(GuardedWithThrowingHandler, NothingLeavesTheBoundary) {
    host::set_warning_handler([](const QString&) { throw std::runtime_error("strict"); });
    QtLogCapture capture;
    EXPECT_NO_THROW(
        host::guarded("Widget::slot", [] { throw std::runtime_error("the slot failed"); }));
    host::set_warning_handler({});
    ASSERT_EQ(logged().size(), 1U);
    EXPECT_EQ(logged()[0].text, QStringLiteral("Widget::slot: the slot failed (the warning "
                                               "handler threw: strict)"));
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
