// Tick labels of a short plot kept apart: the axis engine lays out as many ticks as it is
// allowed whatever the height, so a plot squeezed into a small window would write its Y
// labels over each other.
#pragma once

namespace tellurix::lumenfold::plotting {
class PlotWidgetBase;
}

namespace tellurix::lumenfold::scope {

/// From now on, whenever `plot`'s canvas changes height, the Y axis gets no more major
/// ticks than leave a label and a half of height between them (and never more than it had
/// before). The plot owns what this installs.
void keep_tick_labels_apart(plotting::PlotWidgetBase* plot);

} // namespace tellurix::lumenfold::scope
