// The main window TForm1: the account editor with the account list, the failure and success
// lists, the status bar and the tray. It shows the relay core's state as the core publishes
// it and hands the user's edits and commands to the core; it keeps no state of the relay's
// own. Everything here runs on the GUI thread.
#pragma once

#include "app/core/accounts.h"
#include "app/core/delivery.h"
#include "app/core/relay_core.h"
#include "app/window/deferred_field.h"
#include "app/window/queue_dialog.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QToolButton>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QGridLayout;
class QHBoxLayout;
class QSocketNotifier;
class QTimer;
class QMenu;
class QAction;
namespace shell {
class TTrayIcon;
class TForm2;
class TMenuPainter;
} // namespace shell

namespace app {

class PaintPacer;

inline constexpr const char* kTitle = "\xE3\x80\x8E"
                                      "VantroSMTP\xE6\x9C\x8D\xE5\x8A\xA1\xE5\x99\xA8\xE3\x80\x8F"
                                      "V2.5"; // 『VantroSMTP服务器』V2.5

// What differs between the program and its tests.
struct FormOptions {
    std::string executableDir;       // where the program is (empty: programDir), with a "/"
    std::string programDir;          // the files' folder, with a trailing "/"
    std::string srvAddr = "0.0.0.0"; // tests listen on loopback ports of their own
    std::string srvPort = "Smtp";
    int relayTimeoutMs = 30000;
    size_t workers = 0;          // delivery threads; 0: chosen from the descriptor limit
    bool assumeTray = false;     // offscreen tests have no notification area but act as if
    bool boxesOffscreen = false; // offscreen tests that answer the program's own boxes
    // How long no further failure must come before the failures are told from the tray.
    int failureNoticeQuietMs = 1000;
    // Dialogs, replaceable so that tests never block on a modal box.
    std::function<bool(const QString& question)> confirm;
    std::function<std::optional<QString>(const QString& caption, const QString& prompt,
                                         const QString& initial)>
        askText;
    // `detail` (may be empty) is the box's detailed text: the reason of a failure.
    std::function<void(const QString& caption, const QString& text, const QString& detail)> inform;
    std::function<void(const QString& text)> showError; // the application's error box
    // Ends the program's loop once the window has closed; unset: QCoreApplication::quit.
    std::function<void()> quit;
};

// The relay core the program makes for a window with these options: its folder, address,
// port, time-out and workers.
RelayCoreOptions CoreOptionsFor(const FormOptions& options);

class TForm1 : public QMainWindow {
    Q_OBJECT
  public:
    // Shows `core` and sends it the user's edits; the core outlives the window.
    TForm1(RelayCore& core, FormOptions options, QWidget* parent = nullptr);
    ~TForm1() override;

    void FormCreate();
    bool FormCloseQuery();
    // Saves settings and lists through the core; false when the settings could not be
    // written.
    bool FormDestroy();
    // A logout, shutdown or Ctrl+C: saves without asking and ends the process at once.
    [[noreturn]] void EndFromSignal();
    // The quit question as the program asks it (only No refuses).
    bool AskYesNo(const QString& question);

    // Status panels 1, 3 and 5 from the lists' line counts.
    void RefreshCounters();
    // The relay the window shows; its tests drive it directly.
    RelayCore& Core() { return *core_; }
    // Where a mail or web address goes; replaceable for tests.
    std::function<void(const QString&)> OpenAddress;
    // True without a display (the offscreen platform of the service): no box is shown.
    bool Headless() const;
    // True when there is a notification area to hide into.
    bool TrayAvailable() const;
    // The failure list's menu for the line at `where` (viewport coordinates), as a right
    // click opens it. A child of the list (for its look), to be destroyed before the window.
    std::unique_ptr<QMenu> FailureMenuAt(const QPoint& where);
    // The send queue's dialog, opened (or raised) as the failure menu's "发送队列..." does.
    QueueDialog* OpenQueue();
    // The tray icon's tooltip as it stands.
    QString TrayHint() const;
    // The reason the failure list's line at `where` records (its tooltip), or empty.
    std::string FailureReasonAt(const QPoint& where) const;

    // Text at the widget boundary (GBK inside, UTF-8 in the widgets), and lists as the
    // files hold them. A line as `shownFrom` has it shown is that line's bytes, whatever
    // the widget could not show of them (lines the user did not touch are written back as
    // read).
    static StringList LinesOf(const QPlainTextEdit* box, const StringList& shownFrom = {});
    static void SetLines(QPlainTextEdit* box, const StringList& lines);
    static QString Gbk(const std::string& gbk);
    static std::string ToGbk(const QString& text);
    // Lines in a list box as the files will hold them, without converting its text.
    static size_t LineCount(const QPlainTextEdit* box);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Controls, named as the window names them (also their object names).
    QLineEdit *Edit1, *Edit2, *Edit5, *Edit7, *Edit8, *Edit10, *Edit14;
    QCheckBox *CheckBox3, *CheckBox4, *CheckBox5;
    QPlainTextEdit *Memo4, *okrelay, *badrelay;
    QToolButton *SpeedButton4, *SpeedButton5, *SpeedButton6, *SpeedButton2, *SpeedButton8,
        *SpeedButton1, *SpeedButton11, *SpeedButton12;
    QToolButton* SignInButton = nullptr; // "登录...": shown for an account that signs in
    shell::TTrayIcon* TrayIcon1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction *N5, *N4, *N6, *N9, *N7, *N8;
    shell::TForm2* Form2 = nullptr;
    shell::TMenuPainter* MenuPainter1 = nullptr; // owned by the menu it styles
    std::vector<QLabel*> StatusBar1;             // the seven panels

    // The user's commands.
    void SpeedButton1Click();  // clear the records
    void SpeedButton11Click(); // add the account to the list
    void SpeedButton12Click(); // switch to the next account of the list
    void CheckBox3Click();
    void Edit14Exit();
    void SpeedButton4Click(); // the test send
    void smtpbutton0Click();
    void Button2Click(); // the success sound
    void Button3Click(); // the failure sound
    void N4Click();      // hide to the tray
    void N5Click();      // show from the tray
    void N6Click();      // mail to the maker
    void N7Click();      // About
    void N9Click();      // the maker's web site
    void SpeedButton2Click() { N6Click(); }
    void SpeedButton6Click() { N7Click(); }
    // The failure list's commands on a failure record.
    bool ResendFailedRecord(uint64_t recordId);
    bool DeleteFailedRecord(uint64_t recordId);

    void BuildWidgets();
    void BuildToolbar();
    // The account editor: its fields, check boxes, buttons and the account list.
    QWidget* BuildEditor(QWidget* parent);
    // The editor's row of account buttons with the field of the address being sent to.
    QHBoxLayout* BuildEditorButtons(QWidget* editor);
    // The fields' widths: by their columns' stretch, not by their captions.
    void SizeEditorFields(QGridLayout* grid);
    void BuildStatusBar();
    void BuildTray();
    void NameControls();
    // The core made, what it publishes bound to the widgets, and the user's edits bound to
    // the core.
    void BindCore();
    void SendEditsToCore();
    // The password field's tooltip says when a command provides the secret of the mailbox
    // the editor shows; the field itself keeps its text. An account that signs in with
    // OAuth 2.0 shows the sign-in button beside it.
    void ShowSecretSource();
    // The sign-in of the editor's mailbox in the browser, waited for with a cancel; the
    // outcome said in a message box.
    void SignInClick();
    void ShowAccount(const Account& account);
    void ShowStatus(RelayStatus status);
    QPlainTextEdit* BoxOf(ListKind kind) const {
        return kind == ListKind::Relayed ? okrelay : badrelay;
    }
    void ShowRecords(ListKind kind);
    // The list's lines with the record each shows, as the user has left them.
    std::vector<ShownLine> ShownLines(const QPlainTextEdit* box) const;
    void ShowOutcomes(const std::vector<DeliveryOutcome>& batch);
    // A message that failed for good, told from the tray a moment later: the failures of that
    // moment become one notification (one message, or a summary of many).
    void NoteFinalFailure(const DeliveryOutcome& outcome);
    void NotifyFinalFailures();
    // The tray tooltip's count of deferred messages, and the send queue's dialog when open.
    void ShowQueue();
    // The record the failure list's line at `where` shows, or 0.
    uint64_t FailedRecordAt(const QPoint& where) const;
    void StartServer();
    void BuildFailureMenu();
    void SetDefaultDialogs();
    void SetHeadlessDialogs();
    void CentreOnScreen();
    void ShowFailureReason(const QPoint& where);
    void ReportListening();

    FormOptions options_;
    RelayCore* core_; // not owned: the program makes it before the window and ends it after
    std::string testAddress_;
    bool destroyed_ = false;
    bool signalled_ = false; // ending on a signal: no boxes
    // While the window shows what the core published, its widgets' change signals are not
    // edits of the user's to send back.
    bool showingCore_ = false;
    QSocketNotifier* loopNotifier_ = nullptr;
    PaintPacer* pacer_ = nullptr; // owned by the window
    // The failures waiting for their notification: how many, and the last one.
    QTimer* failureNotice_ = nullptr; // owned by the window
    size_t finalFailures_ = 0;
    std::optional<DeliveryOutcome> lastFinalFailure_;
    DeferredFieldText* recipientField_ = nullptr; // Edit10's text; owned by Edit10
    QPointer<QueueDialog> queueDialog_;           // owned by the window while open
};

} // namespace app
