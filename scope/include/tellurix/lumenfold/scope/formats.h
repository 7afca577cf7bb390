// The value formats of the toolbar's fx/fy lists applied to dataset columns.
#pragma once

#include <tellurix/lumenfold/scope/datasets.h>

#include <QString>
#include <QVector>

#include <cmath>
#include <optional>

namespace tellurix::lumenfold::scope {

enum class Format { Real, Imag, Mag, Phase };

/// "real", "imag", "mag", "phase" (exactly, as the toolbar's lists spell them); anything
/// else gives none.
std::optional<Format> parse_format(const QString& word);
QString format_word(Format format);

/// One value. Real data has an imaginary part of 0, so its phase is 0, or pi when the
/// real part is negative, and its magnitude is its absolute value.
inline double apply_format(Format format, double re, double im) {
    switch (format) {
    case Format::Real:
        return re;
    case Format::Imag:
        return im;
    case Format::Mag:
        return std::hypot(re, im);
    case Format::Phase:
        return std::atan2(im, re);
    }
    return re;
}

/// `n` values; `im` may be nullptr for a column of real values.
void apply_format(Format format, const double* re, const double* im, int n, double* out);

/// Column `column` of `generation` in `format`, as a new vector of generation.rows() values.
QVector<double> formatted(Format format, const Generation& generation, int column);

} // namespace tellurix::lumenfold::scope
