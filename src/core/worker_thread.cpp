// Worker threads: the stop event, sliced waits, and groups of self-deleting threads.
#include "core.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <chrono>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <poll.h>
#include <unistd.h>

namespace tavolex {

int MillisecondsLeft(std::chrono::steady_clock::time_point deadline)
{
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, 1LL << 30));
}

namespace {

using Clock = std::chrono::steady_clock;

// The slice to wait next: at most kWaitSliceMs, never past the deadline.
int NextSlice(bool forever, Clock::time_point deadline)
{
    if (forever)
        return kWaitSliceMs;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
        return 0;
    return static_cast<int>(std::min<long long>(left, kWaitSliceMs));
}

} // namespace

WorkerThread::WorkerThread(std::string name) : name_(std::move(name))
{
    stopFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

WorkerThread::~WorkerThread()
{
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        Stop();
    else if (thread_.joinable())
        thread_.detach();
    if (stopFd_ >= 0)
        close(stopFd_);
}

bool WorkerThread::Start(ThreadPriority priority)
{
    std::lock_guard guard(startLock_);
    if (thread_.joinable()) {
        if (running_.load())
            return true;
        thread_.join(); // it has left its ThreadFunction: this returns at once
    }
    ClearStopEvent();
    running_ = true;
    priority_ = priority;
    systemThreadId_ = 0;
    try {
        thread_ = std::thread(&WorkerThread::Entry, this, priority);
    } catch (const std::system_error&) {
        running_ = false;
        return false;
    }
    return true;
}

void WorkerThread::Entry(ThreadPriority priority)
{
    // The system keeps at most 15 bytes of a thread name.
    std::string shortName = name_.substr(0, 15);
    pthread_setname_np(pthread_self(), shortName.c_str());
    systemThreadId_ = static_cast<int>(gettid());
    switch (priority) {
    case ThreadPriority::Normal: break;
    case ThreadPriority::Lowest: {
        sched_param param{};
        pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
        break;
    }
    }
    // An exception ends this thread only: one connection that ran out of memory, or met a
    // broken invariant of a library, must not take the whole server down with it.
    try {
        ThreadFunction();
    } catch (const std::exception& error) {
        LogError("%s: ended by an exception: %s", name_, ForLog(error.what()));
    } catch (...) {
        LogError("%s: ended by an exception", name_);
    }
    running_ = false;
    if (group_)
        group_->Finished(this); // may destroy this object: nothing of it is touched afterwards
}

void WorkerThread::Stop()
{
    SignalStop();
    std::lock_guard guard(startLock_);
    if (!thread_.joinable())
        return;
    // Best effort: without the right to raise priorities the thread keeps its own.
    if (priority_ == ThreadPriority::Lowest && running_.load() && systemThreadId_.load() != 0) {
        auto id = static_cast<pid_t>(systemThreadId_.load());
        sched_param param{};
        sched_setscheduler(id, SCHED_OTHER, &param);
        errno = 0;
        int callerNice = getpriority(PRIO_PROCESS, 0);
        if (errno == 0)
            setpriority(PRIO_PROCESS, static_cast<id_t>(id), callerNice);
    }
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
        return;
    }
    thread_.join();
}

void WorkerThread::SignalStop()
{
    stopRequested_ = true;
    uint64_t one = 1;
    if (stopFd_ >= 0) {
        ssize_t ignored = write(stopFd_, &one, sizeof one);
        (void)ignored; // a full counter is still readable, which is all a waiter needs
    }
}

void WorkerThread::ClearStopEvent()
{
    uint64_t value = 0;
    if (stopFd_ >= 0) {
        while (read(stopFd_, &value, sizeof value) > 0) {
        }
    }
    stopRequested_ = false;
}

bool WorkerThread::IsRunning() const { return running_.load(); }

bool WorkerThread::IsStopRequested() const { return stopRequested_.load(); }

bool WorkerThread::WaitForStop(int timeoutMs)
{
    return WaitForStopOrAny({}, timeoutMs) == StopWait::Stopped;
}

StopWait WorkerThread::WaitForStopOr(int fd, short events, int timeoutMs)
{
    bool forever = timeoutMs < 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    pollfd fds[2] = {{stopFd_, POLLIN, 0}, {fd, events, 0}};
    for (;;) {
        if (IsStopRequested())
            return StopWait::Stopped;
        int slice = NextSlice(forever, deadline);
        int count = poll(fds, 2, slice);
        if (count < 0 && errno != EINTR)
            return StopWait::Other; // let the caller's next call on the descriptor see the error
        if (count > 0) {
            if (fds[0].revents)
                return StopWait::Stopped;
            if (fds[1].revents)
                return StopWait::Other;
        }
        if (!forever && slice == 0)
            return StopWait::TimedOut;
        if (!forever && Clock::now() >= deadline)
            return IsStopRequested() ? StopWait::Stopped : StopWait::TimedOut;
    }
}

StopWait WorkerThread::WaitForStopOrAny(std::span<const int> fds, int timeoutMs, size_t* ready)
{
    constexpr size_t kMaxHandles = 63;
    bool forever = timeoutMs < 0;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    pollfd set[kMaxHandles + 1];
    size_t count = std::min(fds.size(), kMaxHandles);
    set[0] = {stopFd_, POLLIN, 0};
    for (size_t i = 0; i < count; ++i)
        set[i + 1] = {fds[i], POLLIN, 0};
    for (;;) {
        if (IsStopRequested())
            return StopWait::Stopped;
        int slice = NextSlice(forever, deadline);
        int result = poll(set, count + 1, slice);
        if (result > 0) {
            if (set[0].revents)
                return StopWait::Stopped;
            for (size_t i = 0; i < count; ++i) {
                if (set[i + 1].revents) {
                    if (ready)
                        *ready = i;
                    return StopWait::Other;
                }
            }
        }
        if (!forever && (slice == 0 || Clock::now() >= deadline))
            return IsStopRequested() ? StopWait::Stopped : StopWait::TimedOut;
    }
}

// ---------------------------------------------------------------------------------------------

ThreadGroup::~ThreadGroup() { StopAll(); }

bool ThreadGroup::Add(std::unique_ptr<WorkerThread> thread)
{
    WorkerThread* raw = thread.get();
    std::unique_lock guard(lock_);
    raw->group_ = this;
    members_.push_front(std::move(thread));
    ++live_;
    // Started under the lock: a thread that ends at once waits in Finished until it is linked.
    if (raw->Start(ThreadPriority::Normal))
        return true;
    std::unique_ptr<WorkerThread> failed = std::move(members_.front());
    members_.pop_front();
    --live_;
    guard.unlock();
    failed->group_ = nullptr;
    return false;
}

void ThreadGroup::SignalAll()
{
    std::lock_guard guard(lock_);
    for (auto& member : members_)
        member->SignalStop();
}

void ThreadGroup::StopAll()
{
    SignalAll();
    for (;;) {
        std::unique_ptr<WorkerThread> first;
        {
            std::lock_guard guard(lock_);
            if (members_.empty())
                break;
            first = std::move(members_.front());
            members_.pop_front();
        }
        first->Stop();
        first.reset();
    }
    // Threads that unlinked themselves may still be destroying themselves.
    std::unique_lock guard(lock_);
    allEnded_.wait(guard, [this] { return live_ == 0; });
}

size_t ThreadGroup::Count() const
{
    std::lock_guard guard(lock_);
    return members_.size();
}

void ThreadGroup::VisitMembers(const std::function<void(const std::vector<WorkerThread*>& members)>& visit)
{
    std::lock_guard guard(lock_);
    std::vector<WorkerThread*> members;
    members.reserve(members_.size());
    for (const auto& member : members_)
        members.push_back(member.get());
    visit(members);
}

void ThreadGroup::Finished(WorkerThread* thread)
{
    std::unique_ptr<WorkerThread> self;
    {
        std::lock_guard guard(lock_);
        auto it = std::find_if(members_.begin(), members_.end(),
                               [thread](const auto& member) { return member.get() == thread; });
        if (it != members_.end()) {
            self = std::move(*it);
            members_.erase(it);
            self->thread_.detach();
        }
    }
    self.reset(); // when StopAll took the thread first, StopAll joins and destroys it instead
    std::lock_guard guard(lock_);
    --live_;
    allEnded_.notify_all();
}

} // namespace tavolex
