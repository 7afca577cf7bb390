#include "window_parts.h"

#include <QStringList>

#include <algorithm>

namespace tellurix::lumenfold::scope {

namespace {

// A payload can be a million-element array: show its head and its size, never all of it.
QString short_form(const host::Value& v, int depth = 0) {
    constexpr std::size_t shown = 6;
    switch (v.kind()) {
    case host::Value::Kind::List:
    case host::Value::Kind::Tuple: {
        const bool list = v.is_list();
        const std::vector<host::Value>& items = v.items();
        QStringList parts;
        for (std::size_t i = 0; i < std::min(items.size(), shown); ++i)
            parts << (depth >= 2 ? QStringLiteral("...") : short_form(items[i], depth + 1));
        if (items.size() > shown)
            parts << QStringLiteral("... %1 items").arg(items.size());
        QString body = parts.join(QStringLiteral(", "));
        if (!list && items.size() == 1)
            body += QLatin1Char(',');
        return list ? QLatin1Char('[') + body + QLatin1Char(']')
                    : QLatin1Char('(') + body + QLatin1Char(')');
    }
    case host::Value::Kind::FloatArray:
    case host::Value::Kind::ComplexArray:
        return QStringLiteral("%1 of %2 values")
            .arg(v.type_name())
            .arg(v.is_float_array() ? v.as_float_array().size() : v.as_complex_array().size());
    case host::Value::Kind::Str: {
        QString q = host::quoted_form(v);
        return q.size() > 60 ? q.left(57) + QStringLiteral("...") : q;
    }
    case host::Value::Kind::Bytes:
        return QStringLiteral("bytes of %1").arg(v.as_bytes().size());
    default:
        return host::quoted_form(v);
    }
}

} // namespace

QString command_text(const host::Value& item) {
    if (item.is_tuple() && item.size() == 2 && item[0].is_str()) {
        QString text = item[0].as_str() + QLatin1Char(' ') + short_form(item[1]);
        return text.size() > 200 ? text.left(197) + QStringLiteral("...") : text;
    }
    return short_form(item);
}

} // namespace tellurix::lumenfold::scope
