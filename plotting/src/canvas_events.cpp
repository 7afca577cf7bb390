// Input over Qwt's canvas child, delivered to the plot widget's own handlers.
#include <tellurix/lumenfold/plotting.h>

#include <qwt_plot_canvas.h>

#include <QCoreApplication>
#include <QEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWheelEvent>

#include <exception>

namespace tellurix::lumenfold::plotting {

bool PlotWidgetBase::eventFilter(QObject* watched, QEvent* event) {
    if (watched != canvas())
        return QwtPlot::eventFilter(watched, event);
    // The handlers called from here may be a derived class's; nothing they throw may reach
    // Qt's event delivery.
    try {
        return routeCanvasEvent(watched, event);
    } catch (const std::exception& e) {
        qWarning("PlotWidgetBase::eventFilter: %s", e.what());
    } catch (...) {
        qWarning("PlotWidgetBase::eventFilter: unknown error");
    }
    return true;
}

bool PlotWidgetBase::routeCanvasEvent(QObject* watched, QEvent* event) {
    const QPointF offset(canvas()->pos());
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove: {
        auto* e = static_cast<QMouseEvent*>(event);
        QMouseEvent routed(e->type(), e->localPos() + offset, e->windowPos(), e->screenPos(),
                           e->button(), e->buttons(), e->modifiers(), e->source());
        routed.setTimestamp(e->timestamp());
        routed.setAccepted(false);
        if (e->type() == QEvent::MouseButtonPress)
            setFocus(Qt::MouseFocusReason);
        switch (e->type()) {
        case QEvent::MouseButtonPress:
            mousePressEvent(&routed);
            break;
        case QEvent::MouseButtonRelease:
            mouseReleaseEvent(&routed);
            break;
        case QEvent::MouseButtonDblClick:
            mouseDoubleClickEvent(&routed);
            break;
        default:
            mouseMoveEvent(&routed);
            break;
        }
        settleRouted(event, routed);
        return true;
    }
    case QEvent::Wheel: {
        auto* e = static_cast<QWheelEvent*>(event);
        QWheelEvent routed(e->position() + offset, e->globalPosition(), e->pixelDelta(),
                           e->angleDelta(), e->buttons(), e->modifiers(), e->phase(), e->inverted(),
                           e->source());
        routed.setTimestamp(e->timestamp());
        routed.setAccepted(false);
        wheelEvent(&routed);
        settleRouted(event, routed);
        return true;
    }
    case QEvent::KeyPress:
    case QEvent::KeyRelease: {
        auto* e = static_cast<QKeyEvent*>(event);
        QKeyEvent routed(e->type(), e->key(), e->modifiers(), e->nativeScanCode(),
                         e->nativeVirtualKey(), e->nativeModifiers(), e->text(), e->isAutoRepeat(),
                         static_cast<ushort>(e->count()));
        routed.setTimestamp(e->timestamp());
        routed.setAccepted(false);
        if (e->type() == QEvent::KeyPress)
            keyPressEvent(&routed);
        else
            keyReleaseEvent(&routed);
        settleRouted(event, routed);
        return true;
    }
    default:
        return QwtPlot::eventFilter(watched, event);
    }
}

void PlotWidgetBase::settleRouted(QEvent* original, QEvent& routed) {
    // The canvas event is used up either way: left unaccepted, Qt would hand it on to the
    // canvas's parent, which is this widget, and its handlers would see it a second time.
    // What this widget's handlers leave unaccepted goes where Qt would have sent an event
    // of this widget: to its parent, in the parent's coordinates.
    original->accept();
    if (routed.isAccepted() || isWindow() || parentWidget() == nullptr)
        return;
    QWidget* parent = parentWidget();
    const QPointF shift(pos());
    switch (routed.type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove: {
        if (testAttribute(Qt::WA_NoMousePropagation))
            return;
        const auto& e = static_cast<const QMouseEvent&>(routed);
        QMouseEvent onward(e.type(), e.localPos() + shift, e.windowPos(), e.screenPos(), e.button(),
                           e.buttons(), e.modifiers(), e.source());
        onward.setTimestamp(e.timestamp());
        QCoreApplication::sendEvent(parent, &onward);
        return;
    }
    case QEvent::Wheel: {
        if (testAttribute(Qt::WA_NoMousePropagation))
            return;
        const auto& e = static_cast<const QWheelEvent&>(routed);
        QWheelEvent onward(e.position() + shift, e.globalPosition(), e.pixelDelta(), e.angleDelta(),
                           e.buttons(), e.modifiers(), e.phase(), e.inverted(), e.source());
        onward.setTimestamp(e.timestamp());
        QCoreApplication::sendEvent(parent, &onward);
        return;
    }
    default: {
        const auto& e = static_cast<const QKeyEvent&>(routed);
        QKeyEvent onward(e.type(), e.key(), e.modifiers(), e.nativeScanCode(), e.nativeVirtualKey(),
                         e.nativeModifiers(), e.text(), e.isAutoRepeat(),
                         static_cast<ushort>(e.count()));
        onward.setTimestamp(e.timestamp());
        QCoreApplication::sendEvent(parent, &onward);
        return;
    }
    }
}

} // namespace tellurix::lumenfold::plotting
