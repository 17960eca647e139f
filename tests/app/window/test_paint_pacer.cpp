// The window's paint pacing, offscreen with the event loop running: changes made faster than
// the interval are drawn together and none is lost; a bypassed repaint is drawn at once.
#include "app/window/paint_pacer.h"

#include <QPainter>
#include <QVBoxLayout>
#include <QWidget>
#include <QtTest>

namespace {

// Remembers what it showed the last time it was drawn.
class Gauge : public QWidget {
  public:
    int value = 0;
    int drawnValue = -1;
    int drawings = 0;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.drawText(rect(), QString::number(value));
        drawnValue = value;
        ++drawings;
    }
};

struct PacedWindow {
    QWidget window;
    Gauge* gauge = new Gauge;
    app::PaintPacer* pacer;
    explicit PacedWindow(int intervalMs) {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(gauge);
        window.resize(200, 100);
        pacer = new app::PaintPacer(&window, std::chrono::milliseconds(intervalMs));
        window.show();
    }
};

} // namespace

class PaintPacerTest : public QObject {
    Q_OBJECT
  private slots:
    void fastChangesAreDrawnTogetherAndTheLastIsShown() {
        PacedWindow w(300);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        QTRY_VERIFY(w.gauge->drawings > 0);
        QTest::qWait(350); // the first change below finds the interval over
        int before = w.gauge->drawings;
        QElapsedTimer changing;
        changing.start();
        for (int i = 1; i <= 20; ++i) {
            w.gauge->value = i;
            w.gauge->update();
            QCoreApplication::processEvents();
        }
        // Twenty changes, each with a pass of the loop, inside one interval: at most the
        // first is drawn at once, the rest wait.
        if (changing.elapsed() < 300) QVERIFY(w.gauge->drawings - before <= 1);
        QVERIFY(w.pacer->Deferred() > 0);
        QTRY_COMPARE(w.gauge->drawnValue, 20); // what was held back is drawn, the last included
    }

    void aBypassedRepaintIsDrawnAtOnce() {
        PacedWindow w(10000);
        QVERIFY(QTest::qWaitForWindowExposed(&w.window));
        QTRY_VERIFY(w.gauge->drawings > 0);
        w.gauge->value = 7;
        w.gauge->update();
        QCoreApplication::processEvents(); // held back: the interval is long
        QVERIFY(w.gauge->drawnValue != 7);
        w.pacer->Bypass();
        w.window.repaint();
        QCOMPARE(w.gauge->drawnValue, 7);
    }
};

QTEST_MAIN(PaintPacerTest)
#include "test_paint_pacer.moc"
