#include "literals_p.h"

namespace tellurix::lumenfold::toolbar::detail {

namespace {

// Characters that stand for themselves in a pattern whatever follows them (bar a quantifier).
bool is_plain(QChar c) {
    if (c.unicode() < 0x80)
        return c.isLetterOrNumber() || QStringLiteral("_,-:/@%=!~<>&'\"").contains(c);
    return !c.isSurrogate() && c.isLetterOrNumber();
}

// Escapes that are a backslash and one character, whatever follows: the class and
// assertion letters and escaped punctuation. (A doubled backslash counts as an escape of
// the next character; the tail then starts one character late, which is only shorter.)
bool is_short_escape(QChar c) {
    if (c.unicode() >= 0x80)
        return false;
    if (c.isLetterOrNumber())
        return QStringLiteral("dDwWsShHvVRbBAzZGKXtnrfe").contains(c);
    return c.isPrint();
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

} // namespace

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

    // The tail: never with group syntax (a lookaround, a comment, extended mode), verbs
    // (*ACCEPT can end the match before the tail) or quoting. It starts after the last
    // escape, which must be one whose length is certain: letters and digits after some
    // escapes belong to them (\x41, \12, \pL, \cA).
    if (item.contains(QLatin1String("(?")) || item.contains(QLatin1String("(*")) ||
        item.contains(QLatin1String("\\Q")))
        return out;
    int tail_start = 0;
    const int escape = item.lastIndexOf(QLatin1Char('\\'));
    if (escape >= 0) {
        if (escape + 1 >= item.size() || !is_short_escape(item.at(escape + 1)))
            return out;
        tail_start = escape + 2;
    }
    int m = 0;
    while (m < item.size() - tail_start && is_plain(item.at(item.size() - 1 - m)))
        ++m;
    if (m > 0)
        out.suffix = item.right(m);
    return out;
}

bool x_may_begin(const QString& x, const QString& prefix) {
    if (x.size() >= prefix.size())
        return x.startsWith(prefix);
    return prefix.startsWith(x) && prefix.at(x.size()) == QLatin1Char(',');
}

bool y_may_end(const QString& y, const QString& suffix) {
    if (y.size() >= suffix.size())
        return y.endsWith(suffix);
    return suffix.endsWith(y) && suffix.at(suffix.size() - y.size() - 1) == QLatin1Char(',');
}

} // namespace tellurix::lumenfold::toolbar::detail
