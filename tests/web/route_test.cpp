// Routes served by an engine in this process: form bodies, query strings, cookies, the session
// hook, and what each route kind reads.
#include "connection_thread.h"
#include "core.h"
#include "json.h"
#include "live_server.h"
#include "web.h"

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <optional>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace tavolex::web;
using Clock = std::chrono::steady_clock;

// What RecordingHooks keeps in a request's slot.
struct RecordedSession final : RouteResources {
    std::string name;
};

// Answers with every parameter, cookie and the session name, as JSON text.
void EchoRoute(WebRequest& request)
{
    tavolex::TextBuffer out;
    out.Append("{\"parameters\":[");
    bool first = true;
    for (const auto& [name, value] : request.parameters) {
        tavolex::AppendFormat(out, "%s[\"%J\",\"%J\"]", first ? "" : ",", name, value);
        first = false;
    }
    out.Append("],\"cookies\":[");
    first = true;
    for (const auto& [name, value] : request.cookies) {
        tavolex::AppendFormat(out, "%s[\"%J\",\"%J\"]", first ? "" : ",", name, value);
        first = false;
    }
    const auto* session = dynamic_cast<const RecordedSession*>(request.resources.get());
    tavolex::AppendFormat(out, "],\"session\":\"%J\",\"peer\":\"%s\"}", session ? session->name : "", request.peerText);
    SendJson(request, out.view());
}

// Answers with the body it was given, what the reader reported, and the body's "name".
void JsonEchoRoute(WebRequest& request, tavolex::JsonValue& body)
{
    std::string name = body.GetStringMember("name");
    std::string report = request.thread ? request.thread->LastReport() : "no thread";
    body.SetStringMember("gotname", name);
    body.SetStringMember("report", report);
    SendJsonValue(request, body);
}

// Answers with what it saw, without writing the (possibly half-built) tree back.
void JsonReportRoute(WebRequest& request, tavolex::JsonValue& body)
{
    std::string report = request.thread ? request.thread->LastReport() : "no thread";
    SendJson(request, tavolex::Format("{\"gotname\":\"%J\",\"report\":\"%J\"}", body.GetStringMember("name"), report));
}

// A handler that answers nothing: the connection must close without a byte.
void SilentRoute(WebRequest&) {}

class RecordingHooks final : public RouteStepHooks {
public:
    void BeginRoute(WebRequest& request) override
    {
        auto session = std::make_unique<RecordedSession>();
        session->name = "loaded:" + Get(request.cookies, "tavolexs_sess");
        request.resources = std::move(session);
    }
};

// Sends `request` and reads until the server closes or `limitMs` pass.
std::string Exchange(uint16_t port, std::string_view request, int limitMs = 5000, bool closeSending = false)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string got;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        if (closeSending)
            shutdown(fd, SHUT_WR);
        auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
        for (;;) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            pollfd fds{fd, POLLIN, 0};
            if (left <= 0 || poll(&fds, 1, left) <= 0)
                break;
            char buffer[4096];
            ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            got.append(buffer, static_cast<size_t>(n));
        }
    }
    close(fd);
    return got;
}

std::string Body(const std::string& response)
{
    size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

class RouteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::filesystem::create_directories(home_.File("Web"));
        port_ = tavolex::testing::FreeLoopbackPort();
        tavolex::WriteSettingInt("WebServer", "Port", port_);
        RouteRegistry& routes = RouteRegistry::Get();
        routes.RegisterRoute("test/echo", EchoRoute);
        routes.RegisterRoute("test/silent", SilentRoute);
        routes.RegisterJsonRoute("test/json", JsonEchoRoute);
        routes.RegisterJsonRoute("test/jsonreport", JsonReportRoute);
        routes.SetHooks(&hooks_);
        server_ = std::make_unique<WebServer>(home_.File("Web"));
        server_->Start();
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!server_->IsListening() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    void TearDown() override
    {
        server_->Shutdown();
        server_.reset();
        RouteRegistry::Get().SetHooks(nullptr);
    }

    tavolex::testing::TestHome home_;
    RecordingHooks hooks_;
    std::unique_ptr<WebServer> server_;
    uint16_t port_ = 0;
};

TEST_F(RouteTest, QueryFormBodyCookiesAndSession)
{
    struct Row {
        const char* note;
        std::string request;
        std::string body;
    } rows[] = {
        {"query pieces", "GET /test/echo?a=1&a=2&=3&b=x+y%21 HTTP/1.1\r\nConnection: close\r\n\r\n",
         "{\"parameters\":[[\"a\",\"1\"],[\"a\",\"2\"],[\"b\",\"x y!\"]],\"cookies\":[],\"session\":\"loaded:\",\"peer\":\"127.0.0.1\"}"},
        {"form body after the query", "POST /test/echo?q=1 HTTP/1.1\r\nContent-Length: 14\r\nConnection: close\r\n\r\nname=J%C3%BCrg",
         "{\"parameters\":[[\"name\",\"J\xC3\xBCrg\"],[\"q\",\"1\"]],\"cookies\":[],\"session\":\"loaded:\",\"peer\":\"127.0.0.1\"}"},
        {"lower-case content-length is no Content-Length", "POST /test/echo HTTP/1.1\r\ncontent-length: 3\r\nConnection: close\r\n\r\na=1",
         "{\"parameters\":[],\"cookies\":[],\"session\":\"loaded:\",\"peer\":\"127.0.0.1\"}"},
        {"session cookie", "GET /test/echo HTTP/1.1\r\nCookie: x=1; tavolexs_sess=abc%20d\r\nConnection: close\r\n\r\n",
         "{\"parameters\":[],\"cookies\":[[\"tavolexs_sess\",\"abc d\"],[\"x\",\"1\"]],\"session\":\"loaded:abc d\",\"peer\":\"127.0.0.1\"}"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Body(Exchange(port_, row.request)), row.body) << row.note;
}

TEST_F(RouteTest, RefusalsAndSilentHandlers)
{
    // Announcing too much is refused before any body byte is read.
    EXPECT_EQ(Exchange(port_, "POST /test/echo HTTP/1.1\r\nContent-Length: 5000001\r\n\r\n"),
              "HTTP/1.1 500 Content Length Too Long\r\nConnection: close\r\n\r\n");
    // A handler that sends nothing leaves keep-alive off: the connection closes unanswered.
    auto begin = Clock::now();
    EXPECT_EQ(Exchange(port_, "GET /test/silent HTTP/1.1\r\n\r\n"), "");
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(4));
    // The session hook is not reached for a refused origin.
    EXPECT_EQ(Exchange(port_, "GET /test/echo HTTP/1.1\r\nOrigin: http://localhost:" + std::to_string(port_ + 1) + "\r\n\r\n"),
              "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
}

// The not-found line is an error while the program is new or a miss was reported lately, and
// of the quieter level 2 otherwise; every miss records its time.
TEST_F(RouteTest, NotFoundReportIsThrottled)
{
    time_t now = time(nullptr);
    tavolex::WriteSettingInt("Settings", "InstallDateFirst", static_cast<int>(now - 30 * 86400));
    tavolex::WriteSettingInt("Settings", "LastWebletErrorFileNotFound", static_cast<int>(now - 4 * 86400));
    const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(Exchange(port_, "GET /first-miss.png HTTP/1.0\r\n\r\n"), notFound);
    EXPECT_GE(tavolex::ReadSettingInt("Settings", "LastWebletErrorFileNotFound", 0), now);
    EXPECT_EQ(Exchange(port_, "GET /second-miss.png HTTP/1.0\r\n\r\n"), notFound);

    std::optional<tavolex::LogLevel> first, second;
    for (const tavolex::LogEntry& entry : tavolex::RecentLogLines()) {
        if (entry.message.find("first-miss.png for connection 127.0.0.1") != std::string::npos)
            first = entry.level;
        if (entry.message.find("second-miss.png for connection 127.0.0.1") != std::string::npos)
            second = entry.level;
    }
    EXPECT_EQ(first, tavolex::LogLevel::Detail);
    EXPECT_EQ(second, tavolex::LogLevel::Error);
}

TEST_F(RouteTest, JsonBodies)
{
    struct Row {
        const char* note;
        std::string request;
        bool closeSending;
        std::string body;
    } rows[] = {
        {"with Content-Length", "POST /test/json HTTP/1.1\r\nContent-Length: 14\r\nConnection: close\r\n\r\n{\"name\":\"Ann\"}", false,
         "{\"name\":\"Ann\",\"gotname\":\"Ann\",\"report\":\"\",\"errorcode\":200,\"errormsg\":\"OK\"}"},
        {"until the client stops sending", "POST /test/json HTTP/1.1\r\n\r\n{\"name\":\"Bo\",\"errorcode\":500,\"errormsg\":\"x\"}", true,
         "{\"name\":\"Bo\",\"errorcode\":200,\"errormsg\":\"OK\",\"gotname\":\"Bo\",\"report\":\"\"}"},
        {"an empty body is an empty object", "POST /test/json HTTP/1.1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", false,
         "{\"gotname\":\"\",\"report\":\"\",\"errorcode\":200,\"errormsg\":\"OK\"}"},
        {"a GET finds no JSON route", "GET /test/json HTTP/1.0\r\n\r\n", false, ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Body(Exchange(port_, row.request, 5000, row.closeSending)), row.body) << row.note;

    // A body that does not parse still reaches the handler, with the reader's report.
    std::string answer = Body(Exchange(port_, "POST /test/jsonreport HTTP/1.1\r\nContent-Length: 14\r\nConnection: close\r\n\r\n{\"name\":\"Cy\",@", 5000));
    EXPECT_NE(answer.find("\"report\":\"Error near(1:13): Failed to parse value.\"}"), std::string::npos) << answer;
}

} // namespace
