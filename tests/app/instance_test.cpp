// The real tavolex and tavolexctl: one instance per TAVOLEX_HOME, hand-overs from a second
// start, the command socket, the browser launch through fake browsers on PATH, and the stop.
#include "app.h"
#include "live_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using namespace std::string_literals;
using Clock = std::chrono::steady_clock;
using tavolex::testing::HttpClient;
using tavolex::testing::ReadFile;
using tavolex::testing::TestHome;
using tavolex::testing::WriteFile;

// Environment changes for a started program: a value, or nothing to remove the variable.
using Environment = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct Finished {
    int status = -1; // exit status, 128 + signal, or -1 when it did not end in time
    std::string output;
    std::string errors;
    std::chrono::milliseconds took{0};
};

// Starts `binary` with `arguments`; stdout and stderr go to the two descriptors when given.
pid_t Start(const std::string& binary, const std::vector<std::string>& arguments,
            const Environment& environment, int outFd = -1, int errFd = -1)
{
    std::vector<std::string> words = {binary};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        for (const auto& [name, value] : environment) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
        if (outFd >= 0)
            dup2(outFd, 1);
        if (errFd >= 0)
            dup2(errFd, 2);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

int WaitWithin(pid_t pid, std::chrono::milliseconds limit)
{
    auto deadline = Clock::now() + limit;
    for (;;) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (Clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(2ms);
    }
}

std::string Drain(int fd)
{
    std::string text;
    char chunk[4096];
    ssize_t got;
    while ((got = read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}

// Runs a program to its end (at most `limit`), collecting what it prints.
Finished RunToEnd(const std::string& binary, const std::vector<std::string>& arguments,
                  const Environment& environment, std::chrono::milliseconds limit = 10s)
{
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    auto began = Clock::now();
    pid_t pid = Start(binary, arguments, environment, out[1], err[1]);
    close(out[1]);
    close(err[1]);
    Finished finished;
    finished.status = WaitWithin(pid, limit);
    finished.took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began);
    finished.output = Drain(out[0]);
    finished.errors = Drain(err[0]);
    close(out[0]);
    close(err[0]);
    return finished;
}

// A fake browser: records its own path and arguments, one per line, then ends.
void PlaceFakeBrowser(const std::string& folder, const std::string& name, const std::string& record)
{
    fs::create_directories(folder);
    std::string path = folder + "/" + name;
    WriteFile(path, "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" >> '" + record + "'\n");
    chmod(path.c_str(), 0755);
}

// The first instance of a fresh TAVOLEX_HOME, on a free port unless told otherwise.
class Instance {
public:
    explicit Instance(Environment environment = {{"TAVOLEX_BROWSER", "none"}},
                      uint16_t configuredPort = 0, uint16_t expectedPort = 0)
        : environment_(std::move(environment))
    {
        configuredPort_ = configuredPort ? configuredPort : tavolex::testing::FreeLoopbackPort();
        port_ = expectedPort ? expectedPort : configuredPort_;
        WriteFile(home_.File("settings.ini"),
                  "[WebServer]\nPort=" + std::to_string(configuredPort_) + "\n");
        pid_ = Start(TAVOLEX_BINARY, {}, environment_);
        ready_ = WaitForListening();
    }
    ~Instance()
    {
        if (pid_ > 0)
            Stop(SIGTERM);
    }

    bool WaitForListening()
    {
        auto deadline = Clock::now() + 20s;
        while (Clock::now() < deadline) {
            if (tavolex::testing::LoopbackPortAccepts(port_) && fs::exists(home_.File("run/command.sock")))
                return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }

    std::string LogText() const
    {
        std::string text;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(home_.File("Logs"), ignored))
            text += ReadFile(entry.path().string());
        return text;
    }

    // True once the log holds `text` (at most 10 s).
    bool WaitForLog(const std::string& text, std::chrono::milliseconds limit = 0ms)
    {
        auto deadline = Clock::now() + limit;
        do {
            if (LogText().find(text) != std::string::npos)
                return true;
            std::this_thread::sleep_for(20ms);
        } while (Clock::now() < deadline);
        return false;
    }

    int Stop(int signal, std::chrono::milliseconds limit = 10s)
    {
        kill(pid_, signal);
        int status = WaitWithin(pid_, limit);
        pid_ = -1;
        return status;
    }

    // tavolex started once more with the same home: the second start.
    Finished StartAgain(const std::vector<std::string>& arguments,
                        std::chrono::milliseconds limit = 10s)
    {
        return RunToEnd(TAVOLEX_BINARY, arguments, environment_, limit);
    }

    // Zombie processes whose parent is this instance.
    int ZombieChildren() const
    {
        int zombies = 0;
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::string stat = ReadFile(entry.path().string() + "/stat");
            size_t close = stat.rfind(')');
            if (close == std::string::npos)
                continue;
            char state = 0;
            int parent = 0;
            if (std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 &&
                parent == pid_ && state == 'Z')
                ++zombies;
        }
        return zombies;
    }

    // A child that just ended is a zombie until the program reaps it, a moment later; one that
    // stays a zombie for a second was never reaped.
    int ZombieChildrenAfterAMoment() const
    {
        int zombies = ZombieChildren();
        for (int i = 0; i < 50 && zombies > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            zombies = ZombieChildren();
        }
        return zombies;
    }

    // Starts the program once more in the same home, after a stop or a crash.
    void Restart()
    {
        pid_ = Start(TAVOLEX_BINARY, {}, environment_);
        ready_ = WaitForListening();
    }

    bool ready() const { return ready_; }
    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    const TestHome& home() const { return home_; }

private:
    TestHome home_;
    Environment environment_;
    uint16_t configuredPort_ = 0;
    uint16_t port_ = 0;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// Sends raw bytes to a socket of the instance, ends writing, and returns all it answers.
std::string Exchange(const std::string& socketPath, const std::string& bytes)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << socketPath;
    send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    shutdown(fd, SHUT_WR);
    timeval limit{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer = Drain(fd);
    close(fd);
    return answer;
}

std::string Le32(uint32_t value)
{
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
    return bytes;
}

// ---------------------------------------------------------------------------------------------
// The second start

TEST(SecondStart, HandsOverTheFirst128ArgumentsAndEnds)
{
    Instance first;
    ASSERT_TRUE(first.ready());
    std::vector<std::string> arguments;
    for (int i = 1; i < 200; ++i)
        arguments.push_back("arg" + std::to_string(i) + "-" + std::string(300, 'x'));

    Finished second = first.StartAgain(arguments, 1000ms);
    EXPECT_EQ(second.status, 0) << second.errors << " after " << second.took.count() << " ms";

    ASSERT_TRUE(first.WaitForLog("Hand-over argument 127: ", 10s));
    std::string log = first.LogText();
    EXPECT_NE(log.find("Hand-over received with 128 arguments"), std::string::npos);
    EXPECT_NE(log.find(std::string("Hand-over argument 0: ") + TAVOLEX_BINARY + "\r\n"), std::string::npos);
    for (int i = 1; i < 128; ++i) {
        std::string line = "Hand-over argument " + std::to_string(i) + ": " +
                           arguments[static_cast<size_t>(i - 1)].substr(0, 259) + "\r\n";
        EXPECT_NE(log.find(line), std::string::npos) << "argument " << i;
    }
    EXPECT_EQ(log.find("Hand-over argument 128:"), std::string::npos);
    // The arguments went to the command interpreter, which knows none of them.
    EXPECT_NE(log.find("Command result -1: Unknown Command: arg127-"), std::string::npos);

    // The first instance keeps serving.
    HttpClient client(first.port());
    EXPECT_EQ(client.Request("GET", "api/status/checkalive").status, 200);
    EXPECT_EQ(RunToEnd(TAVOLEXCTL_BINARY, {"-version"}, {}).output, "2.04\n");
}

TEST(SecondStart, SchemeLinkReachesTheStartHandler)
{
    Instance first;
    ASSERT_TRUE(first.ready());
    Finished second = first.StartAgain({"ostrevan.tavolex:start?menu=3"});
    EXPECT_EQ(second.status, 0);
    EXPECT_TRUE(first.WaitForLog("Start link received: start?menu=3", 10s)) << first.LogText();
    // The start handler opens the interface; with TAVOLEX_BROWSER=none nothing is started.
    EXPECT_TRUE(first.WaitForLog("No browser started for http://localhost:" +
                                 std::to_string(first.port()), 10s));

    // A link that is not the second of exactly two arguments goes to the interpreter.
    first.StartAgain({"-x", "ostrevan.tavolex:start"});
    EXPECT_TRUE(first.WaitForLog("Command result -1: Unknown Command: ostrevan.tavolex:start", 10s));
}

TEST(SecondStart, RecordsOfAnotherSizeAreRefused)
{
    Instance first;
    ASSERT_TRUE(first.ready());
    std::string socket = first.home().File("run/instance.sock");
    std::vector<uint8_t> good = tavolex::app::EncodeHandOver(std::vector<std::string>{"tavolex", "-version"});
    std::string record(good.begin(), good.end());
    struct Case {
        std::string bytes;
        std::string answer;
    } cases[] = {
        {record.substr(0, record.size() - 1), Le32(0)},
        {record + "x", Le32(0)},
        {"", Le32(0)},
        {record, Le32(1)},
    };
    for (const Case& test : cases)
        EXPECT_EQ(Exchange(socket, test.bytes), test.answer) << test.bytes.size();
    EXPECT_TRUE(first.WaitForLog("Command result 0: 2.04", 10s));
    EXPECT_TRUE(first.WaitForLog("Hand-over of 66563 bytes refused"));
}

// ---------------------------------------------------------------------------------------------
// tavolexctl

TEST(Tavolexctl, RepliesAndResults)
{
    Instance first;
    ASSERT_TRUE(first.ready());
    struct Case {
        std::vector<std::string> arguments;
        std::string output;
        int status;
    } cases[] = {
        {{"-version"}, "2.04\n", 0},
        {{"-testapi", "x"}, "API Test OK [x].\n", 0},
        {{"-testapi", "caf\xC3\xA9 \xF0\x9F\x8D\x95"}, "API Test OK [caf\xC3\xA9 \xF0\x9F\x8D\x95].\n", 0},
        {{"-testapi"}, "API Test Fail (No data).\n", 255},
        {{}, "Command Not Specified.\n", 254},
        {{"-x"}, "Unknown Command: -x\n", 255},
    };
    for (const Case& test : cases) {
        Finished run = RunToEnd(TAVOLEXCTL_BINARY, test.arguments, {});
        EXPECT_EQ(run.output, test.output);
        EXPECT_EQ(run.status, test.status) << test.output;
    }
}

TEST(Tavolexctl, MalformedRequestsGetNoReplyAndHarmNothing)
{
    Instance first;
    ASSERT_TRUE(first.ready());
    std::string socket = first.home().File("run/command.sock");
    std::string version = "-\0v\0e\0r\0s\0i\0o\0n\0"s;
    struct Case {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"11 bytes", Le32(0x12345678) + Le32(1) + "\1\0\0"s},
        {"another magic", Le32(0x12345679) + Le32(1) + Le32(1) + Le32(16) + version},
        {"length past the end", Le32(0x12345678) + Le32(1) + Le32(1) + Le32(18) + version},
        {"count past the end", Le32(0x12345678) + Le32(1) + Le32(2) + Le32(16) + version},
        {"nothing", ""},
    };
    for (const Case& test : cases)
        EXPECT_EQ(Exchange(socket, test.bytes), "") << test.what;

    // A well-formed request on the same socket is answered with the reply record.
    std::string answer = Exchange(socket, Le32(0x12345678) + Le32(9) + Le32(1) + Le32(16) + version);
    ASSERT_EQ(answer.size(), 16392u);
    auto reply = tavolex::app::DecodeCommandReply(
        std::span(reinterpret_cast<const uint8_t*>(answer.data()), answer.size()));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->result, 0);
    EXPECT_EQ(reply->text, "2.04");

    Finished run = RunToEnd(TAVOLEXCTL_BINARY, {"-testapi", "still"}, {});
    EXPECT_EQ(run.output, "API Test OK [still].\n");
    HttpClient client(first.port());
    EXPECT_EQ(client.Request("GET", "api/status/checkalive").status, 200);
}

TEST(Tavolexctl, SaysSoWhenNoInstanceRuns)
{
    TestHome home;
    Finished run = RunToEnd(TAVOLEXCTL_BINARY, {"-version"}, {});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "");
    EXPECT_NE(run.errors.find("Tavolex is not running"), std::string::npos) << run.errors;
}

// ---------------------------------------------------------------------------------------------
// The browser launch

struct BrowserCase {
    const char* what;
    std::vector<std::string> fakes; // programs placed in the only PATH folder
    std::optional<std::string> browserVariable;
    std::string expectedProgram;    // empty: nothing may be started
    bool appMode;
};

TEST(BrowserLaunch, FakeBrowsersOnPath)
{
    BrowserCase cases[] = {
        {"chrome first", {"chromium", "microsoft-edge", "google-chrome", "xdg-open"}, std::nullopt,
         "google-chrome", true},
        {"edge before vivaldi", {"vivaldi", "microsoft-edge-stable"}, std::nullopt,
         "microsoft-edge-stable", true},
        {"xdg-open fallback", {"xdg-open"}, std::nullopt, "xdg-open", false},
        {"none", {"google-chrome", "xdg-open"}, "none", "", false},
        {"named browser", {"xdg-open", "my-browser"}, "", "my-browser", true},
    };
    for (BrowserCase& test : cases) {
        SCOPED_TRACE(test.what);
        TestHome scratch;
        std::string bin = scratch.File("bin");
        std::string record = scratch.File("launches.txt");
        for (const std::string& name : test.fakes)
            PlaceFakeBrowser(bin, name, record);
        Environment environment = {{"PATH", bin}, {"TAVOLEX_BROWSER", std::nullopt}};
        if (test.browserVariable)
            environment[1].second = test.browserVariable->empty() ? bin + "/my-browser"
                                                                  : *test.browserVariable;
        Instance first(environment);
        ASSERT_TRUE(first.ready());
        std::string address = "http://localhost:" + std::to_string(first.port());
        if (test.expectedProgram.empty()) {
            EXPECT_TRUE(first.WaitForLog("No browser started for " + address, 10s));
            EXPECT_FALSE(fs::exists(record));
            continue;
        }
        std::string expected = bin + "/" + test.expectedProgram + "\n" +
                               (test.appMode ? "--app=" + address + "\n--start-maximized\n"
                                             : address + "\n");
        auto deadline = Clock::now() + 10s;
        while (ReadFile(record) != expected && Clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        EXPECT_EQ(ReadFile(record), expected);
        EXPECT_EQ(first.ZombieChildrenAfterAMoment(), 0);

        // Starting tavolex again opens the interface once more.
        EXPECT_EQ(first.StartAgain({}).status, 0);
        auto launchAfterHandOver = [&] {
            std::string log = first.LogText();
            size_t handOver = log.find("Hand-over received with 1 arguments");
            return handOver != std::string::npos &&
                   log.find("Starting browser: ", handOver) != std::string::npos;
        };
        while (!(launchAfterHandOver() && ReadFile(record) == expected + expected) &&
               Clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        EXPECT_EQ(ReadFile(record), expected + expected);
        // Exactly one launch at start, however the start step and the listening notification
        // were ordered, and one for the second start.
        std::string log = first.LogText();
        size_t launches = 0;
        for (size_t at = log.find("Starting browser: "); at != std::string::npos;
             at = log.find("Starting browser: ", at + 1))
            ++launches;
        EXPECT_EQ(launches, 2u);
        EXPECT_EQ(first.ZombieChildrenAfterAMoment(), 0);
    }
}

TEST(BrowserLaunch, AddressAfterAPortMove)
{
    // A port taken by someone else, with the next one free.
    int taken = -1;
    uint16_t port = 0;
    for (int attempt = 0; attempt < 50 && taken < 0; ++attempt) {
        port = tavolex::testing::FreeLoopbackPort();
        if (port == 65535)
            continue;
        int blocker = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int next = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in nextAddress = address;
        nextAddress.sin_port = htons(static_cast<uint16_t>(port + 1));
        bool nextFree = bind(next, reinterpret_cast<sockaddr*>(&nextAddress), sizeof nextAddress) == 0;
        close(next);
        if (nextFree && bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            listen(blocker, 1) == 0)
            taken = blocker;
        else
            close(blocker);
    }
    ASSERT_GE(taken, 0);

    TestHome scratch;
    std::string bin = scratch.File("bin");
    std::string record = scratch.File("launches.txt");
    PlaceFakeBrowser(bin, "google-chrome", record);
    Instance first({{"PATH", bin}, {"TAVOLEX_BROWSER", std::nullopt}}, port,
                   static_cast<uint16_t>(port + 1));
    ASSERT_TRUE(first.ready());
    std::string expected = bin + "/google-chrome\n--app=http://localhost:" +
                           std::to_string(port + 1) + "\n--start-maximized\n";
    auto deadline = Clock::now() + 10s;
    while (ReadFile(record) != expected && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ReadFile(record), expected);
    EXPECT_NE(ReadFile(first.home().File("settings.ini")).find("Port=" + std::to_string(port + 1)),
              std::string::npos);
    close(taken);
}

// A data folder that cannot be written is said at once, on stderr, and nothing starts.
TEST(Start, AReadOnlyDataFolderIsReportedAtOnce)
{
    TestHome home;
    if (mount("tavolex-test", home.path().c_str(), "tmpfs", MS_RDONLY, "size=65536") != 0)
        GTEST_SKIP() << "mounting a read-only tmpfs needs root";
    Finished finished = RunToEnd(TAVOLEX_BINARY, {}, {{"TAVOLEX_HOME", home.path()}, {"TAVOLEX_BROWSER", "none"}}, 15s);
    umount2(home.path().c_str(), MNT_DETACH);
    EXPECT_EQ(finished.status, 1);
    EXPECT_EQ(finished.errors, "Tavolex: the data folder " + home.path() +
                                   " cannot be written (Read-only file system); Tavolex cannot start\n");
    // Far less than the start-up lock's wait of 20 s.
    EXPECT_LT(finished.took, 5s);
}

// ---------------------------------------------------------------------------------------------
// The stop

TEST(Stop, SignalsEndTheProcessPromptlyWithStatusZero)
{
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        Instance first;
        ASSERT_TRUE(first.ready());
        // One connection that never sent anything, one idle after a keep-alive answer.
        HttpClient silent(first.port());
        HttpClient idle(first.port());
        EXPECT_EQ(idle.Request("GET", "api/status/checkalive").status, 200);
        auto began = Clock::now();
        EXPECT_EQ(first.Stop(signal, 1000ms), 0);
        EXPECT_LT(Clock::now() - began, 1000ms);
        EXPECT_FALSE(fs::exists(first.home().File("run/instance.sock")));
        EXPECT_FALSE(fs::exists(first.home().File("run/command.sock")));
    }
}

TEST(Stop, AStartAfterACrashReplacesTheLeftSockets)
{
    Instance first;
    ASSERT_TRUE(first.ready());
    EXPECT_EQ(first.Stop(SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(fs::exists(first.home().File("run/instance.sock")));
    first.Restart();
    ASSERT_TRUE(first.ready());
    EXPECT_EQ(RunToEnd(TAVOLEXCTL_BINARY, {"-version"}, {}).output, "2.04\n");
    EXPECT_EQ(first.StartAgain({"-version"}).status, 0);
    EXPECT_TRUE(first.WaitForLog("Command result 0: 2.04", 10s));
}

} // namespace
