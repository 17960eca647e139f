#include "platform/message_loop.h"

#include "platform/wsa_numbers.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace {

constexpr uint64_t kWakeKey = 0;
constexpr uint64_t kRearmKey = ~uint64_t{0};
constexpr uint64_t kTimerKey = ~uint64_t{0} - 1;
constexpr long kExhaustedPauseNs = 100L * 1000000L;

// Which loop owns which window; posting from other threads goes through it. The mutex is
// held while a message is queued so that a loop cannot be destroyed under a poster.
struct WindowRegistry {
    std::mutex mutex;
    std::unordered_map<WindowHandle, MessageLoop*> owners;
};

WindowRegistry& Registry() {
    static WindowRegistry registry;
    return registry;
}

std::atomic<WindowHandle> nextWindow{1};
thread_local std::unique_ptr<MessageLoop> tlsLoop;

int SocketErrorOf(int fd) {
    int err = 0;
    socklen_t len = sizeof(err);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

bool IsListeningSocket(int fd) {
    int value = 0;
    socklen_t len = sizeof(value);
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &value, &len) == 0 && value != 0;
}

} // namespace

struct MessageLoop::SocketWatch {
    int fd = -1;
    uint64_t key = 0;
    WindowHandle window = 0;
    uint32_t msg = 0;
    uint32_t events = 0;
    bool listening = false;
    bool readArmed = true;
    bool acceptArmed = true;
    bool writeArmed = true;
    bool connectPending = false;
    bool closeDone = false;
    bool paused = false; // notifications held back
    bool parked = false; // out of epoll while paused, as an event came
    bool inEpoll = false;
    uint32_t interest = 0;
    // Whether incoming readiness (an accept on a listener, data elsewhere) is awaited.
    bool InArmed() const { return listening ? acceptArmed : readArmed; }
};

MessageLoop& MessageLoop::Current() {
    if (!tlsLoop) tlsLoop.reset(new MessageLoop());
    return *tlsLoop;
}

MessageLoop* MessageLoop::CurrentIfAny() {
    return tlsLoop.get();
}

MessageLoop::MessageLoop() {
    Registry(); // constructed before any loop, so it outlives them all
    epollFd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        int err = errno;
        ::close(epollFd_);
        throw std::system_error(err, std::generic_category(), "eventfd");
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev);
    rearmFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (rearmFd_ >= 0) {
        ev.data.u64 = kRearmKey;
        epoll_ctl(epollFd_, EPOLL_CTL_ADD, rearmFd_, &ev);
    }
    // Without it SetTimer fails, and its callers go on without a timer, as they must anyway.
    timerFd_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = kTimerKey;
    if (timerFd_ >= 0 && epoll_ctl(epollFd_, EPOLL_CTL_ADD, timerFd_, &ev) != 0) {
        ::close(timerFd_);
        timerFd_ = -1;
    }
}

MessageLoop::~MessageLoop() {
    {
        std::lock_guard<std::mutex> lock(Registry().mutex);
        for (auto& [handle, proc] : windows_) Registry().owners.erase(handle);
    }
    if (timerFd_ >= 0) ::close(timerFd_);
    if (rearmFd_ >= 0) ::close(rearmFd_);
    ::close(wakeFd_);
    ::close(epollFd_);
}

WindowHandle MessageLoop::CreateHiddenWindow(WindowProc proc) {
    WindowHandle handle = nextWindow.fetch_add(1);
    windows_[handle] = std::make_shared<WindowProc>(std::move(proc));
    std::lock_guard<std::mutex> lock(Registry().mutex);
    Registry().owners[handle] = this;
    return handle;
}

void MessageLoop::DestroyWindow(WindowHandle window) {
    if (windows_.erase(window) == 0) return;
    {
        std::lock_guard<std::mutex> lock(Registry().mutex);
        Registry().owners.erase(window);
    }
    timers_.KillWindow(window);
    ArmTimerDescriptor();
    std::vector<int> fds;
    for (auto& [fd, watch] : watchesByFd_)
        if (watch->window == window) fds.push_back(fd);
    for (int fd : fds) RemoveWatch(fd);
}

bool MessageLoop::IsWindow(WindowHandle window) const {
    return windows_.count(window) != 0;
}

bool MessageLoop::PostMessage(WindowHandle window, uint32_t msg, uintptr_t wParam,
                              intptr_t lParam) {
    std::lock_guard<std::mutex> lock(Registry().mutex);
    auto it = Registry().owners.find(window);
    if (it == Registry().owners.end()) return false;
    it->second->Enqueue(Message{msg, wParam, lParam}, window);
    return true;
}

void MessageLoop::Enqueue(const Message& message, WindowHandle window) {
    bool wasEmpty;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        wasEmpty = queue_.empty();
        queue_.emplace_back(window, message);
    }
    // Posted by this thread inside a pass: the pass delivers it before it returns, so no
    // wake-up is needed. Every reply a session sends posts its send completion this way:
    // the wake-up cost a write and one more pass of the loop (four system calls) per reply.
    if (CurrentIfAny() == this && inPass_) {
        ownPosted_ = true;
        return;
    }
    // One wake-up per batch: a queue that was not empty has been signalled already, or holds
    // this thread's posts that its pass delivers (the loop reads the eventfd before it takes
    // the queue, so nothing is left unsignalled).
    if (!wasEmpty) return;
    Wake();
}

void MessageLoop::Wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof(one));
}

namespace {
int64_t NowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t IntervalNs(uint32_t intervalMs) {
    return static_cast<int64_t>(intervalMs == 0 ? 1 : intervalMs) * 1000000;
}
} // namespace

bool MessageLoop::SetTimerAt(WindowHandle window, uintptr_t id, int64_t dueNs,
                             uint32_t intervalMs) {
    if (timerFd_ < 0 || !IsWindow(window)) return false;
    timers_.Set({window, id}, dueNs, IntervalNs(intervalMs));
    if (ArmTimerDescriptor()) return true;
    timers_.Kill({window, id}); // a failed call never leads to a delivery
    return false;
}

bool MessageLoop::SetTimer(WindowHandle window, uintptr_t id, uint32_t intervalMs) {
    return SetTimerAt(window, id, NowNs() + IntervalNs(intervalMs), intervalMs);
}

bool MessageLoop::SetTimerFromWake(WindowHandle window, uintptr_t id, uint32_t intervalMs) {
    if (!wokeAtNs_) return SetTimer(window, id, intervalMs);
    // A moment already past makes the timer expire at once, as a late sleep would end.
    return SetTimerAt(window, id, *wokeAtNs_ + IntervalNs(intervalMs), intervalMs);
}

void MessageLoop::KillTimer(WindowHandle window, uintptr_t id) {
    if (timers_.Kill({window, id})) ArmTimerDescriptor();
}

bool MessageLoop::ArmTimerDescriptor() {
    if (inTimers_) return true;
    std::optional<int64_t> earliest = timers_.Earliest();
    if (earliest == timerFdDue_) return true;
    itimerspec timing{}; // all zero: disarmed
    if (earliest) {
        // A moment of 0 would disarm; the monotonic clock is past it long before any timer.
        int64_t due = std::max<int64_t>(1, *earliest);
        timing.it_value.tv_sec = static_cast<time_t>(due / 1000000000);
        timing.it_value.tv_nsec = static_cast<long>(due % 1000000000);
    }
    if (timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &timing, nullptr) != 0) return false;
    timerFdDue_ = earliest;
    return true;
}

int MessageLoop::AsyncSelect(int fd, WindowHandle window, uint32_t msg, uint32_t events) {
    if (fd < 0) return kWsaENOTSOCK;
    auto found = watchesByFd_.find(fd);
    if (events == 0) {
        // Cancelled notifications keep their record, unwatched: the descriptor is the same
        // socket until SockClose forgets it, and a session pauses and resumes for every
        // delayed command, which would otherwise query and rebuild the record each time.
        if (found != watchesByFd_.end()) {
            found->second->events = 0;
            UpdateInterest(*found->second);
        }
        return 0;
    }
    if (!IsWindow(window)) return kWsaEINVAL;
    if (found != watchesByFd_.end() && found->second->events == 0 &&
        found->second->window == window) {
        Rearm(*found->second, msg, events);
        return 0;
    }
    int type = 0;
    socklen_t len = sizeof(type);
    if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) return WsaFromErrno(errno);
    RemoveWatch(fd);
    auto watch = std::make_unique<SocketWatch>();
    watch->fd = fd;
    watch->key = nextKey_++;
    watch->window = window;
    watch->msg = msg;
    watch->events = events;
    watch->listening = IsListeningSocket(fd);
    SocketWatch& ref = *watch;
    watchFdByKey_[ref.key] = fd;
    watchesByFd_[fd] = std::move(watch);
    UpdateInterest(ref);
    return 0;
}

void MessageLoop::Rearm(SocketWatch& watch, uint32_t msg, uint32_t events) {
    // As a new registration: a new key (events of the old one still in this batch are
    // dropped) and every notification armed again.
    watchFdByKey_.erase(watch.key);
    watch.key = nextKey_++;
    watchFdByKey_[watch.key] = watch.fd;
    watch.msg = msg;
    watch.events = events;
    watch.readArmed = watch.acceptArmed = watch.writeArmed = true;
    watch.connectPending = watch.closeDone = watch.paused = watch.parked = false;
    UpdateInterest(watch);
}

void MessageLoop::PauseSocket(int fd) {
    auto it = watchesByFd_.find(fd);
    if (it != watchesByFd_.end()) it->second->paused = true;
}

void MessageLoop::ResumeSocket(int fd, bool readAgain, bool closeAgain) {
    auto it = watchesByFd_.find(fd);
    if (it == watchesByFd_.end()) return;
    SocketWatch& watch = *it->second;
    bool wasParked = watch.parked;
    watch.paused = watch.parked = false;
    if (readAgain) watch.readArmed = watch.acceptArmed = true;
    if (closeAgain) watch.closeDone = false;
    if (wasParked || readAgain || closeAgain) UpdateInterest(watch);
}

void MessageLoop::UpdateInterest(SocketWatch& watch, bool narrow) {
    if (watch.closeDone || watch.events == 0 || watch.parked) {
        if (watch.inEpoll) epoll_ctl(epollFd_, EPOLL_CTL_DEL, watch.fd, nullptr);
        watch.inEpoll = false;
        return;
    }
    uint32_t interest = 0;
    if (watch.listening) {
        if (watch.acceptArmed && (watch.events & kFdAccept)) interest |= EPOLLIN;
    } else {
        if (watch.readArmed && (watch.events & kFdRead)) interest |= EPOLLIN;
        if (watch.events & kFdClose) interest |= EPOLLRDHUP;
        if ((watch.writeArmed && (watch.events & kFdWrite)) || watch.connectPending)
            interest |= EPOLLOUT;
    }
    if (watch.inEpoll && !narrow) interest |= watch.interest;
    if (watch.inEpoll && interest == watch.interest) return;
    epoll_event ev{};
    ev.events = interest;
    ev.data.u64 = watch.key;
    if (epoll_ctl(epollFd_, watch.inEpoll ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, watch.fd, &ev) == 0) {
        watch.inEpoll = true;
        watch.interest = interest;
    }
}

void MessageLoop::RemoveWatch(int fd) {
    auto it = watchesByFd_.find(fd);
    if (it == watchesByFd_.end()) return;
    if (it->second->inEpoll) epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
    watchFdByKey_.erase(it->second->key);
    watchesByFd_.erase(it);
}

void MessageLoop::NoteReceived(int fd) {
    auto it = watchesByFd_.find(fd);
    if (it == watchesByFd_.end()) return;
    it->second->readArmed = true;
    it->second->acceptArmed = true;
    UpdateInterest(*it->second);
}

void MessageLoop::NoteAcceptExhausted(int fd) {
    auto it = watchesByFd_.find(fd);
    if (it == watchesByFd_.end()) return;
    it->second->acceptArmed = false;
    UpdateInterest(*it->second);
    exhausted_.push_back(fd);
    itimerspec timing{};
    timing.it_value.tv_nsec = kExhaustedPauseNs;
    if (rearmFd_ < 0 || timerfd_settime(rearmFd_, 0, &timing, nullptr) != 0) RearmExhausted();
}

void MessageLoop::RearmExhausted() {
    uint64_t expirations = 0;
    if (rearmFd_ >= 0) {
        [[maybe_unused]] ssize_t r = ::read(rearmFd_, &expirations, sizeof(expirations));
    }
    std::vector<int> fds;
    fds.swap(exhausted_);
    for (int fd : fds) {
        auto it = watchesByFd_.find(fd);
        if (it == watchesByFd_.end()) continue;
        it->second->acceptArmed = true;
        UpdateInterest(*it->second);
    }
}

void MessageLoop::NoteSendIncomplete(int fd) {
    auto it = watchesByFd_.find(fd);
    if (it == watchesByFd_.end()) return;
    it->second->writeArmed = true;
    UpdateInterest(*it->second);
}

void MessageLoop::NoteConnectStarted(int fd) {
    auto it = watchesByFd_.find(fd);
    if (it == watchesByFd_.end()) return;
    it->second->connectPending = true;
    it->second->listening = false;
    UpdateInterest(*it->second);
}

void MessageLoop::ForgetSocket(int fd) {
    RemoveWatch(fd);
}

bool MessageLoop::RunOnce(int timeoutMs) {
    if (quit_) return false;
    epoll_event events[64];
    int n = epoll_wait(epollFd_, events, 64, timeoutMs);
    if (n < 0) return !quit_; // EINTR: a signal arrived; the caller simply runs another pass
    // Nested passes (a handler pumping the loop) restore the outer pass's moment after them,
    // and a pass left by an exception leaves none behind.
    struct WakeMoment {
        std::optional<int64_t>& current;
        std::optional<int64_t> outer;
        ~WakeMoment() { current = outer; }
    } moment{wokeAtNs_, wokeAtNs_};
    wokeAtNs_ = NowNs();
    // A pass left by an exception cannot deliver what was posted during it: those get the
    // wake-up they went without, for the next pass.
    struct PassScope {
        MessageLoop& loop;
        bool outer;
        ~PassScope() {
            loop.inPass_ = outer;
            if (!outer && loop.ownPosted_) {
                loop.ownPosted_ = false;
                loop.Wake();
            }
        }
    } pass{*this, inPass_};
    inPass_ = true;
    // Copy first: handlers may register, remove or reuse descriptors while we dispatch, and
    // the keys make stale entries of this batch harmless.
    std::vector<std::pair<uint64_t, uint32_t>> ready;
    ready.reserve(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
        uint64_t key = events[i].data.u64;
        uint32_t revents = events[i].events;
        ready.emplace_back(key, revents);
    }
    for (auto [key, revents] : ready) {
        if (key == kWakeKey)
            DispatchPosted();
        else if (key == kRearmKey)
            RearmExhausted();
        else if (key == kTimerKey)
            HandleTimers();
        else
            HandleSocket(key, revents);
    }
    EndPass(pass.outer);
    return !quit_;
}

void MessageLoop::EndPass(bool outerPass) {
    inPass_ = outerPass;
    if (outerPass || !ownPosted_) return;
    ownPosted_ = false;
    DispatchQueued();
}

void MessageLoop::Run() {
    while (RunOnce(-1)) {
    }
}

void MessageLoop::DispatchPosted() {
    uint64_t count = 0;
    [[maybe_unused]] ssize_t r = ::read(wakeFd_, &count, sizeof(count));
    DispatchQueued();
}

void MessageLoop::DispatchQueued() {
    std::vector<std::pair<WindowHandle, Message>> batch;
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        batch.swap(queue_);
    }
    for (auto& [window, message] : batch) Dispatch(window, message);
}

void MessageLoop::Dispatch(WindowHandle window, const Message& message) {
    auto it = windows_.find(window);
    if (it == windows_.end()) return;
    std::shared_ptr<WindowProc> proc = it->second; // survives DestroyWindow inside the call
    (*proc)(message);
}

void MessageLoop::HandleTimers() {
    // It fired, so it is armed for nothing now. A timer set by a handler is delivered in a
    // later pass even when it is due already, so a handler setting its own timer again
    // cannot hold the loop.
    timerFdDue_.reset();
    struct Delivering {
        MessageLoop& loop;
        ~Delivering() {
            loop.inTimers_ = false;
            // Also after a handler's exception: timers not yet delivered are still due, so
            // the descriptor fires again at once.
            loop.ArmTimerDescriptor();
        }
    } delivering{*this};
    inTimers_ = true;
    int64_t now = NowNs();
    for (const TimerQueue::Due& due : timers_.DueAt(now))
        if (timers_.Advance(due, now))
            Dispatch(due.name.first, Message{kWmTimer, due.name.second, 0});
}

bool MessageLoop::ConnectEvents(SocketWatch& watch, uint32_t revents, uint32_t& bits, int& err) {
    if (!(revents & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return false;
    watch.connectPending = false;
    err = SocketErrorOf(watch.fd);
    if (watch.events & kFdConnect) bits |= kFdConnect;
    if (err == 0 && (revents & EPOLLOUT) && watch.writeArmed && (watch.events & kFdWrite)) {
        bits |= kFdWrite;
        watch.writeArmed = false;
    }
    if (err != 0) watch.closeDone = true; // a failed connect ends this registration
    return true;
}

uint32_t MessageLoop::EstablishedEvents(SocketWatch& watch, uint32_t revents, int& err) {
    uint32_t bits = 0;
    bool broken = (revents & (EPOLLERR | EPOLLHUP)) != 0;
    if (broken) err = SocketErrorOf(watch.fd);
    bool peerClosed = broken || (revents & EPOLLRDHUP);
    if (watch.listening) {
        if ((revents & EPOLLIN) && watch.acceptArmed && (watch.events & kFdAccept)) {
            bits |= kFdAccept;
            watch.acceptArmed = false;
        }
        return bits;
    }
    // With the peer gone only the close is reported: its handling reads whatever is still
    // pending, so a separate read event would announce the same bytes twice.
    bool closeWanted = peerClosed && !watch.closeDone && (watch.events & kFdClose);
    if ((revents & EPOLLIN) && !closeWanted && watch.readArmed && (watch.events & kFdRead)) {
        bits |= kFdRead;
        watch.readArmed = false;
    }
    if ((revents & EPOLLOUT) && !broken && watch.writeArmed && (watch.events & kFdWrite)) {
        bits |= kFdWrite;
        watch.writeArmed = false;
    }
    if (peerClosed && !watch.closeDone && (watch.events & kFdClose)) {
        bits |= kFdClose;
        watch.closeDone = true;
    } else if (peerClosed && !(watch.events & kFdClose)) {
        watch.closeDone = true; // nobody wants the close; stop the level-triggered wake-ups
    }
    return bits;
}

void MessageLoop::HandleSocket(uint64_t key, uint32_t revents) {
    auto keyIt = watchFdByKey_.find(key);
    if (keyIt == watchFdByKey_.end()) return; // registration ended earlier in this batch
    SocketWatch& watch = *watchesByFd_[keyIt->second];
    if (watch.events == 0) return; // cancelled earlier in this batch
    if (watch.paused) {
        // An event the owner waits for goes out of epoll until the resume, which finds it
        // again: level-triggered readiness would otherwise wake the loop for nothing until
        // then. One nobody waits for only narrows the interest, as it would unpaused.
        bool wanted = ((revents & EPOLLIN) && watch.InArmed()) ||
                      ((revents & EPOLLOUT) && (watch.writeArmed || watch.connectPending)) ||
                      (revents & (EPOLLRDHUP | EPOLLERR | EPOLLHUP));
        watch.parked = wanted;
        UpdateInterest(watch, true);
        return;
    }
    uint32_t bits = 0;
    int err = 0;
    if (watch.connectPending) {
        if (!ConnectEvents(watch, revents, bits, err)) return;
    } else {
        bits = EstablishedEvents(watch, revents, err);
    }
    int fd = watch.fd;
    WindowHandle window = watch.window;
    uint32_t msg = watch.msg;
    bool spurious =
        ((revents & EPOLLIN) && !watch.InArmed() && !(bits & (kFdRead | kFdAccept))) ||
        ((revents & EPOLLOUT) && !watch.writeArmed && !(bits & (kFdWrite | kFdConnect)));
    UpdateInterest(watch, spurious);
    if (bits == 0) return;
    uint16_t wsa = static_cast<uint16_t>(WsaFromErrno(err));
    Dispatch(window, Message{msg, static_cast<uintptr_t>(fd), MakeNotification(bits, wsa)});
}

} // namespace platform
