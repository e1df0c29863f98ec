// The reply operations byte for byte, and the engine's start, restart and stop, in process.
#include "core.h"
#include "json.h"
#include "net.h"
#include "live_server.h"
#include "web.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace tavolex::web;
using Clock = std::chrono::steady_clock;

// A request whose connection is one end of a socket pair; the test reads the other end.
class ReplyPair {
public:
    ReplyPair()
    {
        int fds[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        connection_.Adopt(fds[0]);
        peer_ = fds[1];
        request.connection = &connection_;
        request.cancel = &never_;
    }
    ~ReplyPair() { close(peer_); }
    std::string Sent()
    {
        connection_.Close();
        std::string got;
        char buffer[4096];
        ssize_t n;
        while ((n = read(peer_, buffer, sizeof buffer)) > 0)
            got.append(buffer, static_cast<size_t>(n));
        return got;
    }
    WebRequest request;

private:
    tavolex::net::NetConnection connection_;
    tavolex::net::NeverCancelled never_;
    int peer_ = -1;
};

TEST(Replies, BytesAndKeepAlive)
{
    tavolex::testing::TestHome home;
    const auto json = [](std::string body) {
        return "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    struct Row {
        const char* name;
        std::function<bool(WebRequest&)> send;
        std::string bytes;
        bool keepAlive;
    } rows[] = {
        {"SendJson", [](WebRequest& r) { return SendJson(r, "{\"a\":\"\xC3\xA9\"}"); },
         json("{\"a\":\"\xC3\xA9\"}"), true},
        {"SendOk", [](WebRequest& r) { return SendOk(r); },
         json("{\"errorcode\":200,\"errormsg\":\"OK\"}"), true},
        {"SendError", [](WebRequest& r) { return SendError(r, 400, "File type \"x\" not supported\n"); },
         json("{\"errorcode\":400,\"errormsg\":\"File type \\\"x\\\" not supported\\n\"}"), true},
        {"SendRedirectError", [](WebRequest& r) { return SendRedirectError(r, "Session expired", "/sessionexpired.html"); },
         json("{\"errorcode\":303,\"errormsg\":\"Session expired\",\"errorredirect\":\"\\/sessionexpired.html\"}"), true},
        {"SendJsonValue adds the status members", [](WebRequest& r) {
             tavolex::JsonValue value;
             value.SetStringMember("rmenus", "x");
             return SendJsonValue(r, value);
         },
         json("{\"rmenus\":\"x\",\"errorcode\":200,\"errormsg\":\"OK\"}"), true},
        {"SendJsonValue replaces them in place", [](WebRequest& r) {
             tavolex::JsonValue value;
             value.SetStringMember("errormsg", "bad");
             value.SetIntegerMember("errorcode", 500);
             return SendJsonValue(r, value);
         },
         json("{\"errormsg\":\"OK\",\"errorcode\":200}"), true},
        {"SendJsonValue of a tree it cannot write", [](WebRequest& r) {
             tavolex::JsonValue value;
             value.AddMember("broken").SetType(tavolex::JsonValueType::Invalid);
             return SendJsonValue(r, value);
         },
         json(""), true},
        {"SendStatus", [](WebRequest& r) { return SendStatus(r, 403, "Forbidden"); },
         "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", false},
        {"SendRedirect", [](WebRequest& r) { return SendRedirect(r, "/login.html"); },
         "HTTP/1.1 302 Found\r\nLocation: /login.html\r\nContent-Length: 0\r\n\r\n", true},
        {"SendSessionCookie", [](WebRequest& r) { return SendSessionCookie(r, "abcdefghijklmnopqr"); },
         "HTTP/1.1 200 OK\r\nSet-Cookie: tavolexs_sess=abcdefghijklmnopqr; path=/\r\nCache-Control: no-cache\r\n"
         "Content-Type: application/json\r\nContent-Length: 55\r\n\r\n{\"errorcode\":200,\"errormsg\":\"OK\",\"issessionvalid\":true}", true},
        {"SendSessionCookie without a session", [](WebRequest& r) { return SendSessionCookie(r, ""); },
         "HTTP/1.1 200 OK\r\nSet-Cookie: tavolexs_sess=; path=/\r\nCache-Control: no-cache\r\n"
         "Content-Type: application/json\r\nContent-Length: 55\r\n\r\n{\"errorcode\":200,\"errormsg\":\"OK\",\"issessionvalid\":true}", true},
        {"SendPdfDownload", [](WebRequest& r) { return SendPdfDownload(r, "%PDF-1.4", "Menu \xC3\xA9.pdf", false); },
         "HTTP/1.1 200 OK\r\nContent-Length: 8\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment; "
         "filename=\"Menu \xC3\xA9.pdf\"\r\nCache-Control: private\r\nExpires: Sun, 01 Jan 2012 00:00:01 GMT\r\n\r\n%PDF-1.4", true},
        {"SendPdfDownload inline", [](WebRequest& r) { return SendPdfDownload(r, "x", "m.pdf", true); },
         "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Type: application/pdf\r\nContent-Disposition: inline; "
         "filename=\"m.pdf\"\r\nCache-Control: private\r\nExpires: Sun, 01 Jan 2012 00:00:01 GMT\r\n\r\nx", true},
    };
    for (const Row& row : rows) {
        ReplyPair pair;
        pair.request.keepAlive = !row.keepAlive;
        EXPECT_TRUE(row.send(pair.request)) << row.name;
        EXPECT_EQ(pair.request.keepAlive, row.keepAlive) << row.name;
        EXPECT_EQ(pair.Sent(), row.bytes) << row.name;
    }
    bool logged = false;
    for (const tavolex::LogEntry& entry : tavolex::RecentLogLines())
        logged = logged || entry.message == "LWebletSessionDataDBBased::GetID() called without a CreateNewSession or LoadSession!";
    EXPECT_TRUE(logged);

    // A reply on a closed connection fails and does not keep anything open.
    ReplyPair closed;
    closed.Sent();
    EXPECT_FALSE(SendOk(closed.request));
    EXPECT_FALSE(closed.request.keepAlive);
}

bool LogHas(std::string_view message)
{
    for (const tavolex::LogEntry& entry : tavolex::RecentLogLines()) {
        if (entry.message == message)
            return true;
    }
    return false;
}

size_t LogCount(std::string_view message)
{
    size_t count = 0;
    for (const tavolex::LogEntry& entry : tavolex::RecentLogLines())
        count += entry.message == message;
    return count;
}

template<class Condition>
bool WaitFor(Condition condition)
{
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!condition() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return condition();
}

TEST(Engine, StartRestartDisableAndShutdown)
{
    tavolex::testing::TestHome home;
    std::string web = home.File("Web");
    std::filesystem::create_directories(web);
    tavolex::testing::WriteFile(web + "/index.html", "<p>hi</p>");
    uint16_t port = tavolex::testing::FreeLoopbackPort();
    tavolex::WriteSettingInt("WebServer", "Port", port);
    EXPECT_EQ(EffectivePort(), port);

    std::mutex lock;
    std::vector<ServerNotice> codes;
    SetNoticeSink([&](ServerNotice code) {
        std::lock_guard guard(lock);
        codes.push_back(code);
    });
    const auto codeCount = [&](ServerNotice code) {
        std::lock_guard guard(lock);
        return std::count(codes.begin(), codes.end(), code);
    };
    {
        WebServer server(web);
        server.StartEngine();
        EXPECT_TRUE(LogHas("Starting server engine..."));
        EXPECT_TRUE(LogHas("Starting web server..."));
        EXPECT_TRUE(LogHas("Starting web server (Non-secure)"));
        ASSERT_TRUE(WaitFor([&] { return server.IsListening(); }));
        EXPECT_EQ(codeCount(ServerNotice::Listening), 1);
        EXPECT_EQ(server.ListeningPort(), port);
        ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(web + "/index.html.gz"); }));

        server.Restart();
        EXPECT_TRUE(LogHas("Restarting web server (Non-secure)"));
        ASSERT_TRUE(WaitFor([&] { return codeCount(ServerNotice::Listening) == 2; }));

        tavolex::WriteSettingBool("WebServer", "Enabled", false);
        server.Restart();
        EXPECT_EQ(LogCount("Stopping web server (Non-secure)"), 1u);
        EXPECT_FALSE(tavolex::testing::LoopbackPortAccepts(port));
        server.Restart(); // not running: nothing more is logged
        EXPECT_EQ(LogCount("Stopping web server (Non-secure)"), 1u);

        tavolex::WriteSettingBool("WebServer", "Enabled", true);
        server.Restart();
        EXPECT_TRUE(LogHas("Starting web server (Non-secure)"));
        ASSERT_TRUE(WaitFor([&] { return tavolex::testing::LoopbackPortAccepts(port); }));
        server.Shutdown();
        EXPECT_TRUE(LogHas("Stopping server engine"));
        EXPECT_EQ(LogCount("Stopping web server (Non-secure)"), 2u);
        EXPECT_FALSE(tavolex::testing::LoopbackPortAccepts(port));
    }
    SetNoticeSink(nullptr);
}

} // namespace
