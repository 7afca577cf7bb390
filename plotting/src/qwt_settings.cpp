#include "qwt_settings.h"

#include <qwt_painter.h>

namespace tellurix::lumenfold::plotting::detail {

void keepPolylinesWhole() {
    // Thread-safe once: plots are made on the GUI thread, but nothing depends on that here.
    static const bool done = [] {
        QwtPainter::setPolylineSplitting(false);
        return true;
    }();
    (void)done;
}

} // namespace tellurix::lumenfold::plotting::detail
