// The scope's messages on stderr: each kind at most once a second, what was left out
// counted, every message one line. Time is given, not waited for.
#include <tellurix/lumenfold/scope/stderr_log.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

using scope_log = tellurix::lumenfold::scope::RateLimitedLog;

namespace {

struct Event {
    int at_ms;
    const char* severity; // nullptr: only flush_due at that time
    const char* text;
};

struct LogCase {
    const char* name;
    std::vector<Event> events;
    std::vector<const char*> expected; // every line written, flush_all at the end included
};

constexpr const char* short_row = "PD [1] rejected: PointDataset::append(): the record has 1 "
                                  "value(s) but there are 2 columns ['t', 'v']";
constexpr const char* other_row = "PD [7, 8, 9] rejected: PointDataset::append(): the record has "
                                  "3 value(s) but there are 2 columns ['t', 'v']";
constexpr const char* not_number = "PD [1, 'x'] rejected: PointDataset::append(): argument "
                                   "'record[1]' must be int, float or complex, not str";

} // namespace

class RateLimit : public ::testing::TestWithParam<LogCase> {};

TEST_P(RateLimit, WritesEachKindAtMostOnceASecondAndCountsTheRest) {
    const LogCase& c = GetParam();
    std::vector<std::string> lines;
    {
        scope_log log(QStringLiteral("scope: "),
                      [&](const QByteArray& line) { lines.push_back(line.toStdString()); });
        const auto start = scope_log::Clock::now();
        for (const Event& e : c.events) {
            const auto now = start + std::chrono::milliseconds(e.at_ms);
            if (e.severity)
                log.write(QString::fromUtf8(e.severity), QString::fromUtf8(e.text), now);
            else
                log.flush_due(now);
        }
    } // flush_all
    std::vector<std::string> expected(c.expected.begin(), c.expected.end());
    EXPECT_EQ(lines, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Stderr, RateLimit,
    ::testing::Values(
        LogCase{
            "burst_is_summed_up_when_its_second_ends",
            {{0, "error", "bad 1"},
             {10, "error", "bad 2"},
             {20, "error", "bad 3"},
             {999, nullptr, nullptr},
             {1000, nullptr, nullptr}},
            {"scope: error: bad 1", "scope: error: bad 3 (and 1 more like it in the last second)"}},
        LogCase{"one_left_out_is_shown_without_a_count",
                {{0, "error", "bad 1"}, {500, "error", "bad 2"}, {1200, nullptr, nullptr}},
                {"scope: error: bad 1", "scope: error: bad 2"}},
        LogCase{"the_end_of_the_run_writes_what_is_left",
                {{0, "warning", "slow 1"}, {1, "warning", "slow 2"}, {2, "warning", "slow 3"}},
                {"scope: warning: slow 1",
                 "scope: warning: slow 3 (and 1 more like it in the last second)"}},
        LogCase{"numbers_quotes_and_payloads_make_no_new_kind",
                {{0, "error", short_row}, {5, "error", other_row}, {6, "error", short_row}},
                {"scope: error: PD [1] rejected: PointDataset::append(): the record has 1 "
                 "value(s) but there are 2 columns ['t', 'v']",
                 "scope: error: PD [1] rejected: PointDataset::append(): the record has 1 "
                 "value(s) but there are 2 columns ['t', 'v'] (and 1 more like it in the last "
                 "second)"}},
        LogCase{"other_kinds_are_not_held_back",
                {{0, "error", short_row}, {1, "error", not_number}, {2, "warning", short_row}},
                {"scope: error: PD [1] rejected: PointDataset::append(): the record has 1 "
                 "value(s) but there are 2 columns ['t', 'v']",
                 "scope: error: PD [1, 'x'] rejected: PointDataset::append(): argument "
                 "'record[1]' must be int, float or complex, not str",
                 "scope: warning: PD [1] rejected: PointDataset::append(): the record has 1 "
                 "value(s) but there are 2 columns ['t', 'v']"}},
        LogCase{"a_quiet_second_lets_the_next_one_through",
                {{0, "error", "bad 1"}, {1500, "error", "bad 2"}, {1600, "error", "bad 3"}},
                {"scope: error: bad 1", "scope: error: bad 2", "scope: error: bad 3"}},
        LogCase{
            "a_storm_gives_one_line_a_second",
            {{0, "error", "bad 0"},
             {300, "error", "bad 1"},
             {600, "error", "bad 2"},
             {900, "error", "bad 3"},
             {1200, "error", "bad 4"},
             {1500, "error", "bad 5"},
             {1800, "error", "bad 6"},
             {2100, "error", "bad 7"},
             {2400, "error", "bad 8"}},
            {"scope: error: bad 0", "scope: error: bad 3 (and 2 more like it in the last second)",
             // Summaries are written when the log is next asked (every frame in the scope).
             "scope: error: bad 7 (and 3 more like it in the last second)", "scope: error: bad 8"}},
        LogCase{"a_message_is_one_line",
                {{0, "error", "names ['a\nb', 'c\td']\r\x01"}},
                {"scope: error: names ['a\\nb', 'c\\td']\\r\\x01"}},
        LogCase{
            "an_unclosed_payload_is_plain_text",
            {{0, "error", "PD [1, 2, ... rejected: x"}, {1, "error", "PD [3, 4, ... rejected: y"}},
            {"scope: error: PD [1, 2, ... rejected: x",
             "scope: error: PD [3, 4, ... rejected: y"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RateLimitedLog, CutsAHugeMessage) {
    std::vector<std::string> lines;
    {
        scope_log log(QString(),
                      [&](const QByteArray& line) { lines.push_back(line.toStdString()); });
        log.write(QStringLiteral("error"), QString(100'000, QLatin1Char('n')),
                  scope_log::Clock::now());
    }
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_LT(lines[0].size(), 2100u);
    EXPECT_NE(lines[0].find("(98000 more characters)"), std::string::npos) << lines[0].substr(1990);
}
