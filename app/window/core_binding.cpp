// The window bound to the relay core: what the core publishes is shown in the widgets, and
// every edit the user makes in the editor or a list reaches the core as it happens, so that
// the next MAIL finds the account the editor shows.
#include "app/window/main_window.h"

#include "app/window/paint_pacer.h"
#include "shell/tray_icon.h"

#include <QTextBlock>
#include <QTimer>
#include <QToolTip>

namespace app {

namespace {

// The record a list line shows. Qt keeps a block's data while its text is edited, so the
// line keeps its record through the user's edits; a new line has none.
struct RecordTag : QTextBlockUserData {
    explicit RecordTag(uint64_t recordId) : id(recordId) {}
    uint64_t id;
};

uint64_t TagOf(const QTextBlock& block) {
    auto* tag = static_cast<RecordTag*>(block.userData());
    return tag ? tag->id : 0;
}

// Every status the core reports, in the words the window shows (UTF-8).
const char* StatusWords(RelayStatus status) {
    switch (status) {
    case RelayStatus::None:
        return "";
    case RelayStatus::Receiving:
        return "正在接收并转发邮件...";
    case RelayStatus::Relayed:
        return "电邮转发成功...";
    case RelayStatus::Failed:
        return "电邮发送失败...";
    case RelayStatus::Error:
        return "电子邮件转发失败！";
    case RelayStatus::TestRelayed:
        return "电邮发送成功...";
    case RelayStatus::TestFailed:
        return "电邮发送失败...";
    case RelayStatus::TestError:
        return "邮件发送过程出现错误...";
    case RelayStatus::NoAccount:
        return "尚未设置发送帐户";
    case RelayStatus::Deferred:
        return "电邮暂缓发送，稍后自动重试...";
    }
    return "";
}

// Tags the last blocks with the ids, in order.
void TagLastBlocks(QPlainTextEdit* box, const std::vector<uint64_t>& ids) {
    QTextBlock block = box->document()->lastBlock();
    for (auto id = ids.rbegin(); id != ids.rend() && block.isValid(); ++id) {
        block.setUserData(new RecordTag(*id)); // owned by the block
        block = block.previous();
    }
}

} // namespace

RelayCoreOptions CoreOptionsFor(const FormOptions& options) {
    RelayCoreOptions relay;
    relay.srvAddr = options.srvAddr;
    relay.srvPort = options.srvPort;
    relay.relayTimeoutMs = options.relayTimeoutMs;
    relay.folder = options.programDir;
    relay.programDir = options.executableDir.empty() ? options.programDir : options.executableDir;
    relay.spoolFilesAhead = RelayCoreOptions::kBusySpoolFiles;
    if (options.workers > 0) relay.workers = options.workers;
    return relay;
}

void TForm1::BindCore() {
    RelayCore::Observers& observers = core_->observers;
    observers.accountChanged = [this](const Account& account) { ShowAccount(account); };
    observers.statusChanged = [this](RelayStatus status) { ShowStatus(status); };
    observers.sending = [this](const std::string& recipientText) {
        recipientField_->Set(Gbk(recipientText));
    };
    observers.recordsReplaced = [this](ListKind kind) { ShowRecords(kind); };
    observers.outcomes = [this](const std::vector<DeliveryOutcome>& batch) { ShowOutcomes(batch); };
    observers.queueChanged = [this] { ShowQueue(); };
    observers.accountListReplaced = [this] {
        showingCore_ = true;
        SetLines(Memo4, core_->AccountList()); // the box is the account list's editor
        showingCore_ = false;
    };
    SendEditsToCore();
}

void TForm1::SendEditsToCore() {
    // Only the field the user edited changes in the core: the others keep the bytes they were
    // read with, also bytes the widgets cannot show.
    const std::pair<QLineEdit*, std::string Account::*> fields[] = {
        {Edit1, &Account::mailbox}, {Edit2, &Account::usedBy},   {Edit5, &Account::host},
        {Edit7, &Account::user},    {Edit8, &Account::password}, {Edit14, &Account::port}};
    for (const auto& [field, member] : fields)
        connect(field, &QLineEdit::textChanged, this, [this, member](const QString& text) {
            if (showingCore_) return;
            Account account = core_->AccountInForce();
            account.*member = ToGbk(text);
            core_->SetAccountInForce(account);
        });
    const std::pair<QCheckBox*, bool Account::*> boxes[] = {{CheckBox3, &Account::authenticate},
                                                            {CheckBox4, &Account::implicitTls},
                                                            {CheckBox5, &Account::startTls}};
    for (const auto& [box, member] : boxes)
        connect(box, &QCheckBox::toggled, this, [this, member](bool ticked) {
            if (showingCore_) return;
            Account account = core_->AccountInForce();
            account.*member = ticked;
            core_->SetAccountInForce(account);
        });
    connect(Edit1, &QLineEdit::textChanged, this, [this] { ShowSecretSource(); });
    connect(Memo4, &QPlainTextEdit::textChanged, this, [this] {
        if (!showingCore_) core_->SetAccountList(LinesOf(Memo4, core_->AccountList()));
    });
    for (ListKind kind : {ListKind::Relayed, ListKind::Failed})
        connect(BoxOf(kind), &QPlainTextEdit::textChanged, this, [this, kind] {
            if (!showingCore_) core_->EditRecords(kind, ShownLines(BoxOf(kind)));
        });
    recipientField_ = new DeferredFieldText(Edit10);
}

void TForm1::ShowAccount(const Account& e) {
    showingCore_ = true;
    // From their start: the narrow fields would otherwise show an address's last characters.
    auto show = [](QLineEdit* field, const QString& text) {
        field->setText(text);
        field->setCursorPosition(0);
    };
    show(Edit1, Gbk(e.mailbox));
    show(Edit2, Gbk(e.usedBy));
    show(Edit5, Gbk(e.host));
    show(Edit7, Gbk(e.user));
    show(Edit8, Gbk(e.password));
    show(Edit14, Gbk(e.port));
    CheckBox3->setChecked(e.authenticate); // runs CheckBox3Click only when the state changes
    CheckBox4->setChecked(e.implicitTls);
    CheckBox5->setChecked(e.startTls);
    showingCore_ = false;
}

void TForm1::ShowStatus(RelayStatus status) {
    StatusBar1[6]->setText(QString::fromUtf8(StatusWords(status)));
    StatusBar1[6]->setToolTip(Gbk(core_->LastFailureReason()));
}

void TForm1::ShowRecords(ListKind kind) {
    QPlainTextEdit* box = BoxOf(kind);
    const std::vector<Record>& records = core_->Records(kind).Records();
    showingCore_ = true;
    QStringList lines;
    std::vector<uint64_t> ids;
    for (const Record& record : records) {
        lines << Gbk(record.line);
        ids.push_back(record.id);
    }
    box->setPlainText(lines.join(QChar('\n')));
    TagLastBlocks(box, ids);
    showingCore_ = false;
}

std::vector<ShownLine> TForm1::ShownLines(const QPlainTextEdit* box) const {
    std::vector<ShownLine> shown;
    const QTextDocument* document = box->document();
    size_t lines = LineCount(box);
    shown.reserve(lines);
    QTextBlock block = document->firstBlock();
    for (size_t i = 0; i < lines && block.isValid(); ++i, block = block.next())
        shown.push_back(ShownLine{TagOf(block), ToGbk(block.text())});
    return shown;
}

void TForm1::ShowOutcomes(const std::vector<DeliveryOutcome>& batch) {
    // One pass of the queue is one update of the window: a line per outcome, then the status
    // of the last one, one sound (a newer sound cuts an older one off anyway) and the
    // counters once.
    recipientField_->Apply(); // the field answers for the last delivery started
    const DeliveryOutcome* lastListed = nullptr;
    QStringList relayedLines, failedLines;
    std::vector<uint64_t> relayedIds, failedIds;
    for (const DeliveryOutcome& outcome : batch) {
        if (outcome.recordId == 0) continue; // an error, not an outcome: nothing is listed
        lastListed = &outcome;
        (outcome.relayed ? relayedLines : failedLines).append(Gbk(outcome.logLine));
        // The one failure only the user can mend: a user who never opens the window learns
        // of it from the tray.
        if (outcome.signInNeeded && TrayIcon1)
            TrayIcon1->Notify(QString::fromUtf8("需要重新登录"),
                              Gbk(outcome.mailbox) +
                                  QString::fromUtf8(" 的 OAuth 2.0 登录已失效，请重新登录 (sign in "
                                                    "again)"));
        else if (!outcome.relayed)
            NoteFinalFailure(outcome);
        (outcome.relayed ? relayedIds : failedIds).push_back(outcome.recordId);
    }
    // One edit per list and pass: the list is scrolled and its new lines laid out once, not
    // once per line. Each outcome is still a line of its own, in finishing order.
    showingCore_ = true;
    for (ListKind kind : {ListKind::Relayed, ListKind::Failed}) {
        QStringList& lines = kind == ListKind::Relayed ? relayedLines : failedLines;
        if (lines.isEmpty()) continue;
        QPlainTextEdit* box = BoxOf(kind);
        box->appendPlainText(lines.join('\n'));
        TagLastBlocks(box, kind == ListKind::Relayed ? relayedIds : failedIds);
        // An empty line the user left at the end became a line of its own above the new
        // ones: the core learns of it as of any edit.
        if (LineCount(box) != core_->Records(kind).Count())
            core_->EditRecords(kind, ShownLines(box));
    }
    showingCore_ = false;
    const DeliveryOutcome& last = batch.back();
    ShowStatus(core_->Status());
    if (!lastListed) return;
    lastListed->relayed ? Button2Click() : Button3Click();
    if (!last.failedWithError) recipientField_->Clear();
    RefreshCounters();
    // Drawn now: the core runs a pass at a moment when no reply is due (during a command's
    // delay), which a drawing left to the pacer's own timer would not keep to.
    pacer_->Bypass();
}

void TForm1::NoteFinalFailure(const DeliveryOutcome& outcome) {
    if (!core_->Policy().notify || !TrayIcon1) return;
    // Told once the failures stop coming: a burst (twenty of cron's messages refused
    // together) is one notification.
    if (!failureNotice_) {
        failureNotice_ = new QTimer(this); // owned by the window
        failureNotice_->setSingleShot(true);
        connect(failureNotice_, &QTimer::timeout, this, [this] { NotifyFinalFailures(); });
    }
    failureNotice_->start(options_.failureNoticeQuietMs);
    ++finalFailures_;
    lastFinalFailure_ = outcome;
}

void TForm1::NotifyFinalFailures() {
    if (!lastFinalFailure_ || !TrayIcon1) return;
    const DeliveryOutcome& last = *lastFinalFailure_;
    QString subject = last.subject.empty() ? QString::fromUtf8("（无主题）") : Gbk(last.subject);
    QString detail = QString::fromUtf8("「%1」发给 %2 失败：%3")
                         .arg(subject, Gbk(last.recipientText), Gbk(last.reason));
    if (finalFailures_ == 1)
        TrayIcon1->Notify(QString::fromUtf8("邮件发送失败"), detail);
    else
        TrayIcon1->Notify(QString::fromUtf8("%1 封邮件发送失败").arg(finalFailures_),
                          QString::fromUtf8("最后一封：") + detail +
                              QString::fromUtf8("。详见发送失败记录。"));
    finalFailures_ = 0;
    lastFinalFailure_.reset();
}

void TForm1::ShowQueue() {
    // The tray's tooltip counts what waits for a retry beside the title.
    size_t waiting = core_->DeferredCount();
    QString hint = QString::fromUtf8(kTitle);
    if (waiting > 0) hint += QString::fromUtf8(" %1 封邮件等待重试").arg(waiting);
    if (TrayIcon1) TrayIcon1->SetHint(hint);
    if (queueDialog_) queueDialog_->Refresh();
}

void TForm1::RefreshCounters() {
    size_t ok = core_->Records(ListKind::Relayed).Count();
    size_t bad = core_->Records(ListKind::Failed).Count();
    StatusBar1[1]->setText(QString::number(ok + bad));
    StatusBar1[3]->setText(QString::number(ok));
    StatusBar1[5]->setText(QString::number(bad));
}

uint64_t TForm1::FailedRecordAt(const QPoint& where) const {
    return TagOf(badrelay->cursorForPosition(where).block());
}

std::string TForm1::FailureReasonAt(const QPoint& where) const {
    const Record* record = core_->Records(ListKind::Failed).Find(FailedRecordAt(where));
    return record ? record->reason : std::string();
}

void TForm1::ShowFailureReason(const QPoint& where) {
    std::string reason = FailureReasonAt(where);
    if (reason.empty())
        QToolTip::hideText();
    else
        QToolTip::showText(badrelay->viewport()->mapToGlobal(where), Gbk(reason),
                           badrelay->viewport());
}

} // namespace app
