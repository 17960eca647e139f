// The failure list's menu: a failed message kept in the spool is sent again or deleted only
// when the user asks, one line or all at once. A line acts on the record it shows, so two
// equal lines, or a line the user has edited, each reach their own message.
#include "app/window/main_window.h"

#include "shell/tray_icon.h"

#include <QMenu>

namespace app {

void TForm1::BuildFailureMenu() {
    badrelay->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(badrelay, &QWidget::customContextMenuRequested, this, [this](const QPoint& where) {
        FailureMenuAt(where)->exec(badrelay->viewport()->mapToGlobal(where));
    });
}

std::unique_ptr<QMenu> TForm1::FailureMenuAt(const QPoint& where) {
    uint64_t recordId = FailedRecordAt(where);
    const Record* record = core_->Records(ListKind::Failed).Find(recordId);
    bool kept = record && !record->spoolId.empty();
    auto menu = std::make_unique<QMenu>(badrelay);
    menu->addAction(QString::fromUtf8("重新发送"), this,
                    [this, recordId] { ResendFailedRecord(recordId); })
        ->setEnabled(kept);
    menu->addAction(QString::fromUtf8("全部重新发送"), this, [this] { core_->ResendAll(); })
        ->setEnabled(core_->KeptFailures() > 0);
    menu->addSeparator();
    menu->addAction(QString::fromUtf8("删除"), this,
                    [this, recordId] { DeleteFailedRecord(recordId); })
        ->setEnabled(kept);
    menu->addSeparator();
    menu->addAction(QString::fromUtf8("发送队列..."), this, [this] { OpenQueue(); });
    return menu;
}

QueueDialog* TForm1::OpenQueue() {
    if (!queueDialog_) {
        queueDialog_ = new QueueDialog(*core_, options_.confirm, this); // owned by the window
        queueDialog_->setAttribute(Qt::WA_DeleteOnClose);
    }
    queueDialog_->Refresh();
    queueDialog_->show();
    queueDialog_->raise();
    return queueDialog_;
}

QString TForm1::TrayHint() const {
    return TrayIcon1 ? TrayIcon1->Hint() : QString();
}

bool TForm1::ResendFailedRecord(uint64_t recordId) {
    return core_->Resend(recordId);
}

bool TForm1::DeleteFailedRecord(uint64_t recordId) {
    if (!options_.confirm(QString::fromUtf8("删除这封发送失败的邮件吗？"))) return false;
    return core_->DeleteKept(recordId);
}

} // namespace app
