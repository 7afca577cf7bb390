// matched_xy_pairs: one table of (pattern text, column names) -> pairs or error.
#include <tellurix/lumenfold/toolbar.h>

#include <QHash>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <optional>
#include <ostream>

namespace lf = tellurix::lumenfold;
using lf::toolbar::matched_xy_pairs;
using lf::toolbar::XYPairs;

namespace {

struct Failure {
    QString item;
    int offset;
    QString message_part;
};

struct MatchCase {
    const char* name;
    QString patterns;
    QStringList names;
    XYPairs expected;               // when no failure is expected
    std::optional<Failure> failure; // the PatternError the call must end in
};

void PrintTo(const MatchCase& c, std::ostream* os) {
    *os << c.name;
}

const QStringList uvw{QStringLiteral("u"), QStringLiteral("v"), QStringLiteral("w")};

XYPairs P(std::initializer_list<lf::toolbar::XYPair> pairs) {
    return XYPairs(pairs);
}

// Long enough for a nested repetition to run away: 2^32 ways to split it.
const QString a32(32, QLatin1Char('a'));
// Short enough that one candidate stays within the engine's full budget (2^14 ways), long
// enough to exceed the quick one; a whole list of them must still end the call.
const QString a14(14, QLatin1Char('a'));
QStringList many_a14_and_b() {
    QStringList names;
    for (int i = 0; i < 101; ++i)
        names << a14;
    return names << "b";
}

// Names as a data logger writes them: c0, c1, ...
QStringList channels(int n) {
    static QHash<int, QStringList> made; // the long lists serve several rows
    if (made.contains(n))
        return made.value(n);
    QStringList& names = made[n];
    names.reserve(n);
    for (int i = 0; i < n; ++i)
        names << QStringLiteral("c%1").arg(i);
    return names;
}

const QString lone_high(QChar(0xD800));
const QString lone_low_in_name = QStringLiteral("v") + QChar(0xDC00);

// Long enough that a group repeated once per character exhausts the budget: the item is
// linear in the text, nothing like a nested repetition.
const QString a30000(30'000, QLatin1Char('a'));

const MatchCase kCases[] = {
    {"WorkedExample",
     "time, volt ; curr,.*",
     {"time", "volt", "curr"},
     P({{"time", "volt"}, {"curr", "time"}, {"curr", "volt"}, {"curr", "curr"}}),
     {}},
    {"EmptyText", "", uvw, {}, {}},
    {"TrailingEmptyItem", "u,v;", uvw, P({{"u", "v"}}), {}},
    {"LeadingEmptyItem", ";u,v", uvw, P({{"u", "v"}}), {}},
    {"OnlySeparators", ";;;", uvw, {}, {}},
    {"BlanksRemoved", " u , v ", uvw, P({{"u", "v"}}), {}},
    {"TabIsNotABlank", "u,\tv", uvw, {}, {}},
    {"ProductOrderNotItemOrder", "v,u;u,v", uvw, P({{"u", "v"}, {"v", "u"}}), {}},
    {"OnePairPerPosition", "u,v;u,.*", uvw, P({{"u", "u"}, {"u", "v"}, {"u", "w"}}), {}},
    {"SameItemTwice", "u,v;u,v", uvw, P({{"u", "v"}}), {}},
    {"PrefixMatchDoesNotAccept", "u,.", {"u", "vw"}, P({{"u", "u"}}), {}},
    {"AlternationFirstBranchPrefix", "u,u|u,uv", {"u", "uv"}, P({{"u", "u"}}), {}},
    {"AlternationLongBranchFirst", "u,uv|u,u", {"u", "uv"}, P({{"u", "u"}, {"u", "uv"}}), {}},
    {"LazyQuantifierStopsShort", "u,.*?", uvw, {}, {}},
    {"AnchoredAtStartOnly", "v", uvw, {}, {}},
    {"GreedyBacktracksToWholeText", ".*v", uvw, P({{"u", "v"}, {"v", "v"}, {"w", "v"}}), {}},
    {"CaseSensitive", "U,v", uvw, {}, {}},
    {"BlankInsideNameIsRemovedFromItem", "u,my col", {"u", "my col"}, {}, {}},
    {"DotMatchesTheBlank", "u,my.col", {"u", "my col"}, P({{"u", "my col"}}), {}},
    {"EscapedDotIsLiteral", "u\\.x,v", {"u.x", "uax", "v"}, P({{"u.x", "v"}}), {}},
    {"DotIsAnyCharacter", "u.x,v", {"u.x", "uax", "v"}, P({{"u.x", "v"}, {"uax", "v"}}), {}},
    {"DuplicateNames", "u,u", {"u", "u"}, P({{"u", "u"}, {"u", "u"}, {"u", "u"}, {"u", "u"}}), {}},
    {"NonAsciiNames", "µs,Δ.", {"µs", "ΔV", "ΔVV"}, P({{"µs", "ΔV"}}), {}},
    {"QuantifiedLastLetterMayBeAbsent",
     "uv*,w",
     {"u", "uvv", "w"},
     P({{"u", "w"}, {"uvv", "w"}}),
     {}},
    {"OptionalLastLetter", "uv?,w", {"u", "uv", "w"}, P({{"u", "w"}, {"uv", "w"}}), {}},
    {"CountedLastLetter", "uv{2},w", {"uv", "uvv", "w"}, P({{"uvv", "w"}}), {}},
    {"TopLevelAlternativeAfterName", "x,v|u,.*", uvw, P({{"u", "u"}, {"u", "v"}, {"u", "w"}}), {}},
    {"TopLevelAlternativeAfterGroup", "w(,u|x)|u,v", uvw, P({{"u", "v"}, {"w", "u"}}), {}},
    {"AlternativeInsideGroupOnly", "u,(v|w)", uvw, P({{"u", "v"}, {"u", "w"}}), {}},
    {"EscapedBarIsLiteral", "w\\|u,v", {"w|u", "v"}, P({{"w|u", "v"}}), {}},
    {"ParenthesisInClassHidesNoBar", "w[(]|u,v", uvw, P({{"u", "v"}}), {}},
    {"EscapedParenthesisHidesNoBar", "w\\(|u,v", uvw, P({{"u", "v"}}), {}},
    {"InlineCaselessFromStart", "(?i)U,V", uvw, P({{"u", "v"}}), {}},
    {"InlineCaselessAfterName", "u(?i),V", uvw, P({{"u", "v"}}), {}},
    {"EndsWithHexEscape", "\\w,\\x76", uvw, P({{"u", "v"}, {"v", "v"}, {"w", "v"}}), {}},
    {"EndsWithOctalEscape", "u,\\166", uvw, P({{"u", "v"}}), {}},
    {"EndsWithBackReference", "(u),\\1", uvw, P({{"u", "u"}}), {}},
    {"EndsInExtendedModeComment", "(?x)u,.#w", uvw, P({{"u", "u"}, {"u", "v"}, {"u", "w"}}), {}},
    {"AcceptVerbEndsMatchEarly", "u,v(*ACCEPT)w", uvw, P({{"u", "v"}}), {}},
    {"RecursionIntoWholeItem", "u(?R)?,v", {"uu,v", "v"}, P({{"uu,v", "v"}}), {}},
    {"StartOfPatternSetting", "(*UTF)u,v", uvw, P({{"u", "v"}}), {}},
    {"QuotingToTheEnd", "\\Qu,v", uvw, P({{"u", "v"}}), {}},
    {"EmptyNamesNeverCompile", "*;(", {}, {}, {}},
    {"EmptyNamesEmptyText", "", {}, {}, {}},
    {"InvalidItemReached", "u,v;*", uvw, {}, Failure{"*", 0, "quantifier"}},
    {"InvalidItemOffsetInItem", "u,v)", uvw, {}, Failure{"u,v)", 3, "parenthesis"}},
    {"InvalidItemOffsetAfterBlanks", "u ,( v", uvw, {}, Failure{"u,(v", 4, "parenthesis"}},
    {"InvalidItemNeverReached",
     "u,.*;v,.*;w,.*;*",
     uvw,
     P({{"u", "u"},
        {"u", "v"},
        {"u", "w"},
        {"v", "u"},
        {"v", "v"},
        {"v", "w"},
        {"w", "u"},
        {"w", "v"},
        {"w", "w"}}),
     {}},
    // A nested repetition on a long name would backtrack for minutes; the budget turns it
    // into an error on the first candidate that runs away.
    {"RunawayBacktrackingEndsInError",
     "(a+)+b",
     {a32, "b"},
     {},
     Failure{"(a+)+b", 0, "match limit exceeded"}},
    {"ManyHeavyCandidatesEndTheCall",
     "(a+)+b",
     many_a14_and_b(),
     {},
     Failure{"(a+)+b", 0, "on each of 101 candidates"}},
    {"FewHeavyCandidatesStillMatch",
     "(a+)+b|.*",
     {a14, a14, "b"},
     P({{a14, a14},
        {a14, a14},
        {a14, "b"},
        {a14, a14},
        {a14, a14},
        {a14, "b"},
        {"b", a14},
        {"b", a14},
        {"b", "b"}}),
     {}},
    {"LoneSurrogateNamesMatchNothing",
     ".*",
     {"u", lone_high, "w", lone_low_in_name},
     P({{"u", "u"}, {"u", "w"}, {"w", "u"}, {"w", "w"}}),
     {}},
    {"LoneSurrogateNameWithALiteralItem", "u,.*", {"u", lone_high}, P({{"u", "u"}}), {}},
    {"LoneSurrogateNameStillReachesAnInvalidItem",
     "u,u;*",
     {"u", lone_high},
     {},
     Failure{"*", 0, "quantifier"}},
    // The item is linear in the text; what exhausts the budget is the name's length.
    {"LinearItemOnAVeryLongNameBlamesTheLength",
     "(a)*,b",
     {a30000, "b"},
     {},
     Failure{"(a)*,b", 0,
             "on candidate 'aaaaaaaaaaaaaaaaaaaaaaaaaaaaaa…aaaaaaaaaaaaaaaaaaaaaaaaaaaa,b' "
             "(30,002 characters): the name is too long for this item's match budget"}},
    // The work of one call is bounded before any pair is tried: the pairs stay as they were.
    {"TooManyPairsToCheck",
     ".*",
     channels(1500),
     {},
     Failure{".*", 0,
             "1,500 names give 2,250,000 pairs to check (at most 1,000,000); narrow the "
             "pattern"}},
    {"TooManyPairsOverSeveralItemsNamesTheWidest",
     "c1.*,.*;.*,.*",
     channels(1500),
     {},
     Failure{".*,.*", 0, "1,500 names give 3,166,500 pairs to check over 2 items"}},
    {"NamesOutsideTheLiteralsAreNotCounted",
     "c1.*,.*;.*,c7",
     channels(1500),
     [] {
         XYPairs pairs;
         const QStringList names = channels(1500);
         for (const QString& x : names) {
             for (const QString& y : names) {
                 if (x.startsWith("c1") || y == "c7")
                     pairs.emplace_back(x, y);
             }
         }
         return pairs;
     }(),
     {}},
    {"InvalidItemIsReportedRatherThanTheCount",
     ".*;u,(v",
     channels(1500),
     {},
     Failure{"u,(v", 4, "parenthesis"}},
    {"InvalidItemReachedByAPairNoOtherItemCanAccept",
     "t,volts;*",
     {"t", "volts"},
     {},
     Failure{"*", 0, "quantifier"}},
    {"OnlyEmptyItemsOnAHugeList", " ; ;", channels(1'000'000), {}, {}},
    {"TooManyItemsForAHugeList",
     "c0,c1;c1,c2;c2,c3;c3,c4;c4,c5;c5,c6;c6,c7;c7,c8;c8,c9",
     channels(1'000'000),
     {},
     Failure{"c8,c9", 0, "1,000,000 names allow at most 8 different items; use fewer items"}},
    {"LiteralItemsOnAHugeListKeepTheProductOrder",
     "c7,c3 ; c5,.* ; .*,c2",
     channels(100'000),
     [] {
         XYPairs pairs;
         const QStringList names = channels(100'000);
         for (const QString& x : names) {
             if (x == "c5") {
                 for (const QString& y : names)
                     pairs.emplace_back(x, y);
                 continue;
             }
             pairs.emplace_back(x, "c2");
             if (x == "c7")
                 pairs.emplace_back(x, "c3");
         }
         return pairs;
     }(),
     {}},
    {"RunawayItemAfterAcceptingItemIsNotReached",
     ".*;(a+)+b",
     {a32, "b"},
     P({{a32, a32}, {a32, "b"}, {"b", a32}, {"b", "b"}}),
     {}},
};

class MatchedXYPairs : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchedXYPairs, ProducesThePairsOrTheError) {
    const MatchCase& c = GetParam();
    if (!c.failure) {
        EXPECT_EQ(matched_xy_pairs(c.patterns, c.names), c.expected);
        return;
    }
    try {
        matched_xy_pairs(c.patterns, c.names);
        FAIL() << "expected PatternError for item " << c.failure->item.toStdString();
    } catch (const lf::PatternError& e) {
        EXPECT_EQ(e.item(), c.failure->item);
        EXPECT_EQ(e.offset(), c.failure->offset);
        EXPECT_TRUE(e.message().contains(c.failure->message_part)) << e.what();
        EXPECT_EQ(QString::fromUtf8(e.what()),
                  QStringLiteral("invalid pattern item '%1': %2 at offset %3")
                      .arg(c.failure->item, e.message())
                      .arg(c.failure->offset));
    }
}

INSTANTIATE_TEST_SUITE_P(Table, MatchedXYPairs, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The pairs equal those of the plain walk over every candidate
// ---------------------------------------------------------------------------

// The matching rule written out directly: every candidate in product order, every item in
// order, anchored at the start, accepted when the first match covers the whole text. The
// matcher skips candidates and items by their literal text; it must never change the result.
XYPairs every_candidate(const QString& patterns, const QStringList& names) {
    QString stripped = patterns;
    stripped.remove(QLatin1Char(' '));
    std::vector<QRegularExpression> items;
    for (const QString& item : stripped.split(QLatin1Char(';')))
        items.emplace_back(item);
    XYPairs pairs;
    for (const QString& x : names) {
        for (const QString& y : names) {
            const QString test = x + QLatin1Char(',') + y;
            for (const QRegularExpression& re : items) {
                const QRegularExpressionMatch m = re.match(test, 0, QRegularExpression::NormalMatch,
                                                           QRegularExpression::AnchoredMatchOption);
                if (m.hasMatch() && m.capturedLength(0) == test.size()) {
                    pairs.emplace_back(x, y);
                    break;
                }
            }
        }
    }
    return pairs;
}

// Names that share beginnings and endings, hold commas, repeat, or are empty: the cases
// where a literal could wrongly rule a name in or out.
const QStringList kTrickyNames{"t",        "t,volts", "volts", "ch1", "ch12", "ch2",   "",
                               ",",        "a,b",     "b",     "a",   "x,t",  "t",     "ch1_temp",
                               "ch2_temp", "µs",      "volt",  "ts",  "t,",   ",volts"};

class SameAsEveryCandidate : public ::testing::TestWithParam<const char*> {};

TEST_P(SameAsEveryCandidate, ForTrickyNames) {
    const QString patterns = QString::fromUtf8(GetParam());
    const XYPairs expected = every_candidate(patterns, kTrickyNames);
    EXPECT_EQ(matched_xy_pairs(patterns, kTrickyNames), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, SameAsEveryCandidate,
    ::testing::Values("t,volts", "t,ch[0-9]+", ".*,volts", "ch1.*,ch2.*;t,.*", "a,b,?.*",
                      ".*,t;t,.*", ",.*", ".*,", "a,b,b;a,b", "t,volts;.*,b;ch1,ch12", "(t|a),.*",
                      "x,t,t", "c.*,.*;.*,c.*", "t,;,volts", ",;,,", "t,,volts", ".*_temp;t.*",
                      "ch1,ch12;ch1.*,ch1.*;ch.*,ch2", "t,v?olts", "µs,.*;.*,µs", "t|ch1,ch2.*",
                      ".*,t,volts", "a,b,a,b", "t,volts;t,volts;.*s", "ch\\d_temp", "ch\\d+,ch\\d",
                      ".*\\d,volts", "t\\,volts", "\\w+,\\.*olts"));

} // namespace
