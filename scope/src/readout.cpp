#include <tellurix/lumenfold/scope/readout.h>

#include <tellurix/lumenfold/host.h>

#include <algorithm>
#include <cmath>

namespace tellurix::lumenfold::scope {

QString resolved_text(double value, double step) {
    if (!std::isfinite(value) || !std::isfinite(step) || step <= 0)
        return host::float_text(value);
    if (value == 0)
        return QStringLiteral("0");
    // Significant digits from the value's leading digit down to the step's; at least one,
    // so a value smaller than a pixel still reads as its magnitude.
    const int lead = static_cast<int>(std::floor(std::log10(std::fabs(value))));
    const int last = static_cast<int>(std::floor(std::log10(step)));
    const int digits = std::clamp(lead - last + 1, 1, 17);
    return QString::number(value, 'g', digits);
}

} // namespace tellurix::lumenfold::scope
