// How the ticks of an axis are laid out and written.
#pragma once

#include <qwt_scale_div.h>
#include <qwt_scale_draw.h>

#include <QString>

namespace tellurix::lumenfold::plotting::detail {

/// Writes tick labels as Qwt does (six significant digits) while that tells the ticks apart.
/// When the ticks lie closer together than six digits of their magnitude can show (nanosecond
/// timestamps, a small ripple on a large offset), every label would read the same; then the
/// labels give the distance from a round offset, and the axis title shows that offset
/// ("+1.7e+18": a label of 2000 stands for 1.7e+18 + 2000).
class TickLabels final : public QwtScaleDraw {
public:
    /// Chooses the writing for `div`, the division the axis engine laid out, and returns the
    /// division to show: `div` itself, or, when an offset is used, ticks at whole steps from
    /// the offset. (At such magnitudes the engine starts its ticks at the unrounded low end of
    /// the range, so they would fall between the round values the labels can give.)
    QwtScaleDiv follow(const QwtScaleDiv& div);

    /// The axis title that goes with the labels: the offset, or empty when none is used.
    QString title() const;

    QwtText label(double value) const override;

private:
    bool offsetUsed_ = false;
    double offset_ = 0.0;
    double step_ = 1.0; // between major ticks, with one significant digit
};

} // namespace tellurix::lumenfold::plotting::detail
