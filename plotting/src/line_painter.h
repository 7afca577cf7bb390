// Painting a curve's line from its vertex runs: through QPainter in pieces the raster
// engine strokes quickly, or straight into the image with ThinLine for the common pen.
#pragma once

#include "bit_plane.h"
#include "pixel_writer.h"
#include "thin_line.h"

#include <QPen>
#include <QPoint>
#include <QRectF>

#include <vector>

class QPainter;

namespace tellurix::lumenfold::plotting::detail {

/// Draws every run of `vertices` with the painter's current pen as polylines, cut where
/// they reach far beyond `canvasRect`.
void drawPolylines(QPainter* painter, const QPen& pen, const std::vector<QPoint>& vertices,
                   const QRectF& canvasRect);

/// A ThinLine writing `pen`'s colour into the target's image.
ThinLine thinLineFor(const DirectTarget& target, const QPen& pen);

/// Draws the runs with ThinLine into the image; a closed run, which ThinLine leaves alone,
/// goes through the painter.
void drawThinRuns(QPainter* painter, const QPen& pen, const DirectTarget& target,
                  const std::vector<QPoint>& vertices);

/// Draws the runs on an image of their own, as they would be drawn on the target, and
/// keeps their pixels as `plane` (in `storage`) when they are all one opaque colour, which
/// goes into `colour`. False when the line cannot be replayed that way.
bool lineLayer(QPainter* painter, const QPen& pen, const DirectTarget& target,
               const QRectF& canvasRect, const std::vector<QPoint>& vertices, Plane& plane,
               std::vector<std::uint64_t>& storage, quint32& colour);

} // namespace tellurix::lumenfold::plotting::detail
