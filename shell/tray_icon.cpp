#include "shell/tray_icon.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>

namespace shell {

TTrayIcon::TTrayIcon(QObject* parent)
    : QObject(parent), tray_(std::make_unique<QSystemTrayIcon>()) {
    // The notification area reports activations; they are turned into the press/release
    // notifications the component's sequence is defined on.
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                switch (reason) {
                case QSystemTrayIcon::Trigger:
                    HandleTrayMessage(kLeftDown);
                    HandleTrayMessage(kLeftUp);
                    break;
                case QSystemTrayIcon::DoubleClick:
                    HandleTrayMessage(kLeftDouble);
                    break;
                case QSystemTrayIcon::Context:
                    HandleTrayMessage(kRightDown);
                    HandleTrayMessage(kRightUp);
                    break;
                default:
                    break;
                }
            });
    ShowMenu = [](QMenu* menu) { menu->exec(QCursor::pos()); };
}

TTrayIcon::~TTrayIcon() {
    SetVisible(false);
}

bool TTrayIcon::Available() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TTrayIcon::ShellCall(const char* operation, const std::function<void()>& call) {
    try {
        call();
    } catch (const std::exception&) {
        throw ETrayIcon(objectName().toStdString() + "." + operation + " failed");
    }
}

void TTrayIcon::FillIconData() {
    tray_->setIcon(icon_);
    tray_->setToolTip(hint_);
}

void TTrayIcon::UpDate() {
    ShellCall("UpDate", [this] { FillIconData(); });
}

void TTrayIcon::AddToTaskbar() {
    ShellCall("AddToTaskbar", [this] {
        FillIconData();
        tray_->show();
    });
}

void TTrayIcon::DeleteFromTaskbar() {
    ShellCall("DeleteFromTaskbar", [this] { tray_->hide(); });
}

void TTrayIcon::SetIcon(const QIcon& icon) {
    icon_ = icon;
    UpDate();
}

void TTrayIcon::SetHint(const QString& hint) {
    QString cut = hint;
    while (cut.toUtf8().size() > kMaxHint) cut.chop(1);
    hint_ = cut;
    UpDate();
}

void TTrayIcon::Notify(const QString& title, const QString& text) {
    lastNotice_ = title + QStringLiteral(": ") + text;
    ++notices_;
    // Without a notification area there is no one to show it; the failure list still does.
    if (visible_ && QSystemTrayIcon::isSystemTrayAvailable())
        tray_->showMessage(title, text, QSystemTrayIcon::Warning);
}

void TTrayIcon::SetIconID(int id) {
    if (id == iconId_) return;
    bool wasVisible = visible_;
    SetVisible(false);
    iconId_ = id;
    SetVisible(wasVisible); // added again under the new identifier
}

void TTrayIcon::SetVisible(bool visible) {
    if (visible == visible_) return;
    visible ? ShowIcon() : HideIcon();
}

void TTrayIcon::ShowIcon() {
    AddToTaskbar();
    ++adds_;
    visible_ = true;
    if (OnShow) OnShow(this);
}

void TTrayIcon::HideIcon() {
    DeleteFromTaskbar();
    ++deletes_;
    visible_ = false;
    if (OnHide) OnHide(this);
}

void TTrayIcon::PopupAtCursor() {
    if (!popup_) return;
    if (ShowMenu) ShowMenu(popup_);
    if (OnPopupMenu) OnPopupMenu(this);
}

void TTrayIcon::HandleTrayMessage(int mouseMessage) {
    if (!enabled_) return;
    QPoint at = QCursor::pos();
    Qt::KeyboardModifiers keys = QApplication::queryKeyboardModifiers();
    TShiftState shift{keys.testFlag(Qt::ShiftModifier), keys.testFlag(Qt::AltModifier),
                      keys.testFlag(Qt::ControlModifier)};
    auto fire = [&](const TMouseEvent& event, TMouseButton button) {
        TShiftState s = shift;
        (button == TMouseButton::mbLeft ? s.left : s.right) = true;
        if (event) event(this, button, s, at.x(), at.y());
    };
    switch (mouseMessage) {
    case kLeftDown:
        pressed_ = true;
        fire(OnMouseDown, TMouseButton::mbLeft);
        break;
    case kLeftUp:
        fire(OnMouseUp, TMouseButton::mbLeft);
        if (pressed_ && OnClick) OnClick(this);
        pressed_ = false;
        break;
    case kLeftDouble:
        if (OnDblClick) OnDblClick(this);
        break;
    case kRightDown:
        fire(OnMouseDown, TMouseButton::mbRight);
        break;
    case kRightUp:
        PopupAtCursor();
        fire(OnMouseUp, TMouseButton::mbRight);
        break;
    default:
        break;
    }
}

} // namespace shell
