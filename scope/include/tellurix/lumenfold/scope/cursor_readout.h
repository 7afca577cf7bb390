// The value under the cursor: while the mouse rests or moves over a plot with no button
// held, the drawn point nearest to it (in pixels) is marked on its curve and told in words,
// "newest: x = 3.25, y = 0.5", with as many digits as a pixel there tells apart.
//
// It only watches the plot's canvas and never takes an event from it, so the plot's own
// keys and mouse (F, A, R, the middle-button measure, the wheel, the drags) are unchanged.
// The search uses a HoverIndex of what the plot drew, built at the first move after the
// data, the view or the canvas size changed; a move over an unchanged drawing only searches.
#pragma once

#include <tellurix/lumenfold/scope/hover_index.h>

#include <QElapsedTimer>
#include <QObject>
#include <QPoint>
#include <QPointF>
#include <QPointer>
#include <QSize>
#include <QString>
#include <QTimer>
#include <QVector>

#include <array>
#include <functional>
#include <vector>

class QWidget;

namespace tellurix::lumenfold::chartpane {
class PlotWidget;
}

namespace tellurix::lumenfold::scope {

class CursorReadout : public QObject {
    Q_OBJECT

public:
    /// What a curve is called in the readout, and the value formats its X and Y are shown
    /// in ("real", "mag", ...; empty or "real" is not mentioned).
    struct Names {
        QString curve, x_format, y_format;
    };
    /// Asked at each readout, with the curve's key in the plot's `plots`.
    using Namer = std::function<Names(int curve_key)>;

    /// Watches `plot` (which owns this object) from now on.
    CursorReadout(chartpane::PlotWidget* plot, Namer namer);

    /// The readout now: empty while the cursor is not over the canvas or the plot draws no
    /// point. The tooltip gives the exact values and the point's index.
    QString text() const { return text_; }
    QString tooltip() const { return tooltip_; }
    /// The marker, a child of the canvas named "hover-marker" that covers it with a picture
    /// of the drawing and a ring centred on the point; hidden while there is no readout.
    QWidget* marker() const { return marker_; }
    bool marker_shown() const;
    /// The centre of the ring, canvas coordinates.
    QPoint marker_at() const;
    /// How many times the index was built, for those who check that a move over an
    /// unchanged drawing only searches.
    int builds() const { return builds_; }

signals:
    /// The readout changed; both are empty when it is gone.
    void changed(const QString& text, const QString& tooltip);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // What the index was built from; the held vectors keep the curves' buffers alive, so an
    // equal data pointer is the same data.
    struct Drawing {
        std::vector<QVector<double>> x, y;
        std::vector<int> keys;
        std::array<double, 8> maps{};
        QSize canvas;
        bool log_x = false, log_y = false;
        bool same_as(const Drawing& other) const;
    };

    Drawing current() const;
    void probe();
    void stale();
    void rebuild(Drawing drawing);
    void show(const HoverIndex::Hit& hit);
    void set_readout(const QString& text, const QString& tooltip);
    void forget();

    chartpane::PlotWidget* plot_;
    Namer namer_;
    // Watched apart from the plot: while a window is torn down, the canvas is hidden after
    // the plot's own parts are gone, and the marker may be deleted before this object.
    QPointer<QWidget> canvas_;
    QPointer<QWidget> marker_;
    HoverIndex index_;
    Drawing drawn_;
    bool built_ = false;
    bool inside_ = false;
    QPointF at_; // the cursor, canvas coordinates
    QString text_, tooltip_;
    int builds_ = 0;
    // A build over much data takes a while: builds are spaced so that they never take more
    // than a fifth of the time, and a move that comes sooner waits for the refresh.
    QElapsedTimer since_build_;
    qint64 build_ns_ = 0;
    QTimer refresh_;
    QTimer check_; // while the marker shows, for a new drawing under it
};

} // namespace tellurix::lumenfold::scope
