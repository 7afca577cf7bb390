// What the scope benchmarks share: waiting with the event loop running, counting painted
// frames, and naming the ten columns a burst of "PD" records fills.
#pragma once

#include <tellurix/lumenfold/scope/scope_window.h>
#include <tellurix/lumenfold/transport.h>

#include <QEvent>
#include <QEventLoop>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <cstring>

namespace scope_bench {

inline void wait_ms(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Counts the plot canvases' paint events: a tick that found nothing new paints nothing,
// and only ticks that painted are frames.
struct CanvasPaints : QObject {
    std::uint64_t count = 0;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint &&
            std::strcmp(watched->metaObject()->className(), "QwtPlotCanvas") == 0)
            ++count;
        return false;
    }
};

// Names the columns c0..c9 and plots c1 and c2 against c0, then waits until the window
// has taken both commands.
inline void name_ten_columns(tellurix::lumenfold::scope::ScopeWindow& window) {
    namespace lf = tellurix::lumenfold;
    {
        lf::transport::Producer setup(window.endpoint());
        QStringList names;
        for (int c = 0; c < 10; ++c)
            names << QStringLiteral("c%1").arg(c);
        setup.send("PN", lf::host::Value::str_list(names));
        setup.send("PXY", "c0,c1;c0,c2");
    }
    while (window.items_taken() < 2)
        wait_ms(5);
}

} // namespace scope_bench
