// Renders the main window (with the sample lists), the About box, the tray menu and the quit
// question into PNG files, for the README and for looking at the real thing under a display
// (xvfb-run).
//
//   screenshots <fixtures-dir> <output-dir>
#include "app/window/main_window.h"
#include "shell/about_box.h"

#include <QApplication>
#include <QMenu>
#include <QTimer>
#include <filesystem>

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    QApplication application(argc, argv);
    std::filesystem::path out = argv[2];
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("shots-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    for (const char* f : {"good.ini", "brontalhao.ini", "brontalnow.ini"})
        std::filesystem::copy_file(std::filesystem::path(argv[1]) / f, dir / f);
    app::StringList bad =
        app::LoadStringList((std::filesystem::path(argv[1]) / "bad-short.ini").string()).value();
    app::SaveStringList((dir / "bad.ini").string(), bad, 0644);
    app::FormOptions options;
    options.programDir = dir.string() + "/";
    options.srvAddr = "127.0.0.1";
    options.srvPort = "0";
    options.quit = [] {};
    app::TForm1 form(options);
    form.show();
    form.FormCreate();
    auto* about = form.findChild<QDialog*>("Form2");
    auto* trayMenu = form.findChild<QMenu*>("PopupMenu1");
    QTimer::singleShot(800, [&] {
        form.grab().save(QString::fromStdString((out / "main-window.png").string()));
        about->show();
        QTimer::singleShot(400, [&] {
            about->grab().save(QString::fromStdString((out / "about-box.png").string()));
            about->hide();
            trayMenu->popup(QPoint(100, 100));
            QTimer::singleShot(400, [&] {
                trayMenu->grab().save(QString::fromStdString((out / "tray-menu.png").string()));
                trayMenu->hide();
                QTimer::singleShot(400, [&] {
                    if (QWidget* box = QApplication::activeModalWidget()) {
                        box->grab().save(
                            QString::fromStdString((out / "quit-question.png").string()));
                        box->close(); // dismissed: the close goes ahead
                    }
                });
                form.FormCloseQuery();
                form.FormDestroy();
                std::filesystem::remove_all(dir);
                QApplication::quit();
            });
        });
    });
    return application.exec();
}
