// Look of the panel: style sheet, colours, curve keys, line widths and symbol sizes.
// The toolbar and the plot widget read these when they are built.
#pragma once

#include <tellurix/lumenfold/host_export.h>

#include <QColor>
#include <QString>
#include <Qt>

#include <memory>
#include <vector>

namespace tellurix::lumenfold {
namespace config {

/// Style sheet the ToolBar applies to itself.
LUMENFOLD_HOST_EXPORT extern const QString style;
/// Background of every plot area.
LUMENFOLD_HOST_EXPORT extern const QColor COL_UNSEL;
/// Highlight colour paired with COL_UNSEL (no panel operation applies it).
LUMENFOLD_HOST_EXPORT extern const QColor COL_SEL;
/// The default palette, one colour per curve index. One shared object: a plot widget
/// built without colours holds this very vector, and a shorter caller palette is padded
/// with its tail.
LUMENFOLD_HOST_EXPORT extern const std::shared_ptr<std::vector<QColor>> defualt_colors;
/// Curve keys, in creation order: distinct, non-negative, each a valid index into
/// defualt_colors, widths and SymSize.
LUMENFOLD_HOST_EXPORT extern const std::vector<int> ridx;
/// Pen width in pixels, indexed by curve key.
LUMENFOLD_HOST_EXPORT extern const std::vector<double> widths;
/// Symbol size in pixels, indexed by curve key.
LUMENFOLD_HOST_EXPORT extern const std::vector<double> SymSize;

} // namespace config

namespace qt_compat {
inline constexpr Qt::AlignmentFlag AlignRight = Qt::AlignRight;
} // namespace qt_compat
} // namespace tellurix::lumenfold
