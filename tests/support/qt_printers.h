// Readable gtest failure messages for Qt value types (found by argument-dependent lookup,
// since these types live in the global namespace).
#pragma once

#include <QColor>
#include <QPoint>
#include <QRectF>
#include <QString>

#include <ostream>

inline void PrintTo(const QString& s, std::ostream* os) {
    *os << '"' << s.toStdString() << '"';
}
inline void PrintTo(const QColor& c, std::ostream* os) {
    *os << c.name(QColor::HexArgb).toStdString();
}
inline void PrintTo(const QPoint& p, std::ostream* os) {
    *os << '(' << p.x() << ", " << p.y() << ')';
}
inline void PrintTo(const QRectF& r, std::ostream* os) {
    *os << "x[" << r.left() << ", " << r.right() << "] y[" << r.top() << ", " << r.bottom() << ']';
}
