#include "app/window/paint_pacer.h"

#include <QCoreApplication>
#include <QEvent>
#include <QWidget>

namespace app {

PaintPacer::PaintPacer(QWidget* window, std::chrono::milliseconds interval)
    : QObject(window), window_(window), interval_(interval) {
    heldBack_.setSingleShot(true);
    connect(&heldBack_, &QTimer::timeout, this, [this] { DrawHeldBack(); });
    window_->installEventFilter(this);
}

bool PaintPacer::eventFilter(QObject* watched, QEvent* event) {
    // Qt asks a top-level window to draw what has changed with one UpdateRequest, and asks
    // again only after that drawing; the regions to draw stay recorded meanwhile, so a
    // request held back here is drawn in full by the one sent when the interval ends.
    if (watched != window_ || event->type() != QEvent::UpdateRequest)
        return QObject::eventFilter(watched, event);
    auto elapsed = std::chrono::milliseconds(sinceDrawn_.isValid() ? sinceDrawn_.elapsed() : 0);
    if (bypass_ || !sinceDrawn_.isValid() || elapsed >= interval_) {
        bypass_ = false;
        heldBack_.stop();
        sinceDrawn_.restart();
        return false;
    }
    ++deferred_;
    if (!heldBack_.isActive()) heldBack_.start(interval_ - elapsed);
    return true;
}

void PaintPacer::DrawHeldBack() {
    bypass_ = true; // a timer may fire a little early; what it holds is drawn regardless
    QEvent request(QEvent::UpdateRequest);
    QCoreApplication::sendEvent(window_, &request);
}

} // namespace app
