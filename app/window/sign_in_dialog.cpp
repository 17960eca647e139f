// The window's sign-in: the browser opened on the provider's page, a dialog that waits for
// its answer with a cancel, and a message that says how it ended. The sign-in itself runs on
// a thread of the core's (SignInTask); the dialog only watches it.
#include "app/core/sign_in_task.h"
#include "app/window/main_window.h"

#include <QProgressDialog>
#include <QTimer>
#include <chrono>
#include <thread>

namespace app {

void TForm1::SignInClick() {
    std::string mailbox = ToGbk(Edit1->text());
    CredentialCommand credential = core_->Credentials().For(mailbox);
    if (credential.kind != CredentialCommand::Kind::OAuth || !credential.oauth) return;
    const OAuthProvider& provider = credential.oauth->Provider();
    SignInTask task(provider, credential.oauth->Mailbox(), credential.oauth->Store(),
                    LibcurlPoster());
    QProgressDialog waiting(QString::fromUtf8("正在等待浏览器中的登录 (") +
                                QString::fromStdString(provider.name) + QStringLiteral(")..."),
                            QString::fromUtf8("取消"), 0, 0, this);
    waiting.setObjectName(QStringLiteral("SignInWaiting"));
    waiting.setWindowTitle(QString::fromUtf8("登录"));
    waiting.setMinimumDuration(0);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &waiting, [&] {
        std::string address = task.Address();
        // The address, for a browser the opener did not reach (copy it from the tooltip).
        if (!address.empty()) waiting.setToolTip(QString::fromStdString(address));
        if (task.Done()) waiting.reset();
    });
    watch.start(100);
    waiting.exec();
    watch.stop();
    if (!task.Done()) task.Cancel();
    // A cancel is seen within a quarter second.
    while (!task.Done()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SignInOutcome outcome = task.Outcome();
    if (outcome.ok)
        options_.inform(QString::fromUtf8("登录"), QString::fromUtf8("已登录: ") + Edit1->text(),
                        QString::fromUtf8("保存在: ") + QString::fromStdString(outcome.where));
    else
        options_.showError(QString::fromUtf8("未登录: ") + QString::fromStdString(outcome.reason));
}

} // namespace app
