// The process entry: one instance per user. A start takes the start-up lock, so that it never
// looks for a running instance while another start is still making its instance socket; then
// either hands its arguments over to the instance that answers, or becomes the instance.
#include "app.h"

#include "app_internal.h"
#include "core.h"
#include "platform.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace tavolex::app {

namespace {

// How long a start waits for another one to finish setting up before it goes on regardless.
constexpr int kStartupLockMs = 20000;

enum class HandOverResult { Taken, Refused };

// Connects to the running instance's socket and hands `arguments` over; waits until the
// instance has taken them.
HandOverResult HandOver(const std::vector<std::string>& arguments, UniqueFd instance)
{
    std::vector<uint8_t> record = EncodeHandOver(arguments);
    if (!WriteAllWithin(instance.get(), record, kClientExchangeMs))
        return HandOverResult::Refused;
    ShutdownWriting(instance.get());
    std::vector<uint8_t> answer;
    ReadToEndWithin(instance.get(), answer, 4, kClientExchangeMs);
    bool taken = answer.size() == 4 && answer[0] == 1 && answer[1] == 0 && answer[2] == 0 &&
                 answer[3] == 0;
    return taken ? HandOverResult::Taken : HandOverResult::Refused;
}

} // namespace

int ProcessEntry(int argc, char** argv)
{
    std::vector<std::string> arguments(argv, argv + argc);

    // Stop signals are taken by the event loop through a signalfd; every thread started later
    // inherits the mask, so none of them is interrupted by one.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // Nothing the owner does could be kept in a data folder that cannot be written: say so at
    // once rather than after the wait for a start-up lock that cannot be made there.
    const std::string dataFolder = platform::DataFolder();
    if (access(dataFolder.c_str(), W_OK) != 0) {
        std::fprintf(stderr, "Tavolex: the data folder %s cannot be written (%s); Tavolex cannot start\n",
                     dataFolder.c_str(), std::strerror(errno));
        return 1;
    }

    UniqueFd startupLock = TakeLockFile(StartupLockPath(), kStartupLockMs);
    if (!startupLock)
        Log("Start-up lock not taken in time; starting without it");

    UniqueFd instance = ConnectUnixSocket(InstanceSocketPath());
    if (!instance)
        return Run(arguments, startupLock.Release());

    HandOverResult result = HandOver(arguments, std::move(instance));
    startupLock.Reset();
    if (result != HandOverResult::Taken) {
        std::fprintf(stderr, "tavolex: the running instance did not take the arguments\n");
        return 1;
    }
    return 0;
}

} // namespace tavolex::app
