// The command line of lumenfold-scope.
#include <tellurix/lumenfold/scope/options.h>

#include <QCommandLineParser>

#include <gtest/gtest.h>

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
        OptionCase{"stray_argument", {"extra"}, false, "extra", nullptr},
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
