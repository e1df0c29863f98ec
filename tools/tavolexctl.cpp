// tavolexctl: sends its arguments as one command to the running Tavolex of this user, prints
// the reply text and exits with the command's result (0 success, 255 for -1, 254 for -2).
//
//     tavolexctl -version        prints "2.04"
//     tavolexctl -testapi hello  prints "API Test OK [hello]."
#include "app.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    tavolex::app::CommandReply reply;
    switch (tavolex::app::SendCommand(arguments, reply)) {
    case tavolex::app::CommandSendStatus::Ok:
        std::printf("%s\n", reply.text.c_str());
        return reply.result;
    case tavolex::app::CommandSendStatus::NoInstance:
        std::fprintf(stderr, "tavolexctl: Tavolex is not running (nothing answers at %s)\n",
                     tavolex::app::CommandSocketPath().c_str());
        return 1;
    case tavolex::app::CommandSendStatus::NoReply:
        std::fprintf(stderr, "tavolexctl: Tavolex did not answer the command\n");
        return 1;
    }
    return 1;
}
