// Qwt settings are process-wide: a plot widget sets what it needs once, and a host's own
// later choice stands. Its own executable, so that the first plot made here is the first of
// the process.
#include <tellurix/lumenfold/plotting.h>

#include <qwt_painter.h>

#include <gtest/gtest.h>

namespace plotting = tellurix::lumenfold::plotting;

namespace {

TEST(QwtSettings, PolylineSplittingIsTurnedOffOnceAndAHostsLaterChoiceStands) {
    QwtPainter::setPolylineSplitting(true); // Qwt's own default
    {
        plotting::PlotWidgetBase first;
        EXPECT_FALSE(QwtPainter::polylineSplitting()) << "wide pens would show caps at cuts";
    }
    QwtPainter::setPolylineSplitting(true); // the host wants it back
    plotting::PlotWidgetBase second;
    plotting::PlotWidgetBase third;
    EXPECT_TRUE(QwtPainter::polylineSplitting());
}

} // namespace
