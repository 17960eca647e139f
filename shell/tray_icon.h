// An icon with a tooltip in the desktop's notification area (Qt's QSystemTrayIcon:
// StatusNotifierItem or XEmbed), turning the mouse notifications into the component's event
// sequence: down, up, click; a right release shows PopupMenu before OnMouseUp.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <stdexcept>

class QMenu;
class QSystemTrayIcon;

namespace shell {

// A failure inside the notification area's calls, named "<objectName>.<call> failed".
class ETrayIcon : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class TMouseButton { mbLeft, mbRight, mbMiddle };
struct TShiftState {
    bool shift = false, alt = false, ctrl = false, left = false, right = false;
};

class TTrayIcon : public QObject {
    Q_OBJECT
  public:
    // Mouse messages as the notification area reports them.
    static constexpr int kLeftDown = 513, kLeftUp = 514, kLeftDouble = 515, kRightDown = 516,
                         kRightUp = 517;
    static constexpr int kMaxHint = 63;

    explicit TTrayIcon(QObject* parent = nullptr);
    ~TTrayIcon() override;

    using TMouseEvent = std::function<void(TTrayIcon* Sender, TMouseButton Button,
                                           TShiftState Shift, int X, int Y)>;
    using TNotifyEvent = std::function<void(TTrayIcon* Sender)>;
    TMouseEvent OnMouseDown, OnMouseUp;
    TNotifyEvent OnClick, OnDblClick, OnPopupMenu, OnShow, OnHide;

    QIcon Icon() const { return icon_; }
    void SetIcon(const QIcon& icon);
    int IconID() const { return iconId_; }
    void SetIconID(int id);
    bool Visible() const { return visible_; }
    void SetVisible(bool visible);
    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled) { enabled_ = enabled; }
    QString Hint() const { return hint_; }
    // Cut to 63 bytes (of its UTF-8 form, whole characters kept).
    void SetHint(const QString& hint);
    // A notification from the icon (the desktop's balloon or notice), kept for LastNotice.
    void Notify(const QString& title, const QString& text);
    const QString& LastNotice() const { return lastNotice_; }
    // Notifications asked for so far.
    int NoticeCount() const { return notices_; }
    QMenu* PopupMenu() const { return popup_; }
    void SetPopupMenu(QMenu* menu) { popup_ = menu; }
    // How many times the icon was added to and removed from the notification area.
    int AddCount() const { return adds_; }
    int DeleteCount() const { return deletes_; }

    // The state machine behind the icon's mouse notifications.
    void HandleTrayMessage(int mouseMessage);
    void ShowIcon();
    void HideIcon();
    // Shows PopupMenu at the cursor (blocking until it closes), then OnPopupMenu. Tests may
    // replace the showing.
    void PopupAtCursor();
    std::function<void(QMenu*)> ShowMenu;

    static bool Available();

  private:
    // Each runs its calls into the notification area and turns any exception into ETrayIcon.
    void UpDate();
    void AddToTaskbar();
    void DeleteFromTaskbar();
    void FillIconData();
    void ShellCall(const char* operation, const std::function<void()>& call);

    std::unique_ptr<QSystemTrayIcon> tray_;
    QIcon icon_;
    int iconId_ = 0;
    bool visible_ = false;
    bool enabled_ = true;
    bool pressed_ = false;
    QString hint_;
    QString lastNotice_;
    int notices_ = 0;
    QMenu* popup_ = nullptr;
    int adds_ = 0;
    int deletes_ = 0;
};

} // namespace shell
