// app: the process entry, one instance per user, the command interface and the browser launch.
//
// The first `tavolex` of a user takes the start-up lock, finds no instance socket answering and
// runs the event loop on the main thread: it listens on instance.sock (hand-overs from later
// starts) and command.sock (requests of tavolexctl), starts the web server, and opens the
// browser interface once both its own start step and the server's listening notification have
// happened. A later `tavolex` connects to instance.sock, writes its arguments as one 66564-byte
// hand-over record and ends. SIGTERM, SIGINT and SIGHUP end the loop; the server stops first.
//
//     int main(int argc, char** argv) { return tavolex::app::ProcessEntry(argc, argv); }
//     CommandReply reply; SendCommand(std::vector<std::string>{"-version"}, reply); // "2.04"
#pragma once

#include "core.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavolex::app {

// ---------------------------------------------------------------------------------------------
// Records handed between processes. Every number is little-endian; texts are UTF-16LE and their
// lengths count UTF-16 units. Inside the program the arguments are UTF-8.

// The hand-over record: a 32-bit signed count, then 128 slots of 260 units, each argument cut to
// 259 units (never inside a character) and zero-terminated; unused slots are zero.
inline constexpr size_t kHandOverMaxArguments = 128;
inline constexpr size_t kHandOverSlotUnits = kTextFieldSlotUnits;
inline constexpr size_t kHandOverRecordSize = 4 + kHandOverMaxArguments * kHandOverSlotUnits * 2;
static_assert(kHandOverRecordSize == 66564, "the hand-over record is 66564 bytes");

// The first 128 arguments (the program path first) as exactly kHandOverRecordSize bytes.
std::vector<uint8_t> EncodeHandOver(std::span<const std::string> arguments);
// The arguments, or nothing when the record is not exactly kHandOverRecordSize bytes or its
// count lies outside 0..128.
std::optional<std::vector<std::string>> DecodeHandOver(std::span<const uint8_t> record);

// The command request: magic, reply identifier, count, then per argument a 32-bit byte length
// and that many bytes of UTF-16 text (not terminated).
inline constexpr uint32_t kCommandMagic = 0x12345678;
inline constexpr size_t kCommandRequestHeaderSize = 12;
// Larger requests are not read to their end and get no reply.
inline constexpr size_t kCommandRequestLimit = 1 << 20;

struct CommandRequest {
    uint32_t replyId = 0;
    std::vector<std::string> arguments;
};

std::vector<uint8_t> EncodeCommandRequest(uint32_t replyId, std::span<const std::string> arguments);
// Nothing for a record shorter than 12 bytes, with another magic, or whose lengths run past its
// end. An odd byte length drops the last byte.
std::optional<CommandRequest> DecodeCommandRequest(std::span<const uint8_t> record);

// The command reply: 32-bit signed result, 32-bit length in units, then 8192 units of text
// holding at most 8191 units and a terminator.
inline constexpr size_t kReplyTextUnits = 8192;
inline constexpr size_t kCommandReplySize = 8 + kReplyTextUnits * 2;
static_assert(kCommandReplySize == 16392, "the command reply is 16392 bytes");

struct CommandReply {
    int32_t result = 0;
    std::string text;
};

std::vector<uint8_t> EncodeCommandReply(const CommandReply& reply);
// Nothing when the record is not exactly kCommandReplySize bytes.
std::optional<CommandReply> DecodeCommandReply(std::span<const uint8_t> record);

// ---------------------------------------------------------------------------------------------
// The command interpreter

inline constexpr int32_t kResultOk = 0;
inline constexpr int32_t kResultFailed = -1;
inline constexpr int32_t kResultNoCommand = -2;

// "-version", "-testapi [text]"; anything else is an unknown command. `arguments` holds the
// command words only (no program path).
CommandReply RunCommand(std::span<const std::string> arguments);

// The client side of command.sock, used by tavolexctl.
enum class CommandSendStatus {
    Ok,
    NoInstance, // nothing listens on the command socket
    NoReply,    // the instance closed the connection without a whole reply
};
CommandSendStatus SendCommand(std::span<const std::string> arguments, CommandReply& reply);

// The sockets and the lock file in the runtime folder.
std::string InstanceSocketPath();
std::string CommandSocketPath();
std::string StartupLockPath();

// ---------------------------------------------------------------------------------------------
// URL-scheme handlers ("ostrevan.tavolex:NAME?...")

inline constexpr std::string_view kSchemePrefix = "ostrevan.tavolex:";

// Called with the context given at registration and the URL's text after the scheme.
using SchemeHandler = void (*)(void* context, std::string_view textAfterScheme);

// A later registration under the same name replaces the earlier one.
void RegisterSchemeHandler(std::string_view name, SchemeHandler handler, void* context);
void UnregisterSchemeHandler(std::string_view name);
// True when a handler was found and called. Unknown names, a URL without the scheme and a name
// that is only "/" do nothing.
bool HandleSchemeUrl(std::string_view url);

// ---------------------------------------------------------------------------------------------
// The browser launch

// The argument vector that opens `address`: a Chromium-family browser in application mode
// ("--app=ADDRESS", "--start-maximized"), else xdg-open with the address. Empty when
// TAVOLEX_BROWSER is "none" or nothing at all was found. The first element is a full path.
std::vector<std::string> BrowserCommand(std::string_view address);

// "http://localhost:PORT".
std::string InterfaceAddress(uint16_t port);

// Starts the browser on the interface at `port` without waiting for it; the started process is
// not our child afterwards, so it never stays behind as a zombie. False when none was started.
bool LaunchBrowserInterface(uint16_t port);

// ---------------------------------------------------------------------------------------------
// The process

// Takes the start-up lock, and either hands the arguments to the running
// instance or runs this one until a stop signal. The process exit status.
int ProcessEntry(int argc, char** argv);

// The first instance: the event loop with the web server, until SIGTERM, SIGINT or SIGHUP.
// `startupLockFd` (or -1) is released once the instance socket listens. Returns 0, or 1 when
// the loop's own descriptors cannot be made.
int Run(const std::vector<std::string>& arguments, int startupLockFd);

} // namespace tavolex::app
