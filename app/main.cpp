// Program entry: the title, the TLS and sound modules, the main window, the loop. A logout,
// shutdown or Ctrl+C (SIGTERM, SIGHUP, SIGINT) saves as closing the window does, without
// the quit question, instead of losing every change of the run.
#include "app/core/sign_in_command.h"
#include "app/window/main_window.h"
#include "app/window/sounds.h"
#include "store/file_location.h"
#include "tls/tls_openssl.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

// One copy per folder: a second one would answer with the first one's port taken and, at its
// exit, write its empty lists over the first one's records. The lock goes with the process.
bool HoldFolderLock(const std::string& folder) {
    int fd = ::open((folder + ".vantrosmtp.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return true; // a folder we cannot write: nothing of ours can be overwritten
    return ::flock(fd, LOCK_EX | LOCK_NB) == 0; // the descriptor stays open for the lock
}

void SayAlreadyRunning(const std::string& folder) {
    std::fprintf(stderr, "vantrosmtp: another copy is already running with the files in %s\n",
                 folder.c_str());
    if (QGuiApplication::platformName() == QStringLiteral("offscreen")) return; // nobody to see
    QMessageBox box(QMessageBox::Information, QString::fromUtf8("提示"),
                    QString::fromUtf8("VantroSMTP服务器已经在运行了（同一文件夹只能运行一个）。"));
    box.setStandardButtons(QMessageBox::Ok);
    box.button(QMessageBox::Ok)->setText(QString::fromUtf8("确定"));
    box.exec();
}

// Qt's start-up notes that say nothing to the user: the service runs without a runtime
// folder of its own and without a notification area, and the offscreen platform cannot size
// windows. They were the first lines of standard error, above the program's own.
void QuietHarmlessQtNotes(QtMsgType type, const QMessageLogContext& context,
                          const QString& message) {
    static const char* const harmless[] = {
        "QStandardPaths: XDG_RUNTIME_DIR not set",
        "QObject::connect: No such signal QPlatformNativeInterface::systemTrayWindowChanged",
        "This plugin does not support propagateSizeHints()",
    };
    for (const char* note : harmless)
        if (message.startsWith(QString::fromUtf8(note))) return;
    std::fprintf(stderr, "%s\n", qFormatLogMessage(type, context, message).toUtf8().constData());
}

// Blocked before any thread starts, so that only the signal descriptor sees them.
sigset_t BlockEndSignals() {
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGHUP);
    sigaddset(&endSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return endSignals;
}

// Signing an account in needs no window, no display and no running relay.
int SignIn(const char* mailbox) {
    store::FileLocation files =
        store::ChooseFileFolder(store::ProgramDirectory(), store::ProcessEnvironment);
    if (files.folder.empty()) {
        std::fprintf(stderr, "vantrosmtp: no folder for the files: there is no home folder\n");
        return 1;
    }
    return app::RunSignInCommand(mailbox, files.folder);
}

// The window's options: where the program and its files are, and (tests only) its port.
app::FormOptions ProgramOptions() {
    app::FormOptions options;
    options.executableDir = store::ProgramDirectory();
    store::FileLocation files =
        store::ChooseFileFolder(options.executableDir, store::ProcessEnvironment);
    if (files.folder.empty()) {
        std::fprintf(stderr,
                     "vantrosmtp: no folder for the files: there is no home folder, and %s "
                     "is an installed program's or cannot be written\n",
                     options.executableDir.c_str());
        files.folder = options.executableDir; // as before: errors say what failed to save
    }
    options.programDir = files.folder;
    std::fprintf(stderr, "vantrosmtp: files in %s%s\n", files.folder.c_str(),
                 files.besideProgram ? " (beside the program)" : "");
    if (const char* port = std::getenv("VANTRO_TEST_PORT")) { // tests only: a port of their own
        options.srvAddr = "127.0.0.1";
        options.srvPort = port;
    }
    return options;
}

} // namespace

int main(int argc, char** argv) {
    sigset_t endSignals = BlockEndSignals();
    if (argc == 3 && std::string(argv[1]) == "--sign-in") return SignIn(argv[2]);

    tls::InitTlsModule();
    app::RegisterSounds();
    qInstallMessageHandler(QuietHarmlessQtNotes);

    QApplication application(argc, argv);
    // No display name: Qt would add it to every title ("… — 『VantroSMTP服务器』V2.5").
    QApplication::setApplicationName(QString::fromUtf8(app::kTitle));

    app::FormOptions options = ProgramOptions();
    if (!HoldFolderLock(options.programDir)) {
        SayAlreadyRunning(options.programDir);
        return 1;
    }
    // The core before the window and gone after it: the window shows it and edits it.
    app::RelayCore core(app::CoreOptionsFor(options));
    app::TForm1 form(core, options);

    int signalFd = signalfd(-1, &endSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    QSocketNotifier onSignal(signalFd, QSocketNotifier::Read);
    QObject::connect(&onSignal, &QSocketNotifier::activated, [&] {
        signalfd_siginfo info{};
        [[maybe_unused]] ssize_t n = read(signalFd, &info, sizeof(info));
        form.EndFromSignal(); // also from inside a start-up error box's loop
    });

    form.show();
    form.FormCreate();
    if (form.Headless() && !form.Core().Listening()) {
        // A start-up error left the server off, and no window can be seen: the service
        // manager must see the failure instead of a program that looks healthy.
        form.FormDestroy(); // writes only what it read
        std::fprintf(stderr, "vantrosmtp: not started (the error above); ending with status 1\n");
        close(signalFd);
        return 1;
    }
    int rc = application.exec();
    close(signalFd);
    return rc;
}
