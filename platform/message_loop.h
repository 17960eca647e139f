// Per-thread message loop: hidden windows with a message procedure, posted messages, timers
// and asynchronous socket notifications, all served on the thread that owns the loop.
//
// Loop rules:
//  - A window's procedure runs only on the loop's thread, one message at a time.
//  - Messages for a destroyed window are dropped; destroying a window inside its own
//    procedure is allowed (the procedure object lives until that call returns).
//  - Posted messages are delivered in the order they were posted, never inside the call
//    that posted them. One posted by the loop's own thread during a pass is delivered at
//    the end of that pass, after what the pass woke for; one posted while those are
//    delivered, in a later pass (so a message that posts itself again cannot hold the loop).
//  - A call that fails (returns false or an error) never leads to a later delivery.
//  - Timers due together are delivered earliest first; a periodic timer that missed periods
//    fires once for them. A timer set while timers are delivered waits for a later pass,
//    even when it is due already.
//  - Socket notifications follow the asynchronous-select contract: within one notification
//    the event bits are connect, read, write, accept, close; read (accept) is signalled while
//    data (connections) are pending and re-armed only by the next receive (accept) call;
//    write once after registration and again only after a send could not take everything;
//    close exactly once per registration (again only when its owner asks at a resume), with
//    the error code in the high 16 bits.
//  - A paused socket's notifications wait for its resume; the registration stays as it was.
//  - The loop is one file descriptor (epoll); another event loop can drive it by calling
//    RunOnce(0) whenever that descriptor is readable.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/timer_queue.h"

namespace platform {

using WindowHandle = uint64_t; // 0 is never a window

struct Message {
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
};

using WindowProc = std::function<void(const Message&)>;

constexpr uint32_t kWmTimer = 0x0113;
constexpr uint32_t kWmUser = 0x0400;

// Asynchronous-select event values (low 16 bits of a notification's lParam).
constexpr uint32_t kFdRead = 1;
constexpr uint32_t kFdWrite = 2;
constexpr uint32_t kFdOob = 4;
constexpr uint32_t kFdAccept = 8;
constexpr uint32_t kFdConnect = 16;
constexpr uint32_t kFdClose = 32;

inline uint32_t NotificationEvents(intptr_t lParam) {
    return static_cast<uint32_t>(lParam) & 0xFFFF;
}
inline uint16_t NotificationError(intptr_t lParam) {
    return static_cast<uint16_t>((static_cast<uint32_t>(lParam) >> 16) & 0xFFFF);
}
inline intptr_t MakeNotification(uint32_t events, uint16_t error) {
    return static_cast<intptr_t>((static_cast<uint32_t>(error) << 16) | (events & 0xFFFF));
}

class MessageLoop {
  public:
    // The calling thread's loop, created on first use. Throws std::system_error when the
    // kernel objects cannot be created.
    static MessageLoop& Current();
    // The calling thread's loop if it has one, else nullptr (never creates one).
    static MessageLoop* CurrentIfAny();

    MessageLoop(const MessageLoop&) = delete;
    MessageLoop& operator=(const MessageLoop&) = delete;
    ~MessageLoop();

    int Fd() const { return epollFd_; }

    WindowHandle CreateHiddenWindow(WindowProc proc);
    // Also kills the window's timers and its socket registrations.
    void DestroyWindow(WindowHandle window);
    bool IsWindow(WindowHandle window) const;

    // Thread-safe. False when the window does not exist (the message is dropped).
    static bool PostMessage(WindowHandle window, uint32_t msg, uintptr_t wParam, intptr_t lParam);

    // Periodic timer delivering kWmTimer with wParam = id; setting an existing id restarts it.
    bool SetTimer(WindowHandle window, uintptr_t id, uint32_t intervalMs);
    // As SetTimer, but the first expiry counts from when the loop woke for the pass being
    // dispatched, not from now: a delay for an event of this pass then lasts as long as asked
    // from the event's arrival, however long its handling took. Outside a pass, from now.
    bool SetTimerFromWake(WindowHandle window, uintptr_t id, uint32_t intervalMs);
    void KillTimer(WindowHandle window, uintptr_t id);

    // Registers (events != 0) or cancels (events == 0) notifications for a socket; they are
    // delivered to `window` as message `msg` with wParam = fd. Returns 0 or a socket error
    // number (10038 for a bad descriptor, 10022 for a bad window).
    int AsyncSelect(int fd, WindowHandle window, uint32_t msg, uint32_t events);

    // Holds a socket's notifications back until ResumeSocket, keeping its registration and
    // what is armed: a socket paused for a moment (a command waiting out its delay) costs
    // nothing unless an event comes meanwhile, which is then left for the resume.
    void PauseSocket(int fd);
    // Ends a pause: events that came meanwhile are reported now (they are level-triggered).
    // `readAgain` and `closeAgain` arm those notifications once more, for ones the owner
    // was given while paused and could not act on.
    void ResumeSocket(int fd, bool readAgain, bool closeAgain);

    // Hooks for the socket wrappers (platform/async_net.h).
    void NoteReceived(int fd);
    // Accept failed for lack of descriptors: the connection stays pending, so re-arming at
    // once would spin; the accept notification comes back after a short pause instead.
    void NoteAcceptExhausted(int fd);
    void NoteSendIncomplete(int fd);
    void NoteConnectStarted(int fd);
    void ForgetSocket(int fd);

    // One pass: waits up to timeoutMs (-1 forever, 0 not at all) and dispatches what is ready.
    // Returns false once Quit() was called.
    bool RunOnce(int timeoutMs);
    // Runs passes until Quit().
    void Run();
    void Quit() { quit_ = true; }
    bool Quitting() const { return quit_; }

  private:
    struct SocketWatch;

    MessageLoop();
    void Enqueue(const Message& message, WindowHandle window);
    // Makes the loop's descriptor readable for the posted messages.
    void Wake();
    // Takes the wake-up, then delivers the queue.
    void DispatchPosted();
    void DispatchQueued();
    // At the end of a pass: delivers what this thread posted during it (outermost pass) or
    // leaves it to the pass around it.
    void EndPass(bool outerPass);
    void Dispatch(WindowHandle window, const Message& message);
    void HandleSocket(uint64_t key, uint32_t revents);
    // The events a pending connect's readiness gives (`err` its error); false when the
    // readiness tells nothing of the connect yet.
    static bool ConnectEvents(SocketWatch& watch, uint32_t revents, uint32_t& bits, int& err);
    // The events an established or listening socket's readiness gives; `err` its error.
    static uint32_t EstablishedEvents(SocketWatch& watch, uint32_t revents, int& err);
    // The timer descriptor fired: delivers each timer due, then arms it for the next.
    void HandleTimers();
    bool SetTimerAt(WindowHandle window, uintptr_t id, int64_t dueNs, uint32_t intervalMs);
    // Arms the timer descriptor for the earliest timer (disarms it when there is none),
    // unless it is armed for that moment already; false when it could not be armed.
    bool ArmTimerDescriptor();
    // Arming only widens the epoll interest; a readiness reported while disarmed narrows it.
    // So the usual deliver-then-read cycle costs no epoll_ctl call.
    void UpdateInterest(SocketWatch& watch, bool narrow = false);

    void RemoveWatch(int fd);
    // A cancelled registration of the same socket and window, made anew.
    void Rearm(SocketWatch& watch, uint32_t msg, uint32_t events);

    void RearmExhausted();

    int epollFd_ = -1;
    int wakeFd_ = -1;
    int rearmFd_ = -1;
    std::vector<int> exhausted_;
    bool quit_ = false;
    std::optional<int64_t> wokeAtNs_; // CLOCK_MONOTONIC, while a pass dispatches
    bool inPass_ = false;             // a pass is dispatching (owner thread only)
    bool ownPosted_ = false;          // the owner posted during it, without a wake-up
    uint64_t nextKey_ = 1;

    std::unordered_map<WindowHandle, std::shared_ptr<WindowProc>> windows_;
    std::unordered_map<int, std::unique_ptr<SocketWatch>> watchesByFd_;
    std::unordered_map<uint64_t, int> watchFdByKey_;
    // One descriptor serves all timers (edge-triggered, never read: each expiry is one
    // report): a descriptor per timer cost three system calls per expiry, and one descriptor
    // per delaying session, which a peer can multiply.
    TimerQueue timers_;
    int timerFd_ = -1;
    std::optional<int64_t> timerFdDue_; // the moment it is armed for, until it fires
    bool inTimers_ = false;             // timers are being delivered; they arm it at the end

    std::mutex queueMutex_;
    std::vector<std::pair<WindowHandle, Message>> queue_;
};

} // namespace platform
