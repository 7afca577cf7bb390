// Numbers as a readout shows them: no more digits than the screen can tell apart.
#pragma once

#include <QString>

namespace tellurix::lumenfold::scope {

/// `value` with its digits down to the place of `step` (what one pixel is worth there),
/// and no further: 1.5433577235771148 seen with a step of 0.008 reads "1.543". A step that
/// is not finite and positive gives the shortest exact text.
QString resolved_text(double value, double step);

} // namespace tellurix::lumenfold::scope
