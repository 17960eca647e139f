// Paces the repaints of one top-level window. Each relayed message changes the status bar,
// the recipient field and a list; painting the window for every change cost as much as the
// relay itself (40 to 50% of the program's CPU, from one client to thirty-two). Changes
// still take effect at once; only the drawing of them is gathered, at most one drawing per
// interval, so a window under load shows the state of at most one interval ago and never
// loses a change. Repaints asked for through Bypass() happen at once.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <chrono>

class QWidget;

namespace app {

class PaintPacer : public QObject {
  public:
    // Paces `window` (a top-level widget) from now on; owned by it.
    PaintPacer(QWidget* window, std::chrono::milliseconds interval);

    // The next drawing goes through at once: for a repaint() before the window blocks.
    void Bypass() { bypass_ = true; }
    // Drawings held back so far, for tests.
    int Deferred() const { return deferred_; }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void DrawHeldBack();

    QWidget* window_;
    std::chrono::milliseconds interval_;
    QElapsedTimer sinceDrawn_;
    QTimer heldBack_;
    bool bypass_ = false;
    int deferred_ = 0;
};

} // namespace app
