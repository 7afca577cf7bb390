#include <tellurix/lumenfold/host/value.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace tellurix::lumenfold::host {

QString float_text(double d) {
    if (std::isnan(d))
        return QStringLiteral("nan");
    if (std::isinf(d))
        return d > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");

    // Shortest round-trip digits from to_chars, then laid out the way Python's repr does:
    // positional for decimal exponents -4 <= e < 16, otherwise d.ddde+XX.
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    const auto epos = sci.find('e');
    std::string mant = sci.substr(0, epos);
    const int exp = std::atoi(sci.c_str() + epos + 1);
    bool negative = false;
    if (!mant.empty() && mant[0] == '-') {
        negative = true;
        mant.erase(0, 1);
    }
    std::string digits;
    for (char c : mant)
        if (c != '.')
            digits += c;

    std::string out;
    if (exp >= -4 && exp < 16) {
        const int point = exp + 1; // digits before the decimal point
        if (point <= 0) {
            out = "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
        } else if (static_cast<std::size_t>(point) >= digits.size()) {
            out = digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0');
        } else {
            out = digits.substr(0, static_cast<std::size_t>(point)) + "." +
                  digits.substr(static_cast<std::size_t>(point));
        }
    } else {
        out = digits.substr(0, 1);
        if (digits.size() > 1)
            out += "." + digits.substr(1);
        char e[16];
        std::snprintf(e, sizeof e, "e%c%02d", exp < 0 ? '-' : '+', std::abs(exp));
        out += e;
    }
    if (negative)
        out.insert(0, "-");
    return QString::fromLatin1(out.c_str());
}

namespace {

QString complex_text(std::complex<double> c) {
    // Python's form: 2j for a purely imaginary value with +0 real part, else (1+2j).
    QString im = float_text(c.imag());
    if (c.real() == 0.0 && !std::signbit(c.real()))
        return im + QLatin1Char('j');
    if (!im.startsWith(QLatin1Char('-')))
        im.prepend(QLatin1Char('+'));
    return QStringLiteral("(%1%2j)").arg(float_text(c.real()), im);
}

// Python's notion of printable: controls, format characters, surrogates, private-use and
// unassigned code points and every separator but the plain blank are written as escapes,
// so that a line or paragraph separator or an invisible character cannot hide in a label.
bool printable(uint code) {
    if (code == ' ')
        return true;
    switch (QChar::category(code)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned:
    case QChar::Separator_Space:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return false;
    default:
        return true;
    }
}

void append_escaped(QString& out, uint code, QChar quote) {
    switch (code) {
    case '\\':
        out += QStringLiteral("\\\\");
        return;
    case '\n':
        out += QStringLiteral("\\n");
        return;
    case '\r':
        out += QStringLiteral("\\r");
        return;
    case '\t':
        out += QStringLiteral("\\t");
        return;
    default:
        break;
    }
    if (code == quote.unicode()) {
        out += QLatin1Char('\\');
        out += quote;
    } else if (printable(code)) {
        // Appended as UTF-16 units: a QString per character made long name lists (the
        // toolbar's tooltip of a million names) take seconds.
        if (QChar::requiresSurrogates(code)) {
            out += QChar(QChar::highSurrogate(code));
            out += QChar(QChar::lowSurrogate(code));
        } else {
            out += QChar(static_cast<char16_t>(code));
        }
    } else if (code < 0x100) {
        out += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
    } else if (code < 0x10000) {
        out += QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
    } else {
        out += QStringLiteral("\\U%1").arg(code, 8, 16, QLatin1Char('0'));
    }
}

// Python's repr of a str: single quotes unless the text holds ' and no ".
QString quoted_str(const QString& s) {
    const QChar quote = s.contains(QLatin1Char('\'')) && !s.contains(QLatin1Char('"')) ? '"' : '\'';
    QString out;
    out.reserve(s.size() + 2);
    out += quote;
    // Walked by hand rather than through toUcs4(), which would turn a lone surrogate into
    // U+FFFD and so show a character that is not in the text.
    for (int i = 0; i < s.size(); ++i) {
        uint code = s.at(i).unicode();
        if (QChar::isHighSurrogate(code) && i + 1 < s.size() && s.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(s.at(i), s.at(i + 1));
            ++i;
        }
        append_escaped(out, code, quote);
    }
    out += quote;
    return out;
}

QString bytes_text(const QByteArray& b) {
    const char quote = b.contains('\'') && !b.contains('"') ? '"' : '\'';
    QString out = QStringLiteral("b");
    out += QLatin1Char(quote);
    for (char ch : b) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\' || c == static_cast<unsigned char>(quote)) {
            out += QLatin1Char('\\');
            out += QLatin1Char(ch);
        } else if (c == '\n') {
            out += QStringLiteral("\\n");
        } else if (c == '\r') {
            out += QStringLiteral("\\r");
        } else if (c == '\t') {
            out += QStringLiteral("\\t");
        } else if (c < 0x20 || c >= 0x7f) {
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        } else {
            out += QLatin1Char(ch);
        }
    }
    out += QLatin1Char(quote);
    return out;
}

// Packed arrays as numpy would print them, eliding the middle of long ones.
template <typename T, typename F> QString array_text(const QVector<T>& a, F element) {
    constexpr int kShowAll = 1000, kEdge = 3;
    QStringList parts;
    if (a.size() <= kShowAll) {
        for (const T& x : a)
            parts << element(x);
    } else {
        for (int i = 0; i < kEdge; ++i)
            parts << element(a[i]);
        parts << QStringLiteral("...");
        for (int i = a.size() - kEdge; i < a.size(); ++i)
            parts << element(a[i]);
    }
    return QStringLiteral("array([%1])").arg(parts.join(QStringLiteral(", ")));
}

// Every kind but list and tuple.
QString scalar_form(const Value& v, bool quote_str) {
    switch (v.kind()) {
    case Value::Kind::None:
        return QStringLiteral("None");
    case Value::Kind::Bool:
        return v.as_bool() ? QStringLiteral("True") : QStringLiteral("False");
    case Value::Kind::Int:
        return QString::number(v.as_int());
    case Value::Kind::Float:
        return float_text(v.as_float());
    case Value::Kind::Complex:
        return complex_text(v.as_complex());
    case Value::Kind::Str:
        return quote_str ? quoted_str(v.as_str()) : v.as_str();
    case Value::Kind::Bytes:
        return bytes_text(v.as_bytes());
    case Value::Kind::FloatArray:
        return array_text(v.as_float_array(), float_text);
    case Value::Kind::ComplexArray:
        return array_text(v.as_complex_array(), complex_text);
    case Value::Kind::List:
    case Value::Kind::Tuple:
        break;
    }
    return QString();
}

bool is_container(const Value& v) {
    return v.is_list() || v.is_tuple();
}

QString form(const Value& root, bool quote_str) {
    if (!is_container(root))
        return scalar_form(root, quote_str);
    // Written out in document order, with the containers still open kept on a stack of
    // our own: a host may nest lists deeper than the call stack would take.
    struct Open {
        const Value* container;
        std::size_t next;
    };
    std::vector<Open> open{{&root, 0}};
    QString out = root.is_list() ? QStringLiteral("[") : QStringLiteral("(");
    while (!open.empty()) {
        Open& top = open.back();
        const std::vector<Value>& items = top.container->items();
        if (top.next == items.size()) {
            if (top.container->is_list())
                out += QLatin1Char(']');
            else
                out += items.size() == 1 ? QStringLiteral(",)") : QStringLiteral(")");
            open.pop_back();
            continue;
        }
        const Value& e = items[top.next];
        if (top.next++ > 0)
            out += QStringLiteral(", ");
        if (is_container(e)) {
            out += e.is_list() ? QLatin1Char('[') : QLatin1Char('(');
            open.push_back({&e, 0}); // `top` is not used past this point
        } else {
            out += scalar_form(e, true);
        }
    }
    return out;
}

} // namespace

QString text_form(const Value& value) {
    return form(value, false);
}
QString quoted_form(const Value& value) {
    return form(value, true);
}

} // namespace tellurix::lumenfold::host
