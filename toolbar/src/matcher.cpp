#include <tellurix/lumenfold/toolbar.h>

#include <QHash>
#include <QRegularExpression>
#include <QRegularExpressionMatch>
#include <QStringView>

#include <memory>
#include <optional>

namespace tellurix::lumenfold::toolbar {

namespace {

// Backtracking budget. Column pairs are short texts: the items people type need at most a
// few hundred engine steps per candidate. A runaway item such as (a+)+b needs about 2^len
// steps on a long name, and even a moderate excess costs n * n times over, since every
// candidate is tried. So each candidate first gets a quick budget; one that exceeds it is
// retried with the full budget, and only a limited number of such heavy candidates are
// allowed per call. Worst case, an item costs n * n quick budgets plus kHeavyCandidates
// full ones (a fraction of a second with the JIT) before it ends in a PatternError.
// The limits are PCRE2 start-of-pattern settings, so they are counted by the engine and
// the outcome does not depend on the machine's speed; a pattern may only lower them.
constexpr int kQuickMatchLimit = 5'000;
constexpr int kFullMatchLimit = 1'000'000;
constexpr int kDepthLimit = 100'000;
constexpr int kHeavyCandidates = 100;

QString budget_prefix(int match_limit) {
    return QStringLiteral("(*LIMIT_MATCH=%1)(*LIMIT_DEPTH=%2)").arg(match_limit).arg(kDepthLimit);
}

// Characters that stand for themselves in a pattern whatever follows them (bar a quantifier).
bool is_plain(QChar c) {
    if (c.unicode() < 0x80)
        return c.isLetterOrNumber() || QStringLiteral("_,-:/@%=!~<>&'\"").contains(c);
    return !c.isSurrogate() && c.isLetterOrNumber();
}

// True when `item` is certainly one alternative: no "|" outside every group. Only escapes
// and parentheses are understood here, so an item with a "|" and a construct that may hide
// a parenthesis or a bar (a class, quoting, a comment, a verb, a control escape) counts
// as possibly several alternatives.
bool single_branch(const QString& item) {
    if (!item.contains(QLatin1Char('|')))
        return true;
    for (const char* unsure : {"[", "\\Q", "(?", "(*", "\\c"}) {
        if (item.contains(QLatin1String(unsure)))
            return false;
    }
    int depth = 0;
    for (int i = 0; i < item.size(); ++i) {
        const QChar c = item.at(i);
        if (c == QLatin1Char('\\'))
            ++i;
        else if (c == QLatin1Char('('))
            ++depth;
        else if (c == QLatin1Char(')'))
            --depth;
        else if (c == QLatin1Char('|') && depth <= 0)
            return false;
    }
    return true;
}

// Literal text with which every whole-candidate match of an item must begin and end; ""
// where that cannot be told for sure.
//
// Qt charges a fixed cost per match call (allocations around the engine) far above what
// the engine needs to reject a candidate on its first or last characters, and typed items
// mostly start and end with column-name text. A candidate without these literals cannot be
// accepted, so it is rejected without a call. Any doubt gives "" and the engine's answer.
struct Literals {
    QString prefix;
    QString suffix;
};

Literals required_literals(const QString& item) {
    Literals out;
    if (!single_branch(item))
        return out;

    int n = 0;
    while (n < item.size() && is_plain(item.at(n)))
        ++n;
    if (n < item.size() && QStringLiteral("?*+{").contains(item.at(n)))
        --n; // the last literal is quantified, so it may be absent or repeated
    if (n > 0)
        out.prefix = item.left(n);

    // The tail: only without escapes (digits and letters after a backslash can belong to
    // it: \x41, \12), group syntax (a lookaround, a comment, extended mode) and verbs
    // (*ACCEPT can end the match before the tail).
    if (item.contains(QLatin1Char('\\')) || item.contains(QLatin1String("(?")) ||
        item.contains(QLatin1String("(*")))
        return out;
    int m = 0;
    while (m < item.size() && is_plain(item.at(item.size() - 1 - m)))
        ++m;
    if (m > 0)
        out.suffix = item.right(m);
    return out;
}

// One item, compiled the first time a candidate reaches it. Until then a bad item is not
// an error: it may never be reached.
class Item {
public:
    Item(QString text, int& heavy_candidates)
        : text_(std::move(text))
        , heavy_(heavy_candidates) {}

    // True when the item's first anchored match is the whole of `candidate`.
    bool accepts(const QString& candidate) {
        if (text_.isEmpty())
            return false; // an empty expression only matches "", and candidates hold ","
        if (!quick_)
            compile();
        if (!candidate.startsWith(literals_.prefix) || !candidate.endsWith(literals_.suffix))
            return false;
        QRegularExpressionMatch m =
            quick_->match(candidate, 0, QRegularExpression::NormalMatch, match_options_);
        if (!m.isValid()) {
            check_subject(candidate);
            m = full_->match(candidate, 0, QRegularExpression::NormalMatch, match_options_);
            if (!m.isValid())
                fail(QStringLiteral("match limit exceeded on candidate '%1'").arg(candidate));
            if (++heavy_ > kHeavyCandidates)
                fail(QStringLiteral("match limit exceeded: more than %1 steps on each of %2 "
                                    "candidates, the last '%3'")
                         .arg(kQuickMatchLimit)
                         .arg(heavy_)
                         .arg(candidate));
        }
        return m.hasMatch() && m.capturedLength(0) == candidate.size();
    }

private:
    void compile() {
        const QString quick_budget = budget_prefix(kQuickMatchLimit);
        QRegularExpression raw(quick_budget + text_);
        if (!raw.isValid()) {
            const int offset = raw.patternErrorOffset() - quick_budget.size();
            throw PatternError(text_, raw.errorString(), offset < 0 ? 0 : offset);
        }
        // PCRE2's JIT does not take the anchoring as a match option (the engine then
        // interprets), so the anchor goes into the pattern where it means the same thing.
        // Not for items that recurse into the whole pattern (the anchor would recurse too)
        // nor for those the wrapping breaks (start-of-pattern settings, \Q or a comment
        // running to the end); they keep the match option.
        QString body = text_;
        match_options_ = QRegularExpression::AnchoredMatchOption;
        if (!recurses_into_whole(text_)) {
            const QString anchored = QLatin1String("\\A(?:") + text_ + QLatin1Char(')');
            if (QRegularExpression(quick_budget + anchored).isValid()) {
                body = anchored;
                match_options_ = QRegularExpression::NoMatchOption;
            }
        }
        quick_.emplace(quick_budget + body);
        full_.emplace(budget_prefix(kFullMatchLimit) + body);
        // JIT-compile now: the item is about to run on up to n * n candidates.
        quick_->optimize();
        full_->optimize();
        literals_ = required_literals(text_);
    }

    static bool recurses_into_whole(const QString& item) {
        for (const char* call : {"(?R", "(?0", "(?+0", "(?-0", "\\g<", "\\g'"}) {
            if (item.contains(QLatin1String(call)))
                return true;
        }
        return false;
    }

    // Qt reports every engine failure other than "no match" as an invalid match without
    // saying which; a subject that is not valid UTF-16 is the one besides the budget.
    void check_subject(const QString& candidate) const {
        if (!QStringView(candidate).isValidUtf16())
            throw PatternError(
                text_, QStringLiteral("candidate '%1' is not valid UTF-16").arg(candidate), 0);
    }

    [[noreturn]] void fail(const QString& what) const {
        throw PatternError(text_,
                           what + QLatin1String(" (the item backtracks too much; avoid nested "
                                                "repetition such as (a+)+)"),
                           0);
    }

    QString text_;
    int& heavy_; // shared by the items of one call
    // Valid once compiled.
    std::optional<QRegularExpression> quick_, full_;
    QRegularExpression::MatchOptions match_options_;
    Literals literals_;
};

} // namespace

XYPairs matched_xy_pairs(const QString& patterns, const QStringList& lst) {
    XYPairs pairs;
    if (lst.isEmpty())
        return pairs;

    QString stripped = patterns;
    stripped.remove(QLatin1Char(' '));
    const QStringList texts = stripped.split(QLatin1Char(';'));

    // Equal items share one compiled expression; `order` keeps the item sequence.
    int heavy_candidates = 0;
    std::vector<std::unique_ptr<Item>> distinct;
    std::vector<Item*> order;
    order.reserve(static_cast<std::size_t>(texts.size()));
    QHash<QString, Item*> by_text;
    for (const QString& text : texts) {
        Item*& slot = by_text[text];
        if (!slot) {
            distinct.push_back(std::make_unique<Item>(text, heavy_candidates));
            slot = distinct.back().get();
        }
        order.push_back(slot);
    }

    QString test;
    for (const QString& x : lst) {
        for (const QString& y : lst) {
            // Rebuilt in place: the match object that shared the text is gone by now, so
            // the buffer is reused without a new allocation.
            test.resize(0);
            test.reserve(x.size() + 1 + y.size());
            test.append(x).append(QLatin1Char(',')).append(y);
            for (Item* item : order) {
                if (item->accepts(test)) {
                    pairs.emplace_back(x, y);
                    break;
                }
            }
        }
    }
    return pairs;
}

} // namespace tellurix::lumenfold::toolbar
