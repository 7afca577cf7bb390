// The command line of lumenfold-scope.
#include <tellurix/lumenfold/scope/options.h>

#include <QCommandLineParser>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace tellurix::lumenfold;

struct OptionCase {
    const char* name;
    QStringList args;
    bool ok;
    const char* error_part; // for refusals
    std::function<void(const scope::ScopeOptions&)> check;
};

class Options : public ::testing::TestWithParam<OptionCase> {};

TEST_P(Options, Parse) {
    const OptionCase& c = GetParam();
    QCommandLineParser parser;
    scope::describe_options(parser);
    scope::ScopeOptions o;
    QString error;
    const bool ok = scope::parse_options(parser, QStringList{"lumenfold-scope"} + c.args, o, error);
    ASSERT_EQ(ok, c.ok) << error.toStdString();
    if (ok)
        c.check(o);
    else
        EXPECT_TRUE(error.contains(QString::fromUtf8(c.error_part))) << error.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Options,
    ::testing::Values(
        OptionCase{"defaults",
                   {},
                   true,
                   "",
                   [](const auto& o) {
                       EXPECT_TRUE(o.endpoint.isEmpty());
                       EXPECT_FALSE(o.demo);
                       EXPECT_EQ(o.max_plots, 9);
                       EXPECT_EQ(o.history, 1'000'000u);
                       EXPECT_EQ(o.quit_after, 0.0);
                   }},
        OptionCase{"record",
                   {"--record", "run.lfrec"},
                   true,
                   "",
                   [](const auto& o) {
                       EXPECT_EQ(o.record, "run.lfrec");
                       EXPECT_TRUE(o.replay.isEmpty());
                   }},
        OptionCase{"replay_paced",
                   {"old.lfrec", "--replay-speed", "2.5"},
                   true,
                   "",
                   [](const auto& o) {
                       EXPECT_EQ(o.replay, "old.lfrec");
                       EXPECT_EQ(o.replay_speed, 2.5);
                   }},
        OptionCase{"replay_fast",
                   {"old.lfrec"},
                   true,
                   "",
                   [](const auto& o) { EXPECT_EQ(o.replay_speed, 0.0); }},
        OptionCase{"record_without_file", {"--record", ""}, false, "--record needs a FILE", {}},
        OptionCase{"speed_zero", {"a", "--replay-speed", "0"}, false, "--replay-speed needs", {}},
        OptionCase{
            "speed_text", {"a", "--replay-speed", "fast"}, false, "--replay-speed needs", {}},
        OptionCase{"all",
                   {"--listen", "tcp://127.0.0.1:5555", "--demo", "--plots", "4", "--history",
                    "2000", "--traces", "3", "--frame-rate", "60", "--screenshot", "a.png",
                    "--quit-after", "2.5"},
                   true,
                   "",
                   [](const auto& o) {
                       EXPECT_EQ(o.endpoint, "tcp://127.0.0.1:5555");
                       EXPECT_TRUE(o.demo);
                       EXPECT_EQ(o.max_plots, 4);
                       EXPECT_EQ(o.history, 2000u);
                       EXPECT_EQ(o.traces, 3u);
                       EXPECT_EQ(o.frame_rate, 60);
                       EXPECT_EQ(o.screenshot, "a.png");
                       EXPECT_EQ(o.quit_after, 2.5);
                   }},
        OptionCase{"max_memory_with_unit",
                   {"--max-memory", "1.5GiB"},
                   true,
                   "",
                   [](const auto& o) { EXPECT_EQ(o.max_memory, 3u << 29); }},
        OptionCase{"max_memory_in_bytes",
                   {"--max-memory", "3145728"},
                   true,
                   "",
                   [](const auto& o) { EXPECT_EQ(o.max_memory, 3u << 20); }},
        OptionCase{"max_memory_too_small", {"--max-memory", "64K"}, false, "--max-memory", nullptr},
        OptionCase{"backlog_default",
                   {},
                   true,
                   "",
                   [](const auto& o) { EXPECT_EQ(o.backlog, 64u << 20); }},
        OptionCase{"backlog_with_unit",
                   {"--backlog", "16M"},
                   true,
                   "",
                   [](const auto& o) { EXPECT_EQ(o.backlog, 16u << 20); }},
        OptionCase{"backlog_too_small", {"--backlog", "100K"}, false, "--backlog", nullptr},
        OptionCase{"max_memory_no_number", {"--max-memory", "GiB"}, false, "--max-memory", nullptr},
        OptionCase{"zero_plots", {"--plots", "0"}, false, "--plots", nullptr},
        OptionCase{"history_not_a_number", {"--history", "many"}, false, "--history", nullptr},
        OptionCase{"negative_quit", {"--quit-after", "-1"}, false, "--quit-after", nullptr},
        OptionCase{"screenshot_alone", {"--screenshot", "x.png"}, false, "--quit-after", nullptr},
        OptionCase{"export_hdf5",
                   {"--export-hdf5", "run.h5", "--quit-after", "1"},
                   true,
                   "",
                   [](const auto& o) { EXPECT_EQ(o.export_hdf5, "run.h5"); }},
        OptionCase{"export_hdf5_alone", {"--export-hdf5", "x.h5"}, false, "--quit-after", nullptr},
        OptionCase{"unknown_option", {"--frobnicate"}, false, "frobnicate", nullptr},
        OptionCase{"stray_argument", {"run.lfrec", "extra"}, false, "extra", nullptr},
        OptionCase{"empty_endpoint", {"--listen", " "}, false, "--listen", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Options, HelpDocumentsEveryOption) {
    QCommandLineParser parser;
    scope::describe_options(parser);
    const QString help = parser.helpText();
    for (const char* word : {"--listen", "--demo", "--plots", "--history", "--traces",
                             "--screenshot", "--quit-after", "--frame-rate", "--export-hdf5"})
        EXPECT_TRUE(help.contains(QString::fromUtf8(word))) << word;
}

// ---------------------------------------------------------------------------
// Qt's own options, which QApplication takes out of the command line itself
// ---------------------------------------------------------------------------

struct QtOptionCase {
    const char* name;
    QStringList given;
    QStringList kept;
};

class QtOptions : public ::testing::TestWithParam<QtOptionCase> {};

TEST_P(QtOptions, AreLeftToQApplication) {
    const QtOptionCase& c = GetParam();
    EXPECT_EQ(scope::without_qt_options(QStringList{"lumenfold-scope"} + c.given),
              QStringList{"lumenfold-scope"} + c.kept);
    // What is left reads as the same options as without the Qt ones.
    QCommandLineParser parser;
    scope::describe_options(parser);
    scope::ScopeOptions o;
    QString error;
    EXPECT_TRUE(scope::parse_options(
        parser, scope::without_qt_options(QStringList{"lumenfold-scope"} + c.given), o, error))
        << error.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, QtOptions,
    ::testing::Values(QtOptionCase{"none", {"--demo", "--plots", "3"}, {"--demo", "--plots", "3"}},
                      QtOptionCase{
                          "platform_with_value", {"-platform", "offscreen", "--demo"}, {"--demo"}},
                      QtOptionCase{"two_dashes", {"--platform", "xcb", "--style", "fusion"}, {}},
                      QtOptionCase{"style_with_equals",
                                   {"-style=fusion", "--stylesheet=a.qss", "--plots", "2"},
                                   {"--plots", "2"}},
                      QtOptionCase{"flags", {"-reverse", "--demo", "-nograb", "-sync"}, {"--demo"}},
                      QtOptionCase{"x11_display", {"-display", ":1", "-name", "scope"}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The program without a display: the command line is answered before any window
// system is needed (the GUI application would abort without one)
// ---------------------------------------------------------------------------

struct HeadlessCase {
    const char* name;
    QStringList args;
    int exit_code;
    bool on_stdout; // where `text` must appear
    const char* text;
};

class Headless : public ::testing::TestWithParam<HeadlessCase> {};

TEST_P(Headless, CommandLineIsAnsweredWithoutADisplay) {
    const HeadlessCase& c = GetParam();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        env.remove(QString::fromLatin1(name));
    QProcess scope;
    scope.setProcessEnvironment(env);
    scope.start(QStringLiteral(LUMENFOLD_SCOPE_EXE), c.args);
    ASSERT_TRUE(scope.waitForFinished(30000));
    const QString out = QString::fromUtf8(scope.readAllStandardOutput());
    const QString err = QString::fromUtf8(scope.readAllStandardError());
    EXPECT_EQ(scope.exitStatus(), QProcess::NormalExit) << err.toStdString();
    EXPECT_EQ(scope.exitCode(), c.exit_code) << err.toStdString();
    EXPECT_TRUE((c.on_stdout ? out : err).contains(QString::fromUtf8(c.text)))
        << "stdout: " << out.toStdString() << "\nstderr: " << err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, Headless,
    ::testing::Values(
        HeadlessCase{"help", {"--help"}, 0, true, "--listen <ENDPOINT>"},
        HeadlessCase{"short_help", {"-h"}, 0, true, "--quit-after <SECONDS>"},
        HeadlessCase{"help_all", {"--help-all"}, 0, true, "--frame-rate <HZ>"},
        HeadlessCase{"help_beside_qt_options", {"-platform", "xcb", "--help"}, 0, true, "--demo"},
        HeadlessCase{"version", {"--version"}, 0, true, "lumenfold-scope " LUMENFOLD_VERSION},
        HeadlessCase{"unknown_option", {"--frobnicate"}, 2, false, "Unknown option 'frobnicate'"},
        HeadlessCase{"bad_value", {"--plots", "0"}, 2, false, "--plots needs a whole number"},
        HeadlessCase{
            "stray_argument", {"run.lfrec", "extra"}, 2, false, "unexpected argument 'extra'"}),
    [](const auto& info) { return std::string(info.param.name); });
