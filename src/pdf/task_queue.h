// One background thread that runs jobs first in, first out, so a conversion keeps a second
// processor busy: pages are parsed side by side, and streams are deflated while the next items
// are drawn. The owner may run queued jobs itself while it waits for a result (HelpUntil), so at
// the end of a document both processors finish the last jobs.
//
//     TaskQueue queue;
//     std::atomic<bool> done{false};
//     queue.Submit([&](size_t) { Work(); done = true; });
//     queue.HelpUntil([&] { return done.load(); });
//
// On a machine with one processor no thread is started and Submit runs the job at once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tavolex::pdf {

class TaskQueue {
public:
    // A job learns which runner it is on: 0 for the owner's thread, 1 for the background thread,
    // so it can pick state (a deflater) that no other runner uses at the same time.
    using Job = std::function<void(size_t runner)>;
    static constexpr size_t kRunnerCount = 2;

    TaskQueue();
    // Runs the jobs still queued, then ends the thread.
    ~TaskQueue();
    TaskQueue(const TaskQueue&) = delete;
    TaskQueue& operator=(const TaskQueue&) = delete;

    bool HasBackgroundThread() const { return thread_.joinable(); }
    void Submit(Job job);
    // Runs queued jobs on the calling thread until `done` answers true, and sleeps while no job
    // is left and `done` is still false. `done` becomes true through a job's own effects, so the
    // queue wakes its waiters after every job.
    void HelpUntil(const std::function<bool()>& done);

private:
    // Takes the first job off the queue and runs it with the lock released.
    void RunFront(std::unique_lock<std::mutex>& guard, size_t runner);
    void Run();

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace tavolex::pdf
