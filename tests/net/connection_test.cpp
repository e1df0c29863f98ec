// NetConnection against real sockets on 127.0.0.1.
#include "net.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using tavolex::net::ConnStatus;
using tavolex::net::NetConnection;
using tavolex::net::NeverCancelled;

// A listening socket on 127.0.0.1 with a port of the system's choosing.
class Listener {
public:
    explicit Listener(int backlog = 8)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        listen(fd_, backlog);
        socklen_t size = sizeof address;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port_ = ntohs(address.sin_port);
    }
    ~Listener()
    {
        for (int fd : accepted_)
            close(fd);
        close(fd_);
    }
    uint16_t port() const { return port_; }
    int Accept()
    {
        int fd = accept(fd_, nullptr, nullptr);
        accepted_.push_back(fd);
        return fd;
    }
    std::string HostString() const { return "127.0.0.1:" + std::to_string(port_); }

private:
    int fd_ = -1;
    uint16_t port_ = 0;
    std::vector<int> accepted_;
};

class FlagCancel final : public tavolex::net::CancelCheck {
public:
    bool IsCancelled() const override { return flag.load(); }
    std::atomic<bool> flag{false};
};

TEST(Resolve, HostStringsGivePortAndAddresses)
{
    struct Row {
        const char* host;
        uint16_t defaultPort;
        uint16_t port;
        int count;
        uint32_t first;
    } rows[] = {
        {"127.0.0.1:587", 25, 587, 1, 0x7F000001},
        {"127.0.0.1", 25, 25, 1, 0x7F000001},
        {"127.0.0.2:2525", 25, 2525, 1, 0x7F000002},
        {"", 25, 25, 0, 0},
    };
    for (const Row& row : rows) {
        auto list = tavolex::net::Resolve(row.host, row.defaultPort);
        EXPECT_EQ(list.port, row.port) << row.host;
        EXPECT_EQ(list.count, row.count) << row.host;
        if (row.count > 0) {
            EXPECT_EQ(list.addresses[0], row.first) << row.host;
        }
    }
    auto named = tavolex::net::Resolve("localhost:80", 25);
    EXPECT_EQ(named.port, 80);
    EXPECT_GE(named.count, 1);
    EXPECT_LE(named.count, tavolex::net::HostAddressList::kMaxAddresses);
}

TEST(NetConnection, ConnectSendAndReceiveExact)
{
    Listener listener;
    NetConnection connection;
    ASSERT_EQ(connection.Connect(listener.HostString(), 25, NeverCancelled()), ConnStatus::Ok);
    EXPECT_EQ(connection.HostName(), "127.0.0.1");
    int server = listener.Accept();

    std::string big(300000, 'x'); // more than the socket buffers take in one write
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    std::thread reader([server, &big] {
        std::string got;
        char buffer[65536];
        while (got.size() < big.size()) {
            ssize_t count = recv(server, buffer, sizeof buffer, 0);
            if (count <= 0)
                break;
            got.append(buffer, static_cast<size_t>(count));
        }
        EXPECT_EQ(got, big);
        send(server, "hello world", 11, 0);
    });
    EXPECT_EQ(connection.Send(big.data(), big.size(), NeverCancelled(), 10000), ConnStatus::Ok);
    reader.join();
    char reply[11];
    EXPECT_EQ(connection.ReceiveExact(reply, sizeof reply, NeverCancelled(), 5000), ConnStatus::Ok);
    EXPECT_EQ(std::string(reply, sizeof reply), "hello world");
}

TEST(NetConnection, ConnectFailsWhenNobodyListens)
{
    uint16_t port;
    {
        Listener closed;
        port = closed.port();
    }
    NetConnection connection;
    EXPECT_EQ(connection.Connect("127.0.0.1:" + std::to_string(port), 25, NeverCancelled()), ConnStatus::Failed);
    EXPECT_FALSE(connection.IsOpen());
}

TEST(NetConnection, LinesLongerThanThePeekArriveInPieces)
{
    Listener listener;
    NetConnection connection;
    ASSERT_EQ(connection.Connect(listener.HostString(), 25, NeverCancelled()), ConnStatus::Ok);
    int server = listener.Accept();
    std::string first = "250-" + std::string(60, 'a') + "\r\n";
    std::string second = "250 ok\r\n";
    std::string both = first + second;
    send(server, both.data(), both.size(), 0);

    std::vector<std::string> pieces;
    std::string line;
    char buffer[64];
    while (pieces.size() < 4) {
        size_t count = 0;
        ASSERT_EQ(connection.ReceiveLine(buffer, sizeof buffer, count, NeverCancelled(), 5000), ConnStatus::Ok);
        ASSERT_GT(count, 0u);
        ASSERT_LE(count, tavolex::net::kLinePeekBytes);
        pieces.emplace_back(buffer, count);
        line += pieces.back();
        if (line == both)
            break;
    }
    EXPECT_EQ(line, both);
    // The first line is longer than 48 bytes: it came in two pieces, and no piece ran past it.
    EXPECT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0] + pieces[1], first);
    EXPECT_EQ(pieces[2], second);
}

TEST(NetConnection, PeerCloseAndSilenceAreFailures)
{
    Listener listener;
    NetConnection connection;
    ASSERT_EQ(connection.Connect(listener.HostString(), 25, NeverCancelled()), ConnStatus::Ok);
    int server = listener.Accept();

    EXPECT_EQ(connection.WaitReadable(NeverCancelled(), 250), ConnStatus::Failed); // nothing arrives
    send(server, "ab", 2, 0);
    char buffer[8];
    EXPECT_EQ(connection.ReceiveExact(buffer, 2, NeverCancelled(), 1000), ConnStatus::Ok);
    shutdown(server, SHUT_WR);
    size_t count = 99;
    EXPECT_EQ(connection.Receive(buffer, sizeof buffer, count, NeverCancelled(), 1000), ConnStatus::Failed);
    EXPECT_EQ(count, 0u);

    connection.Close();
    EXPECT_FALSE(connection.IsOpen());
    EXPECT_EQ(connection.WaitReadable(NeverCancelled(), 100), ConnStatus::Failed);
    EXPECT_EQ(connection.Send("x", 1, NeverCancelled(), 100), ConnStatus::Failed);
}

TEST(NetConnection, CancelEndsAWaitAndAConnect)
{
    Listener listener;
    NetConnection connection;
    ASSERT_EQ(connection.Connect(listener.HostString(), 25, NeverCancelled()), ConnStatus::Ok);
    FlagCancel cancel;
    std::thread flipper([&cancel] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        cancel.flag = true;
    });
    EXPECT_EQ(connection.WaitReadable(cancel, 30000), ConnStatus::Cancelled);
    flipper.join();

    // A listener whose queue is full drops further handshakes, so the next connect hangs until
    // it is cancelled.
    Listener full(0);
    std::vector<int> fillers;
    for (int i = 0; i < 3; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(full.port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        fillers.push_back(fd);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    FlagCancel later;
    std::thread flipLater([&later] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        later.flag = true;
    });
    NetConnection hanging;
    EXPECT_EQ(hanging.Connect(full.HostString(), 25, later), ConnStatus::Cancelled);
    EXPECT_FALSE(hanging.IsOpen());
    flipLater.join();
    for (int fd : fillers)
        close(fd);
}

} // namespace
