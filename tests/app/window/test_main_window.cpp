// The main window end to end, offscreen: Python's smtplib submits to the window's server,
// which relays through python3-aiosmtpd; the lists, counters and files are checked.
#include "app/window/main_window.h"
#include "app/window/sounds.h"
#include "platform/ini_profile.h"
#include "platform/text_file.h"
#include "shell/about_box.h"
#include "shell/tray_icon.h"
#include "tests/support/loopback.h"
#include "tests/support/process.h"
#include "tests/support/upstream.h"
#include "tls/tls_openssl.h"

#include <QAction>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QTableWidget>
#include <QTextBlock>
#include <QTimer>
#include <sys/fsuid.h>
#include <sys/stat.h>

#include <QtTest>
#include <filesystem>
#include <memory>
#include <thread>

using namespace app;

namespace {

#define ASSERT_WRITE(path, bytes) QVERIFY(platform::WriteFileAtomically(path, bytes, 0644))

const char* const kSend = R"PY(
import smtplib, sys
port, sender, rcpts, subject = int(sys.argv[1]), sys.argv[2], sys.argv[3].split(","), sys.argv[4]
count = int(sys.argv[5]) if len(sys.argv) > 5 else 1
for i in range(count):
    with smtplib.SMTP("127.0.0.1", port, timeout=20) as s:
        s.sendmail(sender, rcpts, "Subject: %s %d\r\n\r\nbody of %s %d\r\n.dot line\r\n" % (subject, i, subject, i))
print("sent", count)
)PY";

struct Harness {
    std::filesystem::path dir;
    int port = testsupport::FreePort();
    std::unique_ptr<RelayCore> core; // made before the window, gone after it, as the program does
    std::unique_ptr<TForm1> form;
    std::vector<QString> informed;
    std::vector<QString> details;
    std::vector<QString> errors;
    std::optional<QString> typedAddress;
    QString offeredAddress; // what the test send's prompt offered last
    int asked = 0;
    bool assumeTray = true;
    bool realDialogs = false; // the program's own boxes instead of recorders
    int noticeQuietMs = 1000;
    int quits = 0;
    QStringList opened;

    explicit Harness(const std::string& upstreamHostPort = "", const std::string& name = "") {
        dir = std::filesystem::temp_directory_path() /
              ("form-" + std::to_string(getpid()) + "-" + name);
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        if (!upstreamHostPort.empty()) {
            Account e;
            e.mailbox = "relay@mail.example";
            e.usedBy = "";
            e.host = "127.0.0.1";
            e.port = upstreamHostPort.substr(upstreamHostPort.find(':') + 1);
            WriteSettings(Path("brontalnow.ini"), e);
        }
    }
    ~Harness() {
        menu.reset(); // before the window, whose list is its parent
        form.reset();
        core.reset();
        std::filesystem::remove_all(dir);
    }
    std::string Path(const char* name) const { return (dir / name).string(); }
    void Start(int timeoutMs = 5000) {
        FormOptions o;
        o.programDir = dir.string() + "/";
        o.srvAddr = "127.0.0.1";
        o.srvPort = std::to_string(port);
        o.relayTimeoutMs = timeoutMs;
        o.failureNoticeQuietMs = noticeQuietMs;
        o.quit = [this] { ++quits; };
        form.reset();
        core = std::make_unique<RelayCore>(CoreOptionsFor(o));
        if (realDialogs) {
            o.boxesOffscreen = true;
            form = std::make_unique<TForm1>(*core, o);
            form->FormCreate();
            return;
        }
        o.confirm = [this](const QString&) {
            ++asked;
            return true;
        };
        o.assumeTray = assumeTray;
        o.askText = [this](const QString&, const QString&, const QString& initial) {
            offeredAddress = initial;
            return typedAddress;
        };
        o.inform = [this](const QString&, const QString& text, const QString& detail) {
            informed.push_back(text);
            details.push_back(detail);
        };
        o.showError = [this](const QString& text) { errors.push_back(text); };
        form = std::make_unique<TForm1>(*core, o);
        form->OpenAddress = [this](const QString& address) { opened << address; };
        form->FormCreate();
    }
    testsupport::ProcessResult Send(const std::string& sender, const std::string& rcpts,
                                    const std::string& subject, int count = 1) {
        return testsupport::RunWhilePumping({"/usr/bin/python3", "-c", kSend, std::to_string(port),
                                             sender, rcpts, subject, std::to_string(count)},
                                            "", 60000);
    }
    // The window's controls, found by their names as a user's actions reach them.
    template <class Control> Control* Find(const char* name) const {
        auto* control = form->findChild<Control*>(name);
        if (!control) qFatal("no control %s", name);
        return control;
    }
    QLineEdit* Field(const char* name) const { return Find<QLineEdit>(name); }
    QCheckBox* Box(const char* name) const { return Find<QCheckBox>(name); }
    QPlainTextEdit* List(const char* name) const { return Find<QPlainTextEdit>(name); }
    QToolButton* Button(const char* name) const { return Find<QToolButton>(name); }
    QAction* Action(const char* name) const { return Find<QAction>(name); }
    QLabel* Panel(int n) const { return Find<QLabel>(("StatusBar1_" + std::to_string(n)).c_str()); }
    std::string StatusText() const { return Panel(6)->text().toStdString(); }
    // Where the failure list shows its line `n` (from 0), as the mouse would point at it.
    QPoint FailedLine(int n) const {
        QPlainTextEdit* box = List("badrelay");
        return box->cursorRect(QTextCursor(box->document()->findBlockByNumber(n))).center();
    }
    // The failure list's menu entry (0 resend, 1 resend all, 3 delete) at line `n`.
    QAction* FailureMenuEntry(int n, int entry) {
        menu = form->FailureMenuAt(FailedLine(n));
        return menu->actions().at(entry);
    }
    void LeaveField(const char* name) {
        QFocusEvent leave(QEvent::FocusOut);
        QApplication::sendEvent(Field(name), &leave);
    }
    size_t Ok() const { return TForm1::LinesOf(List("okrelay")).size(); }
    size_t Bad() const { return TForm1::LinesOf(List("badrelay")).size(); }
    bool WaitForLines(size_t total, int timeoutMs = 20000) {
        return testsupport::PumpUntil(
            [&] { return Ok() + Bad() >= total && form->Core().DeliveriesRunning() == 0; },
            timeoutMs);
    }
    std::string Counters() const {
        return (Panel(1)->text() + "/" + Panel(3)->text() + "/" + Panel(5)->text()).toStdString();
    }
    std::unique_ptr<QMenu> menu;
    // The window shows the core's state: both lists, the counters, the account list and
    // the account in force.
    bool ShowsTheCore() const {
        RelayCore& core = form->Core();
        const Account& account = core.AccountInForce();
        auto count = [&](ListKind kind) { return QString::number(core.Records(kind).Count()); };
        return TForm1::LinesOf(List("okrelay")) == core.Records(ListKind::Relayed).Lines() &&
               TForm1::LinesOf(List("badrelay")) == core.Records(ListKind::Failed).Lines() &&
               Panel(3)->text() == count(ListKind::Relayed) &&
               Panel(5)->text() == count(ListKind::Failed) &&
               TForm1::LinesOf(List("Memo4")) == core.AccountList() &&
               TForm1::ToGbk(Field("Edit1")->text()) == account.mailbox &&
               TForm1::ToGbk(Field("Edit5")->text()) == account.host &&
               TForm1::ToGbk(Field("Edit14")->text()) == account.port &&
               TForm1::ToGbk(Field("Edit7")->text()) == account.user &&
               TForm1::ToGbk(Field("Edit8")->text()) == account.password &&
               Box("CheckBox3")->isChecked() == account.authenticate &&
               Box("CheckBox4")->isChecked() == account.implicitTls &&
               Box("CheckBox5")->isChecked() == account.startTls;
    }
};

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        tls::InitTlsModule();
        RegisterSounds();
    }

    void firstStartInAnEmptyFolder() {
        Harness h("", "first");
        h.Start();
        QCOMPARE(h.Field("Edit14")->text(), QString("25"));
        QCOMPARE(h.Field("Edit7")->text(), QString("kalvex"));
        QVERIFY(h.Box("CheckBox3")->isChecked());
        QVERIFY(!h.Box("CheckBox4")->isChecked());
        QVERIFY(!h.Box("CheckBox5")->isChecked());
        QVERIFY(h.Field("Edit7")->isEnabled());
        QCOMPARE(h.Counters(), std::string("0/0/0"));
        QVERIFY(h.errors.empty());
        QVERIFY(h.form->Core().Listening());
        // Only the placeholder could send: the status says so until an account is set up.
        QCOMPARE(h.StatusText(), std::string("尚未设置发送帐户"));
        h.Field("Edit5")->setText("smtp.corp.example");
        QCOMPARE(h.StatusText(), std::string());
        h.Field("Edit5")->setText(kDefaultSmtpHost);
        QCOMPARE(h.StatusText(), std::string("尚未设置发送帐户"));
        QVERIFY(h.form->FormDestroy());
        for (const char* f : {"brontalnow.ini", "brontalhao.ini", "good.ini", "bad.ini"})
            QVERIFY(platform::FileExists(h.Path(f)));
        QCOMPARE(std::filesystem::status(h.Path("brontalhao.ini")).permissions() &
                     std::filesystem::perms::all,
                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }

    void settingsAuthZeroSslFiveAndEmptyValue() {
        Harness h("", "settings");
        platform::WriteFileAtomically(h.Path("brontalnow.ini"),
                                      "[smtpconfig]\r\nauth=0\r\nssl=5\r\nuser=\r\n", 0600);
        h.Start();
        QVERIFY(!h.Box("CheckBox3")->isChecked());
        QVERIFY(h.Field("Edit7")->isEnabled()); // the box never changed, so its handler never ran
        QVERIFY(h.Box("CheckBox4")->isChecked());
        QCOMPARE(h.Field("Edit7")->text(), QString());
        h.Box("CheckBox3")->setChecked(true);
        h.Box("CheckBox3")->setChecked(false);
        QVERIFY(!h.Field("Edit7")->isEnabled());
        QVERIFY(h.ShowsTheCore());
        h.form->FormDestroy();
        std::string written = *platform::ReadFileBytes(h.Path("brontalnow.ini"));
        QVERIFY(written.find("ssl=1\r\n") != std::string::npos);
        QVERIFY(written.find("user=\r\n") != std::string::npos);
    }

    void thePasswordTooltipSaysWhenACommandProvidesTheSecret() {
        Harness h("", "secretcommand");
        const std::string commands = "[secretcommand]\r\nme@mail.example=secret-tool lookup "
                                     "service smtp user me\r\n[tokencommand]\r\n"
                                     "tok@mail.example=oauth-helper --print\r\n";
        ASSERT_WRITE(h.Path("brontalnow.ini"),
                     "[smtpconfig]\r\nfrommail=me@mail.example\r\npsw=kept\r\n" + commands);
        h.Start();
        QVERIFY(h.Field("Edit8")->toolTip().contains("[secretcommand]"));
        h.Field("Edit1")->setText("tok@mail.example");
        QVERIFY(h.Field("Edit8")->toolTip().contains("[tokencommand]"));
        QVERIFY(h.Field("Edit8")->toolTip().contains("OAuth 2.0"));
        h.Field("Edit1")->setText("nobody@mail.example");
        QCOMPARE(h.Field("Edit8")->toolTip(), QString());
        QCOMPARE(h.Field("Edit8")->text(), QString("kept")); // the field keeps its text
        // Masked until the eye in the field is toggled, and masked again after.
        QLineEdit* password = h.Field("Edit8");
        QCOMPARE(password->echoMode(), QLineEdit::Password);
        auto* reveal = password->findChild<QAction*>("revealPassword");
        QVERIFY(reveal && password->actions().contains(reveal));
        reveal->trigger();
        QCOMPARE(password->echoMode(), QLineEdit::Normal);
        reveal->trigger();
        QCOMPARE(password->echoMode(), QLineEdit::Password);
        QCOMPARE(h.form->Core().AccountInForce().password, std::string("kept"));
        QVERIFY(h.form->FormDestroy());
        // The sections the window never edits are kept as they were written.
        std::string written = *platform::ReadFileBytes(h.Path("brontalnow.ini"));
        QVERIFY(written.find(commands) != std::string::npos);
    }

    void anAccountThatSignsInHasASignInButtonThatWaitsForTheBrowserWithACancel() {
        // No desktop opener: the test plays the browser itself.
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        testsupport::Upstream provider("oauth_provider.py", {});
        QVERIFY2(provider.Ok(), provider.Log().c_str());
        std::string base = "http://127.0.0.1:" + std::to_string(provider.Port());
        Harness h("", "sign-in");
        ASSERT_WRITE(h.Path("brontalnow.ini"),
                     "[smtpconfig]\r\nfrommail=me@x.example\r\n[oauth2]\r\nme@x.example=local\r\n"
                     "[provider local]\r\nauthurl=" +
                         base + "/auth\r\ntokenurl=" + base +
                         "/token\r\nclientid=vantro-test-client\r\nscope=smtp\r\n");
        h.Start();
        auto* button = h.Find<QToolButton>("SignInButton");
        QVERIFY(!button->isHidden());
        QVERIFY(h.Field("Edit8")->toolTip().contains("OAuth 2.0"));
        h.Field("Edit1")->setText("other@x.example");
        QVERIFY(button->isHidden());
        h.Field("Edit1")->setText("me@x.example");
        QVERIFY(!button->isHidden());

        // Signed in: the browser fetches the address the waiting dialog holds.
        std::thread browser;
        bool cancel = false;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            auto* waiting = h.form->findChild<QProgressDialog*>("SignInWaiting");
            if (!waiting || waiting->toolTip().isEmpty() || browser.joinable()) return;
            if (cancel) {
                waiting->cancel();
                return;
            }
            std::string address = waiting->toolTip().toStdString();
            browser = std::thread([address] {
                testsupport::RunProcess({"/usr/bin/python3", "-c",
                                         "import sys, urllib.request\n"
                                         "urllib.request.urlopen(sys.argv[1], timeout=20).read()",
                                         address},
                                        "", 30000);
            });
        });
        watch.start(20);
        button->click(); // returns once the dialog has closed
        if (browser.joinable()) browser.join();
        QCOMPARE(h.errors.size(), size_t(0));
        QCOMPARE(h.informed.size(), size_t(1));
        QCOMPARE(h.informed[0], QString::fromUtf8("已登录: me@x.example"));
        QVERIFY(h.details[0].startsWith(QString::fromUtf8("保存在: ")));
        QCOMPARE(provider.Count("code-exchanges"), 1);

        cancel = true;
        button->click();
        QCOMPARE(h.errors.size(), size_t(1));
        QCOMPARE(h.errors[0], QString::fromUtf8("未登录: the sign-in was cancelled"));
        QCOMPARE(provider.Count("code-exchanges"), 1);
    }

    void aSignInTheProviderRevokedIsAFailureLineAndATrayNotice() {
        testsupport::Upstream provider("oauth_provider.py", {"--revoked"});
        QVERIFY2(provider.Ok(), provider.Log().c_str());
        testsupport::Upstream upstream({"--implicit", testsupport::TestCertificate(),
                                        "--token-file", provider.Store() + "/current-tokens",
                                        "--auth-required"});
        QVERIFY2(upstream.Ok(), upstream.Log().c_str());
        Harness h(upstream.HostAndPort(), "revoked");
        std::string base = "http://127.0.0.1:" + std::to_string(provider.Port());
        platform::IniProfile(h.Path("brontalnow.ini"), "smtpconfig")
            .WriteStrings({{"user", "kalvex"}, {"ssl", "1"}, {"auth", "1"}, {"verifycert", "0"}});
        platform::IniProfile(h.Path("brontalnow.ini"), "oauth2")
            .WriteString("relay@mail.example", "local");
        platform::IniProfile(h.Path("brontalnow.ini"), "provider local")
            .WriteStrings({{"authurl", base + "/auth"},
                           {"tokenurl", base + "/token"},
                           {"clientid", "vantro-test-client"}});
        QVERIFY(platform::WriteFileAtomically(h.Path("oauth2-tokens"),
                                              "relay@mail.example=rt-old\n", 0600));
        h.Start();
        auto sent = h.Send("me@x.example", "you@y.example", "revoked");
        QVERIFY2(sent.exitCode == 0, sent.output.c_str());
        QVERIFY(h.WaitForLines(1));
        QCOMPARE(h.Bad(), size_t(1));
        QString notice = h.Find<shell::TTrayIcon>("TrayIcon1")->LastNotice();
        QVERIFY2(notice.contains("relay@mail.example") &&
                     notice.contains(QString::fromUtf8("请重新登录")),
                 notice.toUtf8().constData());
        QVERIFY(upstream.Messages().empty());
    }

    void anAccountFieldTheListCannotHoldIsRefusedAndUneditedBytesStay() {
        Harness h("", "fields");
        // A sender field with bytes that are not GBK (a file from elsewhere): shown as they
        // can be, written back as they were unless the user edits that field.
        const std::string foreign = "\x80\xFF@corp.example";
        ASSERT_WRITE(h.Path("brontalnow.ini"),
                     "[smtpconfig]\r\nfrommail=me@mail.example\r\nfsmail=" + foreign +
                         "\r\npsw=pa|ss\r\n");
        h.Start();
        h.Field("Edit7")->setText("someone"); // another field edited
        // The sender field's foreign bytes cannot go into the list as they are.
        h.Button("SpeedButton11")->click();
        QCOMPARE(h.informed.size(), size_t(1));
        QVERIFY(h.informed[0].contains(QString::fromUtf8("「使用者」含有GBK无法表示的字符")));
        // A character GBK has no form for, typed.
        h.Field("Edit2")->setText(QString::fromUtf8("boss\xF0\x9F\x98\x80@corp.example"));
        h.Button("SpeedButton11")->click();
        QCOMPARE(h.informed.size(), size_t(2));
        QVERIFY(h.informed[1].contains(QString::fromUtf8("「使用者」含有GBK无法表示的字符")));
        // "|" would cut the password at it when the line is read back.
        h.Field("Edit2")->setText("boss@corp.example");
        h.Button("SpeedButton11")->click();
        QCOMPARE(h.informed.size(), size_t(3));
        QVERIFY(h.informed[2].contains(QString::fromUtf8("「密码」含有“|”")));
        QVERIFY(TForm1::LinesOf(h.List("Memo4")).empty()); // nothing was added
        h.Field("Edit8")->setText("pass");
        h.Button("SpeedButton11")->click();
        QCOMPARE(h.informed.size(), size_t(3));
        QCOMPARE(TForm1::LinesOf(h.List("Memo4")).size(), size_t(1));
        QVERIFY(h.form->FormDestroy());
        Harness again("", "fields2");
        ASSERT_WRITE(again.Path("brontalnow.ini"),
                     "[smtpconfig]\r\nfrommail=me@mail.example\r\nfsmail=" + foreign + "\r\n");
        again.Start();
        again.Field("Edit7")->setText("someone");
        QVERIFY(again.form->FormDestroy());
        std::string written = *platform::ReadFileBytes(again.Path("brontalnow.ini"));
        QVERIFY(written.find("fsmail=" + foreign + "\r\n") != std::string::npos);
        QVERIFY(written.find("user=someone\r\n") != std::string::npos);
        // So are the account list's lines: the one the user did not touch keeps its bytes
        // when another is added (and when a line shows as another does, each keeps its own).
        Harness list("", "fields3");
        const std::string kept = "x|" + foreign + "|25|sslno|tlsno|authno|||any";
        const std::string twin = "x|\x81\x20\xFF@corp.example|25|sslno|tlsno|authno|||any";
        ASSERT_WRITE(list.Path("brontalnow.ini"), "[smtpconfig]\r\nfrommail=me@mail.example\r\n");
        ASSERT_WRITE(list.Path("brontalhao.ini"), kept + "\r\n" + twin + "\r\n");
        list.Start();
        QCOMPARE(list.form->Core().AccountList(), (StringList{kept, twin}));
        list.Button("SpeedButton11")->click();
        QVERIFY(list.form->FormDestroy());
        QCOMPARE(*platform::ReadFileBytes(list.Path("brontalhao.ini")),
                 kept + "\r\n" + twin + "\r\n" + AccountLine(list.form->Core().AccountInForce()) +
                     "\r\n");
    }

    void theReadmesExampleAccountLineLoadsIntoTheEditorExactly() {
        std::string readme =
            *platform::ReadFileBytes(std::string(VANTRO_FIXTURES) + "/../../README.md");
        size_t mark = readme.find("<!-- example-account -->\n    ");
        QVERIFY(mark != std::string::npos);
        size_t start = readme.find("    ", mark) + 4;
        std::string line = readme.substr(start, readme.find('\n', start) - start);
        Harness h("", "readme");
        SaveStringList(h.Path("brontalhao.ini"), {line}, 0600);
        h.Start();
        h.Button("SpeedButton12")->click(); // 切换帐户: the list's line into force
        QCOMPARE(h.Field("Edit1")->text(), QString("zhang.wei@mail.example.cn"));
        QCOMPARE(h.Field("Edit5")->text(), QString("smtp.mail.example.cn"));
        QCOMPARE(h.Field("Edit14")->text(), QString("465"));
        QVERIFY(h.Box("CheckBox4")->isChecked());
        QVERIFY(!h.Box("CheckBox5")->isChecked());
        QVERIFY(h.Box("CheckBox3")->isChecked());
        QCOMPARE(h.Field("Edit7")->text(), QString("zhang.wei"));
        QCOMPARE(h.Field("Edit8")->text(), QString("Pa55word"));
        QCOMPARE(h.Field("Edit2")->text(), QString("zhang.wei@corp.example.cn"));
        QCOMPARE(AccountLine(h.form->Core().AccountInForce()), line);
        QVERIFY(h.ShowsTheCore());
    }

    void fiveHundredLinesStayFiveHundredOneAreEmptied() {
        Harness h("", "rule500");
        std::filesystem::copy_file(std::string(VANTRO_FIXTURES) + "/good.ini", h.Path("good.ini"));
        std::filesystem::copy_file(std::string(VANTRO_FIXTURES) + "/bad.ini", h.Path("bad.ini"));
        ASSERT_WRITE(h.Path("brontalnow.ini"), "[smtpconfig]\r\n");
        ::chmod(h.Path("good.ini").c_str(), 0644);
        ::chmod(h.Path("brontalnow.ini").c_str(), 0666);
        h.Start();
        QCOMPARE(std::filesystem::status(h.Path("brontalnow.ini")).permissions() &
                     std::filesystem::perms::all,
                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
        QCOMPARE(h.Ok(), size_t(500));
        QCOMPARE(h.Bad(), size_t(0));
        QCOMPARE(h.Counters(), std::string("500/500/0"));
        h.form->FormDestroy();
        // Unchanged lists go back byte for byte; the emptied one is an empty file.
        QCOMPARE(*platform::ReadFileBytes(h.Path("good.ini")),
                 *platform::ReadFileBytes(std::string(VANTRO_FIXTURES) + "/good.ini"));
        QCOMPARE(platform::ReadFileBytes(h.Path("bad.ini"))->size(), size_t(0));
        // ... and its 501 lines are whole in the archive beside it.
        QCOMPARE(*platform::ReadFileBytes(h.Path("bad-archive.ini")),
                 *platform::ReadFileBytes(std::string(VANTRO_FIXTURES) + "/bad.ini"));
        QVERIFY(!platform::FileExists(h.Path("good-archive.ini")));
        // The lists hold correspondents' addresses: owner only, also files a looser mode made.
        for (const char* name : {"good.ini", "bad.ini", "bad-archive.ini", "brontalnow.ini"})
            QCOMPARE(std::filesystem::status(h.Path(name)).permissions() &
                         std::filesystem::perms::all,
                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    }

    void anUnreadableListAndTheListsAfterItAreNotOverwrittenAtExit() {
        Harness h("", "unreadable");
        const std::string accounts =
            "a@mail.example|smtp.example|25|sslno|tlsno|authyes|u|p|any\r\n";
        ASSERT_WRITE(h.Path("brontalhao.ini"), accounts);
        std::filesystem::copy_file(std::string(VANTRO_FIXTURES) + "/good.ini", h.Path("good.ini"));
        ::chmod(h.Path("brontalhao.ini").c_str(), 0);
        // Root reads anything: the checks of this thread are made as nobody while starting.
        if (geteuid() == 0) ::setfsuid(65534);
        h.Start();
        if (geteuid() == 0) ::setfsuid(0);
        QCOMPARE(h.errors.size(), size_t(1));
        QVERIFY(h.errors[0].startsWith("Cannot open file"));
        QVERIFY(h.form->FormDestroy());
        ::chmod(h.Path("brontalhao.ini").c_str(), 0600);
        QCOMPARE(*platform::ReadFileBytes(h.Path("brontalhao.ini")), accounts);
        QCOMPARE(*platform::ReadFileBytes(h.Path("good.ini")),
                 *platform::ReadFileBytes(std::string(VANTRO_FIXTURES) + "/good.ini"));
    }

    void aMessageThatFailsForGoodIsToldFromTheTrayAndABurstIsOneNotice() {
        testsupport::Upstream refusing({"--refuse-rcpt", "you@y.example"});
        QVERIFY(refusing.Ok());
        for (bool notify : {true, false}) {
            Harness h(refusing.HostAndPort(), notify ? "notify" : "quiet");
            if (!notify)
                platform::IniProfile(h.Path("brontalnow.ini"), "smtpconfig")
                    .WriteString("notify", "0");
            // Long enough that a slow build's twenty messages still come within it.
            h.noticeQuietMs = 3000;
            h.Start();
            auto* tray = h.Find<shell::TTrayIcon>("TrayIcon1");
            QVERIFY(h.Send("cron@pc.example", "you@y.example", "backup").exitCode == 0);
            QVERIFY(h.WaitForLines(1));
            if (!notify) {
                QTest::qWait(3500);               // Qt's loop runs: a notice due would have come
                QCOMPARE(tray->NoticeCount(), 0); // the failure line alone
                continue;
            }
            QTRY_COMPARE_WITH_TIMEOUT(tray->NoticeCount(), 1, 10000);
            QString notice = tray->LastNotice();
            for (const char* part : {"邮件发送失败", "「backup 0」", "you@y.example", "550"})
                QVERIFY2(notice.contains(QString::fromUtf8(part)), notice.toUtf8().constData());
            QVERIFY(h.Send("cron@pc.example", "you@y.example", "logwatch", 20).exitCode == 0);
            QVERIFY(h.WaitForLines(21));
            QTRY_COMPARE_WITH_TIMEOUT(tray->NoticeCount(), 2, 10000);
            notice = tray->LastNotice();
            QVERIFY2(notice.contains(QString::fromUtf8("20 封邮件发送失败")) &&
                         notice.contains(QString::fromUtf8("「logwatch 19」")),
                     notice.toUtf8().constData());
            QTest::qWait(3500);
            QCOMPARE(tray->NoticeCount(), 2); // one for the twenty
        }
    }

    void aFailedMessageIsResentOrDeletedByTheLineTheUserPointsAt() {
        testsupport::Upstream refusing({"--refuse-rcpt", "you@y.example"});
        testsupport::Upstream accepting;
        QVERIFY(refusing.Ok() && accepting.Ok());
        Harness h(refusing.HostAndPort(), "resend");
        h.Start();
        // Two failures of the same sender and recipient: equal lines within a second.
        QVERIFY(h.Send("me@x.example", "you@y.example", "again", 2).exitCode == 0);
        QVERIFY(h.WaitForLines(2));
        QVERIFY(std::filesystem::exists(h.Path("spool")) &&
                !std::filesystem::is_empty(h.Path("spool"))); // kept for the resend
        const std::vector<Record>& records = h.form->Core().Records(ListKind::Failed).Records();
        QCOMPARE(records.size(), size_t(2));
        const std::string secondMessage = records[1].spoolId;
        QVERIFY(!records[0].spoolId.empty() && !secondMessage.empty());
        // Deleting the first line's message leaves the second's, however alike the lines.
        QVERIFY(h.FailureMenuEntry(0, 3)->isEnabled());
        h.FailureMenuEntry(0, 3)->trigger();
        QCOMPARE(h.asked, 1);
        QVERIFY(records[0].spoolId.empty());
        QCOMPARE(records[1].spoolId, secondMessage);
        QVERIFY(!h.FailureMenuEntry(0, 0)->isEnabled()); // only a record now
        // A line the user edits keeps its message.
        QPlainTextEdit* bad = h.List("badrelay");
        bad->setTextCursor(QTextCursor(bad->document()->findBlockByNumber(1)));
        QTest::keyClicks(bad, "checked: ");
        QVERIFY(TForm1::LinesOf(bad)[1].rfind("checked: ", 0) == 0);
        h.Field("Edit14")->setText(QString::number(accepting.Port()));
        QVERIFY(h.FailureMenuEntry(1, 0)->isEnabled());
        h.FailureMenuEntry(1, 0)->trigger();
        QVERIFY(h.WaitForLines(3));
        QCOMPARE(h.Ok(), size_t(1));  // the resend's own line
        QCOMPARE(h.Bad(), size_t(2)); // the records of the failures stay
        QVERIFY(accepting.WaitForMessages(1, 5000));
        QVERIFY(accepting.Messages()[0].content.find("Subject: again ") != std::string::npos);
        QVERIFY(!h.FailureMenuEntry(1, 0)->isEnabled());
        QVERIFY(!h.FailureMenuEntry(1, 1)->isEnabled()); // nothing left to resend
        QCOMPARE(h.form->Core().KeptFailures(), size_t(0));
        h.form->RefreshCounters();
        QVERIFY(h.ShowsTheCore());
        QVERIFY(h.form->FormDestroy()); // the edited line is saved as the user left it
        QVERIFY(platform::ReadFileBytes(h.Path("bad.ini"))->find("\r\nchecked: ") !=
                std::string::npos);
    }

    void countersFollowLinesTypedOrDeletedByTheUser() {
        Harness h("", "typed");
        h.Start();
        QStringList many;
        for (int i = 0; i < 10000; ++i) many << QString("line %1").arg(i);
        h.List("okrelay")->setPlainText(many.join('\n'));
        h.form->RefreshCounters();
        QCOMPARE(h.Counters(), std::string("10000/10000/0"));
        // Typed into the failure list: a line of its own, counted at the next refresh.
        h.List("badrelay")->setFocus();
        QTest::keyClicks(h.List("badrelay"), "typed by hand");
        h.form->RefreshCounters();
        QCOMPARE(h.Counters(), std::string("10001/10000/1"));
        QCOMPARE(TForm1::LineCount(h.List("badrelay")), TForm1::LinesOf(h.List("badrelay")).size());
        h.List("badrelay")->selectAll();
        QTest::keyClick(h.List("badrelay"), Qt::Key_Delete);
        h.form->RefreshCounters();
        QCOMPARE(h.Counters(), std::string("10000/10000/0"));
    }

    void relaysEndToEndAndWritesTheSuccessLine() {
        testsupport::Upstream upstream;
        QVERIFY2(upstream.Ok(), upstream.Log().c_str());
        Harness h(upstream.HostAndPort(), "e2e");
        h.Start();
        auto r = h.Send("zhang.wei@corp.example.cn", "kehu0@example.net,boss@example.net", "hello");
        QVERIFY2(r.exitCode == 0, r.output.c_str());
        QVERIFY(h.WaitForLines(1));
        QCOMPARE(h.Ok(), size_t(1));
        std::string line = TForm1::LinesOf(h.List("okrelay"))[0];
        std::string expectedStart =
            std::string(kRelayedPrefix) +
            "relay@mail.example/From:/To:kehu0@example.net,boss@example.net/Time:";
        QCOMPARE(line.substr(0, expectedStart.size()),
                 expectedStart); // empty account list: no sender shown
        QCOMPARE(h.StatusText(), std::string("电邮转发成功..."));
        QCOMPARE(h.Field("Edit10")->text(), QString());
        QCOMPARE(h.Counters(), std::string("1/1/0"));
        QVERIFY(upstream.WaitForMessages(1, 5000));
        auto m = upstream.Messages()[0];
        QCOMPARE(m.sender,
                 std::string("relay@mail.example")); // the account's mailbox, not the submitter
        QCOMPARE(m.recipients, (std::vector<std::string>{"kehu0@example.net", "boss@example.net"}));
        QCOMPARE(m.content,
                 std::string("Subject: hello 0\r\n\r\nbody of hello 0\r\n.dot line\r\n"));
        QCOMPARE(h.form->Core().SignOn(), std::string("kehu0"));
    }

    void refusedRecipientIsAFailureLineAndAnUnreachableUpstreamWaitsInTheQueue() {
        testsupport::Upstream upstream({"--refuse-rcpt", "nobody@example.net"});
        QVERIFY(upstream.Ok());
        Harness h(upstream.HostAndPort(), "refused");
        h.Start();
        QCOMPARE(h.Send("a@b.example", "ok@example.net,nobody@example.net", "refused").exitCode, 0);
        // The accepted recipient has it (a success line), the refused one is a failure line.
        QVERIFY(h.WaitForLines(2));
        QCOMPARE(h.Bad(), size_t(1));
        QVERIFY(TForm1::LinesOf(h.List("okrelay"))[0].find("/To:ok@example.net/") !=
                std::string::npos);
        QVERIFY(TForm1::LinesOf(h.List("badrelay"))[0].find("/To:nobody@example.net/") !=
                std::string::npos);
        QCOMPARE(h.StatusText(), std::string("电邮发送失败..."));
        h.Field("Edit14")->setText(
            QString::number(testsupport::FreePort())); // nobody listens there
        QCOMPARE(h.Send("a@b.example", "ok@example.net", "unreachable").exitCode, 0);
        // A refused connection is no refusal of the message: it waits for a retry, with no
        // line, the status and the tray saying so, and the send queue listing it.
        QVERIFY(testsupport::PumpUntil([&] { return h.form->Core().DeferredCount() == 1; }, 10000));
        QCOMPARE(h.StatusText(), std::string("电邮暂缓发送，稍后自动重试..."));
        QCOMPARE(h.Counters(), std::string("2/1/1"));
        QVERIFY(h.form->TrayHint().endsWith(QString::fromUtf8(" 1 封邮件等待重试")));
        QueueDialog* queue = h.form->OpenQueue();
        auto* table = queue->findChild<QTableWidget*>("QueueTable");
        QVERIFY(table);
        QCOMPARE(table->rowCount(), 2); // the deferred one, then the refused one kept
        QCOMPARE(table->item(0, 0)->text(), QString::fromUtf8("等待重试"));
        QCOMPARE(table->item(0, 2)->text(), QString("a@b.example"));
        QCOMPARE(table->item(0, 5)->text(), QString("1"));
        QVERIFY(table->item(0, 7)->text().contains("Connection refused"));
        QCOMPARE(table->item(1, 0)->text(), QString::fromUtf8("发送失败"));
        QVERIFY(table->item(1, 7)->text().contains("550"));
        // The upstream is back: retry now sends it at once, and the dialog follows.
        h.Field("Edit14")->setText(QString::number(upstream.Port()));
        table->selectRow(0);
        QVERIFY(queue->RetryChosen());
        QVERIFY(h.WaitForLines(3));
        QCOMPARE(h.Counters(), std::string("3/2/1"));
        QCOMPARE(h.form->Core().DeferredCount(), size_t(0));
        QCOMPARE(table->rowCount(), 1);
        QCOMPARE(h.form->TrayHint(), QString::fromUtf8(kTitle));
        // Deleting asks first and takes the kept message out of the queue.
        int asked = h.asked;
        table->selectRow(0);
        QVERIFY(queue->DeleteChosen());
        QCOMPARE(h.asked, asked + 1);
        QCOMPARE(table->rowCount(), 0);
        QCOMPARE(h.Bad(), size_t(1)); // its line stays as a record
        // After a failure and a success the counters add up; clearing empties both.
        QCOMPARE(h.Send("a@b.example", "ok@example.net", "fine").exitCode, 0);
        QVERIFY(h.WaitForLines(4));
        QCOMPARE(h.Counters(), std::string("4/3/1"));
        QVERIFY(h.ShowsTheCore());
        std::string status = h.StatusText();
        h.Button("SpeedButton1")->click();
        QCOMPARE(h.Counters(), std::string("0/0/0"));
        QCOMPARE(h.StatusText(), status);
    }

    void messageInThreePiecesArrivesWithTheSameLines() {
        testsupport::Upstream upstream;
        QVERIFY(upstream.Ok());
        Harness h(upstream.HostAndPort(), "pieces");
        h.Start();
        int fd = testsupport::ConnectLoopback(h.port);
        auto exchange = [&](const std::string& text) {
            testsupport::SendAll(fd, text);
            std::string got;
            testsupport::PumpUntil(
                [&] {
                    char b[4096];
                    ssize_t n = ::recv(fd, b, sizeof(b), MSG_DONTWAIT);
                    if (n > 0) got.append(b, static_cast<size_t>(n));
                    return got.find("\r\n") != std::string::npos;
                },
                5000);
            return got;
        };
        exchange("");
        exchange("HELO pc\r\n");
        exchange("MAIL FROM:<a@b.example>\r\n");
        exchange("RCPT TO:<c@d.example>\r\n");
        exchange("DATA\r\n");
        testsupport::SendAll(fd, "Subject: three\r\n\r\nfirst li");
        testsupport::PumpFor(50);
        testsupport::SendAll(fd, "ne continues\r\n..dotted\r");
        testsupport::PumpFor(50);
        QVERIFY(exchange("\nlast\r\n.\r\n").rfind("250 OK ", 0) == 0);
        testsupport::CloseFd(fd);
        QVERIFY(h.WaitForLines(1));
        QVERIFY(upstream.WaitForMessages(1, 5000));
        QCOMPARE(upstream.Messages()[0].content,
                 std::string("Subject: three\r\n\r\nfirst line continues\r\n.dotted\r\nlast\r\n"));
    }

    void tenMessagesInQuickSuccessionAndTwoInterleavedConnections() {
        testsupport::Upstream upstream;
        QVERIFY(upstream.Ok());
        Harness h(upstream.HostAndPort(), "ten");
        h.Start();
        QCOMPARE(h.Send("a@b.example", "r@example.net", "quick", 10).exitCode, 0);
        QVERIFY(h.WaitForLines(10));
        QCOMPARE(h.Ok(), size_t(10));
        // Two connections whose transactions overlap: each keeps its own recipients and text.
        int a = testsupport::ConnectLoopback(h.port), b = testsupport::ConnectLoopback(h.port);
        auto say = [&](int fd, const std::string& text) {
            testsupport::SendAll(fd, text);
            testsupport::PumpFor(30);
        };
        say(a, "HELO a\r\n");
        say(b, "HELO b\r\n");
        say(a, "MAIL FROM:<a@x.example>\r\n");
        say(b, "MAIL FROM:<b@x.example>\r\n");
        say(a, "RCPT TO:<ra@y.example>\r\n");
        say(b, "RCPT TO:<rb@y.example>\r\n");
        say(a, "DATA\r\n");
        say(b, "DATA\r\n");
        say(a, "Subject: from a\r\n\r\n");
        say(b, "Subject: from b\r\n\r\n");
        say(a, "text a\r\n.\r\n");
        say(b, "text b\r\n.\r\n");
        QVERIFY(h.WaitForLines(12));
        QVERIFY(upstream.WaitForMessages(12, 5000));
        auto messages = upstream.Messages();
        int matched = 0;
        for (const auto& m : messages) {
            if (m.content == "Subject: from a\r\n\r\ntext a\r\n")
                matched += m.recipients == std::vector<std::string>{"ra@y.example"};
            if (m.content == "Subject: from b\r\n\r\ntext b\r\n")
                matched += m.recipients == std::vector<std::string>{"rb@y.example"};
        }
        QCOMPARE(matched, 2);
        testsupport::CloseFd(a);
        testsupport::CloseFd(b);
    }

    void fifteenMessagesAgainstASlowUpstreamReuseSlotsSafely() {
        testsupport::Upstream upstream({"--delay", "0.4"});
        QVERIFY(upstream.Ok());
        Harness h(upstream.HostAndPort(), "slow");
        h.Start(20000);
        QCOMPARE(h.Send("a@b.example", "r@example.net", "slow", 15).exitCode, 0);
        QVERIFY(h.WaitForLines(15, 60000));
        QCOMPARE(h.Ok(), size_t(15));
        QVERIFY(upstream.WaitForMessages(15, 5000));
        std::set<std::string> bodies;
        for (const auto& m : upstream.Messages()) bodies.insert(m.content);
        QCOMPARE(bodies.size(), size_t(15)); // fifteen different messages, none mixed or lost
        for (int i = 0; i < 15; ++i)
            QVERIFY(bodies.count("Subject: slow " + std::to_string(i) + "\r\n\r\nbody of slow " +
                                 std::to_string(i) + "\r\n.dot line\r\n"));
    }

    void accountSelectionFollowsTheSender() {
        testsupport::Upstream upstream;
        QVERIFY(upstream.Ok());
        Harness h(upstream.HostAndPort(), "select");
        std::string port = std::to_string(upstream.Port());
        SaveStringList(
            h.Path("brontalhao.ini"),
            {"boss@mail.example|127.0.0.1|" + port + "|sslno|tlsno|authno|||boss@corp.example",
             "any@mail.example|127.0.0.1|" + port + "|sslno|tlsno|authno|||any"},
            0600);
        h.Start();
        QCOMPARE(h.Send("boss@corp.example", "r@example.net", "boss").exitCode, 0);
        QVERIFY(h.WaitForLines(1));
        QCOMPARE(h.Field("Edit1")->text(), QString("boss@mail.example"));
        QCOMPARE(h.form->Core().CurrentSender(), std::string("boss@corp.example"));
        QCOMPARE(h.Send("clerk@corp.example", "r@example.net", "clerk").exitCode, 0);
        QVERIFY(h.WaitForLines(2));
        QCOMPARE(h.Field("Edit1")->text(), QString("any@mail.example"));
        QVERIFY(upstream.WaitForMessages(2, 5000));
        QCOMPARE(upstream.Messages()[0].sender, std::string("boss@mail.example"));
        QCOMPARE(upstream.Messages()[1].sender, std::string("any@mail.example"));
        QVERIFY(TForm1::LinesOf(h.List("okrelay"))[1].find("/From:clerk@corp.example/") !=
                std::string::npos);
        // Add, then switch round the list.
        h.Field("Edit2")->setText("");
        h.Button("SpeedButton11")->click();
        QCOMPARE(TForm1::LinesOf(h.List("Memo4")).size(), size_t(3));
        h.Button("SpeedButton12")->click();
        QCOMPARE(h.Field("Edit1")->text(), QString("boss@mail.example"));
        QVERIFY(h.ShowsTheCore());
        h.Field("Edit14")->setText("  ");
        h.LeaveField("Edit14");
        QCOMPARE(h.Field("Edit14")->text(), QString("25"));
    }

    void testSendNormalisesTheAddressAndLeavesTheListsAlone() {
        testsupport::Upstream upstream;
        QVERIFY(upstream.Ok());
        Harness h(upstream.HostAndPort(), "testsend");
        h.Start();
        h.typedAddress = QString("  Kehu0@Example.NET ");
        h.Button("SpeedButton4")->click(); // no kalvex.eml yet: nothing happens
        QVERIFY(h.informed.empty());
        std::filesystem::copy_file(std::string(VANTRO_FIXTURES) + "/kalvex.eml",
                                   h.Path("kalvex.eml"));
        h.Button("SpeedButton4")->click();
        QCOMPARE(h.informed.size(), size_t(1));
        QCOMPARE(h.informed[0], QString::fromUtf8("恭喜您！邮件已经成功发出了"));
        QCOMPARE(h.Field("Edit10")->text(), QString("  Kehu0@Example.NET "));
        QVERIFY(h.Button("SpeedButton4")->isEnabled());
        QCOMPARE(h.Counters(), std::string("0/0/0"));
        QVERIFY(upstream.WaitForMessages(1, 5000));
        QCOMPARE(upstream.Messages()[0].recipients, std::vector<std::string>{"kehu0@example.net"});
        QCOMPARE(upstream.Messages()[0].content, *platform::ReadFileBytes(h.Path("kalvex.eml")));
        h.typedAddress.reset(); // cancelled: the last address stays the default
        h.Button("SpeedButton4")->click();
        h.typedAddress = QString("kehu1@example.net");
        h.Button("SpeedButton4")->click();
        QCOMPARE(h.offeredAddress, QString("  Kehu0@Example.NET "));
        h.Field("Edit1")->clear();
        h.typedAddress = QString("x@y.example");
        h.Button("SpeedButton4")->click();
        QCOMPARE(h.errors.back(), QString::fromUtf8("请先填写您的发信邮件地址"));
        QVERIFY(h.Button("SpeedButton4")->isEnabled());
    }

    void failureReasonsShowOnTheLineTheStatusAndTheTestSendBox() {
        testsupport::Upstream upstream({"--refuse-rcpt", "gone@y.example"});
        QVERIFY(upstream.Ok());
        Harness h(upstream.HostAndPort(), "reasons");
        h.Start();
        QVERIFY(h.Send("me@x.example", "you@y.example", "fine").exitCode == 0);
        QVERIFY(h.WaitForLines(1));
        QVERIFY(h.Send("me@x.example", "gone@y.example", "refused").exitCode == 0); // accepted
        QVERIFY(h.WaitForLines(2));
        QCOMPARE(h.Bad(), size_t(1));
        const std::string reason = "RCPT TO:<gone@y.example> refused: 550 5.1.1 no such user here";
        QCOMPARE(h.form->FailureReasonAt(h.FailedLine(0)), reason);
        h.List("badrelay")->appendPlainText("typed by the user");
        QCOMPARE(h.form->FailureReasonAt(h.FailedLine(1)), std::string()); // no delivery's line
        QCOMPARE(h.form->FailureReasonAt(h.FailedLine(0)), reason);
        QCOMPARE(h.StatusText(), std::string("电邮发送失败..."));
        QCOMPARE(h.Panel(6)->toolTip(), QString::fromStdString(reason));

        std::filesystem::copy_file(std::string(VANTRO_FIXTURES) + "/kalvex.eml",
                                   h.Path("kalvex.eml"));
        h.typedAddress = QString("gone@y.example");
        h.Button("SpeedButton4")->click();
        QCOMPARE(h.informed.back(), QString::fromUtf8("发送失败！帐号错误或服务器故障"));
        QCOMPARE(h.details.back(), QString::fromStdString(reason));
        h.typedAddress = QString("you@y.example");
        h.Button("SpeedButton4")->click();
        QCOMPARE(h.informed.back(), QString::fromUtf8("恭喜您！邮件已经成功发出了"));
        QCOMPARE(h.details.back(), QString());
    }

    void trayMenuOffersTheOneActionThatMakesSense() {
        Harness h("", "tray");
        h.Start();
        h.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(h.form.get()));
        QVERIFY(!h.Action("N5")->isEnabled());
        QVERIFY(h.Action("N4")->isEnabled());
        h.form->showMinimized(); // the title-bar button does what the minimise entry does
        QTRY_VERIFY(!h.form->isVisible());
        QVERIFY(h.Action("N5")->isEnabled());
        QVERIFY(!h.Action("N4")->isEnabled());
        h.Find<shell::TTrayIcon>("TrayIcon1")
            ->HandleTrayMessage(shell::TTrayIcon::kLeftDown); // a left click brings it back
        h.Find<shell::TTrayIcon>("TrayIcon1")->HandleTrayMessage(shell::TTrayIcon::kLeftUp);
        QVERIFY(h.form->isVisible());
        QVERIFY(!(h.form->windowState() & Qt::WindowMinimized));
        QVERIFY(!h.Action("N5")->isEnabled());
        h.Action("N6")->trigger();
        h.Button("SpeedButton5")->click();
        QCOMPARE(h.opened, QStringList({"mailto:support@vantro.example.com",
                                        "http://www.vantro.example.com/"}));
        h.Action("N4")->trigger();
        h.Action("N8")->trigger(); // exit from the tray while hidden still asks
        QCOMPARE(h.asked, 1);
        QVERIFY(platform::FileExists(h.Path("brontalnow.ini")));
        QCOMPARE(h.quits, 1); // and ends the program, though no visible window closed
        QCOMPARE(h.Find<QMenu>("PopupMenu1")->actions().size(), 6);
        QCOMPARE(h.Find<shell::TTrayIcon>("TrayIcon1")->Hint(), QString::fromUtf8(kTitle));
    }

    void theQuitQuestionIsChineseAndOnlyNoRefuses() {
        Harness h("", "question");
        h.realDialogs = true;
        h.Start();
        QStringList captions;
        auto answer = [&](int key) {
            QTimer::singleShot(50, [&captions, key] {
                QWidget* box = QApplication::activeModalWidget();
                if (!box) return;
                for (auto* button : box->findChildren<QPushButton*>()) captions << button->text();
                QTest::keyClick(box, static_cast<Qt::Key>(key));
            });
            return h.form->FormCloseQuery();
        };
        QVERIFY(answer(Qt::Key_Escape)); // dismissed, not refused: the close goes ahead
        QVERIFY(captions.contains(QString::fromUtf8("是(&Y)")));
        QVERIFY(captions.contains(QString::fromUtf8("否(&N)")));
        QVERIFY(!answer(Qt::Key_N));
        QVERIFY(answer(Qt::Key_Y));
    }

    void windowIsCentredAndFieldsShowTheirStart() {
        Harness h("", "centred");
        h.Start();
        QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY((h.form->frameGeometry().center() - area.center()).manhattanLength() <= 2);
        Account account;
        account.mailbox = "a.rather.long.mailbox.name@mail.example.cn";
        h.form->Core().LoadAccount(account);
        QCOMPARE(h.Field("Edit1")->cursorPosition(), 0);
        // An ordinary address fits the sender mailbox field at the window's size and font,
        // beside a port field that holds five digits.
        h.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(h.form.get()));
        QLineEdit* mailbox = h.Field("Edit1");
        QVERIFY(mailbox->fontMetrics().horizontalAdvance("sink@example.org") <=
                mailbox->contentsRect().width() - 4);
        QLineEdit* port = h.Field("Edit14");
        QVERIFY(port->fontMetrics().horizontalAdvance("65535") <= port->contentsRect().width() - 4);
        QCOMPARE(h.form->width(), 665);
        QCOMPARE(h.Field("Edit1")->text(), QString::fromStdString(account.mailbox));
        shell::TForm2 about;
        QVERIFY(about.Version->x() >= about.ProductName->x() + about.ProductName->width());
        QCOMPARE(about.ProductName->pos(), QPoint(112, 16));
    }

    void aTrailingLineEndOpensNoEmptyLine() {
        Harness h("", "trailing");
        h.Start();
        h.List("Memo4")->setPlainText("a@mail.example|smtp|25|sslno|tlsno|authyes|u|p|any\n");
        QCOMPARE(TForm1::LinesOf(h.List("Memo4")).size(), size_t(1));
        h.List("okrelay")->setPlainText("one\ntwo\n");
        QCOMPARE(TForm1::LineCount(h.List("okrelay")), size_t(2));
        h.form->RefreshCounters();
        QCOMPARE(h.Counters(), std::string("2/2/0"));
        QVERIFY(h.form->FormDestroy());
        QCOMPARE(*platform::ReadFileBytes(h.Path("good.ini")), std::string("one\r\ntwo\r\n"));
    }

    void aSenderNoLineMatchesLeavesTheEditorAsTheUserHasIt() {
        testsupport::Upstream upstream;
        QVERIFY(upstream.Ok());
        Harness h(upstream.HostAndPort(), "nomatch");
        h.Start();
        h.List("Memo4")->setPlainText(
            "boss@mail.example|127.0.0.1|1|sslno|tlsno|authno|u|p|boss@corp.example");
        h.Field("Edit7")->setText("typing");
        h.Field("Edit7")->setCursorPosition(3); // the user is in the middle of the field
        QVERIFY(h.Send("clerk@corp.example", "you@y.example", "nomatch").exitCode == 0);
        QVERIFY(h.WaitForLines(1));
        QCOMPARE(h.Field("Edit7")->text(), QString("typing"));
        QCOMPARE(h.Field("Edit7")->cursorPosition(), 3);
    }

    void theRecipientFieldShowsTheLastTextSetOrCleared() {
        QLineEdit field;
        auto* deferred = new DeferredFieldText(&field);
        deferred->Set("a@x.example");
        deferred->Set("b@x.example");
        QCOMPARE(field.text(), QString()); // laid out a moment later, once
        QTRY_COMPARE_WITH_TIMEOUT(field.text(), QString("b@x.example"), 2000);
        // A clear after a set wins, also over the set's later layout.
        deferred->Set("c@x.example");
        deferred->Clear();
        QTest::qWait(60);
        QCOMPARE(field.text(), QString());
        // An apply shows a pending text at once.
        deferred->Set("d@x.example");
        deferred->Apply();
        QCOMPARE(field.text(), QString("d@x.example"));
        deferred->Set("e@x.example");
        QTRY_COMPARE_WITH_TIMEOUT(field.text(), QString("e@x.example"), 2000);
    }

    void editsBetweenMessagesCountFromTheNextMessageOn() {
        // The relay keeps what it reads from the window between messages; each edit must
        // still reach the next message, whether typed or set by code.
        testsupport::Upstream upstream;
        QVERIFY(upstream.Ok());
        Harness h(upstream.HostAndPort(), "edits");
        h.Start();
        QCOMPARE(h.Send("clerk@corp.example", "ok@example.net", "first").exitCode, 0);
        QVERIFY(h.WaitForLines(1));
        QCOMPARE(h.Counters(), std::string("1/1/0"));
        QCOMPARE(h.Field("Edit10")->text(), QString());
        // A line added to the account list after the first message picks the second's account.
        h.List("Memo4")->appendPlainText(
            QString("boss@mail.example|127.0.0.1|%1|sslno|tlsno|authno|u|p|boss@corp.example")
                .arg(upstream.Port()));
        QCOMPARE(h.Send("boss@corp.example", "ok@example.net", "second").exitCode, 0);
        QVERIFY(h.WaitForLines(2));
        QCOMPARE(h.Field("Edit1")->text(), QString("boss@mail.example"));
        QCOMPARE(h.Counters(), std::string("2/2/0"));
        // A box ticked afterwards counts too: implicit TLS towards a plain upstream fails.
        h.Box("CheckBox4")->setChecked(true);
        QCOMPARE(h.Send("clerk@corp.example", "ok@example.net", "third").exitCode, 0);
        QVERIFY(h.WaitForLines(3));
        QCOMPARE(h.Counters(), std::string("3/2/1"));
        // And unticked again, the next one goes out.
        h.Box("CheckBox4")->setChecked(false);
        QCOMPARE(h.Send("clerk@corp.example", "ok@example.net", "fourth").exitCode, 0);
        QVERIFY(h.WaitForLines(4));
        QCOMPARE(h.Counters(), std::string("4/3/1"));
        QVERIFY(h.ShowsTheCore());
    }

    void withoutANotificationAreaMinimisingKeepsTheWindow() {
        Harness h("", "notray");
        h.assumeTray = false;
        h.Start();
        if (shell::TTrayIcon::Available()) QSKIP("this desktop has a notification area");
        h.form->show();
        h.Action("N4")->trigger();
        QVERIFY(h.form->isVisible());
        QVERIFY(h.Action("N4")->isEnabled());
    }

    void unwritableSettingsAreReportedAndTheListsAreNotSaved() {
        Harness h("", "unwritable");
        h.Start();
        std::filesystem::create_directories(
            h.Path("brontalnow.ini")); // cannot be replaced by a file
        QVERIFY(!h.form->FormDestroy());
        QCOMPARE(h.errors.back(),
                 QString::fromStdString("Unable to write to " + h.Path("brontalnow.ini")));
        QVERIFY(!platform::FileExists(h.Path("good.ini")));
    }

    void portInUseIsShownAndTheServerStaysOff() {
        int port = 0;
        int holder = testsupport::ListenLoopback(port);
        Harness h("", "portinuse");
        h.port = port;
        h.Start();
        QCOMPARE(h.errors.size(), size_t(1));
        QVERIFY(h.errors[0].contains("Address already in use"));
        QVERIFY(!h.form->Core().Listening());
        testsupport::CloseFd(holder);
    }
};

QTEST_MAIN(MainWindowTest)
#include "test_main_window.moc"
