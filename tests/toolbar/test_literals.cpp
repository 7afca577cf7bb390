// The literal text a pattern item requires at the start and the end of what it accepts,
// and which names can stand on each side of such a candidate.
#include "literals_p.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

#include <ostream>

namespace detail = tellurix::lumenfold::toolbar::detail;

namespace {

struct LiteralCase {
    const char* name;
    QString item;
    QString prefix;
    QString suffix;
    // A candidate the item accepts whole: whatever the analysis says it requires, this
    // candidate must have it, or skipping on the literals would lose a pair.
    QString accepted;
};

void PrintTo(const LiteralCase& c, std::ostream* os) {
    *os << c.name;
}

const LiteralCase kLiteralCases[] = {
    {"ExactPair", "t,volts", "t,volts", "t,volts", "t,volts"},
    {"ClassAfterTheComma", "t,ch[0-9]+", "t,ch", "", "t,ch12"},
    {"AnyXFixedY", ".*,volts", "", ",volts", "time,volts"},
    {"NamePartsBothEnds", "ch1[0-9]_temp,ch2.*_temp", "ch1", "_temp", "ch13_temp,ch2x_temp"},
    {"StarOnLastLetter", "uv*,w", "u", ",w", "u,w"},
    {"OptionalLastLetter", "uv?,w", "u", ",w", "u,w"},
    {"PlusOnLastLetter", "uv+,w", "u", ",w", "uvvv,w"},
    {"CountOnLastLetter", "uv{0,2},w", "u", ",w", "u,w"},
    {"LazyStar", "uv*?,w", "u", ",w", "u,w"},
    {"EscapeEndsThePrefix", "u\\.x,v", "u", "x,v", "u.x,v"},
    {"ClassEscapeBeforeTheTail", "time,ch\\d+_volt", "time,ch", "_volt", "time,ch12_volt"},
    {"HexEscapeOwnsItsDigits", "a,\\x41bc", "a,", "", "a,Abc"},
    {"HexEscapeWithBraces", "a,\\x{41}bc", "a,", "", "a,Abc"},
    {"PropertyEscapeOwnsItsLetter", "a,\\pLbc", "a,", "", "a,xbc"},
    {"ControlEscapeOwnsItsLetter", "a,\\cAbc", "a,", "", QStringLiteral("a,") + QChar(1) + "bc"},
    {"NamedCharacterEscape", "a,\\N{U+41}bc", "a,", "", "a,Abc"},
    {"DoubledBackslashStartsTheTailLate", "a\\\\dvolt", "a", "volt", "a\\dvolt"},
    {"BackslashAtTheEnd", "a,b\\\\", "a,b", "", "a,b\\"},
    {"EscapeInAClassBeforeTheTail", "a,[\\d.]volt", "a,", "volt", "a,7volt"},
    {"QuotingBeforeTheTail", "a,\\Q.*\\Evolt", "a,", "", "a,.*volt"},
    {"DotEndsThePrefix", "u.x,v", "u", "x,v", "uax,v"},
    {"TopLevelAlternation", "x,v|u,.*", "", "", "u,w"},
    {"AlternationAfterGroup", "w(,u|x)|u,v", "", "", "u,v"},
    {"AlternationInsideGroup", "u,(v|w)", "u,", "", "u,w"},
    {"EscapedBar", "w\\|u,v", "w", "u,v", "w|u,v"},
    {"BarInClassIsUnsure", "[|]u,v|x", "", "", "|u,v"},
    {"ParenthesisInClassHidesNoBar", "w[(]|u,v", "", "", "u,v"},
    {"QuotedBarIsUnsure", "a\\Q|\\E,b", "", "", "a|,b"},
    {"CommentWithBarIsUnsure", "a(?#|),b", "", "", "a,b"},
    {"InlineCaselessFromStart", "(?i)U,V", "", "", "u,v"},
    {"InlineCaselessAfterName", "u(?i),V", "u", "", "u,v"},
    {"ExtendedModeComment", "(?x)u,.#w", "", "", "u,q"},
    {"HexEscapeAtTheEnd", "\\w,\\x76", "", "", "u,v"},
    {"OctalEscapeAtTheEnd", "u,\\166", "u,", "", "u,v"},
    {"BackReferenceAtTheEnd", "(u),\\1", "", "", "u,u"},
    {"AcceptVerb", "u,v(*ACCEPT)w", "u,v", "", "u,v"},
    {"StartOfPatternSetting", "(*UTF)u,v", "", "", "u,v"},
    {"AnchorAtTheEnd", "u,v$", "u,v", "", "u,v"},
    {"NonAsciiLetters", "µs,Δ.", "µs,Δ", "", "µs,ΔV"},
    {"PunctuationThatIsPlain", "a-b:c/d,e=f", "a-b:c/d,e=f", "a-b:c/d,e=f", "a-b:c/d,e=f"},
    {"LiteralBraceIsConservative", "ab{,c", "a", ",c", "ab{,c"},
    {"OnlyAClass", "[uv],[vw]", "", "", "u,w"},
};

class RequiredLiterals : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(RequiredLiterals, AreWhatEveryAcceptedCandidateHas) {
    const LiteralCase& c = GetParam();
    const detail::Literals got = detail::required_literals(c.item);
    EXPECT_EQ(got.prefix, c.prefix);
    EXPECT_EQ(got.suffix, c.suffix);

    // Accepted as the matcher accepts: the first anchored match covers the candidate.
    const QRegularExpression re(c.item);
    ASSERT_TRUE(re.isValid()) << re.errorString().toStdString();
    const QRegularExpressionMatch m = re.match(c.accepted, 0, QRegularExpression::NormalMatch,
                                               QRegularExpression::AnchoredMatchOption);
    ASSERT_TRUE(m.hasMatch() && m.capturedLength(0) == c.accepted.size())
        << "the row's candidate must be accepted";
    EXPECT_TRUE(c.accepted.startsWith(got.prefix));
    EXPECT_TRUE(c.accepted.endsWith(got.suffix));
}

INSTANTIATE_TEST_SUITE_P(Table, RequiredLiterals, ::testing::ValuesIn(kLiteralCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Which names fit a side of the candidate
// ---------------------------------------------------------------------------

struct SideCase {
    const char* name;
    QString literal; // a prefix for X, a suffix for Y
    QString x_or_y;
    bool fits;
};

void PrintTo(const SideCase& c, std::ostream* os) {
    *os << c.name;
}

const SideCase kXCases[] = {
    {"EmptyPrefixFitsAll", "", "anything", true},
    {"NameIsTheXPart", "t,volts", "t", true},
    {"NameBeginsWithThePrefix", "ch", "ch12", true},
    {"NameEqualsThePrefix", "ch", "ch", true},
    {"NameHoldsTheWholePair", "t,volts", "t,volts,x", true},
    {"NameIsAPrefixButNoCommaFollows", "time,v", "ti", false},
    {"NameStopsAtAnInnerComma", "a,b,c", "a,b", true},
    {"OtherName", "t,volts", "u", false},
    {"LongerNameWithOtherStart", "ch", "time", false},
    {"EmptyName", "t,v", "", false},
    {"EmptyNameBeforeTheComma", ",v", "", true},
};

const SideCase kYCases[] = {
    {"EmptySuffixFitsAll", "", "anything", true},
    {"NameIsTheYPart", "t,volts", "volts", true},
    {"NameEndsWithTheSuffix", "_temp", "ch2_temp", true},
    {"NameHoldsTheWholePair", "t,volts", "x,t,volts", true},
    {"NameIsASuffixButNoCommaPrecedes", "t,volts", "olts", false},
    {"NameStartsAtAnInnerComma", "a,b,c", "b,c", true},
    {"OtherName", "t,volts", "amps", false},
    {"EmptyName", "t,v", "", false},
    {"EmptyNameAfterTheComma", "t,", "", true},
};

class XMayBegin : public ::testing::TestWithParam<SideCase> {};
class YMayEnd : public ::testing::TestWithParam<SideCase> {};

// The answer must agree with the candidates themselves: some "x,y" begins with the prefix
// exactly when the name fits (a Y name long enough to complete the prefix always exists).
TEST_P(XMayBegin, WhenSomeCandidateBeginsWithThePrefix) {
    const SideCase& c = GetParam();
    EXPECT_EQ(detail::x_may_begin(c.x_or_y, c.literal), c.fits);
    const QString completing = c.literal.mid(c.x_or_y.size() + 1);
    EXPECT_EQ((c.x_or_y + QLatin1Char(',') + completing).startsWith(c.literal), c.fits);
}

TEST_P(YMayEnd, WhenSomeCandidateEndsWithTheSuffix) {
    const SideCase& c = GetParam();
    EXPECT_EQ(detail::y_may_end(c.x_or_y, c.literal), c.fits);
    const QString completing =
        c.literal.left(std::max(0, int(c.literal.size()) - int(c.x_or_y.size()) - 1));
    EXPECT_EQ((completing + QLatin1Char(',') + c.x_or_y).endsWith(c.literal), c.fits);
}

INSTANTIATE_TEST_SUITE_P(Table, XMayBegin, ::testing::ValuesIn(kXCases),
                         [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Table, YMayEnd, ::testing::ValuesIn(kYCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
