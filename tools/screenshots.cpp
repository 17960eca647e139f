// Renders the main window (with the sample lists), the About box, the tray menu, the send
// queue (a message waiting for its retry and a failed one) and the quit question into PNG files,
// for the README and for looking at the real thing under a display (xvfb-run).
//
//   screenshots <fixtures-dir> <output-dir>
#include "app/window/main_window.h"
#include "platform/text_file.h"
#include "shell/about_box.h"
#include "store/file_location.h"
#include "store/retry_schedule.h"
#include "store/spool.h"

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
    // The send queue's two kinds: one waiting for its retry, one failed and kept.
    std::string spool = store::SpoolFolderOf(dir.string() + "/"), error;
    // As the relay makes it at its start: the command's messages go only into a spool it made.
    std::filesystem::create_directory(spool);
    std::filesystem::permissions(spool, std::filesystem::perms::owner_all);
    auto waiting = store::SpoolWholeMessage(
        spool, "zhang.wei@corp.example.cn", "li.na@example.org",
        store::WholeText("Subject: report\r\n\r\nweekly report\r\n"), error);
    store::RetryState retry;
    retry.attempts = 2;
    retry.first = store::WallClock::now() - std::chrono::minutes(3);
    retry.next = store::WallClock::now() + std::chrono::minutes(4);
    retry.lastReason = "RCPT TO:<li.na@example.org> refused: 451 4.7.1 Greylisted, please try "
                       "again in 300 seconds";
    platform::WriteFileAtomically(spool + "/" + waiting.value_or("x") + ".retry",
                                  store::FormatRetryRecord(retry), 0600);
    auto failed = store::SpoolWholeMessage(spool, "wang.fang@corp.example.cn", "nobody@example.net",
                                           store::WholeText("Subject: hello\r\n\r\nhi\r\n"), error);
    platform::WriteFileAtomically(
        spool + "/" + failed.value_or("y") + ".failed",
        bad.empty() ? std::string("line\r\n")
                    : bad.back() + "\r\n" +
                          "RCPT TO:<nobody@example.net> refused: 550 5.1.1 no such user\r\n",
        0600);
    app::FormOptions options;
    options.programDir = dir.string() + "/";
    options.srvAddr = "127.0.0.1";
    options.srvPort = "0";
    options.quit = [] {};
    app::RelayCore core(app::CoreOptionsFor(options));
    app::TForm1 form(core, options);
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
                app::QueueDialog* queue = form.OpenQueue();
                QTimer::singleShot(400, [&, queue] {
                    queue->grab().save(QString::fromStdString((out / "send-queue.png").string()));
                    queue->close();
                });
                QTimer::singleShot(900, [&] {
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
