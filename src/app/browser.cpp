// The browser launch: a Chromium-family browser found on PATH opens the interface as an app
// window; without one, xdg-open hands the address to the desktop's default browser.
#include "app.h"

#include "core.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tavolex::app {

namespace {

// Searched in this order; within a row, the first name found wins.
constexpr std::string_view kBrowserNames[][2] = {
    {"google-chrome", "google-chrome-stable"},
    {"microsoft-edge", "microsoft-edge-stable"},
    {"brave-browser", "brave"},
    {"vivaldi", "vivaldi-stable"},
    {"chromium", "chromium-browser"},
};

bool IsExecutableFile(const std::string& path)
{
    struct stat info{};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The full path of `name` in the first PATH folder that holds it as an executable file. Empty
// and relative PATH entries are skipped: a launch must not depend on the current folder.
std::string FindOnPath(std::string_view name)
{
    const char* path = std::getenv("PATH");
    std::string_view folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    while (!folders.empty()) {
        size_t colon = folders.find(':');
        std::string_view folder = folders.substr(0, colon);
        folders = colon == std::string_view::npos ? std::string_view() : folders.substr(colon + 1);
        if (folder.empty() || folder[0] != '/')
            continue;
        std::string candidate = std::string(folder) + "/" + std::string(name);
        if (IsExecutableFile(candidate))
            return candidate;
    }
    return {};
}

// Starts `arguments` as a grandchild that is reparented at once, so this process neither waits
// for it nor leaves a zombie behind. The child gets the default signal state (this process
// blocks its stop signals) and no descriptor beyond the standard three. False when the program
// could not be executed.
bool SpawnDetached(const std::vector<std::string>& arguments)
{
    // Everything the children need is prepared before fork: between fork and exec only
    // async-signal-safe calls are made.
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0)
        return false;

    pid_t child = fork();
    if (child < 0) {
        close(report[0]);
        close(report[1]);
        return false;
    }
    if (child == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0)
            _exit(grandchild < 0 ? 1 : 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        int null = open("/dev/null", O_RDONLY);
        if (null > 0) {
            dup2(null, 0);
            close(null);
        }
        // The report pipe stays open until exec succeeds and closes it.
        if (report[1] > 3)
            close_range(3, static_cast<unsigned>(report[1]) - 1, 0);
        close_range(static_cast<unsigned>(report[1]) + 1, ~0U, 0);
        execv(argv[0], argv.data());
        int error = errno;
        ssize_t ignored = write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    do
        got = read(report[0], &error, sizeof error);
    while (got < 0 && errno == EINTR);
    close(report[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    return got == 0;
}

} // namespace

std::string InterfaceAddress(uint16_t port)
{
    return Format("http://localhost:%u", static_cast<unsigned>(port));
}

std::vector<std::string> BrowserCommand(std::string_view address)
{
    std::string appSwitch = "--app=" + std::string(address);
    const char* chosen = std::getenv("TAVOLEX_BROWSER");
    if (chosen && *chosen) {
        if (std::string_view(chosen) == "none")
            return {};
        return {chosen, appSwitch, "--start-maximized"};
    }
    for (const auto& row : kBrowserNames) {
        for (std::string_view name : row) {
            std::string path = FindOnPath(name);
            if (!path.empty())
                return {path, appSwitch, "--start-maximized"};
        }
    }
    std::string opener = FindOnPath("xdg-open");
    if (opener.empty())
        return {};
    return {opener, std::string(address)};
}

bool LaunchBrowserInterface(uint16_t port)
{
    std::string address = InterfaceAddress(port);
    std::vector<std::string> command = BrowserCommand(address);
    if (command.empty()) {
        LogFormat("No browser started for %s", address);
        return false;
    }
    std::string line;
    for (const std::string& argument : command)
        line += (line.empty() ? "" : " ") + argument;
    LogFormat("Starting browser: %s", line);
    if (!SpawnDetached(command)) {
        LogError("The browser could not be started: %s", command[0]);
        return false;
    }
    return true;
}

} // namespace tavolex::app
