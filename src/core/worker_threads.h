// Worker threads. Part of core's face (core.h).
//
// `WorkerThread` is the base of every background thread of the server: a named std::thread
// with a manual-reset stop event. The stop event is an eventfd, so a thread can wait for it
// together with its sockets in one poll; every wait is still cut into slices of 200 ms so that
// a stop request is seen quickly even by code that only polls `IsStopRequested`.
// `ThreadGroup` owns threads that delete themselves when their `ThreadFunction` returns (the
// listener keeps its connection threads in one).
//
//     class Sweeper : public tavolex::WorkerThread { ... void ThreadFunction() override; };
//     Sweeper sweeper;  sweeper.Start(ThreadPriority::Lowest);  ...  sweeper.Stop();
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tavolex {

inline constexpr int kWaitSliceMs = 200; // no blocking wait lasts longer than this
inline constexpr int kWaitForever = -1;

enum class ThreadPriority {
    Normal,
    Lowest, // SCHED_IDLE and nice 19: runs only when nothing else wants the processor
};

// The result of waiting for the stop event together with other file descriptors.
enum class StopWait {
    Other = 0,   // one of the other descriptors became ready
    Stopped = 1, // the stop event is set
    TimedOut = 2,
};

class ThreadGroup;

// Milliseconds from now until `deadline` (steady clock), 0 once it has passed; at most 2^30, so
// that the result always fits a poll time-out.
int MillisecondsLeft(std::chrono::steady_clock::time_point deadline);

class WorkerThread {
public:
    explicit WorkerThread(std::string name);
    // Owners call Stop() before destruction; the destructor stops a thread that still runs,
    // but by then the derived parts are gone, so relying on it is a mistake.
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Starts the thread unless it already runs. A thread that ended is joined first. Resets the
    // stop event. False when the system refused to create the thread.
    bool Start(ThreadPriority priority = ThreadPriority::Normal);
    // Sets the stop event, lifts a thread of the lowest priority to the caller's (so a busy
    // machine cannot keep it from seeing the stop), and waits for it to end without a limit.
    void Stop();
    // Sets the stop event only.
    void SignalStop();

    bool IsRunning() const;
    bool IsStopRequested() const;
    // True when the stop event is set within the limit (kWaitForever: no limit).
    bool WaitForStop(int timeoutMs);
    // Waits for the stop event or for `events` (POLLIN, POLLOUT) on one descriptor.
    StopWait WaitForStopOr(int fd, short events, int timeoutMs);
    // Waits for the stop event or for readability of any of up to 63 descriptors; `ready`
    // receives the index of the first ready one.
    StopWait WaitForStopOrAny(std::span<const int> fds, int timeoutMs, size_t* ready = nullptr);
    // The stop event's descriptor: readable while a stop is requested.
    int StopEventFd() const { return stopFd_; }

    const std::string& Name() const { return name_; }

protected:
    // The body of the thread.
    virtual void ThreadFunction() = 0;

private:
    friend class ThreadGroup;
    void Entry(ThreadPriority priority);
    void ClearStopEvent();

    std::string name_;
    int stopFd_ = -1;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};
    std::atomic<int> systemThreadId_{0}; // the kernel's id of the running thread, 0 before
    ThreadPriority priority_ = ThreadPriority::Normal;
    std::thread thread_;
    std::mutex startLock_;
    ThreadGroup* group_ = nullptr; // set while a ThreadGroup owns this thread
};

// Threads that delete themselves: a member whose ThreadFunction returns unlinks and destroys
// itself. StopAll stops and destroys the rest and waits until no member runs any more.
class ThreadGroup {
public:
    ThreadGroup() = default;
    ~ThreadGroup();
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;

    // Links the thread and starts it at normal priority. A thread that cannot be started is
    // destroyed at once; the result is then false.
    bool Add(std::unique_ptr<WorkerThread> thread);
    void SignalAll();
    void StopAll();
    size_t Count() const;
    // Calls `visit` with every member, newest first, under the group's lock: a member may end
    // meanwhile but is not destroyed until the lock is let go, so `visit` may signal any of them.
    void VisitMembers(const std::function<void(const std::vector<WorkerThread*>& members)>& visit);

private:
    friend class WorkerThread;
    void Finished(WorkerThread* thread);

    mutable std::mutex lock_;
    std::condition_variable allEnded_;
    std::list<std::unique_ptr<WorkerThread>> members_;
    size_t live_ = 0; // threads started and not yet past their last use of this group
};

} // namespace tavolex
