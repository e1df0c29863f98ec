#include "task_queue.h"

namespace tavolex::pdf {

TaskQueue::TaskQueue()
{
    if (std::thread::hardware_concurrency() > 1)
        thread_ = std::thread([this] { Run(); });
}

TaskQueue::~TaskQueue()
{
    {
        std::lock_guard guard(lock_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void TaskQueue::Submit(Job job)
{
    if (!thread_.joinable()) {
        job(0);
        return;
    }
    {
        std::lock_guard guard(lock_);
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
}

void TaskQueue::HelpUntil(const std::function<bool()>& done)
{
    std::unique_lock guard(lock_);
    for (;;) {
        if (done())
            return;
        if (jobs_.empty()) {
            changed_.wait(guard);
            continue;
        }
        RunFront(guard, 0);
    }
}

void TaskQueue::RunFront(std::unique_lock<std::mutex>& guard, size_t runner)
{
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    guard.unlock();
    job(runner);
    guard.lock();
}

void TaskQueue::Run()
{
    std::unique_lock guard(lock_);
    for (;;) {
        if (jobs_.empty()) {
            if (stopping_)
                return;
            changed_.wait(guard);
            continue;
        }
        RunFront(guard, 1);
        // A waiter's condition may have come true through this job.
        changed_.notify_all();
    }
}

} // namespace tavolex::pdf
