// The command interpreter behind command.sock, and the client side of that socket.
#include "app.h"

#include "app_internal.h"
#include "core.h"

#include <unistd.h>

namespace tavolex::app {

namespace {

// The version the program answers to "-version".
constexpr std::string_view kVersionText = "2.04";

// The main object has no commands of its own: everything that reaches it is unknown.
CommandReply HandleMainObjectCommand(std::span<const std::string> arguments)
{
    return {kResultFailed, Format("Unknown Command: %s", arguments.back())};
}

} // namespace

CommandReply RunCommand(std::span<const std::string> arguments)
{
    if (arguments.empty())
        return {kResultNoCommand, "Command Not Specified."};
    if (arguments[0] == "-testapi") {
        if (arguments.size() >= 2)
            return {kResultOk, Format("API Test OK [%s].", arguments[1])};
        return {kResultFailed, "API Test Fail (No data)."};
    }
    if (arguments[0] == "-version")
        return {kResultOk, std::string(kVersionText)};
    return HandleMainObjectCommand(arguments);
}

CommandSendStatus SendCommand(std::span<const std::string> arguments, CommandReply& reply)
{
    UniqueFd socket = ConnectUnixSocket(CommandSocketPath());
    if (!socket)
        return CommandSendStatus::NoInstance;
    std::vector<uint8_t> request =
        EncodeCommandRequest(static_cast<uint32_t>(getpid()), arguments);
    if (!WriteAllWithin(socket.get(), request, kClientExchangeMs))
        return CommandSendStatus::NoReply;
    ShutdownWriting(socket.get());
    std::vector<uint8_t> answer;
    ReadToEndWithin(socket.get(), answer, kCommandReplySize + 1, kClientExchangeMs);
    std::optional<CommandReply> decoded = DecodeCommandReply(answer);
    if (!decoded)
        return CommandSendStatus::NoReply;
    reply = std::move(*decoded);
    return CommandSendStatus::Ok;
}

} // namespace tavolex::app
