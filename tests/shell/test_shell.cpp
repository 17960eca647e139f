// The desktop shell's components, offscreen: tray icon events, link labels, the menu
// painter's colours and measures, the About box pictures.
#include "shell/about_box.h"
#include "shell/jpeg_image.h"
#include "shell/menu_painter.h"
#include "shell/program_icon.h"
#include "shell/tray_icon.h"

#include <QIconEngine>
#include <QMenu>
#include <QtTest>

using namespace shell;

class ShellTest : public QObject {
    Q_OBJECT
  private slots:
    void trayEventsComeInTheirOrder() {
        TTrayIcon tray;
        QStringList seen;
        tray.OnMouseDown = [&](TTrayIcon*, TMouseButton b, TShiftState s, int, int) {
            seen << QString("down %1%2").arg(int(b)).arg(s.left ? "L" : s.right ? "R" : "");
        };
        tray.OnMouseUp = [&](TTrayIcon*, TMouseButton b, TShiftState, int, int) {
            seen << QString("up %1").arg(int(b));
        };
        tray.OnClick = [&](TTrayIcon*) { seen << "click"; };
        tray.OnDblClick = [&](TTrayIcon*) { seen << "double"; };
        tray.OnPopupMenu = [&](TTrayIcon*) { seen << "popup event"; };
        tray.HandleTrayMessage(TTrayIcon::kLeftDown);
        tray.HandleTrayMessage(TTrayIcon::kLeftUp);
        QCOMPARE(seen, QStringList({"down 0L", "up 0", "click"}));
        seen.clear();
        tray.HandleTrayMessage(TTrayIcon::kLeftUp); // a release without a press: no click
        QCOMPARE(seen, QStringList({"up 0"}));
        seen.clear();
        tray.HandleTrayMessage(TTrayIcon::kRightUp); // no menu: only the release
        QCOMPARE(seen, QStringList({"up 1"}));
        QMenu menu;
        tray.SetPopupMenu(&menu);
        tray.ShowMenu = [&](QMenu*) { seen << "menu shown"; };
        seen.clear();
        tray.HandleTrayMessage(TTrayIcon::kRightDown);
        tray.HandleTrayMessage(TTrayIcon::kRightUp);
        QCOMPARE(seen, QStringList({"down 1R", "menu shown", "popup event", "up 1"}));
        seen.clear();
        tray.HandleTrayMessage(TTrayIcon::kLeftDouble);
        tray.SetEnabled(false);
        tray.HandleTrayMessage(TTrayIcon::kLeftDown);
        tray.HandleTrayMessage(TTrayIcon::kRightUp);
        QCOMPARE(seen, QStringList({"double"}));
    }

    void trayVisibilityHintAndIdentifier() {
        TTrayIcon tray;
        int shows = 0, hides = 0;
        tray.OnShow = [&](TTrayIcon*) { ++shows; };
        tray.OnHide = [&](TTrayIcon*) { ++hides; };
        tray.SetHint(QString(100, 'h'));
        QCOMPARE(tray.Hint().size(), 63);
        tray.SetHint(QString::fromUtf8("『VantroSMTP服务器』V2.5"));
        QCOMPARE(tray.Hint(), QString::fromUtf8("『VantroSMTP服务器』V2.5"));
        tray.SetIconID(5); // hidden: only stored
        QCOMPARE(tray.AddCount(), 0);
        tray.SetVisible(true);
        tray.SetVisible(true);
        QCOMPARE(tray.AddCount(), 1);
        tray.SetIconID(6); // visible: removed and added again
        QCOMPARE(tray.DeleteCount(), 1);
        QCOMPARE(tray.AddCount(), 2);
        QVERIFY(tray.Visible());
        QCOMPARE(shows, 2);
        QCOMPARE(hides, 1);
    }

    void trayShellFailureNamesTheComponentAndCall() {
        // An icon whose engine fails when the notification area asks about it.
        struct FailingEngine : QIconEngine {
            void paint(QPainter*, const QRect&, QIcon::Mode, QIcon::State) override {}
            QIconEngine* clone() const override { return new FailingEngine; }
            bool isNull() override { throw std::runtime_error("engine failed"); }
        };
        TTrayIcon tray;
        tray.setObjectName("TrayIcon1");
        int shows = 0;
        tray.OnShow = [&](TTrayIcon*) { ++shows; };
        tray.SetIcon(QIcon(new FailingEngine));
        QString message;
        try {
            tray.SetVisible(true);
        } catch (const ETrayIcon& e) {
            message = e.what();
        }
        QCOMPARE(message, QString("TrayIcon1.AddToTaskbar failed"));
        QCOMPARE(shows, 0); // not reported as shown
        QVERIFY(!tray.Visible());
    }

    void linkColoursAndSizing() {
        QWidget host;
        THyperLink link(&host);
        QStringList opened;
        link.Open = [&](const QString& url) { opened << url; };
        QCOMPARE(link.TextColor(), QColor(0, 0, 255));
        QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
        QApplication::sendEvent(&link, &enter);
        QCOMPARE(link.TextColor(), QColor(255, 0, 0));
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(&link, &leave);
        QCOMPARE(link.TextColor(), QColor(0, 0, 255));
        link.SetURL("mailto:support@vantro.example.com");
        QTest::mouseClick(&link, Qt::LeftButton);
        QCOMPARE(opened, QStringList({"mailto:support@vantro.example.com"}));
        QCOMPARE(link.TextColor(), QColor(0, 0, 255)); // magenta only from the next leave on
        QApplication::sendEvent(&link, &leave);
        QCOMPARE(link.TextColor(), QColor(255, 0, 255));
        link.SetCaption(QString(60, 'x'));
        host.resize(600, 100);
        host.show();
        QVERIFY(QTest::qWaitForWindowExposed(&host));
        link.repaint(); // the label sizes itself to the caption when painted
        QFontMetrics m(link.font());
        QCOMPARE(link.width(), m.horizontalAdvance(QString(60, 'x')) + 6);
        QCOMPARE(link.height(), m.height() + 2);
    }

    void painterColourFunctions() {
        QCOMPARE(Lighten(QColor(0, 0, 0), 50), QColor(128, 128, 128));
        QCOMPARE(Lighten(QColor(100, 200, 255), 100), QColor(255, 255, 255));
        QCOMPARE(Lighten(QColor(100, 200, 255), 150), QColor(255, 255, 255)); // capped
        QCOMPARE(Lighten(QColor(10, 20, 30), 0), QColor(10, 20, 30));
        QCOMPARE(Darken(QColor(100, 100, 100), 90), QColor(10, 12, 10));
        QCOMPARE(Darken(QColor(50, 1, 50), 90), QColor(0, 0, 0));
        QCOMPARE(Gray(QColor(30, 60, 90), 10), QColor(70, 70, 70));
        QCOMPARE(Gray(QColor(255, 255, 255), 10), QColor(240, 240, 240));
        TMenuPainter painter;
        QPalette system;
        system.setColor(QPalette::Button, QColor(212, 208, 200));
        system.setColor(QPalette::Highlight, QColor(10, 36, 106));
        system.setColor(QPalette::Dark, QColor(128, 128, 128));
        MenuPalette high = painter.EffectivePalette(system, 24);
        QCOMPARE(high.background, Lighten(QColor(212, 208, 200), 86));
        QCOMPARE(high.selectFill, Lighten(QColor(10, 36, 106), 68));
        QCOMPARE(high.menuBorder, Darken(QColor(212, 208, 200), 90));
        MenuPalette low = painter.EffectivePalette(system, 15);
        QCOMPARE(low.background, QColor(Qt::white));
        QCOMPARE(low.iconColumn, QColor(212, 208, 200));
        painter.UseSystemColors = false;
        painter.SelectColor = QColor(0, 100, 0);
        QCOMPARE(painter.EffectivePalette(system, 24).selectFill, Lighten(QColor(0, 100, 0), 68));
    }

    void painterMeasures() {
        TMenuPainter painter;
        QFontMetrics m(painter.Font);
        QCOMPARE(painter.MeasureItem("-", "", 0, 0, false, m, QSize(50, 20)), QSize(50, 4));
        QSize plain = painter.MeasureItem("Exit", "", 0, 0, false, m, QSize(0, 0));
        QCOMPARE(plain.width(), m.horizontalAdvance("Exit") + 5 + 24); // at least the icon column
        QCOMPARE(plain.height(), std::max(m.height() + int(std::lround(m.height() * 0.75)), 6));
        QSize amp = painter.MeasureItem("E&xit", "", 0, 0, false, m, QSize(0, 0));
        QCOMPARE(amp.width(), m.horizontalAdvance("E&xit") - m.horizontalAdvance('&') + 5 + 24);
        QSize shortcut = painter.MeasureItem("Exit", "Ctrl+Q", 0, 0, false, m, QSize(0, 0));
        QCOMPARE(shortcut.width(), m.horizontalAdvance("ExitWWWCtrl+Q") + 5 + 24);
        QCOMPARE(painter.MeasureItem("Exit", "", 30, 40, false, m, QSize(0, 0)).height(), 46);
        QCOMPARE(painter.MeasureItem("Bar", "", 0, 0, true, m, QSize(0, 0)).width(),
                 m.horizontalAdvance("Bar") + 5 + 8);
        QCOMPARE(painter.MeasureItem("x", "", 0, 0, false, m, QSize(500, 90)),
                 QSize(500, 90)); // only enlarges
    }

    void programIconHasEveryLinkedSize() {
        QIcon icon = ProgramIcon();
        QCOMPARE(icon.availableSizes(),
                 QList<QSize>({QSize(16, 16), QSize(32, 32), QSize(64, 64), QSize(256, 256)}));
        // The picture itself: a blue rounded square, the letter near white, the corner clear.
        QImage image = icon.pixmap(QSize(256, 256)).toImage();
        QColor background = image.pixelColor(128, 20), letter = image.pixelColor(60, 140);
        QVERIFY(background.blue() > 150 && background.red() < 100);
        QVERIFY(letter.red() > 220 && letter.green() > 220 && letter.blue() > 220);
        QCOMPARE(image.pixelColor(0, 0).alpha(), 0);
    }

    void aboutBoxPicturesDecodeToTheirDesignedSizes() {
        QImage product = DecodeJpeg(ProductPictureJpeg());
        QImage banner = DecodeJpeg(BannerPictureJpeg());
        QCOMPARE(product.size(), QSize(66, 46));
        QCOMPARE(banner.size(), QSize(188, 18));
        QVERIFY(DecodeJpeg("not a jpeg at all").isNull());
        QVERIFY(DecodeJpeg(std::string_view(ProductPictureJpeg().data(), 200)).isNull() ||
                DecodeJpeg(std::string_view(ProductPictureJpeg().data(), 200)).width() ==
                    66); // truncated: no crash
        TForm2 about;
        QCOMPARE(about.size(), QSize(280, 217));
        QCOMPARE(about.ProgramIcon->geometry(), QRect(20, 8, 66, 46));
        QCOMPARE(about.Image1->geometry(), QRect(20, 64, 188, 18));
        QCOMPARE(about.HyperLink2->URL().left(7), QString("mailto:"));
        QVERIFY(about.OKButton->isDefault());
    }
};

QTEST_MAIN(ShellTest)
#include "test_shell.moc"
