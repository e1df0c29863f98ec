// The export route: file names and recipient lists, then the real program answering with PDFs
// that the real PDF tools accept.
#include "pdf_export.h"

#include "core.h"
#include "db.h"
#include "live_server.h"
#include "pdf_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>

namespace tavolex::pdf {
namespace {

using tavolex::testing::HttpAnswer;
using tavolex::testing::HttpClient;
using tavolex::testing::LiveServer;
using tavolex::testing::ReadFile;
using tavolex::testing::RunTool;
using tavolex::testing::WriteFile;

TEST(ExportNames, FileNamesBecomeSafePdfNames)
{
    std::string long259(259, 'x');
    struct Case {
        std::string requested;
        std::string name;
    } cases[] = {
        {"menu.pdf", "menu.pdf"},
        {"Lunch", "Lunch.pdf"},
        {"report.txt", "report.pdf"},
        {"a.b.c", "a.b.pdf"},
        {"Caf\xC3\xA9 du soir", "Caf\xC3\xA9 du soir.pdf"},
        {long259, std::string(255, 'x') + ".pdf"},
        {std::string(260, 'x'), "menu.pdf"},
        // refused names fall back to the default
        {"", "menu.pdf"},
        {".hidden", "menu.pdf"},
        {"con", "menu.pdf"},
        {"CON.txt", "menu.pdf"},
        {"lpt9", "menu.pdf"},
        {"com1.pdf", "menu.pdf"},
        {"com0", "com0.pdf"},
        {"console", "console.pdf"},
        {"dir/menu", "menu.pdf"},
        {"dir\\menu", "menu.pdf"},
        {"a:b", "menu.pdf"},
        {"what?", "menu.pdf"},
        {"ends.", "menu.pdf"},
        {"ends ", "menu.pdf"},
        {"tab\there", "menu.pdf"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ExportFileName(c.requested), c.name) << c.requested;
}

TEST(ExportNames, RecipientListsAreAddressesSeparatedByCommas)
{
    struct Case {
        std::string_view list;
        int count; // -1: not a valid list
    } cases[] = {
        {"a@b.cd", 1},
        {"a@b.cd,e@f.gh", 2},
        {"a@b.cd , e@f.gh", 2},
        {"a@b.cd,\te@f.gh", 2},
        {"a@b.cd e@f.gh", -1},  // a blank that is not beside a comma
        {"a@b.cd ", -1},        // trailing blank
        {" a@b.cd", -1},
        {"a@b.cd,", -1},
        {",a@b.cd", -1},
        {"a@b.cd,,e@f.gh", -1},
        {"a@b.cd;e@f.gh", -1},
        {"nobody", -1},
        {"", -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CountRecipients(c.list), c.count) << c.list;
}

std::string Page(std::string_view text)
{
    return Format(R"(<svg xmlns="http://www.w3.org/2000/svg" width="595" height="842" viewBox="0 0 595 842">)"
                  R"(<rect x="40" y="40" width="515" height="60" fill="#2a6"/>)"
                  R"(<text x="50" y="140" font-family="DejaVu Sans" font-size="20">%H</text></svg>)",
                  text);
}

std::string MenuData(std::string_view paper, const std::vector<std::string>& pages)
{
    std::string data = Format(R"({"menupapersize":"%J","armenupages":[)", paper);
    for (size_t i = 0; i < pages.size(); ++i)
        data += Format(i ? R"(,"%J")" : R"("%J")", pages[i]);
    return data + "]}";
}

std::string Form(std::initializer_list<std::pair<std::string_view, std::string_view>> fields)
{
    std::string form;
    for (auto [name, value] : fields)
        form += Format(form.empty() ? "%s=%U" : "&%s=%U", name, value);
    return form;
}

class ExportTest : public ::testing::Test {
protected:
    ExportTest() : client_(server_.port())
    {
        HttpAnswer answer = client_.Request("GET", "api/account/issessionvalid");
        client_.SetCookie(answer.Header("Set-Cookie").substr(14, 18));
    }
    HttpAnswer Export(const std::string& form) { return client_.Request("POST", "api/menu/genpdf", form); }
    std::string OutputFile(std::string_view name) const
    {
        return server_.home().File("common/Ostrevan/Tavolex/Web/main.db/" + std::string(name));
    }
    // Writes the answer's PDF beside the server's files and checks it with qpdf.
    std::string SavePdf(const HttpAnswer& answer, std::string_view name)
    {
        std::string path = server_.home().File(std::string(name));
        WriteFile(path, answer.body);
        EXPECT_EQ(tavolex::testing::QpdfCheck(path).status, 0) << name;
        return path;
    }

    LiveServer server_{TAVOLEX_BINARY};
    HttpClient client_;
};

TEST_F(ExportTest, DownloadsAndInlineAnswers)
{
    std::string data = MenuData("A4", {Page("Soup of the day 4.50"), Page("Grilled fish 17.00")});
    HttpAnswer download = Export(Form({{"menudata", data}, {"filename", "Lunch"}}));
    std::string stored = ReadFile(OutputFile("Lunch.pdf"));
    ASSERT_FALSE(stored.empty());
    EXPECT_EQ(download.raw, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(stored.size()) +
                                "\r\nContent-Type: application/pdf\r\nContent-Disposition: attachment; filename=\"Lunch.pdf\"\r\n"
                                "Cache-Control: private\r\nExpires: Sun, 01 Jan 2012 00:00:01 GMT\r\n\r\n" + stored);
    std::string path = SavePdf(download, "download.pdf");
    std::string text = RunTool("pdftotext '" + path + "' -").output;
    EXPECT_NE(text.find("Soup of the day 4.50"), std::string::npos) << text;
    EXPECT_NE(text.find("Grilled fish 17.00"), std::string::npos) << text;
    EXPECT_NE(RunTool("pdfinfo '" + path + "'").output.find("Pages:           2"), std::string::npos);

    HttpAnswer shown = Export(Form({{"menudata", data}, {"inline", "1"}}));
    EXPECT_EQ(shown.Header("Content-Disposition"), "inline; filename=\"menu.pdf\"");
    EXPECT_EQ(Export(Form({{"menudata", data}, {"inline", "true"}})).Header("Content-Disposition"),
              "attachment; filename=\"menu.pdf\"");
    // The alias answers alike.
    EXPECT_EQ(client_.Request("POST", "menugenpdf", Form({{"menudata", data}, {"filename", ".hidden"}})).Header("Content-Disposition"),
              "attachment; filename=\"menu.pdf\"");
    // Only whole files are ever left in the folder.
    for (const auto& entry : std::filesystem::directory_iterator(OutputFile("")))
        EXPECT_EQ(entry.path().extension(), ".pdf") << entry.path();
}

TEST_F(ExportTest, PaperSizesAndThePrintAction)
{
    struct Case {
        const char* paper;
        const char* size;
    } cases[] = {
        {"A4", "595 x 841 pts"}, {"letter", "612 x 790 pts"}, {"Legal", "612 x 1009 pts"},
        {"A3", "841 x 1190 pts"}, {"Tabloid", "595 x 841 pts"},
    };
    for (const Case& c : cases) {
        std::string path = SavePdf(Export(Form({{"menudata", MenuData(c.paper, {Page(c.paper)})}})), std::string(c.paper) + ".pdf");
        EXPECT_NE(RunTool("pdfinfo '" + path + "'").output.find(c.size), std::string::npos) << c.paper;
    }
    std::string printing = Export(Form({{"menudata", MenuData("A4", {Page("x")})}, {"print", "1"}, {"inline", "1"}})).body;
    EXPECT_NE(printing.find("/OpenAction"), std::string::npos);
    EXPECT_NE(printing.find("this.print"), std::string::npos);
    EXPECT_EQ(Export(Form({{"menudata", MenuData("A4", {Page("x")})}, {"print", "yes"}})).body.find("/OpenAction"), std::string::npos);
}

TEST_F(ExportTest, RefusalsInTheirOrder)
{
    std::string good = MenuData("A4", {Page("x")});
    std::string bare400 = "HTTP/1.1 400 Bad request\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    std::string bare500 = "HTTP/1.1 500 Internal error\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    auto json = [](int code, std::string_view message) {
        std::string body = Format(R"({"errorcode":%d,"errormsg":"%J"})", code, message);
        return "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    std::string seven = "a@b.cd, b@b.cd, c@b.cd, d@b.cd, e@b.cd, f@b.cd, g@b.cd";
    struct Case {
        std::string form;
        std::string answer;
    } cases[] = {
        {Form({}), bare400},
        {Form({{"menudata", ""}}), bare400},
        {Form({{"menudata", "not json"}}), bare400},
        {Form({{"menudata", R"({"armenupages":[]})"}}), bare400},
        {Form({{"menudata", R"({"menupapersize":"A4"})"}}), bare400},
        {Form({{"menudata", R"({"menupapersize":"A4","armenupages":[]})"}}), bare500},
        {Form({{"menudata", R"({"menupapersize":"A4","armenupages":"<svg/>"})"}}), bare500},
        {Form({{"menudata", MenuData("A4", {Page("x"), "<!-- no page here -->"})}}), bare500},
        {Form({{"menudata", R"({"menupapersize":7,"armenupages":[7]})"}}), bare500},
        // e-mail: the recipient checks come first, then the limits, then the settings
        {Form({{"menudata", good}, {"sendto", "a@b.cd e@f.gh"}}), json(400, "Invalid recipient email format")},
        {Form({{"menudata", good}, {"sendto", "a@b.cd "}}), json(400, "Invalid recipient email format")},
        {Form({{"menudata", good}, {"sendto", "a@b.cd"}, {"replyto", "me"}}), json(400, "Invalid reply-to email format")},
        {Form({{"menudata", good}, {"sendto", seven + ", h@b.cd"}}), json(403, "Email recipient limit reached")},
        {Form({{"menudata", good}, {"sendto", seven}, {"message", std::string(501, 'm')}}), json(403, "Email content limit reached")},
        {Form({{"menudata", good}, {"sendto", seven}, {"message", std::string(500, 'm')}}), json(500, "Email settings not configured")},
        {Form({{"menudata", good}, {"sendto", "a@b.cd"}, {"message", std::string(250, 'm') + std::string(250, '\xE9')}}),
         json(500, "Email settings not configured")},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Export(c.form).raw, c.answer) << c.form.substr(0, 200);
    std::string log = server_.LogText();
    EXPECT_NE(log.find("[Spam prevented] Email recipient limit reached in api/menu/genpdf [administrator from 127.0.0.1]"),
              std::string::npos);
    EXPECT_NE(log.find("[Spam prevented] Email content limit reached in api/menu/genpdf [administrator from 127.0.0.1]"),
              std::string::npos);

    // Without a session: a download is sent to the expired page, an e-mail refused bare.
    HttpClient stranger(server_.port());
    std::string expired = R"({"errorcode":303,"errormsg":"Failed to send menu. Session expired","errorredirect":"\/sessionexpired.html"})";
    EXPECT_EQ(stranger.Request("POST", "api/menu/genpdf", Form({{"menudata", good}})).raw,
              "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: application/json\r\nContent-Length: " +
                  std::to_string(expired.size()) + "\r\n\r\n" + expired);
    EXPECT_EQ(stranger.Request("POST", "menugenpdf", Form({{"menudata", good}, {"sendto", "a@b.cd"}})).raw,
              "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");

    // A user who is not an administrator may not export.
    db::AccountDatabase database{"main"};
    ASSERT_TRUE(database.Open(db::DefaultDatabasePath()));
    database.Execute("UPDATE main.USER_ACCOUNT SET USER_TYPE = 4096");
    EXPECT_EQ(Export(Form({{"menudata", good}})).raw, json(403, "Unauthorized"));
}

TEST_F(ExportTest, AFailedExportLeavesTheLastWholeFile)
{
    HttpAnswer first = Export(Form({{"menudata", MenuData("A4", {Page("First")})}}));
    ASSERT_EQ(first.status, 200);
    std::string before = ReadFile(OutputFile("menu.pdf"));
    EXPECT_EQ(before, first.body);
    EXPECT_EQ(Export(Form({{"menudata", MenuData("A4", {Page("Second"), "<!-- no page here -->"})}})).status, 500);
    EXPECT_EQ(ReadFile(OutputFile("menu.pdf")), before);
    // A PDF that cannot take its final name (a folder holds it) is answered as a failure, and
    // the written copy does not stay behind.
    std::filesystem::create_directory(OutputFile("blocked.pdf"));
    EXPECT_EQ(Export(Form({{"menudata", MenuData("A4", {Page("Third")})}, {"filename", "blocked"}})).raw,
              "HTTP/1.1 500 Internal error\r\nConnection: close\r\nContent-Length: 0\r\n\r\n");
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(OutputFile("")))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"blocked.pdf", "menu.pdf"}));
}

TEST_F(ExportTest, TwoExportsOfOneNameAtOnceBothGetWholePdfs)
{
    std::vector<std::string> pages;
    for (int i = 0; i < 6; ++i)
        pages.push_back(Page(Format("Page %d of a long menu with many dishes", i)));
    std::string form = Form({{"menudata", MenuData("A4", pages)}, {"filename", "same"}});
    std::string answers[4];
    std::vector<std::thread> exporters;
    for (std::string& answer : answers)
        exporters.emplace_back([&] {
            HttpClient client(server_.port());
            client.SetCookie(client_.cookie());
            answer = client.Request("POST", "api/menu/genpdf", form).body;
        });
    for (std::thread& exporter : exporters)
        exporter.join();
    for (size_t i = 0; i < std::size(answers); ++i)
        SavePdf(HttpAnswer{answers[i], {}, answers[i], 200}, Format("same-%d.pdf", static_cast<int>(i)));
    EXPECT_EQ(tavolex::testing::QpdfCheck(OutputFile("same.pdf")).status, 0);
}

} // namespace
} // namespace tavolex::pdf
