// Qwt's process-wide settings the plot widget depends on.
#pragma once

namespace tellurix::lumenfold::plotting::detail {

/// Turns off Qwt's polyline splitting (QwtPainter::setPolylineSplitting(false)) for the whole
/// process, once: the first plot widget made calls it, later ones do not. Qwt cuts every
/// polyline into short pieces to dodge a slowness of old Qt raster engines; with wide pens
/// each cut shows as a cap sticking out of the line, and Qt 5 needs no such help. A host
/// that turns splitting back on after its first plot keeps it on.
void keepPolylinesWhole();

} // namespace tellurix::lumenfold::plotting::detail
