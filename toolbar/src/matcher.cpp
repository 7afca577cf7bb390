#include "literals_p.h"

#include <tellurix/lumenfold/toolbar.h>

#include <QLocale>
#include <QRegularExpression>
#include <QRegularExpressionMatch>
#include <QSet>
#include <QStringView>

#include <algorithm>
#include <memory>
#include <optional>

namespace tellurix::lumenfold::toolbar {

namespace {

using detail::Literals;

// Backtracking budget. Column pairs are short texts: the items people type need at most a
// few hundred engine steps per candidate. A runaway item such as (a+)+b needs about 2^len
// steps on a long name, and even a moderate excess costs n * n times over, since every
// candidate is tried. So each candidate first gets a quick budget; one that exceeds it is
// retried with the full budget, and only a limited number of such heavy candidates are
// allowed per call. Worst case, an item costs its candidates' quick budgets plus
// kHeavyCandidates full ones (a fraction of a second with the JIT) before it ends in a
// PatternError. The limits are PCRE2 start-of-pattern settings, so they are counted by the
// engine and the outcome does not depend on the machine's speed; a pattern may only lower
// them.
constexpr int kQuickMatchLimit = 5'000;
constexpr int kFullMatchLimit = 1'000'000;
constexpr int kDepthLimit = 100'000;
constexpr int kHeavyCandidates = 100;

// Bounds on the work of one call, counted before any candidate is tried, so that a long
// name list cannot hold the GUI thread whatever the pattern. An (item, pair) check that
// runs the engine costs about 400 ns (a few tens when the item's literal text rules the
// pair out), so kMaxChecks keeps a call of items that need ordinary backtracking under
// half a second; a pair that no item can accept is never built and costs nothing. Every
// item also looks at each name (about 50 ns a name with a million of them), which
// kMaxNameTests bounds.
constexpr qint64 kMaxChecks = 1'000'000;
constexpr qint64 kMaxNameTests = 8'000'000;

// Beyond this many characters a candidate can exhaust the budget with an item that is
// linear in the text (a group repeated once per character), so running out says more
// about the name's length than about the item's form.
constexpr int kLongCandidate = 1'000;

QString budget_prefix(int match_limit) {
    return QStringLiteral("(*LIMIT_MATCH=%1)(*LIMIT_DEPTH=%2)").arg(match_limit).arg(kDepthLimit);
}

QString counted(qint64 n) {
    return QLocale(QLocale::English, QLocale::UnitedStates).toString(n);
}

// A candidate as an error message quotes it: names may be megabytes long.
QString quoted(const QString& candidate) {
    constexpr int kKeep = 30;
    if (candidate.size() <= 2 * kKeep + 1)
        return QLatin1Char('\'') + candidate + QLatin1Char('\'');
    return QStringLiteral("'%1…%2' (%3 characters)")
        .arg(candidate.left(kKeep), candidate.right(kKeep), counted(candidate.size()));
}

// One item, compiled before the walk; an item the engine rejects is not an error until a
// candidate reaches it, since it may never be reached.
class Item {
public:
    Item(QString text, int& heavy_candidates)
        : text_(std::move(text))
        , heavy_(heavy_candidates) {}

    const QString& text() const { return text_; }
    const Literals& literals() const { return literals_; }

    // The error a candidate that reaches this item ends in, or none for a usable item.
    std::optional<PatternError> compile() {
        const QString quick_budget = budget_prefix(kQuickMatchLimit);
        QRegularExpression raw(quick_budget + text_);
        if (!raw.isValid()) {
            const int offset = raw.patternErrorOffset() - quick_budget.size();
            return PatternError(text_, raw.errorString(), offset < 0 ? 0 : offset);
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
        // JIT-compile now: the item is about to run on many candidates.
        quick_->optimize();
        full_->optimize();
        literals_ = detail::required_literals(text_);
        return std::nullopt;
    }

    // True when the item's first anchored match is the whole of `candidate`, which is
    // valid UTF-16. Only for an item whose compile() succeeded.
    bool accepts(const QString& candidate) {
        if (!candidate.startsWith(literals_.prefix) || !candidate.endsWith(literals_.suffix))
            return false;
        QRegularExpressionMatch m =
            quick_->match(candidate, 0, QRegularExpression::NormalMatch, match_options_);
        if (!m.isValid()) {
            m = full_->match(candidate, 0, QRegularExpression::NormalMatch, match_options_);
            if (!m.isValid())
                fail(candidate,
                     QStringLiteral("match limit exceeded on candidate %1").arg(quoted(candidate)));
            if (++heavy_ > kHeavyCandidates)
                fail(candidate, QStringLiteral("match limit exceeded: more than %1 steps on "
                                               "each of %2 candidates, the last %3")
                                    .arg(kQuickMatchLimit)
                                    .arg(heavy_)
                                    .arg(quoted(candidate)));
        }
        return m.hasMatch() && m.capturedLength(0) == candidate.size();
    }

private:
    static bool recurses_into_whole(const QString& item) {
        for (const char* call : {"(?R", "(?0", "(?+0", "(?-0", "\\g<", "\\g'"}) {
            if (item.contains(QLatin1String(call)))
                return true;
        }
        return false;
    }

    // Said with the cause that fits: on a short text only a combinatorial item runs out,
    // on a long one any item that keeps a backtracking point per character may.
    [[noreturn]] void fail(const QString& candidate, const QString& what) const {
        const QString why =
            candidate.size() >= kLongCandidate
                ? QStringLiteral(": the name is too long for this item's match budget (use "
                                 "fewer groups and repetitions, or leave such names out)")
                : QStringLiteral(" (the item backtracks too much; avoid nested repetition "
                                 "such as (a+)+)");
        throw PatternError(text_, what + why, 0);
    }

    QString text_;
    int& heavy_; // shared by the items of one call
    // Valid once compiled.
    std::optional<QRegularExpression> quick_, full_;
    QRegularExpression::MatchOptions match_options_;
    Literals literals_;
};

// The names that can stand on one side of a pair an item accepts: every usable name, or
// those that fit the item's literal text.
struct Side {
    bool every = true;
    std::vector<char> fits;     // by position, when not every
    std::vector<int> positions; // the fitting positions in order, when not every
    qint64 count = 0;

    template <typename Fits> void select(const QStringList& names, Fits&& fit) {
        every = false;
        fits.assign(static_cast<std::size_t>(names.size()), 0);
        for (int i = 0; i < names.size(); ++i) {
            if (fit(i)) {
                fits[static_cast<std::size_t>(i)] = 1;
                positions.push_back(i);
            }
        }
        count = static_cast<qint64>(positions.size());
    }
    bool admits(int i) const { return every || fits[static_cast<std::size_t>(i)]; }
};

struct Planned {
    Item* item;
    Side x, y;
};

} // namespace

XYPairs matched_xy_pairs(const QString& patterns, const QStringList& lst) {
    XYPairs pairs;
    if (lst.isEmpty())
        return pairs;
    const int n = lst.size();

    QString stripped = patterns;
    stripped.remove(QLatin1Char(' '));
    const QStringList texts = stripped.split(QLatin1Char(';'));

    // The items a candidate can reach, in order. An empty item accepts nothing (every
    // candidate holds ","), and a repeated one nothing its first occurrence refused. The
    // first item the engine rejects (the blocker) ends the call as soon as a candidate
    // reaches it, that is, as soon as one is accepted by none of the items before it; the
    // items after it are never reached.
    int heavy_candidates = 0;
    std::vector<std::unique_ptr<Item>> items;
    std::optional<PatternError> blocker;
    QSet<QString> seen;
    for (const QString& text : texts) {
        if (text.isEmpty() || seen.contains(text))
            continue;
        seen.insert(text);
        auto item = std::make_unique<Item>(text, heavy_candidates);
        if ((blocker = item->compile()))
            break;
        items.push_back(std::move(item));
    }
    if (items.empty()) {
        if (blocker)
            throw *blocker;
        return pairs;
    }

    if (qint64(n) * qint64(items.size()) > kMaxNameTests) {
        if (blocker)
            throw *blocker;
        const qint64 allowed = kMaxNameTests / n;
        throw PatternError(items[static_cast<std::size_t>(allowed)]->text(),
                           allowed == 0
                               ? QStringLiteral("%1 names are too many to match (at most %2)")
                                     .arg(counted(n), counted(kMaxNameTests))
                               : QStringLiteral("%1 names allow at most %2 different items; "
                                                "use fewer items")
                                     .arg(counted(n), counted(allowed)),
                           0);
    }

    // A name that is not valid UTF-16 (a lone surrogate) has no text to match: the pairs
    // it stands in match nothing, whatever the item.
    std::vector<char> usable(static_cast<std::size_t>(n), 1);
    bool all_usable = true;
    for (int i = 0; i < n; ++i) {
        if (!QStringView(lst.at(i)).isValidUtf16()) {
            usable[static_cast<std::size_t>(i)] = 0;
            all_usable = false;
        }
    }
    auto is_usable = [&usable](int i) { return usable[static_cast<std::size_t>(i)] != 0; };

    std::vector<Planned> plan;
    plan.reserve(items.size());
    qint64 checks = 0;
    std::size_t widest = 0;
    for (const auto& item : items) {
        Planned p{item.get(), {}, {}};
        const Literals& lit = item->literals();
        if (lit.prefix.isEmpty() && all_usable)
            p.x.count = n;
        else
            p.x.select(lst, [&](int i) {
                return is_usable(i) && detail::x_may_begin(lst.at(i), lit.prefix);
            });
        if (lit.suffix.isEmpty() && all_usable)
            p.y.count = n;
        else
            p.y.select(lst, [&](int i) {
                return is_usable(i) && detail::y_may_end(lst.at(i), lit.suffix);
            });
        const qint64 mine = p.x.count * p.y.count;
        if (plan.empty() || mine > plan[widest].x.count * plan[widest].y.count)
            widest = plan.size();
        checks += mine;
        plan.push_back(std::move(p));
    }
    if (checks > kMaxChecks) {
        if (blocker)
            throw *blocker;
        const QString over =
            plan.size() > 1 ? QStringLiteral(" over %1 items").arg(plan.size()) : QString();
        throw PatternError(plan[widest].item->text(),
                           QStringLiteral("%1 names give %2 pairs to check%3 (at most %4); "
                                          "narrow the pattern")
                               .arg(counted(n), counted(checks), over, counted(kMaxChecks)),
                           0);
    }

    // The walk keeps the order of the product (x, then y, by position) and tries the items
    // in their order; a pair that no item can accept is not built. Where an item stops the
    // call, such a pair reaches it all the same, and the call ends there.
    auto skipped = [&blocker] {
        if (blocker)
            throw *blocker;
    };
    std::vector<const Planned*> applicable;
    std::vector<int> ys, merged;
    QString test;
    for (int xi = 0; xi < n; ++xi) {
        applicable.clear();
        bool every_y = false;
        for (const Planned& p : plan) {
            if (p.x.admits(xi)) {
                applicable.push_back(&p);
                every_y = every_y || p.y.every;
            }
        }
        if (applicable.empty()) {
            skipped();
            continue;
        }
        const std::vector<int>* columns = nullptr;
        if (!every_y) {
            if (applicable.size() == 1) {
                columns = &applicable.front()->y.positions;
            } else {
                ys.clear();
                for (const Planned* p : applicable) {
                    merged.clear();
                    std::set_union(ys.begin(), ys.end(), p->y.positions.begin(),
                                   p->y.positions.end(), std::back_inserter(merged));
                    ys.swap(merged);
                }
                columns = &ys;
            }
        }
        const int walked = columns ? static_cast<int>(columns->size()) : n;
        const QString& x = lst.at(xi);
        int next = 0; // the first position after the last pair walked
        for (int k = 0; k < walked; ++k) {
            const int yi = columns ? (*columns)[static_cast<std::size_t>(k)] : k;
            if (yi != next)
                skipped();
            next = yi + 1;
            const QString& y = lst.at(yi);
            // Rebuilt in place: the match object that shared the text is gone by now, so
            // the buffer is reused without a new allocation.
            test.resize(0);
            test.reserve(x.size() + 1 + y.size());
            test.append(x).append(QLatin1Char(',')).append(y);
            bool accepted = false;
            for (const Planned* p : applicable) {
                if (p->y.admits(yi) && p->item->accepts(test)) {
                    accepted = true;
                    break;
                }
            }
            if (accepted)
                pairs.emplace_back(x, y);
            else
                skipped();
        }
        if (next != n)
            skipped();
    }
    return pairs;
}

} // namespace tellurix::lumenfold::toolbar
