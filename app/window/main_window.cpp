#include "app/window/main_window.h"

#include "app/window/paint_pacer.h"
#include "app/window/sounds.h"
#include "platform/gbk.h"
#include "platform/text.h"
#include "platform/text_file.h"
#include "shell/about_box.h"
#include "shell/menu_painter.h"
#include "shell/program_icon.h"
#include "shell/tray_icon.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QInputDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QStyle>
#include <QTextBlock>
#include <QToolBar>
#include <QToolTip>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>
#include <ctime>
#include <map>
#include <tuple>

namespace app {

namespace {

QLabel* CaptionBar(const char* text, QWidget* parent) {
    auto* label = new QLabel(QString::fromUtf8(text), parent);
    label->setFixedHeight(21);
    label->setStyleSheet("background: palette(button); padding-left: 4px;");
    return label;
}

// An eye, drawn: no icon theme can be counted on without a desktop.
QIcon EyeIcon(const QColor& colour) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour, 1.4));
    QPainterPath lid;
    lid.moveTo(1.5, 8);
    lid.quadTo(8, 1, 14.5, 8);
    lid.quadTo(8, 15, 1.5, 8);
    painter.drawPath(lid);
    painter.setBrush(colour);
    painter.drawEllipse(QPointF(8, 8), 2.3, 2.3);
    return QIcon(pixmap);
}

// The password stays masked, as in every mail program, until the eye inside the field is
// toggled on; what the field holds is unchanged either way.
void MaskPassword(QLineEdit* field) {
    field->setEchoMode(QLineEdit::Password);
    QAction* reveal = field->addAction(EyeIcon(field->palette().color(QPalette::Text)),
                                       QLineEdit::TrailingPosition);
    reveal->setObjectName(QStringLiteral("revealPassword"));
    reveal->setCheckable(true);
    reveal->setToolTip(QString::fromUtf8("显示密码"));
    QObject::connect(reveal, &QAction::toggled, field, [field, reveal](bool shown) {
        field->setEchoMode(shown ? QLineEdit::Normal : QLineEdit::Password);
        reveal->setToolTip(QString::fromUtf8(shown ? "隐藏密码" : "显示密码"));
    });
}

QPlainTextEdit* ListBox(QWidget* parent) {
    auto* box = new QPlainTextEdit(parent);
    box->setLineWrapMode(QPlainTextEdit::NoWrap);
    box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    return box;
}

} // namespace

// ---- construction ----------------------------------------------------------------------

TForm1::TForm1(RelayCore& core, FormOptions options, QWidget* parent)
    : QMainWindow(parent), options_(std::move(options)), core_(&core) {
    SetDefaultDialogs();
    setWindowTitle(QString::fromUtf8(kTitle) + " www.vantro.example.com  400-000-0000");
    resize(665, 553);
    CentreOnScreen();
    OpenAddress = [](const QString& address) {
        QDesktopServices::openUrl(QUrl(address));
    }; // failure: silent
    BuildWidgets();
    // 50 ms: a busy window still redraws twenty times a second, which reads as live.
    pacer_ = new PaintPacer(this, std::chrono::milliseconds(50));
    BuildTray();
    badrelay->viewport()->installEventFilter(this); // the reason of a line on hovering
    BuildFailureMenu();
    Form2 = new shell::TForm2(this);
    NameControls();

    // The platform loop (sockets, their timers and messages) runs inside Qt's loop.
    platform::MessageLoop& loop = platform::MessageLoop::Current();
    loopNotifier_ = new QSocketNotifier(loop.Fd(), QSocketNotifier::Read, this);
    connect(loopNotifier_, &QSocketNotifier::activated, this,
            [] { platform::MessageLoop::Current().RunOnce(0); });
    BindCore();
}

TForm1::~TForm1() {
    core_->observers = {}; // the core outlives the window: nothing it publishes comes here
}

void TForm1::ShowSecretSource() {
    CredentialCommand credential = core_->Credentials().For(ToGbk(Edit1->text()));
    SignInButton->setVisible(credential.kind == CredentialCommand::Kind::OAuth);
    switch (credential.kind) {
    case CredentialCommand::Kind::OAuth:
        Edit8->setToolTip(QString::fromUtf8("以 OAuth 2.0 登录 ") +
                          QString::fromStdString(credential.oauth->Provider().name) +
                          QString::fromUtf8(" 发送，不用此栏 (vantrosmtp --sign-in ") +
                          Edit1->text() + QStringLiteral(")"));
        break;
    case CredentialCommand::Kind::Password:
        Edit8->setToolTip(QString::fromUtf8("密码由 [secretcommand] 中的命令提供，不用此栏"));
        break;
    case CredentialCommand::Kind::Token:
        Edit8->setToolTip(
            QString::fromUtf8("OAuth 2.0 令牌由 [tokencommand] 中的命令提供，不用此栏"));
        break;
    case CredentialCommand::Kind::None:
        Edit8->setToolTip(QString());
        break;
    }
}

void TForm1::BuildWidgets() {
    // SimSun where installed, else the CJK font the set-up installs.
    QFont font;
    font.setFamilies({QStringLiteral("SimSun"), QStringLiteral("Noto Sans CJK SC")});
    font.setPointSize(9);
    setFont(font);
    auto* central = new QWidget(this);
    auto* column = new QVBoxLayout(central);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    BuildToolbar();
    column->addWidget(BuildEditor(central));
    column->addWidget(CaptionBar("发送失败记录", central));
    badrelay = ListBox(central);
    badrelay->setFixedHeight(107);
    column->addWidget(badrelay);
    column->addWidget(CaptionBar("发送成功记录", central));
    okrelay = ListBox(central);
    column->addWidget(okrelay, 1);
    setCentralWidget(central);
    BuildStatusBar();
}

void TForm1::BuildToolbar() {
    auto* toolbar = addToolBar(QString());
    toolbar->setMovable(false);
    toolbar->setFixedHeight(33);
    auto tool = [&](const char* caption, const char* hint) {
        auto* b = new QToolButton(toolbar);
        b->setText(QString::fromUtf8(caption));
        b->setToolTip(QString::fromUtf8(hint));
        b->setFixedSize(60, 22);
        toolbar->addWidget(b);
        return b;
    };
    SpeedButton4 = tool("测试", "单发一个电邮");
    SpeedButton5 = tool("主页", "访问Vantro网站");
    SpeedButton6 = tool("关于", "关于软件版权");
    SpeedButton2 = tool("邮箱", "发送邮件咨询");
    SpeedButton8 = tool("退出", "退出软件系统");
    const std::pair<QToolButton*, QStyle::StandardPixmap> glyphs[] = {
        {SpeedButton4, QStyle::SP_DialogApplyButton},
        {SpeedButton5, QStyle::SP_DirHomeIcon},
        {SpeedButton6, QStyle::SP_MessageBoxInformation},
        {SpeedButton2, QStyle::SP_FileDialogContentsView},
        {SpeedButton8, QStyle::SP_DialogCloseButton}};
    for (const auto& [button, glyph] : glyphs) {
        button->setIcon(style()->standardIcon(glyph));
        button->setIconSize(QSize(14, 14));
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    }
    connect(SpeedButton4, &QToolButton::clicked, this, [this] { SpeedButton4Click(); });
    connect(SpeedButton5, &QToolButton::clicked, this, [this] { N9Click(); });
    connect(SpeedButton6, &QToolButton::clicked, this, [this] { SpeedButton6Click(); });
    connect(SpeedButton2, &QToolButton::clicked, this, [this] { SpeedButton2Click(); });
    connect(SpeedButton8, &QToolButton::clicked, this, [this] { close(); });
}

QHBoxLayout* TForm1::BuildEditorButtons(QWidget* editor) {
    auto* row3 = new QHBoxLayout();
    SpeedButton11 = new QToolButton(editor);
    SpeedButton11->setText(QString::fromUtf8("增加帐户"));
    SpeedButton11->setToolTip(QString::fromUtf8("增加群发参数到列表"));
    SpeedButton12 = new QToolButton(editor);
    SpeedButton12->setText(QString::fromUtf8("切换帐户"));
    SpeedButton12->setToolTip(QString::fromUtf8("轮流切换填充和生效参数"));
    SpeedButton1 = new QToolButton(editor);
    SpeedButton1->setText(QString::fromUtf8("清空记录"));
    for (auto* b : {SpeedButton11, SpeedButton12, SpeedButton1}) b->setAutoRaise(true);
    Edit10 = new QLineEdit(editor);
    Edit10->setEnabled(false);
    row3->addWidget(SpeedButton11);
    row3->addWidget(SpeedButton12);
    row3->addWidget(new QLabel(QString::fromUtf8("当前正在发送电邮地址："), editor));
    row3->addWidget(Edit10, 1);
    row3->addWidget(SpeedButton1);
    return row3;
}

void TForm1::SizeEditorFields(QGridLayout* grid) {
    // The fields share the width by the stretch of their columns alone, not by what their
    // captions and check boxes would like; the sender mailbox shows an ordinary address whole
    // and the port field five digits.
    const QFontMetrics metrics(Edit1->font());
    for (QLineEdit* field : {Edit1, Edit2, Edit5, Edit7, Edit8}) {
        field->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        field->setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("smtp")));
    }
    Edit1->setMinimumWidth(metrics.horizontalAdvance(QStringLiteral("sink@example.org")) + 12);
    Edit14->setFixedWidth(metrics.horizontalAdvance(QStringLiteral("65535")) + 14);
    for (auto [column, stretch] : {std::pair{1, 3}, {3, 3}, {5, 0}, {7, 3}, {9, 2}})
        grid->setColumnStretch(column, stretch);
}

QWidget* TForm1::BuildEditor(QWidget* parent) {
    auto* editor = new QWidget(parent);
    editor->setFixedHeight(216);
    auto* grid = new QGridLayout(editor);
    auto edit = [&](const char* caption, int row, int col) {
        grid->addWidget(new QLabel(QString::fromUtf8(caption), editor), row, col);
        auto* e = new QLineEdit(editor);
        grid->addWidget(e, row, col + 1);
        return e;
    };
    Edit1 = edit("发件箱：", 0, 0);
    Edit5 = edit("SMTP：", 0, 2);
    Edit14 = edit("端口：", 0, 4);
    Edit2 = edit("使用者：", 0, 6);
    CheckBox4 = new QCheckBox(QString::fromUtf8("SSL安全连接"), editor);
    CheckBox5 = new QCheckBox(QString::fromUtf8("TLS安全连接"), editor);
    CheckBox3 = new QCheckBox(QString::fromUtf8("身份验证"), editor);
    CheckBox3->setLayoutDirection(Qt::RightToLeft); // caption left of the box
    grid->addWidget(CheckBox4, 1, 0, 1, 2);
    grid->addWidget(CheckBox5, 1, 2, 1, 2);
    grid->addWidget(CheckBox3, 1, 4, 1, 2);
    Edit7 = edit("用户名：", 1, 6);
    Edit8 = edit("密码：", 1, 8);
    MaskPassword(Edit8);
    SignInButton = new QToolButton(editor);
    SignInButton->setText(QString::fromUtf8("登录..."));
    SignInButton->setToolTip(QString::fromUtf8("在浏览器中登录此帐户的 OAuth 2.0 提供者"));
    SignInButton->hide(); // an empty column takes no room
    grid->addWidget(SignInButton, 1, 10);
    connect(SignInButton, &QToolButton::clicked, this, [this] { SignInClick(); });
    grid->addLayout(BuildEditorButtons(editor), 2, 0, 1, 10);
    SizeEditorFields(grid);
    Memo4 = ListBox(editor);
    Memo4->setFixedHeight(110);
    grid->addWidget(Memo4, 3, 0, 1, 10);
    connect(SpeedButton11, &QToolButton::clicked, this, [this] { SpeedButton11Click(); });
    connect(SpeedButton12, &QToolButton::clicked, this, [this] { SpeedButton12Click(); });
    connect(SpeedButton1, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
    connect(CheckBox3, &QCheckBox::toggled, this, [this] { CheckBox3Click(); });
    Edit14->installEventFilter(this);
    return editor;
}

void TForm1::BuildStatusBar() {
    statusBar()->setFixedHeight(19);
    const std::pair<int, const char*> panels[] = {
        {40, "总数："}, {50, ""}, {40, "成功："}, {50, ""}, {40, "失败："}, {50, ""}, {50, ""}};
    for (const auto& [width, text] : panels) {
        auto* label = new QLabel(QString::fromUtf8(text), this);
        label->setMinimumWidth(width);
        statusBar()->addWidget(label, width == 50 && StatusBar1.size() == 6 ? 1 : 0);
        StatusBar1.push_back(label);
    }
}

void TForm1::BuildTray() {
    PopupMenu1 = new QMenu(this);
    MenuPainter1 = new shell::TMenuPainter();
    MenuPainter1->Active = true;
    MenuPainter1->setParent(PopupMenu1);
    PopupMenu1->setStyle(MenuPainter1);
    N5 = PopupMenu1->addAction(QString::fromUtf8("显示主窗口(&M)"), this, [this] { N5Click(); });
    N4 = PopupMenu1->addAction(QString::fromUtf8("最小化显示(&N)"), this, [this] { N4Click(); });
    N6 = PopupMenu1->addAction(QString::fromUtf8("与作者联系(&C)"), this, [this] { N6Click(); });
    N9 = PopupMenu1->addAction(QString::fromUtf8("访问软件站(&V)"), this, [this] { N9Click(); });
    N7 = PopupMenu1->addAction(QString::fromUtf8("关于本软件(&A)"), this, [this] { N7Click(); });
    N8 = PopupMenu1->addAction(QString::fromUtf8("退  出(&Exit)"), this, [this] { close(); });
    N5->setEnabled(false);
    TrayIcon1 = new shell::TTrayIcon(this);
    TrayIcon1->SetIcon(shell::ProgramIcon());
    TrayIcon1->SetHint(QString::fromUtf8(kTitle));
    TrayIcon1->SetPopupMenu(PopupMenu1);
    TrayIcon1->OnClick = [this](shell::TTrayIcon*) { N5Click(); };
    TrayIcon1->SetVisible(true);
    setWindowIcon(shell::ProgramIcon());
}

void TForm1::NameControls() {
    // The names the window gives its controls, so that tests (and accessibility tools) find
    // them as a user's actions reach them.
    const std::pair<QObject*, const char*> named[] = {
        {Edit1, "Edit1"},
        {Edit2, "Edit2"},
        {Edit5, "Edit5"},
        {Edit7, "Edit7"},
        {Edit8, "Edit8"},
        {SignInButton, "SignInButton"},
        {Edit10, "Edit10"},
        {Edit14, "Edit14"},
        {CheckBox3, "CheckBox3"},
        {CheckBox4, "CheckBox4"},
        {CheckBox5, "CheckBox5"},
        {Memo4, "Memo4"},
        {okrelay, "okrelay"},
        {badrelay, "badrelay"},
        {SpeedButton1, "SpeedButton1"},
        {SpeedButton2, "SpeedButton2"},
        {SpeedButton4, "SpeedButton4"},
        {SpeedButton5, "SpeedButton5"},
        {SpeedButton6, "SpeedButton6"},
        {SpeedButton8, "SpeedButton8"},
        {SpeedButton11, "SpeedButton11"},
        {SpeedButton12, "SpeedButton12"},
        {PopupMenu1, "PopupMenu1"},
        {N4, "N4"},
        {N5, "N5"},
        {N6, "N6"},
        {N7, "N7"},
        {N8, "N8"},
        {N9, "N9"},
        {TrayIcon1, "TrayIcon1"},
        {Form2, "Form2"},
    };
    for (const auto& [object, name] : named) object->setObjectName(QString::fromUtf8(name));
    for (size_t panel = 0; panel < StatusBar1.size(); ++panel)
        StatusBar1[panel]->setObjectName(QString("StatusBar1_%1").arg(panel));
}

bool TForm1::TrayAvailable() const {
    return options_.assumeTray || shell::TTrayIcon::Available();
}

void TForm1::N4Click() {
    // Without a notification area a hidden window could never be brought back: it then
    // stays minimised on the task bar instead.
    if (!TrayAvailable()) return;
    N5->setEnabled(true);
    N4->setEnabled(false);
    hide();
}

void TForm1::N5Click() {
    N5->setEnabled(false);
    N4->setEnabled(true);
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
}

void TForm1::N6Click() {
    OpenAddress(QStringLiteral("mailto:support@vantro.example.com"));
}
void TForm1::N9Click() {
    OpenAddress(QStringLiteral("http://www.vantro.example.com/"));
}
void TForm1::N7Click() {
    if (!Headless()) Form2->exec(); // nobody could close it
}

void TForm1::changeEvent(QEvent* event) {
    // Minimising with the title-bar button does what the tray menu's minimise entry does.
    // Queued: the minimising call shows the window again after this event.
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized))
        QMetaObject::invokeMethod(
            this, [this] { N4Click(); }, Qt::QueuedConnection);
    QMainWindow::changeEvent(event);
}

// ---- start and end -------------------------------------------------------------------

void TForm1::FormCreate() {
    core_->ClearRecords();
    QPalette tips = QToolTip::palette();
    tips.setColor(QPalette::ToolTipBase, QColor(0, 255, 0));
    QToolTip::setPalette(tips);
    std::string unreadable = core_->OpenFiles();
    ShowSecretSource();
    if (!unreadable.empty()) {
        // Lists not read are never written back: the server stays off until it is mended.
        options_.showError(QString::fromUtf8("Cannot open file \"") +
                           QString::fromStdString(unreadable) + "\"");
        return;
    }
    pacer_->Bypass();
    repaint();
    core_->ArchiveLongLists();
    RefreshCounters();
    StartServer();
}

bool TForm1::FormCloseQuery() {
    return options_.confirm(QString::fromUtf8("退出VantroSMTP服务器吗？"));
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (!destroyed_ && !FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormDestroy();
    event->accept();
    // A hidden window's close would not end Qt's loop (only a visible last window does), so
    // the program ends here however the close was asked for: window, toolbar or tray.
    options_.quit();
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Edit14 && event->type() == QEvent::FocusOut) Edit14Exit();
    if (watched == badrelay->viewport() && event->type() == QEvent::ToolTip) {
        ShowFailureReason(static_cast<QHelpEvent*>(event)->pos());
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---- widget boundary -----------------------------------------------------------------

QString TForm1::Gbk(const std::string& gbk) {
    return QString::fromStdString(platform::GbkToUtf8(gbk));
}
std::string TForm1::ToGbk(const QString& text) {
    return platform::Utf8ToGbk(text.toStdString());
}

size_t TForm1::LineCount(const QPlainTextEdit* box) {
    // The document's own block count: the same number LinesOf gives, at no cost however long
    // the list has grown. A line end typed after the last line opens no line of its own.
    const QTextDocument* document = box->document();
    if (document->isEmpty()) return 0;
    size_t blocks = static_cast<size_t>(document->blockCount());
    return document->lastBlock().text().isEmpty() ? blocks - 1 : blocks;
}

StringList TForm1::LinesOf(const QPlainTextEdit* box, const StringList& shownFrom) {
    QString text = box->toPlainText();
    if (text.isEmpty()) return {};
    QStringList parts = text.split(QChar('\n'));
    if (parts.back().isEmpty()) parts.removeLast(); // the final line end ends a line
    // Each line of `shownFrom` by how the widget shows it, earlier ones first among equals.
    std::multimap<QString, const std::string*> shown;
    for (const std::string& line : shownFrom) shown.emplace(Gbk(line), &line);
    StringList lines;
    lines.reserve(static_cast<size_t>(parts.size()));
    for (const QString& line : parts) {
        auto same = shown.find(line);
        if (same == shown.end()) {
            lines.push_back(ToGbk(line));
            continue;
        }
        lines.push_back(*same->second);
        shown.erase(same);
    }
    return lines;
}

void TForm1::SetLines(QPlainTextEdit* box, const StringList& lines) {
    QStringList converted;
    for (const std::string& line : lines) converted << Gbk(line);
    box->setPlainText(converted.join(QChar('\n')));
}

// ---- sounds, records, accounts -------------------------------------------------------

void TForm1::Button2Click() {
    PlayResourceSound("oksound");
}
void TForm1::Button3Click() {
    PlayResourceSound("badsound");
}

void TForm1::SpeedButton1Click() {
    core_->ClearRecords();
    RefreshCounters();
}

void TForm1::SpeedButton11Click() {
    const Account& account = core_->AccountInForce();
    // A field the account line cannot hold as it is is refused, not changed on its way
    // through the file: "|" splits the line's fields, a line end splits the line, and a
    // character GBK has no form for would come back as "?".
    const std::tuple<const char*, const std::string*, QLineEdit*> fields[] = {
        {"发件箱", &account.mailbox, Edit1}, {"SMTP", &account.host, Edit5},
        {"端口", &account.port, Edit14},     {"使用者", &account.usedBy, Edit2},
        {"用户名", &account.user, Edit7},    {"密码", &account.password, Edit8}};
    for (const auto& [caption, value, field] : fields) {
        const char* why = nullptr;
        if (value->find('|') != std::string::npos)
            why = "含有“|”，帐户列表用它分隔各栏";
        else if (value->find_first_of("\r\n") != std::string::npos)
            why = "含有换行符，帐户列表一行一个帐户";
        else if (field->text() != Gbk(ToGbk(field->text())))
            why = "含有GBK无法表示的字符";
        if (!why) continue;
        options_.inform(QString::fromUtf8("增加帐户"),
                        QString::fromUtf8("「%1」%2，无法加入帐户列表。")
                            .arg(QString::fromUtf8(caption), QString::fromUtf8(why)),
                        QString());
        return;
    }
    Memo4->appendPlainText(Gbk(AccountLine(account)));
}

void TForm1::SpeedButton12Click() {
    core_->SwitchAccount();
}

void TForm1::CheckBox3Click() {
    bool on = CheckBox3->isChecked();
    for (QLineEdit* e : {Edit7, Edit8}) {
        e->setEnabled(on);
        QPalette p = e->palette();
        p.setColor(QPalette::Base,
                   on ? palette().color(QPalette::Base) : palette().color(QPalette::Button));
        e->setPalette(p);
    }
}

void TForm1::Edit14Exit() {
    if (platform::TrimBlanks(Edit14->text().toStdString()).empty())
        Edit14->setText(QStringLiteral("25"));
}

// ---- test send -----------------------------------------------------------------------

void TForm1::SpeedButton4Click() {
    if (core_->SampleMessagePath().empty()) return;
    core_->BeginTestSend();
    auto typed = options_.askText(QString::fromUtf8("单发一个电邮"),
                                  QString::fromUtf8("请输入一个客户邮件地址        "),
                                  QString::fromStdString(testAddress_));
    if (!typed) return;
    testAddress_ = typed->toStdString();
    // The prompt's area is drawn again before the send blocks the window; input and sockets
    // wait, so nothing else runs in between.
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents |
                                    QEventLoop::ExcludeSocketNotifiers);
    pacer_->Bypass();
    repaint();
    if (core_->AccountInForce().mailbox.empty()) {
        options_.showError(QString::fromUtf8("请先填写您的发信邮件地址"));
        return;
    }
    smtpbutton0Click();
}

void TForm1::smtpbutton0Click() {
    recipientField_->Set(QString::fromStdString(testAddress_));
    recipientField_->Apply(); // shown before the send blocks the window
    SpeedButton4->setEnabled(false);
    std::optional<DeliveryOutcome> outcome =
        core_->TestSend(ToGbk(QString::fromStdString(testAddress_)));
    if (outcome)
        options_.inform(QString::fromUtf8("提示"),
                        QString::fromUtf8(outcome->relayed ? "恭喜您！邮件已经成功发出了"
                                                           : "发送失败！帐号错误或服务器故障"),
                        outcome->relayed ? QString() : Gbk(outcome->reason));
    SpeedButton4->setEnabled(true);
}

} // namespace app
