#include <tellurix/lumenfold/toolbar.h>

#include <QHash>
#include <QRegularExpression>
#include <QRegularExpressionMatch>
#include <QStringView>

#include <memory>

namespace tellurix::lumenfold::toolbar {

namespace {

// Backtracking budget of one item on one candidate. Column pairs are short texts: an
// ordinary item needs a few hundred engine steps, so this leaves several orders of
// magnitude of headroom while a runaway item such as (a+)+b on a long name gives up after a
// few milliseconds instead of minutes. The values are PCRE2 start-of-pattern settings: the
// engine only lets a pattern lower its limits, never raise them past the library default.
constexpr int kMatchLimit = 1'000'000;
constexpr int kDepthLimit = 100'000;

const QString& budget_prefix() {
    static const QString prefix =
        QStringLiteral("(*LIMIT_MATCH=%1)(*LIMIT_DEPTH=%2)").arg(kMatchLimit).arg(kDepthLimit);
    return prefix;
}

// One item, compiled the first time a candidate reaches it. Until then a bad item is not
// an error: it may never be reached.
class Item {
public:
    explicit Item(QString text)
        : text_(std::move(text)) {}

    // True when the item's first anchored match is the whole of `candidate`.
    bool accepts(const QString& candidate) {
        if (text_.isEmpty())
            return false; // an empty expression only matches "", and candidates hold ","
        if (!re_)
            compile();
        const QRegularExpressionMatch m = re_->match(candidate, 0, QRegularExpression::NormalMatch,
                                                     QRegularExpression::AnchoredMatchOption);
        if (!m.isValid())
            fail_match(candidate);
        return m.hasMatch() && m.capturedLength(0) == candidate.size();
    }

private:
    void compile() {
        re_ = std::make_unique<QRegularExpression>(budget_prefix() + text_);
        if (!re_->isValid()) {
            const int offset = re_->patternErrorOffset() - budget_prefix().size();
            throw PatternError(text_, re_->errorString(), offset < 0 ? 0 : offset);
        }
        // JIT-compile now: the item is about to run on up to n * n candidates.
        re_->optimize();
    }

    [[noreturn]] void fail_match(const QString& candidate) const {
        // Qt reports every engine failure other than "no match" as an invalid match
        // without saying which; the budget is the one a valid UTF-16 subject can hit.
        if (!QStringView(candidate).isValidUtf16())
            throw PatternError(
                text_, QStringLiteral("candidate '%1' is not valid UTF-16").arg(candidate), 0);
        throw PatternError(text_,
                           QStringLiteral("match limit exceeded on candidate '%1' (the item "
                                          "backtracks too much; avoid nested repetition such "
                                          "as (a+)+)")
                               .arg(candidate),
                           0);
    }

    QString text_;
    std::unique_ptr<QRegularExpression> re_;
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
    std::vector<std::unique_ptr<Item>> distinct;
    std::vector<Item*> order;
    order.reserve(static_cast<std::size_t>(texts.size()));
    QHash<QString, Item*> by_text;
    for (const QString& text : texts) {
        Item*& slot = by_text[text];
        if (!slot) {
            distinct.push_back(std::make_unique<Item>(text));
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
