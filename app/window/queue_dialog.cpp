#include "app/window/queue_dialog.h"

#include "app/window/main_window.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>

namespace app {

namespace {

QString TimeText(store::WallClock::time_point when) {
    if (when.time_since_epoch().count() == 0) return QString();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(when.time_since_epoch());
    return QDateTime::fromSecsSinceEpoch(seconds.count()).toString("yyyy-M-d H:mm:ss");
}

QString SizeText(long long size) {
    return size < 0 ? QString() : QString::number(size);
}

} // namespace

QueueDialog::QueueDialog(RelayCore& core, std::function<bool(const QString&)> confirm,
                         QWidget* parent)
    : QDialog(parent), core_(core), confirm_(std::move(confirm)) {
    setObjectName("QueueDialog");
    setWindowTitle(QString::fromUtf8("发送队列"));
    resize(960, 320);
    table_ = new QTableWidget(this);
    table_->setObjectName("QueueTable");
    table_->setColumnCount(8);
    table_->setHorizontalHeaderLabels({QString::fromUtf8("状态"), QString::fromUtf8("接收时间"),
                                       QString::fromUtf8("发件人"), QString::fromUtf8("收件人"),
                                       QString::fromUtf8("大小"), QString::fromUtf8("尝试次数"),
                                       QString::fromUtf8("下次尝试"), QString::fromUtf8("原因")});
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->setWordWrap(false);
    table_->verticalHeader()->hide();
    retry_ = new QPushButton(QString::fromUtf8("立即重试"), this);
    retry_->setObjectName("RetryNow");
    delete_ = new QPushButton(QString::fromUtf8("删除"), this);
    delete_->setObjectName("DeleteQueued");
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(retry_);
    buttons->addWidget(delete_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(table_);
    layout->addLayout(buttons);
    connect(retry_, &QPushButton::clicked, this, [this] { RetryChosen(); });
    connect(delete_, &QPushButton::clicked, this, [this] { DeleteChosen(); });
    connect(table_, &QTableWidget::itemSelectionChanged, this, [this] {
        retry_->setEnabled(Chosen() != nullptr);
        delete_->setEnabled(Chosen() != nullptr);
    });
    Refresh();
}

void QueueDialog::Refresh() {
    const QueuedMessage* chosen = Chosen();
    bool wasChosen = chosen != nullptr;
    bool chosenFailed = wasChosen && chosen->failed;
    uint64_t chosenId = wasChosen ? chosen->id : 0;
    shown_ = core_.Queue();
    table_->clearContents();
    table_->setRowCount(static_cast<int>(shown_.size()));
    int chosenRow = -1;
    for (int row = 0; row < static_cast<int>(shown_.size()); ++row) {
        const QueuedMessage& message = shown_[static_cast<size_t>(row)];
        const QString cells[] = {QString::fromUtf8(message.failed ? "发送失败" : "等待重试"),
                                 TimeText(message.received),
                                 TForm1::Gbk(message.sender),
                                 TForm1::Gbk(message.recipientText),
                                 SizeText(message.size),
                                 message.failed ? QString() : QString::number(message.attempts),
                                 message.failed ? QString() : TimeText(message.next),
                                 TForm1::Gbk(message.lastReason)};
        for (int column = 0; column < 8; ++column) {
            auto* item = new QTableWidgetItem(cells[column]); // owned by the table
            item->setToolTip(cells[column]);
            table_->setItem(row, column, item);
        }
        if (wasChosen && message.failed == chosenFailed && message.id == chosenId) chosenRow = row;
    }
    // Short columns as wide as they need; addresses and the reason within bounds, whole in
    // their tooltips.
    table_->resizeColumnsToContents();
    for (int column : {2, 3, 7})
        table_->setColumnWidth(column,
                               std::min(table_->columnWidth(column), column == 7 ? 200 : 180));
    if (chosenRow >= 0) table_->selectRow(chosenRow);
    retry_->setEnabled(Chosen() != nullptr);
    delete_->setEnabled(Chosen() != nullptr);
}

const QueuedMessage* QueueDialog::Chosen() const {
    QList<QTableWidgetItem*> items = table_->selectedItems();
    if (items.isEmpty()) return nullptr;
    auto row = static_cast<size_t>(items.front()->row());
    return row < shown_.size() ? &shown_[row] : nullptr;
}

bool QueueDialog::RetryChosen() {
    const QueuedMessage* chosen = Chosen();
    if (!chosen) return false;
    QueuedMessage message = *chosen; // Refresh, which the core's news runs, replaces the rows
    bool retried = core_.RetryNow(message);
    Refresh();
    return retried;
}

bool QueueDialog::DeleteChosen() {
    const QueuedMessage* chosen = Chosen();
    if (!chosen) return false;
    QueuedMessage message = *chosen;
    if (!confirm_(QString::fromUtf8("删除这封邮件吗？它不会再被发送。"))) return false;
    bool deleted = core_.DeleteQueued(message);
    Refresh();
    return deleted;
}

} // namespace app
