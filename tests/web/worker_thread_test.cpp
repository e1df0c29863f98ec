// WorkerThread and ThreadGroup: start rules, the stop event, sliced waits, self-deletion.
#include "core.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {

using tavolex::StopWait;
using tavolex::ThreadGroup;
using tavolex::ThreadPriority;
using tavolex::WorkerThread;
using Clock = std::chrono::steady_clock;

// Runs until stopped; counts how often its body started.
class Waiter final : public WorkerThread {
public:
    Waiter() : WorkerThread("Waiter") {}
    ~Waiter() override { Stop(); }
    std::atomic<int> starts{0};
    std::atomic<bool> sawStop{false};

protected:
    void ThreadFunction() override
    {
        ++starts;
        sawStop = WaitForStop(tavolex::kWaitForever);
    }
};

// Ends by itself after `lifeMs`, and tells a counter when it is destroyed.
class ShortLived final : public WorkerThread {
public:
    ShortLived(int lifeMs, std::atomic<int>& destroyed) : WorkerThread("ShortLived"), lifeMs_(lifeMs), destroyed_(destroyed) {}
    ~ShortLived() override { ++destroyed_; }

protected:
    void ThreadFunction() override { WaitForStop(lifeMs_); }

private:
    int lifeMs_;
    std::atomic<int>& destroyed_;
};

TEST(WorkerThread, StartStopAndRestart)
{
    Waiter waiter;
    EXPECT_FALSE(waiter.IsRunning());
    ASSERT_TRUE(waiter.Start());
    ASSERT_TRUE(waiter.Start()); // already running: nothing happens
    auto begin = Clock::now();
    while (waiter.starts.load() == 0 && Clock::now() - begin < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(waiter.starts.load(), 1);
    EXPECT_TRUE(waiter.IsRunning());
    waiter.Stop();
    EXPECT_TRUE(waiter.sawStop.load());
    EXPECT_FALSE(waiter.IsRunning());
    EXPECT_TRUE(waiter.IsStopRequested());

    // A new start resets the stop event.
    waiter.sawStop = false;
    ASSERT_TRUE(waiter.Start(ThreadPriority::Lowest));
    begin = Clock::now();
    while (waiter.starts.load() < 2 && Clock::now() - begin < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_FALSE(waiter.IsStopRequested());
    waiter.Stop();
    EXPECT_EQ(waiter.starts.load(), 2);
    EXPECT_TRUE(waiter.sawStop.load());
}

// The waits run on the calling thread too: a thread object that was never started still has its
// stop event.
class Idle final : public WorkerThread {
public:
    Idle() : WorkerThread("Idle") {}

protected:
    void ThreadFunction() override {}
};

TEST(WorkerThread, WaitsEndOnStopOnDescriptorOrOnTime)
{
    Idle idle;
    EXPECT_FALSE(idle.WaitForStop(0));
    EXPECT_FALSE(idle.WaitForStop(250)); // spans two slices, then times out

    int event = eventfd(0, EFD_NONBLOCK);
    EXPECT_EQ(idle.WaitForStopOr(event, POLLIN, 50), StopWait::TimedOut);
    uint64_t one = 1;
    ASSERT_EQ(write(event, &one, sizeof one), 8);
    EXPECT_EQ(idle.WaitForStopOr(event, POLLIN, 1000), StopWait::Other);

    int quiet = eventfd(0, EFD_NONBLOCK);
    int fds[] = {quiet, event};
    size_t ready = 99;
    EXPECT_EQ(idle.WaitForStopOrAny(fds, 1000, &ready), StopWait::Other);
    EXPECT_EQ(ready, 1u);

    idle.SignalStop();
    EXPECT_TRUE(idle.IsStopRequested());
    EXPECT_TRUE(idle.WaitForStop(tavolex::kWaitForever));
    EXPECT_EQ(idle.WaitForStopOr(event, POLLIN, 1000), StopWait::Stopped); // the stop event wins
    EXPECT_EQ(idle.WaitForStopOrAny(fds, tavolex::kWaitForever), StopWait::Stopped);
    close(event);
    close(quiet);
}

TEST(ThreadGroup, MembersDeleteThemselvesAndStopAllEndsTheRest)
{
    std::atomic<int> destroyed{0};
    ThreadGroup group;
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(group.Add(std::make_unique<ShortLived>(0, destroyed)));
    auto begin = Clock::now();
    while (destroyed.load() < 5 && Clock::now() - begin < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(destroyed.load(), 5);
    EXPECT_EQ(group.Count(), 0u);

    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(group.Add(std::make_unique<ShortLived>(tavolex::kWaitForever, destroyed)));
    EXPECT_EQ(group.Count(), 8u);
    group.StopAll();
    EXPECT_EQ(destroyed.load(), 13);
    EXPECT_EQ(group.Count(), 0u);
}

} // namespace
