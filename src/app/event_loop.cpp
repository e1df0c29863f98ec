// The main object and its event loop. Everything here runs on the main thread: the server
// threads reach it only through posted notifications, and the instance and command sockets are
// served from the same poll as the stop signals, so no two events are ever handled at once.
#include "app.h"

#include "account.h"
#include "app_internal.h"
#include "core.h"
#include "mail.h"
#include "menu.h"
#include "pdf.h"
#include "pdf_export.h"
#include "platform.h"
#include "web.h"

#include <chrono>
#include <csignal>
#include <deque>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace tavolex::app {

namespace {

using Clock = std::chrono::steady_clock;

// The browser-alive timer runs this long after the last keep-alive poll of the interface; when it
// fires the interface counts as closed.
constexpr int kBrowserAliveTimerMs = 7500;
// A connection to the instance or command socket must deliver its whole record within this.
constexpr int kRecordReadMs = 2000;
// At most this many unfinished connections are kept; more are closed at once.
constexpr size_t kPendingLimit = 32;
// While the sockets are taken down, a start that is just looking for us is waited for this long.
constexpr int kShutdownLockMs = 500;

enum class EventKind {
    HandOver,          // a later start's arguments
    WebServerListening,
    BrowserAlive,
    StartStep,         // the deferred start step, run once inside the loop
    Close,
};

struct Event {
    EventKind kind;
    std::vector<std::string> arguments;
};

enum class SocketRole { Instance, Command };

struct PendingConnection {
    UniqueFd fd;
    SocketRole role;
    std::vector<uint8_t> data;
    Clock::time_point deadline;
};

bool BeginsWithScheme(std::string_view argument)
{
    return argument.starts_with(kSchemePrefix);
}

class MainObject {
public:
    explicit MainObject(const std::string& webFolder) : server_(webFolder) {}

    // Makes the loop's descriptors and the two sockets. False when the loop cannot run at all.
    bool Create(const sigset_t& stopSignals)
    {
        signals_.Reset(signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK));
        wake_.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        timer_.Reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
        if (!signals_ || !wake_ || !timer_)
            return false;
        instanceSocket_ = ListenUnixSocket(InstanceSocketPath());
        commandSocket_ = ListenUnixSocket(CommandSocketPath());
        if (!instanceSocket_)
            LogError("Cannot listen for other instances at %s", InstanceSocketPath());
        if (!commandSocket_)
            LogError("Cannot listen for commands at %s", CommandSocketPath());
        return true;
    }

    // The main object's start: the server notifies it from now on, the routes are in the
    // table before the listener takes its first request, and the engine starts.
    void StartServer()
    {
        web::SetNoticeSink([this](web::ServerNotice notice) {
            switch (notice) {
            case web::ServerNotice::Listening: Post({EventKind::WebServerListening, {}}); break;
            case web::ServerNotice::BrowserAlive: Post({EventKind::BrowserAlive, {}}); break;
            }
        });
        account::InstallWebRoutes();
        menu::InstallMenuRoutes();
        pdf::InstallExportRoute();
        mail::InstallMailRoutes();
        server_.StartEngine();
    }

    // The first instance's own arguments: a scheme link as the second of two, else commands.
    void HandleOwnArguments(const std::vector<std::string>& arguments)
    {
        if (arguments.size() == 2 && BeginsWithScheme(arguments[1]))
            DispatchSchemeUrl(arguments[1]);
        else
            Interpret(arguments);
    }

    void Post(Event event)
    {
        {
            std::lock_guard guard(queueLock_);
            queue_.push_back(std::move(event));
        }
        uint64_t one = 1;
        ssize_t ignored = write(wake_.get(), &one, sizeof one);
        (void)ignored;
    }

    void RunLoop()
    {
        while (!closing_) {
            std::vector<pollfd> watched = {
                {signals_.get(), POLLIN, 0},
                {wake_.get(), POLLIN, 0},
                {timer_.get(), POLLIN, 0},
                {instanceSocket_.get(), POLLIN, 0},
                {commandSocket_.get(), POLLIN, 0},
            };
            for (const PendingConnection& pending : pending_)
                watched.push_back({pending.fd.get(), POLLIN, 0});
            int ready = poll(watched.data(), watched.size(), NextDeadlineMs());
            if (ready < 0 && errno != EINTR) {
                LogError("The event loop cannot wait: %d", errno);
                break;
            }
            if (watched[0].revents) {
                signalfd_siginfo info{};
                while (read(signals_.get(), &info, sizeof info) == sizeof info)
                    LogFormat("Stop signal %u received", info.ssi_signo);
                Post({EventKind::Close, {}});
            }
            if (watched[2].revents) {
                uint64_t expirations = 0;
                ssize_t ignored = read(timer_.get(), &expirations, sizeof expirations);
                (void)ignored;
            }
            if (watched[3].revents)
                Accept(instanceSocket_.get(), SocketRole::Instance);
            if (watched[4].revents)
                Accept(commandSocket_.get(), SocketRole::Command);
            ServePending(std::span(watched).subspan(5));
            if (watched[1].revents) {
                uint64_t count = 0;
                ssize_t ignored = read(wake_.get(), &count, sizeof count);
                (void)ignored;
            }
            DispatchQueue();
        }
    }

    // The end of the loop: the sockets go first, so no later start hands its arguments to an
    // instance that no longer takes them, then the server engine stops.
    void Destroy()
    {
        {
            UniqueFd lock = TakeLockFile(StartupLockPath(), kShutdownLockMs);
            if (instanceSocket_)
                unlink(InstanceSocketPath().c_str());
            if (commandSocket_)
                unlink(CommandSocketPath().c_str());
            instanceSocket_.Reset();
            commandSocket_.Reset();
            pending_.clear();
        }
        server_.Shutdown();
        mail::StopBackgroundMailer();
        web::SetNoticeSink({});
        Log("Tavolex stopped");
    }

private:
    int NextDeadlineMs() const
    {
        if (pending_.empty())
            return -1;
        auto now = Clock::now();
        auto nearest = pending_.front().deadline;
        for (const PendingConnection& pending : pending_)
            nearest = std::min(nearest, pending.deadline);
        if (nearest <= now)
            return 0;
        return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(nearest - now).count());
    }

    void Accept(int listening, SocketRole role)
    {
        UniqueFd fd(accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!fd || !PeerIsThisUser(fd.get()) || pending_.size() >= kPendingLimit)
            return;
        pending_.push_back({std::move(fd), role, {},
                            Clock::now() + std::chrono::milliseconds(kRecordReadMs)});
    }

    // Reads what arrived on each unfinished connection; a connection whose peer finished
    // writing gets its record handled, one past its limit or its time is answered as refused.
    void ServePending(std::span<const pollfd> ready)
    {
        auto now = Clock::now();
        std::vector<PendingConnection> still;
        for (size_t i = 0; i < pending_.size(); ++i) {
            PendingConnection& pending = pending_[i];
            size_t limit = pending.role == SocketRole::Instance ? kHandOverRecordSize + 1
                                                                 : kCommandRequestLimit + 1;
            bool ended = false;
            if (i < ready.size() && ready[i].revents) {
                ended = ReadToEndWithin(pending.fd.get(), pending.data, limit, 0);
                if (!ended && pending.data.size() >= limit) {
                    Refuse(pending);
                    continue;
                }
            }
            if (ended)
                Finish(pending);
            else if (pending.deadline <= now)
                Refuse(pending);
            else
                still.push_back(std::move(pending));
        }
        pending_ = std::move(still);
    }

    void Refuse(PendingConnection& pending)
    {
        if (pending.role == SocketRole::Instance)
            Answer(pending.fd.get(), 0);
    }

    void Answer(int fd, uint32_t value)
    {
        uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
        WriteAllWithin(fd, bytes, kRecordReadMs);
    }

    void Finish(PendingConnection& pending)
    {
        switch (pending.role) {
        case SocketRole::Instance: {
            std::optional<std::vector<std::string>> arguments = DecodeHandOver(pending.data);
            if (!arguments) {
                LogFormat("Hand-over of %u bytes refused", static_cast<unsigned>(pending.data.size()));
                Answer(pending.fd.get(), 0);
                return;
            }
            Post({EventKind::HandOver, std::move(*arguments)});
            Answer(pending.fd.get(), 1);
            return;
        }
        case SocketRole::Command: {
            std::optional<CommandRequest> request = DecodeCommandRequest(pending.data);
            if (!request) {
                LogFormat("Malformed command request of %u bytes ignored",
                          static_cast<unsigned>(pending.data.size()));
                return;
            }
            CommandReply reply = RunCommand(request->arguments);
            WriteAllWithin(pending.fd.get(), EncodeCommandReply(reply), kRecordReadMs);
            return;
        }
        }
    }

    void DispatchQueue()
    {
        std::deque<Event> events;
        {
            std::lock_guard guard(queueLock_);
            events.swap(queue_);
        }
        for (Event& event : events) {
            if (closing_)
                return;
            Dispatch(event);
        }
    }

    void Dispatch(Event& event)
    {
        switch (event.kind) {
        case EventKind::HandOver: ReceiveHandOver(event.arguments); break;
        case EventKind::WebServerListening:
            if (!suppressStartLaunch_ && !suppressListeningLaunch_)
                FirstLaunchEvent();
            break;
        case EventKind::StartStep:
            if (!suppressStartLaunch_)
                FirstLaunchEvent();
            break;
        case EventKind::BrowserAlive: RestartBrowserAliveTimer(); break;
        case EventKind::Close: closing_ = true; break;
        }
    }

    // The start step and the listening notification share one flag: the first of them sets
    // it, the second opens the interface, whichever order they come in.
    void FirstLaunchEvent()
    {
        if (launchFlag_)
            OpenInterface();
        else
            launchFlag_ = true;
    }

    void ReceiveHandOver(const std::vector<std::string>& arguments)
    {
        LogFormat("Hand-over received with %d arguments", static_cast<int>(arguments.size()));
        for (size_t i = 0; i < arguments.size(); ++i)
            LogFormat("Hand-over argument %d: %s", static_cast<int>(i), arguments[i]);
        if (arguments.size() == 1)
            OpenInterface();
        else if (arguments.size() == 2 && BeginsWithScheme(arguments[1]))
            DispatchSchemeUrl(arguments[1]);
        else
            Interpret(arguments);
    }

public:
    // The interface at the port the listener really took (which the settings hold after a
    // port move), else at the configured one.
    void OpenInterface()
    {
        uint16_t port = server_.IsListening() ? server_.ListeningPort() : web::EffectivePort();
        LaunchBrowserInterface(port);
    }

private:
    void DispatchSchemeUrl(const std::string& url)
    {
        if (!HandleSchemeUrl(url))
            LogFormat("No handler for %s", url);
    }

    // The program path is not a command word: the interpreter gets what follows it.
    void Interpret(const std::vector<std::string>& arguments)
    {
        std::span<const std::string> words(arguments);
        if (!words.empty())
            words = words.subspan(1);
        CommandReply reply = RunCommand(words);
        LogFormat("Command result %d: %s", reply.result, reply.text);
    }

    void RestartBrowserAliveTimer()
    {
        itimerspec period{};
        period.it_value.tv_sec = kBrowserAliveTimerMs / 1000;
        period.it_value.tv_nsec = (kBrowserAliveTimerMs % 1000) * 1000000L;
        timerfd_settime(timer_.get(), 0, &period, nullptr);
    }

    web::WebServer server_;
    UniqueFd signals_, wake_, timer_;
    UniqueFd instanceSocket_, commandSocket_;
    std::vector<PendingConnection> pending_;
    std::mutex queueLock_;
    std::deque<Event> queue_;
    bool closing_ = false;
    bool launchFlag_ = false;
    // No part of the program sets these two; they stay clear.
    bool suppressStartLaunch_ = false;
    bool suppressListeningLaunch_ = false;
};

// "ostrevan.tavolex:start" opens the interface.
void HandleStartLink(void* context, std::string_view textAfterScheme)
{
    LogFormat("Start link received: %s", textAfterScheme);
    static_cast<MainObject*>(context)->OpenInterface();
}

} // namespace

int Run(const std::vector<std::string>& arguments, int startupLockFd)
{
    UniqueFd startupLock(startupLockFd);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);

    const std::string webFolder = platform::WebFolder();
    MainObject main(webFolder);
    if (!main.Create(stopSignals)) {
        LogError("Tavolex cannot make its event loop");
        return 1;
    }
    RegisterSchemeHandler("start", HandleStartLink, &main);
    main.StartServer();
    pdf::PrepareMenuFonts(webFolder, platform::DataFolder());
    main.HandleOwnArguments(arguments);
    // Release: the instance socket listens, so a later start finds this instance.
    startupLock.Reset();
    main.Post({EventKind::StartStep, {}});
    main.RunLoop();
    main.Destroy();
    UnregisterSchemeHandler("start");
    return 0;
}

} // namespace tavolex::app
