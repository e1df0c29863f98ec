// The real tavolex program for integration tests: started with its own TAVOLEX_HOME and a free
// port, spoken to over real sockets on 127.0.0.1.
#pragma once

#include "test_home.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace tavolex::testing {

// A port on 127.0.0.1 that nothing listens on right now.
inline uint16_t FreeLoopbackPort()
{
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t size = sizeof address;
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    close(probe);
    return ntohs(address.sin_port);
}

// True when something on 127.0.0.1 accepts a connection at `port`.
inline bool LoopbackPortAccepts(uint16_t port)
{
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool accepted = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    return accepted;
}

// One HTTP exchange's answer, split at the blank line.
struct HttpAnswer {
    std::string raw;
    std::string head;
    std::string body;
    int status = 0;

    std::string Header(std::string_view name) const
    {
        std::string key = "\r\n" + std::string(name) + ": ";
        size_t at = head.find(key);
        if (at == std::string::npos)
            return {};
        at += key.size();
        return head.substr(at, head.find("\r\n", at) - at);
    }
};

// A keep-alive client connection.
class HttpClient {
public:
    explicit HttpClient(uint16_t port) : port_(port) { Connect(); }
    ~HttpClient() { close(fd_); }
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Sends one request and reads one answer (by its Content-Length, else to the close).
    // Reconnects first when the server closed the connection after the previous answer.
    HttpAnswer Request(std::string_view method, std::string_view target, std::string_view body = {},
                       std::string_view extraHeaders = {})
    {
        if (closed_)
            Connect();
        std::string request = std::string(method) + " /" + std::string(target) +
                              " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + std::string(extraHeaders);
        if (!cookie_.empty())
            request += "Cookie: tavolexs_sess=" + cookie_ + "\r\n";
        if (method == "POST")
            request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        request += "\r\n";
        request += body;
        send(fd_, request.data(), request.size(), MSG_NOSIGNAL);
        return ReadAnswer();
    }
    void SetCookie(std::string cookie) { cookie_ = std::move(cookie); }
    const std::string& cookie() const { return cookie_; }
    // How long one answer may take; long upgrades on a loaded machine need more than the default.
    void SetPatience(std::chrono::seconds patience) { patience_ = patience; }

private:
    void Connect()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        closed_ = connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
    }

    // Reads into `buffer_` until it holds `count` bytes or the server closes or the patience runs out.
    bool Fill(size_t count)
    {
        auto deadline = std::chrono::steady_clock::now() + patience_;
        while (buffer_.size() < count) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            pollfd ready{fd_, POLLIN, 0};
            if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0)
                return false;
            char chunk[65536];
            ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) {
                closed_ = true;
                return false;
            }
            buffer_.append(chunk, static_cast<size_t>(got));
        }
        return true;
    }

    HttpAnswer ReadAnswer()
    {
        HttpAnswer answer;
        size_t end;
        while ((end = buffer_.find("\r\n\r\n")) == std::string::npos)
            if (!Fill(buffer_.size() + 1))
                break;
        if (end == std::string::npos) {
            answer.raw = std::exchange(buffer_, {});
            return answer;
        }
        answer.head = buffer_.substr(0, end);
        size_t bodyStart = end + 4;
        std::string lengthText = answer.Header("Content-Length");
        if (!lengthText.empty()) {
            size_t length = std::stoul(lengthText);
            Fill(bodyStart + length);
            answer.body = buffer_.substr(bodyStart, length);
            answer.raw = buffer_.substr(0, bodyStart + length);
            buffer_.erase(0, answer.raw.size());
        } else {
            while (Fill(buffer_.size() + 1)) {
            }
            answer.body = buffer_.substr(bodyStart);
            answer.raw = std::exchange(buffer_, {});
        }
        if (answer.head.starts_with("HTTP/1.1 "))
            answer.status = std::atoi(answer.head.c_str() + 9);
        if (answer.Header("Connection") == "close")
            closed_ = true;
        return answer;
    }

    uint16_t port_;
    int fd_ = -1;
    bool closed_ = false;
    std::string buffer_;
    std::string cookie_;
    std::chrono::seconds patience_{10};
};

// build/tavolex running with a TAVOLEX_HOME of its own until the object goes.
class LiveServer {
public:
    // `prepare` runs on the fresh home folder before the program starts (to place a database).
    template<class Prepare = void (*)(const std::string&)>
    explicit LiveServer(const std::string& binary, Prepare prepare = [](const std::string&) {})
        : port_(FreeLoopbackPort())
    {
        prepare(home_.path());
        WriteFile(home_.File("settings.ini"), "[WebServer]\nPort=" + std::to_string(port_) + "\n");
        Start(binary);
    }
    ~LiveServer() { Stop(SIGTERM); }
    LiveServer(const LiveServer&) = delete;
    LiveServer& operator=(const LiveServer&) = delete;

    void Start(const std::string& binary)
    {
        pid_ = fork();
        if (pid_ == 0) {
            setenv("TAVOLEX_HOME", home_.path().c_str(), 1);
            setenv("TAVOLEX_BROWSER", "none", 1);
            execl(binary.c_str(), binary.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            if (LoopbackPortAccepts(port_))
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    // Sends `signal` and waits for the end; the exit status, or 128 + the signal that ended it.
    int Stop(int signal)
    {
        if (pid_ <= 0)
            return -1;
        kill(pid_, signal);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    uint16_t port() const { return port_; }
    const TestHome& home() const { return home_; }
    std::string LogText() const
    {
        std::string text;
        std::error_code ignored;
        for (const auto& entry : std::filesystem::directory_iterator(home_.File("Logs"), ignored))
            text += ReadFile(entry.path().string());
        return text;
    }

private:
    TestHome home_;
    uint16_t port_;
    pid_t pid_ = -1;
};

} // namespace tavolex::testing
