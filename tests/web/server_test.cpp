// The real program over real sockets: request bytes in, response bytes out.
#include "gunzip.h"
#include "live_server.h"
#include "test_home.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <utime.h>
#include <vector>
#include <zlib.h>

#if defined(__SANITIZE_ADDRESS__)
#define TAVOLEX_TEST_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAVOLEX_TEST_UNDER_ASAN 1
#endif
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using tavolex::testing::ReadFile;
using tavolex::testing::WriteFile;

// Every fixture file carries this modification time, so validators are fixed texts:
// ETag = 1700001234 % 10000000, a "-", then the size.
constexpr time_t kFixtureTime = 1700001234;
constexpr const char* kFixtureDate = "Tue, 14 Nov 2023 22:33:54 GMT";

uint16_t FreePort(int consecutive = 1)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const uint16_t port = tavolex::testing::FreeLoopbackPort();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bool allFree = port < 65000;
        for (int i = 1; i < consecutive && allFree; ++i) {
            int next = socket(AF_INET, SOCK_STREAM, 0);
            address.sin_port = htons(static_cast<uint16_t>(port + i));
            allFree = bind(next, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            close(next);
        }
        if (allFree)
            return port;
    }
    return 0;
}

// A client socket; optionally bound to another loopback address first.
class Client {
public:
    explicit Client(uint16_t port, const char* from = nullptr)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (from) {
            sockaddr_in local{};
            local.sin_family = AF_INET;
            inet_pton(AF_INET, from, &local.sin_addr);
            bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~Client() { close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    bool Send(std::string_view bytes)
    {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Reads until `count` bytes are in, the server closes, or the limit passes.
    std::string Read(size_t count, int limitMs = 5000)
    {
        std::string got;
        auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
        while (got.size() < count) {
            int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            pollfd fds{fd_, POLLIN, 0};
            if (left <= 0 || poll(&fds, 1, left) <= 0)
                break;
            char buffer[65536];
            ssize_t n = recv(fd_, buffer, std::min(sizeof buffer, count - got.size()), 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    std::string ReadUntilClose(int limitMs = 5000) { return Read(SIZE_MAX, limitMs); }
    bool closed() const { return closed_; }
    // True when the server has closed: a read sees the end within the limit.
    bool ServerClosed(int limitMs = 3000)
    {
        std::string rest = Read(SIZE_MAX, limitMs);
        return rest.empty() && closed_;
    }

private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
};

// The program copied beside a `Web` folder of test files (the program looks for `Web` beside
// itself), made once for all tests.
class Install {
public:
    Install()
    {
        std::string pattern = (fs::temp_directory_path() / "tavolex-install-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        fs::copy_file(TAVOLEX_BINARY, root_ + "/tavolex");
        fs::copy(TAVOLEX_WEB_FIXTURES, root_ + "/Web", fs::copy_options::recursive);
        WriteFile(root_ + "/outside.txt", "secret outside the Web folder");
        fs::create_symlink("../outside.txt", root_ + "/Web/escape.txt");
        fs::create_symlink("ten.txt", root_ + "/Web/inside.txt");
        WriteFile(root_ + "/outside.html", "<p>secret page outside the Web folder</p>");
        fs::create_symlink("../outside.html", root_ + "/Web/leak.html");
        mkfifo((root_ + "/Web/pipe.txt").c_str(), 0600);
        for (const auto& entry : fs::recursive_directory_iterator(root_ + "/Web")) {
            if (entry.is_regular_file() && !entry.is_symlink()) {
                utimbuf times{kFixtureTime, kFixtureTime};
                utime(entry.path().c_str(), &times);
            }
        }
    }
    ~Install()
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    std::string Binary() const { return root_ + "/tavolex"; }
    std::string WebFile(const std::string& name) const { return root_ + "/Web/" + name; }

private:
    std::string root_;
};

// One running tavolex with its own TAVOLEX_HOME.
class Server {
public:
    // `environment`: variables set for the program besides the two every test sets.
    Server(const Install& install, uint16_t port, bool waitForListening = true,
           const std::vector<std::pair<std::string, std::string>>& environment = {})
        : port_(port)
    {
        std::string pattern = (fs::temp_directory_path() / "tavolex-home-XXXXXX").string();
        home_ = mkdtemp(pattern.data());
        WriteFile(home_ + "/settings.ini", "[WebServer]\nPort=" + std::to_string(port) + "\n");
        std::string binary = install.Binary();
        pid_ = fork();
        if (pid_ == 0) {
            setenv("TAVOLEX_HOME", home_.c_str(), 1);
            setenv("TAVOLEX_BROWSER", "none", 1);
            for (const auto& [name, value] : environment)
                setenv(name.c_str(), value.c_str(), 1);
            execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (waitForListening)
            WaitListening(port_);
    }
    ~Server()
    {
        Terminate();
        std::error_code ignored;
        fs::remove_all(home_, ignored);
    }

    static bool WaitListening(uint16_t port)
    {
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (Clock::now() < deadline) {
            Client probe(port);
            if (probe.connected())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    // SIGTERM, then the exit status (-1 when it did not end within 10 s).
    int Terminate()
    {
        if (pid_ <= 0)
            return exitStatus_;
        kill(pid_, SIGTERM);
        auto deadline = Clock::now() + std::chrono::seconds(10);
        int status = 0;
        while (Clock::now() < deadline) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return exitStatus_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
    }

    std::string LogText() const
    {
        std::string text;
        std::error_code ignored;
        for (const auto& entry : fs::directory_iterator(home_ + "/Logs", ignored))
            text += ReadFile(entry.path().string());
        return text;
    }
    std::string SettingsText() const { return ReadFile(home_ + "/settings.ini"); }
    uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    // True while one of the program's threads carries `name` (the system keeps 15 bytes of it).
    bool HasThread(std::string_view name) const
    {
        std::error_code ignored;
        for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid_) + "/task", ignored)) {
            std::string comm = ReadFile(task.path().string() + "/comm");
            if (comm.starts_with(name.substr(0, 15)))
                return true;
        }
        return false;
    }

private:
    std::string home_;
    uint16_t port_;
    pid_t pid_ = -1;
    int exitStatus_ = -1;
};

class ServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        install_ = new Install();
        port_ = FreePort();
        server_ = new Server(*install_, port_);
    }
    static void TearDownTestSuite()
    {
        delete server_;
        delete install_;
    }

    // One request on a fresh connection; the answer up to the server's close.
    static std::string Exchange(std::string_view request)
    {
        Client client(port_);
        client.Send(request);
        return client.ReadUntilClose();
    }

    static Install* install_;
    static Server* server_;
    static uint16_t port_;
};

// One request on a fresh connection: the answer, and whether the server closed afterwards.
struct ClosingAnswer {
    std::string bytes;
    bool closed;
};
ClosingAnswer ExchangeOnce(uint16_t port, std::string_view request)
{
    Client client(port);
    client.Send(request);
    std::string bytes = client.ReadUntilClose();
    return {bytes, client.closed()};
}

Install* ServerTest::install_ = nullptr;
Server* ServerTest::server_ = nullptr;
uint16_t ServerTest::port_ = 0;

std::string FileHeaders(std::string_view type, std::string_view disposition, std::string_view cache,
                        std::string_view entityTag)
{
    std::string headers;
    headers += "Content-Type: ";
    headers += type;
    headers += "\r\nAccept-Ranges: bytes\r\n";
    headers += disposition;
    headers += "Cache-Control: ";
    headers += cache;
    headers += "\r\nLast-Modified: ";
    headers += kFixtureDate;
    headers += "\r\nETag: \"";
    headers += entityTag;
    headers += "\"\r\n\r\n";
    return headers;
}

// HTTP/1.0 requests and requests that close: the server's whole answer, byte for byte.
TEST_F(ServerTest, AnswersByteForByte)
{
    const std::string ok33 = "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json\r\n"
                             "Content-Length: 33\r\n\r\n{\"errorcode\":200,\"errormsg\":\"OK\"}";
    const std::string notImplemented = "HTTP/1.1 501 Not Implemented\r\nConnection: close\r\n\r\n";
    const std::string notFoundClose = "HTTP/1.1 404 Not Found\r\nConnection: close\r\n\r\n";
    const std::string forbidden = "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    const std::string tenDisposition =
        "Content-Disposition: attachment; filename=\"ten.txt\"; filename*=UTF-8''ten.txt\r\n";
    const std::string port = std::to_string(port_);
    struct Row {
        std::string note;
        std::string request;
        std::string response;
    } rows[] = {
        // Methods other than GET and POST.
        {"OPTIONS", "OPTIONS / HTTP/1.1\r\n\r\n", notImplemented},
        {"HEAD", "HEAD / HTTP/1.1\r\n\r\n", notImplemented},
        {"PROPFIND", "PROPFIND / HTTP/1.1\r\n\r\n", notImplemented},
        {"lower-case get", "get / HTTP/1.1\r\n\r\n", notImplemented},
        // Targets.
        {"no leading slash", "GET index.html HTTP/1.1\r\n\r\n", notFoundClose},
        {"dot dot", "GET /sub/../ten.txt HTTP/1.1\r\n\r\n", notFoundClose},
        {"escaped dot dot", "GET /%2e%2e/outside.txt HTTP/1.1\r\n\r\n", notFoundClose},
        {"symlink out of Web", "GET /escape.txt HTTP/1.1\r\n\r\n", notFoundClose},
        {"missing file", "GET /missing.txt HTTP/1.0\r\n\r\n", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"},
        {"a line feed in the path", "GET /x%0A12:00:00%20forged HTTP/1.0\r\n\r\n", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"},
        {"a FIFO is no file", "GET /pipe.txt HTTP/1.0\r\n\r\n", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"},
        // Host, Origin and Sec-Fetch-Site.
        {"foreign host on a file", "GET /ten.txt HTTP/1.1\r\nHost: evil.example\r\n\r\n", forbidden},
        {"foreign host on a route", "GET /api/status/checkalive HTTP/1.1\r\nHost: 127.0.0.1.evil.example:" + port + "\r\n\r\n", forbidden},
        {"foreign origin", "GET /api/status/checkalive HTTP/1.1\r\nHost: localhost:" + port + "\r\nOrigin: http://evil.example\r\n\r\n", forbidden},
        {"another local port", "GET /api/status/checkalive HTTP/1.1\r\nOrigin: http://localhost:1\r\n\r\n", forbidden},
        {"same-site page", "GET /api/status/checkalive HTTP/1.1\r\nSec-Fetch-Site: same-site\r\n\r\n", forbidden},
        {"cross-site page", "POST /api/status/checkalive HTTP/1.1\r\nSec-Fetch-Site: cross-site\r\n\r\n", forbidden},
        {"own origin", "GET /api/status/checkalive HTTP/1.1\r\nHost: localhost:" + port + "\r\nOrigin: http://127.0.0.1:" + port + "\r\nSec-Fetch-Site: same-origin\r\nConnection: close\r\n\r\n", ok33},
        {"foreign origin on a file is served", "GET /ten.txt HTTP/1.0\r\nOrigin: http://evil.example\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n" + FileHeaders("application/octet-stream", tenDisposition, "max-age=0", "1234-10") + "0123456789"},
        // The server's own route.
        {"checkalive", "GET /api/status/checkalive HTTP/1.0\r\nConnection: close\r\n\r\n", ok33},
        {"checkalive with a query", "GET /api/status/checkalive?x=1 HTTP/1.1\r\nHost: [::1]:9\r\nConnection: close\r\n\r\n", ok33},
        {"upper-case path is no route", "GET /API/status/checkalive HTTP/1.0\r\n\r\n", "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"},
        {"form body too long", "POST /api/status/checkalive HTTP/1.1\r\nContent-Length: 5000001\r\n\r\n",
         "HTTP/1.1 500 Content Length Too Long\r\nConnection: close\r\n\r\n"},
        // Files.
        {"validators match", "GET /ten.txt HTTP/1.0\r\nIf-None-Match: \"1234-10\"\r\n\r\n", "HTTP/1.1 304 Not Modified\r\n\r\n"},
        {"date matches", "GET /ten.txt HTTP/1.0\r\nIf-Modified-Since: tue, 14 nov 2023 22:33:54 gmt\r\n\r\n", "HTTP/1.1 304 Not Modified\r\n\r\n"},
        {"first byte", "GET /ten.txt HTTP/1.0\r\nRange: bytes=0-0\r\n\r\n",
         "HTTP/1.1 206 Partial Content\r\nContent-Length: 1\r\nContent-Range: bytes 0-0/10\r\nContent-Type: application/octet-stream\r\n" +
             tenDisposition + "Cache-Control: max-age=0\r\nLast-Modified: " + kFixtureDate + "\r\nETag: \"1234-10\"\r\n\r\n0"},
        {"suffix range", "GET /ten.txt HTTP/1.0\r\nRange: bytes=-4\r\n\r\n",
         "HTTP/1.1 206 Partial Content\r\nContent-Length: 4\r\nContent-Range: bytes 6-9/10\r\nContent-Type: application/octet-stream\r\n" +
             tenDisposition + "Cache-Control: max-age=0\r\nLast-Modified: " + kFixtureDate + "\r\nETag: \"1234-10\"\r\n\r\n6789"},
        {"range past the end", "GET /ten.txt HTTP/1.0\r\nRange: bytes=20-\r\n\r\n", "HTTP/1.1 416 Requested Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n"},
        {"folder default", "GET / HTTP/1.0\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 40\r\n" + FileHeaders("text/html", "", "max-age=3600", "1234-40") +
             "<!DOCTYPE html><title>Test home</title>\n"},
        {"sub-folder default", "GET /sub/ HTTP/1.0\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n" + FileHeaders("text/html", "", "max-age=3600", "1234-10") + "sub index\n"},
        {".html fallback", "GET /menus HTTP/1.0\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 36\r\n" + FileHeaders("text/html", "", "max-age=3600", "1234-36") +
             "<!DOCTYPE html><title>Menus</title>\n"},
        {"pdf is an attachment", "GET /doc.pdf HTTP/1.0\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 15\r\n" +
             FileHeaders("application/pdf", "Content-Disposition: attachment; filename=\"doc.pdf\"; filename*=UTF-8''doc.pdf\r\n",
                         "max-age=0", "1234-15") + "%PDF-1.4\n%%EOF\n"},
        {"unknown extension", "GET /data.XYZ HTTP/1.0\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 8\r\n" +
             FileHeaders("application/octet-stream", "Content-Disposition: attachment; filename=\"data.XYZ\"; filename*=UTF-8''data.XYZ\r\n",
                         "max-age=0", "1234-8") + "xyz data"},
        {"symlink inside Web", "GET /inside.txt HTTP/1.0\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n" +
             FileHeaders("application/octet-stream", "Content-Disposition: attachment; filename=\"inside.txt\"; filename*=UTF-8''inside.txt\r\n",
                         "max-age=0", "1234-10") + "0123456789"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(Exchange(row.request), row.response) << row.note;

    std::string log = server_->LogText();
    EXPECT_NE(log.find("Weblet: OPTIONS requested: 127.0.0.1 (return error 501 Not Implemented)"), std::string::npos);
    EXPECT_NE(log.find("Weblet: HEAD requested: 127.0.0.1 (return error 501 Not Implemented)"), std::string::npos);
    EXPECT_NE(log.find("Weblet: Bad request method: 127.0.0.1 get"), std::string::npos);
    EXPECT_EQ(log.find("PROPFIND"), std::string::npos);
    EXPECT_NE(log.find("Weblet: Invalid Request URI: 127.0.0.1 index.html"), std::string::npos);
    EXPECT_NE(log.find("Weblet: Bad request: 127.0.0.1 sub/../ten.txt"), std::string::npos);
    EXPECT_NE(log.find("Weblet: Bad request: 127.0.0.1 escape.txt"), std::string::npos);
    EXPECT_NE(log.find("Weblet: File not found: "), std::string::npos);
    EXPECT_NE(log.find("missing.txt for connection 127.0.0.1"), std::string::npos);
    EXPECT_NE(log.find("/x?12:00:00 forged for connection 127.0.0.1"), std::string::npos);
    EXPECT_EQ(log.find("\n12:00:00 forged"), std::string::npos);
    EXPECT_NE(log.find("Weblet: Content too long: 127.0.0.1 api/status/checkalive"), std::string::npos);
    EXPECT_NE(log.find("Weblet: Forbidden: foreign Host header evil.example from 127.0.0.1"), std::string::npos);
    EXPECT_NE(log.find("Weblet: Forbidden: foreign Origin http://evil.example for api/status/checkalive"), std::string::npos);
    EXPECT_NE(log.find("Weblet: Forbidden: Sec-Fetch-Site same-site for api/status/checkalive"), std::string::npos);
    EXPECT_NE(log.find("LWebletConnectionThread::ThreadFunction calling web script: api/status/checkalive"), std::string::npos);
    // The time of the last missing file is coalesced: it reaches the file within a second.
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (server_->SettingsText().find("LastWebletErrorFileNotFound=") == std::string::npos && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_NE(server_->SettingsText().find("LastWebletErrorFileNotFound="), std::string::npos);
}

TEST_F(ServerTest, KeepAliveCloseAndPipelining)
{
    const std::string request = "GET /api/status/checkalive HTTP/1.1\r\nHost: localhost\r\n\r\n";
    const std::string answer = "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json\r\n"
                               "Content-Length: 33\r\n\r\n{\"errorcode\":200,\"errormsg\":\"OK\"}";
    {
        SCOPED_TRACE("HTTP/1.1 keeps the connection for the next request");
        Client client(port_);
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(client.Send(request));
            EXPECT_EQ(client.Read(answer.size()), answer);
        }
        EXPECT_FALSE(client.closed());
        // A POST to a form route keeps it too: the reply allows it.
        ASSERT_TRUE(client.Send("POST /api/status/checkalive HTTP/1.1\r\nContent-Length: 7\r\n\r\na=1&b=2"));
        EXPECT_EQ(client.Read(answer.size()), answer);
        ASSERT_TRUE(client.Send(request));
        EXPECT_EQ(client.Read(answer.size()), answer);
    }
    {
        SCOPED_TRACE("a pipelined second request is answered after the first");
        Client client(port_);
        ASSERT_TRUE(client.Send(request + "GET /ten.txt HTTP/1.1\r\nRange: bytes=2-3\r\nConnection: close\r\n\r\n"));
        std::string both = client.ReadUntilClose();
        ASSERT_TRUE(both.starts_with(answer)) << both;
        EXPECT_TRUE(both.ends_with("\r\n\r\n23")) << both;
        EXPECT_TRUE(client.closed());
    }
    {
        SCOPED_TRACE("Connection: close ends a route's connection after its answer");
        Client client(port_);
        ASSERT_TRUE(client.Send("GET /api/status/checkalive HTTP/1.1\r\nConnection: close\r\n\r\n" + request));
        EXPECT_EQ(client.ReadUntilClose(), answer);
    }
    {
        SCOPED_TRACE("a file over HTTP/1.1 keeps the connection; over HTTP/1.0 it closes");
        Client client(port_);
        ASSERT_TRUE(client.Send("GET /missing.txt HTTP/1.1\r\n\r\n"));
        std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
        EXPECT_EQ(client.Read(notFound.size()), notFound);
        ASSERT_TRUE(client.Send("GET /ten.txt HTTP/1.0\r\nRange: bytes=9-\r\n\r\n"));
        std::string last = client.ReadUntilClose();
        EXPECT_TRUE(last.ends_with("\r\n\r\n9")) << last;
        EXPECT_TRUE(client.closed());
    }
    {
        SCOPED_TRACE("a request line split across packets, and LF alone does not end it");
        Client client(port_);
        ASSERT_TRUE(client.Send("GET /api/status/che"));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(client.Send("ckalive HTTP/1.1\r"));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(client.Send("\nX-Note: a\nb\r\nConnection: close\r\n\r\n"));
        EXPECT_EQ(client.ReadUntilClose(), answer);
    }
}

TEST_F(ServerTest, GzipCopiesOfTextFiles)
{
    // The compressor runs at the lowest priority: give it time on a busy machine.
    std::string gzipPath = install_->WebFile("app.JS.gz");
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!fs::exists(gzipPath) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(fs::exists(gzipPath));
    EXPECT_FALSE(fs::exists(install_->WebFile("ten.txt.gz")));
    std::string original = ReadFile(install_->WebFile("app.JS"));
    std::string member = ReadFile(gzipPath);
    ASSERT_GT(member.size(), 18u);
    EXPECT_LT(member.size(), original.size());

    std::string answer = Exchange("GET /app.JS HTTP/1.0\r\nAccept-Encoding: deflate, gzip\r\n\r\n");
    std::string header = "HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\nContent-Length: " + std::to_string(member.size()) +
                         "\r\nContent-Type: text/javascript\r\nCache-Control: max-age=3600\r\nLast-Modified: " + kFixtureDate +
                         "\r\nETag: \"1234-" + std::to_string(original.size()) + "\"\r\n\r\n";
    EXPECT_EQ(answer, header + member);

    // The member: gzip magic, deflate, the source's modification time, and the source inside.
    EXPECT_EQ(member.substr(0, 4), std::string("\x1f\x8b\x08\x00", 4));
    EXPECT_EQ(member.substr(4, 4), std::string("\xD2\xF5\x53\x65", 4)); // 1700001234 little-endian
    EXPECT_EQ(tavolex::testing::Gunzip(member, original.size()), original);

    // Without "gzip" in Accept-Encoding, or with a range, the plain file goes out.
    std::string plain = Exchange("GET /app.JS HTTP/1.0\r\nAccept-Encoding: GZIP\r\n\r\n");
    EXPECT_TRUE(plain.ends_with(original));
    std::string ranged = Exchange("GET /app.JS HTTP/1.0\r\nAccept-Encoding: gzip\r\nRange: bytes=0-7\r\n\r\n");
    EXPECT_TRUE(ranged.ends_with("\r\n\r\n" + original.substr(0, 8))) << ranged;
}

// Requests beyond the server's limits, headers that decide where a request goes or how its
// bytes are framed, and answers before HTTP/1.1: each is answered and then closed.
TEST_F(ServerTest, LimitsHostsAndFramingAnswerAndClose)
{
    const std::string ok33 = "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json\r\n"
                             "Content-Length: 33\r\n\r\n{\"errorcode\":200,\"errormsg\":\"OK\"}";
    const std::string tooLarge = "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    const std::string uriTooLong = "HTTP/1.1 414 URI Too Long\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    const std::string badRequest = "HTTP/1.1 400 Bad Request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    const std::string notImplemented = "HTTP/1.1 501 Not Implemented\r\nConnection: close\r\n\r\n";
    const std::string forbidden = "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    const std::string notModified = "HTTP/1.1 304 Not Modified\r\n\r\n";
    const std::string tenFile =
        "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n" +
        FileHeaders("application/octet-stream",
                    "Content-Disposition: attachment; filename=\"ten.txt\"; filename*=UTF-8''ten.txt\r\n", "max-age=0",
                    "1234-10") +
        "0123456789";
    const std::string port = std::to_string(port_);
    const std::string checkalive = "GET /api/status/checkalive HTTP/1.1\r\n";
    auto headerLines = [](int count) {
        std::string lines;
        for (int i = 0; i < count; ++i)
            lines += "X-N" + std::to_string(i) + ": 1\r\n";
        return lines;
    };
    // "X-Pad: " and padding: a header line of `size` bytes without its CR LF.
    auto padLine = [](size_t size) { return "X-Pad: " + std::string(size - 7, 'p') + "\r\n"; };
    const std::string smuggled = "GET /ten.txt HTTP/1.1\r\n\r\n";
    const std::string chunked = std::to_string(smuggled.size()) + "\r\n" + smuggled + "\r\n0\r\n\r\n";

    struct Row {
        std::string note;
        std::string request;
        std::string response;
    } rows[] = {
        // Line, block and count limits.
        {"request line over 16 KB", "GET /" + std::string(17000, 'a') + " HTTP/1.1\r\n\r\n", tooLarge},
        {"header line of 16384 bytes", checkalive + padLine(16384) + "Connection: close\r\n\r\n", ok33},
        {"header line of 16385 bytes", checkalive + padLine(16385) + "Connection: close\r\n\r\n", tooLarge},
        {"header line that never ends", checkalive + "X-Pad: " + std::string(40000, 'p'), tooLarge},
        {"100 header lines", checkalive + headerLines(99) + "Connection: close\r\n\r\n", ok33},
        {"101 header lines", checkalive + headerLines(100) + "Connection: close\r\n\r\n", tooLarge},
        {"header block over 64 KB", checkalive + padLine(15000) + padLine(15000) + padLine(15000) + padLine(15000) +
                                        padLine(15000) + "\r\n", tooLarge},
        // The 259-byte target field is refused when the target does not fit, never cut.
        {"target of 259 bytes", "GET /" + std::string(258, 'a') + " HTTP/1.0\r\n\r\n", notFound},
        {"target of 260 bytes", "GET /" + std::string(259, 'a') + " HTTP/1.0\r\n\r\n", uriTooLong},
        {"query past the field", "GET /api/status/checkalive?name=" + std::string(250, 'x') + "&id=1 HTTP/1.1\r\n\r\n",
         uriTooLong},
        // Host, Origin and Sec-Fetch-Site, whatever the case of their names.
        {"lower-case host", "GET /ten.txt HTTP/1.1\r\nhost: evil.example\r\n\r\n", forbidden},
        {"upper-case host on a route", checkalive + "HOST: evil.example\r\n\r\n", forbidden},
        {"lower-case origin", checkalive + "origin: http://evil.example\r\n\r\n", forbidden},
        {"a second, foreign origin", checkalive + "Origin: http://localhost:" + port + "\r\norigin: http://evil.example\r\n\r\n",
         forbidden},
        {"lower-case sec-fetch-site", checkalive + "sec-fetch-site: cross-site\r\n\r\n", forbidden},
        {"two Host headers", checkalive + "Host: localhost\r\nHost: localhost\r\n\r\n", badRequest},
        {"two Host headers in two cases", "GET /ten.txt HTTP/1.1\r\nHost: localhost\r\nhost: 127.0.0.1\r\n\r\n", badRequest},
        // Framing: no chunked bodies, and one body length.
        {"chunked body", "POST /api/status/checkalive HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + chunked,
         notImplemented},
        {"lower-case transfer-encoding on a file", "GET /ten.txt HTTP/1.1\r\ntransfer-encoding: gzip\r\n\r\n", notImplemented},
        {"blank before a colon", "POST /api/status/checkalive HTTP/1.1\r\nContent-Length : 28\r\n\r\n" + smuggled, badRequest},
        {"Content-Length headers disagree",
         "POST /api/status/checkalive HTTP/1.1\r\nContent-Length: 3\r\ncontent-length: 28\r\n\r\na=1" + smuggled, badRequest},
        // Before HTTP/1.1 a route's answer ends the connection.
        {"HTTP/1.0 route", "GET /api/status/checkalive HTTP/1.0\r\n\r\n", ok33},
        {"route without a version", "GET /api/status/checkalive\r\n\r\n", ok33},
        {"HTTP/1.0 form POST", "POST /api/status/checkalive HTTP/1.0\r\nContent-Length: 3\r\n\r\na=1", ok33},
        // If-None-Match compares whole entity tags.
        {"weak tag", "GET /ten.txt HTTP/1.0\r\nIf-None-Match: W/\"1234-10\"\r\n\r\n", notModified},
        {"tag in a list", "GET /ten.txt HTTP/1.0\r\nIf-None-Match: \"x\", \"1234-10\"\r\n\r\n", notModified},
        {"any tag", "GET /ten.txt HTTP/1.0\r\nIf-None-Match: *\r\n\r\n", notModified},
        {"tag holding the tag", "GET /ten.txt HTTP/1.0\r\nIf-None-Match: \"11234-10\"\r\n\r\n", tenFile},
        {"tag without quotes", "GET /ten.txt HTTP/1.0\r\nIf-None-Match: 1234-10\r\n\r\n", tenFile},
        {"tag of another file", "GET /ten.txt HTTP/1.0\r\nIf-None-Match: \"1234-1\"\r\n\r\n", tenFile},
    };
    for (const Row& row : rows) {
        ClosingAnswer answer = ExchangeOnce(port_, row.request);
        EXPECT_EQ(answer.bytes, row.response) << row.note;
        EXPECT_TRUE(answer.closed) << row.note;
    }

    std::string log = server_->LogText();
    EXPECT_NE(log.find("Weblet: Request line too long: 127.0.0.1\r\n"), std::string::npos);
    EXPECT_NE(log.find("Weblet: Request header fields too large: 127.0.0.1 api/status/checkalive\r\n"), std::string::npos);
    EXPECT_NE(log.find("Weblet: Request URI too long: 127.0.0.1 (260 bytes)\r\n"), std::string::npos);
    EXPECT_NE(log.find("Weblet: Bad request: 127.0.0.1 ten.txt (more than one Host header)\r\n"), std::string::npos);
    EXPECT_NE(log.find("Weblet: Transfer-Encoding requested: 127.0.0.1 api/status/checkalive (return error 501 Not Implemented)\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("Weblet: Bad request: 127.0.0.1 api/status/checkalive (Content-Length headers disagree)\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("Weblet: Bad request: 127.0.0.1 api/status/checkalive (blank before a header's colon)\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("Weblet: Forbidden: foreign Host header evil.example from 127.0.0.1"), std::string::npos);
}

// A connection that stays open never takes body bytes that no handler read for a request.
TEST_F(ServerTest, KeptConnectionsSkipUnreadBodies)
{
    const std::string ok33 = "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json\r\n"
                             "Content-Length: 33\r\n\r\n{\"errorcode\":200,\"errormsg\":\"OK\"}";
    const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    const std::string last = "GET /api/status/checkalive HTTP/1.1\r\nConnection: close\r\n\r\n";
    const std::string smuggled = "GET /ten.txt HTTP/1.1\r\n\r\n";
    const std::string length = std::to_string(smuggled.size());
    struct Row {
        std::string note;
        std::string request; // followed by `last` on the same connection
        std::string response;
    } rows[] = {
        {"body of a file request", "GET /missing.txt HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n" + smuggled,
         notFound + ok33},
        {"form body under a lower-case name", "POST /api/status/checkalive HTTP/1.1\r\ncontent-length: " + length + "\r\n\r\n" + smuggled,
         ok33 + ok33},
        {"body of a GET route", "GET /api/status/checkalive HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n" + smuggled,
         ok33 + ok33},
        {"HTTP/1.0 asking to keep the connection", "GET /api/status/checkalive HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n",
         ok33 + ok33},
        {"416 leaves the connection open",
         "GET /ten.txt HTTP/1.1\r\nRange: bytes=20-\r\n\r\n",
         "HTTP/1.1 416 Requested Range Not Satisfiable\r\nContent-Length: 0\r\n\r\n" + ok33},
    };
    for (const Row& row : rows) {
        ClosingAnswer answer = ExchangeOnce(port_, row.request + last);
        EXPECT_EQ(answer.bytes, row.response) << row.note;
        EXPECT_TRUE(answer.closed) << row.note;
    }

    SCOPED_TRACE("a body too long to skip closes the connection after the answer");
    Client client(port_);
    ASSERT_TRUE(client.Send("GET /missing.txt HTTP/1.1\r\nContent-Length: 1000000\r\n\r\n" + std::string(1000, 'x')));
    EXPECT_EQ(client.ReadUntilClose(), notFound);
    EXPECT_TRUE(client.closed());
}

// The gzip copier keeps to the `Web` folder as serving does: a symbolic link that leads out of
// it gets no copy, so the outside file cannot be fetched as that copy either.
TEST_F(ServerTest, GzipCopiesStayInsideTheWebFolder)
{
    auto deadline = Clock::now() + std::chrono::seconds(60);
    while (!fs::exists(install_->WebFile("app.JS.gz")) && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    while (server_->HasThread("WebFolderCompressor") && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_FALSE(server_->HasThread("WebFolderCompressor")) << "the compressor did not finish";
    EXPECT_TRUE(fs::exists(install_->WebFile("index.html.gz")));
    EXPECT_FALSE(fs::exists(install_->WebFile("leak.html.gz")));
    EXPECT_EQ(Exchange("GET /leak.html.gz HTTP/1.0\r\n\r\n"), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(Exchange("GET /leak.html HTTP/1.0\r\nAccept-Encoding: gzip\r\n\r\n"),
              "HTTP/1.1 404 Not Found\r\nConnection: close\r\n\r\n");
}

// A session cookie is request text like any other: it cannot write lines of its own into the log.
TEST_F(ServerTest, SessionCookieIsEscapedInTheLog)
{
    std::string answer = Exchange("GET /api/status/checkalive HTTP/1.1\r\n"
                                  "Cookie: tavolexs_sess=abc%0D%0A12:00:01 forged\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(answer.ends_with("{\"errorcode\":200,\"errormsg\":\"OK\"}")) << answer;
    std::string log = server_->LogText();
    EXPECT_NE(log.find("for: abc??12:00:01 forged\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("\n12:00:01 forged"), std::string::npos);
}

TEST_F(ServerTest, OtherLoopbackPeersGetNothing)
{
    Client stranger(port_, "127.0.0.2");
    ASSERT_TRUE(stranger.connected());
    stranger.Send("GET /api/status/checkalive HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(stranger.ServerClosed());
    EXPECT_EQ(server_->LogText().find("127.0.0.2"), std::string::npos);
}

TEST(ServerProcess, PortMovesUpWhenTakenAndIsSaved)
{
    Install install;
    uint16_t taken = FreePort(2);
    ASSERT_NE(taken, 0);
    int blocker = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(taken);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(blocker, 1), 0);

    uint16_t moved = static_cast<uint16_t>(taken + 1);
    Server server(install, taken, false);
    ASSERT_TRUE(Server::WaitListening(moved));
    Client client(moved);
    client.Send("GET /api/status/checkalive HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(client.ReadUntilClose().ends_with("{\"errorcode\":200,\"errormsg\":\"OK\"}"));
    EXPECT_EQ(server.Terminate(), 0);
    close(blocker);

    std::string log = server.LogText();
    std::string expected = "Webserver cannot bind to TCP/IP port.\r\n";
    size_t at = log.find(expected);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.find("Some other program may be using port " + std::to_string(taken) + ".\r\n", at), std::string::npos);
    EXPECT_NE(log.find("Restarting listener on port: " + std::to_string(moved) + "\r\n", at), std::string::npos);
    EXPECT_NE(server.SettingsText().find("Port=" + std::to_string(moved)), std::string::npos) << server.SettingsText();
}

// The size of a process's address space, from /proc (0 when it cannot be read).
size_t AddressSpaceBytes(pid_t pid)
{
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("VmSize:");
    if (at == std::string::npos)
        return 0;
    return std::stoul(status.substr(at + 7)) * 1024;
}

// How many connection threads the program runs now.
size_t ConnectionThreads(pid_t pid)
{
    size_t count = 0;
    std::error_code ignored;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored))
        count += ReadFile(task.path().string() + "/comm").starts_with("LWebletConnecti");
    return count;
}

size_t CountOf(const std::string& text, std::string_view part)
{
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// Under a memory limit far below what the requests would take, huge header lines are refused
// with 431, and a request whose parameters do not fit ends its own connection, not the server.
TEST(ServerProcess, MemoryLimitIsNeverReachedByHeadersAndNeverEndsTheProcess)
{
#ifdef TAVOLEX_TEST_UNDER_ASAN
    GTEST_SKIP() << "AddressSanitizer reserves more address space than any limit here allows";
#endif
    Install install;
    uint16_t port = FreePort();
    // One heap for all threads: C's allocator would otherwise reserve 64 MB of address space
    // for the heap of each new thread, and the room below would depend on how many it made.
    Server server(install, port, true, {{"MALLOC_ARENA_MAX", "1"}});
    size_t started = AddressSpaceBytes(server.pid());
    ASSERT_GT(started, 0u);
    // Room for a few connection threads (8 MB of stack each), not for four 128 MB lines.
    constexpr size_t kHeadroom = 160u << 20;
    rlimit limit{started + kHeadroom, started + kHeadroom};
    ASSERT_EQ(prlimit(server.pid(), RLIMIT_AS, &limit, nullptr), 0);

    constexpr size_t kLine = 128u << 20;
    std::vector<std::string> answers(4);
    std::vector<std::thread> senders;
    for (std::string& answer : answers) {
        senders.emplace_back([&answer, port] {
            Client client(port);
            client.Send("GET /api/status/checkalive HTTP/1.1\r\nX-Pad: ");
            const std::string piece(1u << 20, 'p');
            for (size_t sent = 0; sent < kLine && client.Send(piece); sent += piece.size()) {
            }
            answer = client.ReadUntilClose();
        });
    }
    for (std::thread& sender : senders)
        sender.join();
    const std::string tooLarge = "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    for (const std::string& answer : answers)
        EXPECT_TRUE(answer.empty() || answer == tooLarge) << answer.substr(0, 200); // a reset may eat the answer

    // 2.5 million form parameters of about 100 bytes each: more memory than the limit leaves.
    std::string form;
    while (form.size() + 2 <= 5000000)
        form += "a&";
    ClosingAnswer failed = ExchangeOnce(port, "POST /api/status/checkalive HTTP/1.1\r\nContent-Length: " +
                                                  std::to_string(form.size()) + "\r\n\r\n" + form);
    EXPECT_EQ(failed.bytes, "");
    EXPECT_TRUE(failed.closed);

    ClosingAnswer alive = ExchangeOnce(port, "GET /api/status/checkalive HTTP/1.1\r\nConnection: close\r\n\r\n");
    EXPECT_TRUE(alive.bytes.ends_with("{\"errorcode\":200,\"errormsg\":\"OK\"}")) << alive.bytes;
    EXPECT_EQ(server.Terminate(), 0);
    std::string log = server.LogText();
    EXPECT_EQ(CountOf(log, "Weblet: Request header fields too large: 127.0.0.1 api/status/checkalive\r\n"), 4u) << log;
    EXPECT_EQ(CountOf(log, "LWebletConnectionThread: ended by an exception: std::bad_alloc\r\n"), 1u) << log;
}

// A coalesced setting that still waits in memory is written when the program ends.
TEST(ServerProcess, WaitingSettingsAreWrittenAtExit)
{
    Install install;
    uint16_t port = FreePort();
    Server server(install, port);
    ASSERT_EQ(ExchangeOnce(port, "GET /missing.txt HTTP/1.0\r\n\r\n").bytes, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(server.Terminate(), 0);
    std::string settings = server.SettingsText();
    size_t section = settings.find("\n[Settings]\n");
    ASSERT_NE(section, std::string::npos) << settings;
    EXPECT_NE(settings.find("\nLastWebletErrorFileNotFound=", section), std::string::npos) << settings;
}

// With the process out of descriptors the server keeps its port: the connections idle longest
// make room, and the request behind them is answered.
TEST(ServerProcess, OutOfDescriptorsIdleConnectionsMakeRoom)
{
#ifdef TAVOLEX_TEST_UNDER_ASAN
    // The sanitizers test whether memory is readable through a pipe: out of descriptors, their
    // type checks report sound objects as broken.
    GTEST_SKIP() << "the sanitizers' own checks need descriptors this test takes away";
#endif
    Install install;
    uint16_t port = FreePort();
    Server server(install, port);
    auto openDescriptors = [&] {
        size_t count = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/" + std::to_string(server.pid()) + "/fd"))
            ++count;
        return count;
    };
    // Room for about ten connections (a socket and an event descriptor each).
    // Counted once the start-up work (the gzip copies) has settled: a file the server opens
    // meanwhile would eat the room, and a soft limit above the hard one is refused.
    size_t settled = openDescriptors();
    for (int same = 0, i = 0; same < 5 && i < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        size_t now = openDescriptors();
        same = now == settled ? same + 1 : 0;
        settled = now;
    }
    const rlim_t room = settled + 24;
    rlimit limit{room, room};
    ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, &limit, nullptr), 0);

    std::vector<std::unique_ptr<Client>> idle;
    // The first one waits alone for a while, so it is the one idle longest beyond doubt.
    idle.push_back(std::make_unique<Client>(port));
    ASSERT_TRUE(idle.back()->connected());
    auto deadline = Clock::now() + std::chrono::seconds(30);
    while (ConnectionThreads(server.pid()) < 1 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int i = 1; i < 40; ++i) {
        idle.push_back(std::make_unique<Client>(port));
        ASSERT_TRUE(idle.back()->connected());
    }
    ClosingAnswer answer = ExchangeOnce(port, "GET /ten.txt HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(answer.bytes.starts_with("HTTP/1.1 200 OK\r\n") && answer.bytes.ends_with("0123456789")) << answer.bytes;
    EXPECT_TRUE(idle.front()->ServerClosed()); // the oldest gave way
    EXPECT_TRUE(Server::WaitListening(port));
    EXPECT_EQ(server.Terminate(), 0);
    std::string log = server.LogText();
    EXPECT_EQ(CountOf(log, "Weblet: cannot accept a connection (Too many open files): closing idle connections\r\n"), 1u) << log;
}

// At 512 open connections the ones idle longest make room for a new one, with descriptors to
// spare: the cap, not the system, decides.
TEST(ServerProcess, ConnectionCapMakesRoomFromIdleConnections)
{
    Install install;
    uint16_t port = FreePort();
    Server server(install, port);
    rlimit plenty{8192, 8192};
    ASSERT_EQ(prlimit(server.pid(), RLIMIT_NOFILE, &plenty, nullptr), 0);
    rlimit own{};
    getrlimit(RLIMIT_NOFILE, &own);
    if (own.rlim_cur < 600)
        GTEST_SKIP() << "this test needs 600 descriptors of its own";

    auto threads = [&] { return ConnectionThreads(server.pid()); };
    // In groups the backlog holds, each given its threads before the next: a full backlog would
    // drop connections for the client to send again a second later.
    std::vector<std::unique_ptr<Client>> idle;
    auto deadline = Clock::now() + std::chrono::seconds(60);
    // The first one waits alone for a while, so it is the one idle longest beyond doubt.
    idle.push_back(std::make_unique<Client>(port));
    while (threads() < 1 && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    while (idle.size() < 512) {
        for (int i = 0; i < 32 && idle.size() < 512; ++i) {
            idle.push_back(std::make_unique<Client>(port));
            ASSERT_TRUE(idle.back()->connected());
        }
        while (threads() < idle.size() && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(threads(), 512u);

    ClosingAnswer answer = ExchangeOnce(port, "GET /ten.txt HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(answer.bytes.starts_with("HTTP/1.1 200 OK\r\n") && answer.bytes.ends_with("0123456789")) << answer.bytes;
    EXPECT_TRUE(idle.front()->ServerClosed()); // the oldest gave way
    EXPECT_FALSE(idle.back()->ServerClosed(200)); // the newest did not
    idle.clear();
    EXPECT_EQ(server.Terminate(), 0);
    EXPECT_EQ(server.LogText().find("cannot accept a connection"), std::string::npos);
}

// A socket on [::1]: listening at `port` (v6only), or connected to it. -1 when it cannot be made.
int Loopback6Socket(uint16_t port, bool listening)
{
    int fd = socket(AF_INET6, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    int on = 1;
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    bool ok = listening ? bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(fd, 1) == 0
                        : connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (!ok) {
        close(fd);
        return -1;
    }
    return fd;
}

// One request over [::1]; the answer up to the server's close.
std::string Exchange6(uint16_t port, std::string_view request)
{
    int fd = Loopback6Socket(port, false);
    if (fd < 0)
        return {};
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    pollfd ready{fd, POLLIN, 0};
    char buffer[4096];
    ssize_t got;
    while (poll(&ready, 1, 5000) > 0 && (got = recv(fd, buffer, sizeof buffer, 0)) > 0)
        answer.append(buffer, static_cast<size_t>(got));
    close(fd);
    return answer;
}

// The server also listens on [::1] at its port, so no other program can take that address for
// a browser that tries it first; when one already holds it there, the server moves on.
// A form body may take as long as it likes while bytes keep coming; one that stops for 30 s
// ends its connection. The slow one here outlasts any limit on the whole body's time.
TEST(ServerProcess, BodiesMustKeepArrivingButMayTakeLong)
{
    Install install;
    uint16_t port = FreePort();
    Server server(install, port);
    Client slow(port), stalled(port);
    ASSERT_TRUE(slow.connected() && stalled.connected());
    const std::string form = "a=0123456789";
    std::string head = "POST /api/status/checkalive HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                       "application/x-www-form-urlencoded\r\nContent-Length: " + std::to_string(form.size()) + "\r\n\r\n";
    ASSERT_TRUE(slow.Send(head) && stalled.Send(head + form.substr(0, 4)));
    const auto start = Clock::now();
    bool stalledClosed = false;
    double stalledAfter = 0;
    // One byte every 3.5 s: 42 s in all, more than the 40 s a limit on the whole would allow.
    for (size_t i = 0; i < form.size(); ++i) {
        for (auto next = Clock::now() + std::chrono::milliseconds(3500); Clock::now() < next;) {
            if (stalledClosed)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            else if (stalled.ServerClosed(100)) {
                stalledClosed = true;
                stalledAfter = std::chrono::duration<double>(Clock::now() - start).count();
            }
        }
        ASSERT_TRUE(slow.Send(form.substr(i, 1))) << "the slow sender was cut off after " << i << " bytes";
    }
    std::string answer = slow.Read(17, 10000);
    EXPECT_EQ(answer, "HTTP/1.1 200 OK\r\n");
    EXPECT_TRUE(stalledClosed);
    EXPECT_GE(stalledAfter, 29.0);
    EXPECT_LE(stalledAfter, 40.0);
}

TEST(ServerProcess, ListensOnTheIpv6LoopbackAddressToo)
{
    uint16_t taken = FreePort(2);
    ASSERT_NE(taken, 0);
    int blocker = Loopback6Socket(taken, true);
    if (blocker < 0)
        GTEST_SKIP() << "this machine has no IPv6 loopback address";
    Install install;
    Server server(install, taken, false);
    // The port the server moved to, as its log says: usually the next one, unless another test
    // running beside this one took that first.
    uint16_t moved = 0;
    for (auto deadline = Clock::now() + std::chrono::seconds(10); moved == 0 && Clock::now() < deadline;) {
        std::string log = server.LogText();
        size_t at = log.find("Restarting listener on port: ");
        if (at != std::string::npos && log.find("\r\n", at) != std::string::npos)
            moved = static_cast<uint16_t>(std::atoi(log.c_str() + at + 29));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_GT(moved, taken);
    ASSERT_TRUE(Server::WaitListening(moved));
    // The second address is set up right after the first: give it the same short moment.
    for (int i = 0; i < 250; ++i) {
        int probe = Loopback6Socket(moved, false);
        if (probe >= 0) {
            close(probe);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string ok33 = "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json\r\n"
                             "Content-Length: 33\r\n\r\n{\"errorcode\":200,\"errormsg\":\"OK\"}";
    const std::string port = std::to_string(moved);
    EXPECT_EQ(Exchange6(moved, "GET /api/status/checkalive HTTP/1.1\r\nHost: [::1]:" + port +
                                   "\r\nOrigin: http://[::1]:" + port + "\r\nConnection: close\r\n\r\n"),
              ok33);
    EXPECT_EQ(Exchange6(moved, "GET /missing6.txt HTTP/1.0\r\n\r\n"), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(ExchangeOnce(moved, "GET /api/status/checkalive HTTP/1.0\r\n\r\n").bytes, ok33);
    EXPECT_EQ(server.Terminate(), 0);
    close(blocker);

    std::string log = server.LogText();
    size_t at = log.find("Webserver cannot bind to TCP/IP port.\r\n");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.find("Restarting listener on port: " + port + "\r\n", at), std::string::npos);
    EXPECT_NE(log.find("missing6.txt for connection ::1\r\n"), std::string::npos) << log;
}

TEST(ServerProcess, TerminationEndsWaitingConnections)
{
    Install install;
    uint16_t port = FreePort();
    Server server(install, port);
    Client idle(port);
    Client halfway(port);
    ASSERT_TRUE(idle.connected());
    ASSERT_TRUE(halfway.connected());
    halfway.Send("GET /ten.txt HTTP/1.1\r\nHost: local");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(server.Terminate(), 0);
    EXPECT_TRUE(idle.ServerClosed(1000));
    EXPECT_TRUE(halfway.ServerClosed(1000));
    std::string log = server.LogText();
    EXPECT_NE(log.find("Starting server engine...\r\n"), std::string::npos);
    EXPECT_NE(log.find("Starting web server (Non-secure)\r\n"), std::string::npos);
    EXPECT_NE(log.find("Stopping server engine\r\n"), std::string::npos);
    EXPECT_NE(log.find("Stopping web server (Non-secure)\r\n"), std::string::npos);
}

} // namespace
