// The window's boxes (Chinese buttons, the quit question's rule for Escape), its place on
// the screen, and the ways the program ends.
#include "app/window/main_window.h"

#include "platform/text.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <cstdio>
#include <unistd.h>

namespace app {

namespace {

const char* const kYes = "是(&Y)";
const char* const kNo = "否(&N)";
const char* const kOk = "确定";
const char* const kCancel = "取消";

// Without a display (the offscreen platform of the service) a box would wait for an answer
// nobody can give: its words go to standard error as one line instead, and it counts as
// answered with its default button.
bool NoDisplay() {
    return QGuiApplication::platformName() == QStringLiteral("offscreen");
}

void SayInsteadOfBox(const QString& caption, const QString& text, const QString& detail,
                     const char* answer) {
    QString line = "vantrosmtp: message box \"" + caption + "\": " + text;
    if (!detail.isEmpty()) line += " (" + detail + ")";
    if (answer) line += QString(" [answered ") + answer + "]";
    std::fprintf(stderr, "%s\n", platform::EscapeControls(line.toStdString()).c_str());
}

void ChineseOk(QMessageBox& box) {
    box.setStandardButtons(QMessageBox::Ok);
    box.button(QMessageBox::Ok)->setText(QString::fromUtf8(kOk));
}

} // namespace

void TForm1::SetDefaultDialogs() {
    if (Headless()) SetHeadlessDialogs();
    if (!options_.confirm)
        options_.confirm = [this](const QString& question) { return AskYesNo(question); };
    if (!options_.askText)
        options_.askText = [this](const QString& caption, const QString& prompt,
                                  const QString& initial) -> std::optional<QString> {
            QInputDialog dialog(this);
            dialog.setWindowTitle(caption);
            dialog.setLabelText(prompt);
            dialog.setTextValue(initial);
            dialog.setOkButtonText(QString::fromUtf8(kOk));
            dialog.setCancelButtonText(QString::fromUtf8(kCancel));
            if (dialog.exec() != QDialog::Accepted) return std::nullopt;
            return dialog.textValue();
        };
    if (!options_.inform)
        options_.inform = [](const QString& caption, const QString& text, const QString& detail) {
            QMessageBox box(QMessageBox::Information, caption, text);
            ChineseOk(box);
            box.setDetailedText(detail); // empty: no details button
            box.exec();
        };
    if (!options_.showError)
        options_.showError = [this](const QString& text) {
            QMessageBox box(QMessageBox::Critical, QString::fromUtf8(kTitle), text,
                            QMessageBox::NoButton, this);
            ChineseOk(box);
            box.exec();
        };
    if (!options_.quit)
        options_.quit = [] {
            // Queued: it takes effect when the loop runs, also if it has not started yet.
            QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
        };
}

void TForm1::SetHeadlessDialogs() {
    const QString title = QString::fromUtf8(kTitle);
    if (!options_.confirm)
        options_.confirm = [title](const QString& question) {
            SayInsteadOfBox(title, question, QString(), kYes);
            return true;
        };
    if (!options_.askText)
        options_.askText = [](const QString& caption, const QString& prompt,
                              const QString&) -> std::optional<QString> {
            SayInsteadOfBox(caption, prompt, QString(), kCancel);
            return std::nullopt;
        };
    if (!options_.inform)
        options_.inform = [](const QString& caption, const QString& text, const QString& detail) {
            SayInsteadOfBox(caption, text, detail, kOk);
        };
    if (!options_.showError)
        options_.showError = [title](const QString& text) {
            SayInsteadOfBox(title, text, QString(), kOk);
        };
}

bool TForm1::Headless() const {
    return NoDisplay() && !options_.boxesOffscreen;
}

bool TForm1::AskYesNo(const QString& question) {
    QMessageBox box(QMessageBox::Question, QString::fromUtf8(kTitle), question,
                    QMessageBox::Yes | QMessageBox::No, this);
    box.button(QMessageBox::Yes)->setText(QString::fromUtf8(kYes));
    box.button(QMessageBox::No)->setText(QString::fromUtf8(kNo));
    // Only No refuses: Escape or the title bar's close button let the close go ahead.
    box.setEscapeButton(QMessageBox::Yes);
    box.exec();
    return box.clickedButton() != box.button(QMessageBox::No);
}

void TForm1::CentreOnScreen() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect area = screen->availableGeometry();
    QRect frame = frameGeometry();
    frame.moveCenter(area.center());
    move(frame.topLeft());
}

void TForm1::EndFromSignal() {
    // A signal never waits on a box: a failed save is told on standard error only, and the
    // process ends even from inside a modal box's loop.
    signalled_ = true;
    FormDestroy();
    std::fflush(nullptr);
    ::_exit(0);
}

} // namespace app
