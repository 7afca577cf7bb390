#include <tellurix/lumenfold/config.h>

namespace tellurix::lumenfold::config {

// A compact single-row toolbar: small paddings so that the fourteen controls fit on a
// laptop screen ("CLR" must fit the 30-pixel button without horizontal padding),
// and a wide enough pattern field for a few ";"-separated items.
const QString style = QStringLiteral("QLineEdit { min-width: 14em; padding: 1px 3px; }"
                                     "QComboBox { padding: 1px 4px; }"
                                     "QPushButton { padding: 1px 0px; }"
                                     "QCheckBox, QRadioButton { spacing: 3px; }");

// White plot area: the palette below was chosen for contrast on white, and white
// prints and pastes into reports without surprises.
const QColor COL_UNSEL = QColor(255, 255, 255);
const QColor COL_SEL = QColor(232, 240, 254);

// The Okabe-Ito palette, distinguishable with the common forms of colour blindness,
// with its yellow (too faint on white) replaced by a mid grey. Index 0 is the newest data.
const std::shared_ptr<std::vector<QColor>> defualt_colors =
    std::make_shared<std::vector<QColor>>(std::vector<QColor>{
        QColor(0x00, 0x72, 0xB2), // blue
        QColor(0xD5, 0x5E, 0x00), // vermillion
        QColor(0x00, 0x9E, 0x73), // bluish green
        QColor(0xCC, 0x79, 0xA7), // reddish purple
        QColor(0xE6, 0x9F, 0x00), // orange
        QColor(0x56, 0xB4, 0xE9), // sky blue
        QColor(0x00, 0x00, 0x00), // black
        QColor(0x99, 0x99, 0x99), // grey
    });

// Eight curves: index 0 for the newest data, 1..7 for history. Curves are created (and so
// stacked) in this order, highest index first, which leaves the newest curve on top.
const std::vector<int> ridx = {7, 6, 5, 4, 3, 2, 1, 0};

// One-pixel lines everywhere: a wider pen goes through Qt's stroker, which alone cost more
// than the seven thin curves together when measured; the newest curve stands out by its
// larger symbols, its colour and by being drawn on top.
const std::vector<double> widths = {1, 1, 1, 1, 1, 1, 1, 1};

// Symbols stay visible (at least 3 px) without hiding the line between samples.
const std::vector<double> SymSize = {5, 3, 3, 3, 3, 3, 3, 3};

} // namespace tellurix::lumenfold::config
