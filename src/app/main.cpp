// tavolex: runs the server engine with the user's settings until SIGTERM or SIGINT.
//
// The full process entry (single instance, hand-over, commands, the event loop and the browser
// launch) takes this place later; until then the notifications the server posts have no
// listener and are dropped.
#include "account.h"
#include "core.h"
#include "web.h"

#include <climits>
#include <csignal>
#include <string>
#include <unistd.h>

namespace {

// The `Web` folder beside the program, else the installed one in share/tavolex.
std::string FindWebFolder()
{
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string folder = length > 0 ? std::string(self, static_cast<size_t>(length)) : std::string(".");
    folder = folder.substr(0, folder.find_last_of('/'));
    std::string beside = folder + "/Web";
    if (access(beside.c_str(), R_OK | X_OK) == 0)
        return beside;
    return folder + "/../share/tavolex/Web";
}

} // namespace

int main()
{
    // Termination signals are taken synchronously below; every thread started later inherits
    // the mask, so none of them is interrupted by one.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    tavolex::web::SetAppNotificationSink([](int) {});
    // The database is made on first start and the account and script routes are in the table
    // before the listener takes its first request.
    tavolex::account::InstallWebRoutes();
    tavolex::web::WebServer server(FindWebFolder());
    server.StartEngine();

    int received = 0;
    sigwait(&stopSignals, &received);
    server.Shutdown();
    return 0;
}
