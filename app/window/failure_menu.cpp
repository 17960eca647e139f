// The failure list's menu: a failed message kept in the spool is sent again or deleted only
// when the user asks, one line or all at once.
#include "app/window/main_window.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QTextBlock>

namespace app {

void TForm1::BuildFailureMenu() {
    badrelay->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(badrelay, &QWidget::customContextMenuRequested, this, [this](const QPoint& where) {
        QString line = badrelay->cursorForPosition(where).block().text();
        const RelayCore::Failure* failure = core_->FailureOf(ToGbk(line));
        bool kept = failure && !failure->spoolId.empty();
        QMenu menu(badrelay);
        menu.addAction(QString::fromUtf8("重新发送"), this,
                       [this, line] { ResendFailedLine(line); })
            ->setEnabled(kept);
        menu.addAction(QString::fromUtf8("全部重新发送"), this, [this] { ResendAllFailed(); })
            ->setEnabled(core_->KeptFailures() > 0);
        menu.addSeparator();
        menu.addAction(QString::fromUtf8("删除"), this, [this, line] { DeleteFailedLine(line); })
            ->setEnabled(kept);
        menu.exec(badrelay->viewport()->mapToGlobal(where));
    });
}

bool TForm1::ResendFailedLine(const QString& line) {
    return core_->Resend(ToGbk(line));
}

size_t TForm1::ResendAllFailed() {
    return core_->ResendAll();
}

bool TForm1::DeleteFailedLine(const QString& line) {
    if (!options_.confirm(QString::fromUtf8("删除这封发送失败的邮件吗？"))) return false;
    return core_->DeleteKept(ToGbk(line));
}

} // namespace app
