// Logos on the real program: data URIs and multipart files, the limits, serving, progress, and
// no temporary file left behind.
#include "menu_server.h"

#include <arpa/inet.h>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>

namespace tavolex::menu {
namespace {

using testing::Error;
using testing::MenuServer;

constexpr std::string_view kPngSignature = "\x89PNG\r\n\x1A\n";

// Bytes that begin as a PNG does, `size` long.
std::string PngOfSize(size_t size)
{
    std::string bytes(kPngSignature);
    for (size_t i = bytes.size(); i < size; ++i)
        bytes += static_cast<char>('A' + i % 26);
    return bytes;
}

std::string Base64(std::string_view bytes, size_t lineLength = 0)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            group |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size())
            group |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(group >> 18) & 63];
        out += kAlphabet[(group >> 12) & 63];
        out += i + 1 < bytes.size() ? kAlphabet[(group >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kAlphabet[group & 63] : '=';
        if (lineLength && out.size() % (lineLength + 2) == lineLength)
            out += "\r\n";
    }
    return out;
}

constexpr std::string_view kBoundary = "----TavolexTestBoundary";

std::string Multipart(std::string_view fileName, std::string_view bytes, std::string_view disposition = "Content-Disposition")
{
    return Format("--%s\r\n%s: form-data; name=\"note\"\r\n\r\nour new logo\r\n"
                  "--%s\r\n%s: form-data; name=\"file\"; filename=\"C:\\\\Pictures\\\\%s\"\r\nContent-Type: image/png\r\n\r\n",
                  kBoundary, disposition, kBoundary, disposition, fileName) +
           std::string(bytes) + Format("\r\n--%s--\r\n", kBoundary);
}

std::string UploadHeaders()
{
    return Format("Content-Type: multipart/form-data; boundary=%s\r\n", kBoundary);
}

size_t TemporaryFiles(const MenuServer& menu)
{
    size_t count = 0;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(const_cast<MenuServer&>(menu).server().home().File("run"), ignored))
        count += entry.path().filename().string().starts_with("upl");
    return count;
}

TEST(LogoRoutes, DataUrisOfPicturesOnly)
{
    MenuServer menu;
    std::string png = PngOfSize(300);
    std::string stored = Format(R"({"logoId":"%%s","logoMimetype":"image\/png","errorcode":200,"errormsg":"OK"})");
    struct Case {
        std::string data;
        std::string answer; // empty: stored
    } cases[] = {
        {"data:image/png;base64," + Base64(png), ""},
        {"garbage first data:image/png;base64," + Base64(png), ""},
        {"data:image/png;base64," + Base64(png, 60), ""},               // line breaks in the payload
        {"data:image/x-whatever;base64," + Base64(png), ""},           // the bytes decide the type
        {"data:image/png;base64," + Base64(PngOfSize(512000)), ""},
        {"data:image/png;base64," + Base64(PngOfSize(512001)), Error(400, "Maximum upload size is 500kb")},
        {"no uri at all", Error(400, "Bad data uri format")},
        {"data:", Error(400, "Bad data uri format")},
        {"data:image/png", Error(400, "Bad data uri format")},
        {"data:image/png;" + Base64(png), Error(400, "Bad data uri format")},
        {"data:image/png;base64,", Error(400, "Bad data uri format")},
        {"data:text/plain;base64," + Base64("hello"), Error(400, "Only image type is supported")},
        {"data:image/svg+xml;base64," + Base64("<svg onload=\"alert(1)\"/>"), Error(400, "Only image type is supported")},
        {"data:image/png;base64," + Base64("<html><script>alert(1)</script></html>"), Error(400, "Only image type is supported")},
        {"data:image/png;base64,====", Error(400, "Invalid data")},
    };
    int logos = 0;
    for (const Case& c : cases) {
        std::string answer = menu.Post("api/menu/logouploaddata", Format(R"({"data":"%J"})", c.data));
        if (c.answer.empty()) {
            ++logos;
            std::string id = MenuServer::Member(answer, "logoId");
            EXPECT_TRUE(id.starts_with("user_logo_")) << answer;
            EXPECT_EQ(answer, Format(R"({"logoId":"%s","logoMimetype":"image\/png","errorcode":200,"errormsg":"OK"})", id));
        } else {
            EXPECT_EQ(answer, c.answer) << c.data.substr(0, 60);
        }
    }
    EXPECT_EQ(menu.Count("USER_IMAGES"), logos);
    EXPECT_EQ(menu.Scalar("SELECT group_concat(DISTINCT MIMETYPE) FROM main.USER_IMAGES"), "image/png");
    EXPECT_EQ(menu.Scalar("SELECT max(length(IMAGE)) FROM main.USER_IMAGES"), "512000");
}

TEST(LogoRoutes, FilesTheirLimitsServingAndDeleting)
{
    MenuServer menu;
    std::string png = PngOfSize(5000);
    auto upload = [&](std::string_view fileName, std::string_view bytes, std::string_view disposition = "Content-Disposition") {
        testing::HttpAnswer answer = menu.client().Request("POST", "api/menu/logouploadfile?uBrowserID=4", Multipart(fileName, bytes, disposition), UploadHeaders());
        EXPECT_EQ(answer.raw, testing::JsonReply(answer.body));
        return answer.body;
    };
    struct Case {
        std::string fileName;
        std::string bytes;
        std::string disposition;
        std::string answer; // empty: stored
    } cases[] = {
        {"logo.png", png, "Content-Disposition", ""},
        {"PHOTO.PNG", png, "content-disposition", ""},
        {"exact.png", PngOfSize(512000), "Content-Disposition", ""},
        {"over.png", PngOfSize(512001), "Content-Disposition", Error(400, "Maximum upload size is 500kb")},
        {"logo.txt", png, "Content-Disposition", Error(400, "File type not supported")},
        {"logo.png", "<html><script>alert(1)</script></html>", "Content-Disposition", Error(400, "File type not supported")},
    };
    for (const Case& c : cases) {
        std::string answer = upload(c.fileName, c.bytes, c.disposition);
        if (c.answer.empty())
            EXPECT_EQ(MenuServer::Member(answer, "logoMimetype"), "image/png") << c.fileName << answer;
        else
            EXPECT_EQ(answer, c.answer) << c.fileName;
    }
    // A body announced far beyond a picture is refused before it is read.
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(menu.server().port());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        std::string request = Format("POST /logouploadfile HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: tavolexs_sess=%s\r\n%sContent-Length: 5000000\r\n\r\n",
                                     menu.client().cookie(), UploadHeaders());
        send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        char reply[2048];
        ssize_t got = recv(fd, reply, sizeof reply, 0);
        close(fd);
        ASSERT_GT(got, 0);
        EXPECT_NE(std::string(reply, static_cast<size_t>(got)).find(Error(400, "Maximum upload size is 500kb")), std::string::npos);
    }
    EXPECT_EQ(menu.client().Request("POST", "logouploadfile", "no parts here", UploadHeaders()).body, Error(400, "Missing upload file"));
    ASSERT_EQ(menu.Count("USER_IMAGES"), 3);

    // Serving gives back exactly what was stored, as a picture that is never sniffed.
    std::string id = menu.Scalar("SELECT ID FROM main.USER_IMAGES WHERE length(IMAGE) = 5000 LIMIT 1");
    testing::HttpAnswer served = menu.client().Request("GET", "api/menu/logoservefile?file=" + id);
    EXPECT_EQ(served.raw, "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nContent-Type: image/png\r\nCache-Control: private, max-age=3600\r\n"
                          "X-Content-Type-Options: nosniff\r\n\r\n" + png);
    EXPECT_EQ(menu.client().Request("GET", "logoservefile?file=nope").raw, "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    testing::HttpClient stranger(menu.server().port());
    EXPECT_EQ(stranger.Request("GET", "logoservefile?file=" + id).raw, "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");

    std::string fetched = menu.Get("logosfetch");
    EXPECT_NE(fetched.find(R"({"id":")" + id + R"("})"), std::string::npos);
    EXPECT_TRUE(fetched.starts_with(R"({"rlogos":[{"id":"user_logo_)")) << fetched;
    EXPECT_EQ(menu.Post("logodelete", Format(R"({"logoId":"%s"})", id)), Format(R"({"logoId":"%s","errorcode":200,"errormsg":"OK"})", id));
    EXPECT_EQ(menu.Post("api/menu/logodelete", R"({"logoId":"never"})"), R"({"logoId":"never","errorcode":200,"errormsg":"OK"})");
    EXPECT_EQ(menu.Post("api/menu/logodelete", R"({})"), Error(400, "Missing parameter(s): logoId"));
    EXPECT_EQ(menu.Count("USER_IMAGES"), 2);

    // The tenth logo is stored, the eleventh refused by both routes.
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(MenuServer::Member(upload("more.png", png), "errormsg"), "OK");
    EXPECT_EQ(menu.Count("USER_IMAGES"), 10);
    EXPECT_EQ(upload("eleventh.png", png), Error(400, "User upload limit reached"));
    EXPECT_EQ(menu.Post("logouploaddata", Format(R"({"data":"data:image/png;base64,%s"})", Base64(png))), Error(400, "User upload limit reached"));
    EXPECT_EQ(TemporaryFiles(menu), 0u);
}

// A slow upload's progress polled on another connection grows, and ends at least at the total.
TEST(LogoRoutes, ProgressWhileAnUploadRunsAndNoFileLeftBehind)
{
    MenuServer menu;
    std::string body = Multipart("slow.png", PngOfSize(200000));
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(menu.server().port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    std::string head = Format("POST /api/menu/logouploadfile?uBrowserID=31337 HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: tavolexs_sess=%s\r\n%s"
                              "Content-Length: %d\r\n\r\n",
                              menu.client().cookie(), UploadHeaders(), static_cast<int>(body.size()));
    send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    auto progress = [&] {
        std::string xml = menu.client().Request("GET", "uploadProgress?uBrowserID=31337").raw;
        size_t at = xml.find("bytesRead=\"");
        return at == std::string::npos ? -1LL : std::atoll(xml.c_str() + at + 11);
    };
    std::vector<long long> seen;
    constexpr size_t kSlices = 4;
    for (size_t i = 0; i < kSlices; ++i) {
        size_t from = body.size() * i / kSlices, to = body.size() * (i + 1) / kSlices;
        send(fd, body.data() + from, to - from, MSG_NOSIGNAL);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        seen.push_back(progress());
    }
    char reply[4096];
    ssize_t got = recv(fd, reply, sizeof reply, 0);
    close(fd);
    ASSERT_GT(got, 0);
    EXPECT_NE(std::string(reply, static_cast<size_t>(got)).find(R"("logoMimetype":"image\/png")"), std::string::npos);
    for (size_t i = 1; i < seen.size(); ++i)
        EXPECT_GT(seen[i], seen[i - 1]) << i;
    EXPECT_GE(progress(), static_cast<long long>(body.size()));
    std::string head2 = menu.client().Request("GET", "uploadProgress?uBrowserID=999").raw;
    EXPECT_EQ(head2, "HTTP/1.1 200 OK\r\nConnection: close\r\nCache-Control: no-cache\r\nContent-Type: text/xml; charset=utf-8\r\n\r\n"
                     "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<Upload bytesRead=\"0\" totalBytes=\"0\"/>\r\n");

    // A client that goes away half-way leaves nothing behind.
    fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    send(fd, body.data(), body.size() / 2, MSG_NOSIGNAL);
    close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(TemporaryFiles(menu), 0u);
    EXPECT_EQ(menu.Count("USER_IMAGES"), 1);

    // Without a session the progress page sends the browser to log on, and back.
    testing::HttpClient stranger(menu.server().port());
    EXPECT_EQ(stranger.Request("GET", "uploadProgress?uBrowserID=5").raw,
              "HTTP/1.1 302 Found\r\nLocation: logon?onok=uploadProgress%3FuBrowserID%3D5\r\nContent-Length: 0\r\n\r\n");
}

} // namespace
} // namespace tavolex::menu
