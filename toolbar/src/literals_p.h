// What a pattern item says about the texts it can accept, read from the item's text alone.
//
// The matcher applies an item to every "x,y" candidate of a name list. Most items people
// type begin or end with plain column-name text ("t,volts", "t,ch[0-9]+", ".*_temp"), and
// a candidate without that text cannot be accepted: knowing it lets the matcher skip whole
// rows and columns of the n * n candidates without calling the engine. Any doubt about the
// regular-expression syntax gives no literal, and the engine decides.
#pragma once

#include <QString>

namespace tellurix::lumenfold::toolbar::detail {

/// Literal text with which every match of an item that covers a whole candidate must
/// begin, and with which it must end; "" where that cannot be told for sure.
struct Literals {
    QString prefix;
    QString suffix;
};

Literals required_literals(const QString& item);

/// True when some candidate "x,y" with this X name can begin with `prefix`: either x
/// itself begins with it, or x and the comma begin it (x = "t" for "t,volts"). Always true
/// for an empty prefix.
bool x_may_begin(const QString& x, const QString& prefix);

/// True when some candidate "x,y" with this Y name can end with `suffix`: either y itself
/// ends with it, or the comma and y end it. Always true for an empty suffix.
bool y_may_end(const QString& y, const QString& suffix);

} // namespace tellurix::lumenfold::toolbar::detail
