// The main window TForm1: the account editor with the account list, the failure and success
// lists, the status bar, the inbound server SmtpServer1 and the handlers that tie them to
// the slot ring and the delivery workers. Everything here runs on the GUI thread; workers
// get copies and hand their outcome back through a queue.
#pragma once

#include "app/core/accounts.h"
#include "app/core/delivery.h"
#include "app/core/relay_core.h"
#include "app/core/slot_ring.h"
#include "app/window/window_reads.h"
#include "smtpserver/smtp_server.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPlainTextEdit>
#include <QToolButton>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class QSocketNotifier;
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
    size_t workers = 0;      // delivery threads; 0: chosen from the descriptor limit
    bool assumeTray = false; // offscreen tests have no notification area but act as if
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

class TForm1 : public QMainWindow {
    Q_OBJECT
  public:
    explicit TForm1(FormOptions options, QWidget* parent = nullptr);
    ~TForm1() override;

    // Controls, named as the window names them.
    QLineEdit *Edit1, *Edit2, *Edit5, *Edit7, *Edit8, *Edit10, *Edit14;
    QCheckBox *CheckBox3, *CheckBox4, *CheckBox5;
    QPlainTextEdit *Memo4, *okrelay, *badrelay;
    QToolButton *SpeedButton4, *SpeedButton5, *SpeedButton6, *SpeedButton2, *SpeedButton8,
        *SpeedButton1, *SpeedButton11, *SpeedButton12;
    shell::TTrayIcon* TrayIcon1 = nullptr;
    QMenu* PopupMenu1 = nullptr;
    QAction *N5, *N4, *N6, *N9, *N7, *N8;
    shell::TForm2* Form2 = nullptr;
    shell::TMenuPainter* MenuPainter1 = nullptr;    // owned by the menu it styles
    std::vector<QLabel*> StatusBar1;                // the seven panels
    smtpserver::TSmtpServer* SmtpServer1 = nullptr; // the relay core's server

    void FormCreate();
    bool FormCloseQuery();
    // Saves settings and lists; false when the settings could not be written.
    bool FormDestroy();
    // A logout, shutdown or Ctrl+C: saves without asking and ends the process at once.
    [[noreturn]] void EndFromSignal();
    // The quit question as the program asks it (only No refuses).
    bool AskYesNo(const QString& question);

    // The failure list's menu: the kept message of a line sent again or deleted, or all.
    bool ResendFailedLine(const QString& line);
    size_t ResendAllFailed();
    bool DeleteFailedLine(const QString& line);

    void SmtpServer1MailFrom(asyncsock::TAsyncSocket* client, const std::string& address,
                             std::string& answer);
    void SmtpServer1MailTo(asyncsock::TAsyncSocket* client, const std::string& address,
                           std::string& answer);
    void SmtpServer1SendData(asyncsock::TAsyncSocket* client, bool lastPart,
                             const std::string& msg);
    void Button4Click();
    void Button2Click();
    void Button3Click();
    void SpeedButton1Click();
    void SpeedButton11Click();
    void SpeedButton12Click();
    void CheckBox3Click();
    void Edit14Exit();
    void SpeedButton4Click();
    void smtpbutton0Click();
    // Hands a completed slot to the delivery pool (the hidden buttons' job).
    void DeliverSlot(CompletedMessage message);
    void RefreshCounters();
    // Tray and toolbar commands.
    void N4Click(); // hide to the tray
    void N5Click(); // show from the tray
    void N6Click(); // mail to the maker
    void N7Click(); // About
    void N9Click(); // the maker's web site
    void SpeedButton2Click() { N6Click(); }
    void SpeedButton6Click() { N7Click(); }
    // Where a mail or web address goes; replaceable for tests.
    std::function<void(const QString&)> OpenAddress;
    // True when there is a notification area to hide into.
    bool TrayAvailable() const;

    // Editor, lists and texts at the widget boundary (GBK inside, UTF-8 in the widgets).
    Account ReadEditor() const;
    void WriteEditor(const Account& editor);
    static StringList LinesOf(const QPlainTextEdit* box);
    static void SetLines(QPlainTextEdit* box, const StringList& lines);
    static QString Gbk(const std::string& gbk);
    static std::string ToGbk(const QString& text);
    void SetStatus(const std::string& utf8Text); // status panel 6
    std::string StatusText() const;
    // The reason of the failure a failure-list line records (its tooltip), or empty.
    std::string FailureReasonOf(const QString& line) const;
    // Status panel 6's tooltip: the last failure's reason.
    QString StatusToolTip() const;
    std::string SignOn() const { return signon_; }
    // Lines in a list box as the files will hold them, without converting its text.
    static size_t LineCount(const QPlainTextEdit* box);
    const std::string& CurrentSender() const { return core_->CurrentSender(); }
    SlotRing& Ring() { return core_->Ring(); }
    int DeliveriesRunning() const { return static_cast<int>(core_->DeliveriesRunning()); }
    std::string TestAddress() const { return testAddress_; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void BuildWidgets();
    void BuildToolbar();
    // The account editor: its fields, check boxes, buttons and the account list.
    QWidget* BuildEditor(QWidget* parent);
    void BuildStatusBar();
    void BuildTray();
    void BindCore();
    // Ties the cached readings to their widgets' change signals.
    void WatchRelayReadings();
    // The password field's tooltip says when a command provides the secret of the mailbox
    // the editor shows; the field itself keeps its text.
    void ShowSecretSource();
    void ApplyOutcomes(std::vector<DeliveryOutcome>& batch);
    void LoadSettings();
    // The three lists; false (after the error box) at the first that exists but cannot be
    // read. Lists not read are never written back.
    bool LoadLists();
    // Over 500 lines: appended to the list's archive beside it, then emptied.
    void ArchiveOverflow(QPlainTextEdit* box, const char* name);
    void StartServer();
    void BuildFailureMenu();
    void SetDefaultDialogs();
    void CentreOnScreen();
    void ShowFailureReason(const QPoint& where);
    void ReportListening();
    std::string FilePath(const char* name) const { return options_.programDir + name; }
    // The test send's message: in the files' folder, beside the program, or installed.
    std::string SampleMessagePath() const;

    FormOptions options_;
    std::unique_ptr<RelayCore> core_;
    size_t switchPosition_ = 0;
    std::string signon_ = "signon";
    std::string testAddress_;
    bool destroyed_ = false;
    bool signalled_ = false; // ending on a signal: no boxes
    // Files that exist but could not be read: never overwritten with what we did not read.
    std::set<std::string> unreadable_;
    QSocketNotifier* loopNotifier_ = nullptr;
    PaintPacer* pacer_ = nullptr; // owned by the window
    // The editor's account and the account list as the relay reads them at each message.
    WidgetReading<Account> editorReading_{[this] { return ReadEditor(); }};
    WidgetReading<StringList> accountLines_{[this] { return LinesOf(Memo4); }};
    DeferredFieldText* recipientField_ = nullptr; // Edit10's text; owned by Edit10
};

} // namespace app
