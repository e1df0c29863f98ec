// Menus e-mailed from the real program to a real SMTP server on 127.0.0.1: STARTTLS with a
// certificate from a test authority made for the run, AUTH LOGIN, failures and retries.
#include "mail.h"

#include "core.h"
#include "live_server.h"
#include "pdf_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <sys/wait.h>
#include <thread>

namespace tavolex::mail {
namespace {

using tavolex::testing::FreeLoopbackPort;
using tavolex::testing::HttpAnswer;
using tavolex::testing::HttpClient;
using tavolex::testing::LiveServer;
using tavolex::testing::ReadFile;
using tavolex::testing::RunTool;
using tavolex::testing::WriteFile;

const std::string kFixtures = TAVOLEX_MAIL_FIXTURES;

bool WaitForFile(const std::string& path, int seconds = 20)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (std::filesystem::exists(path))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

// A certificate authority and a server certificate for `host`, made with openssl.
struct Certificates {
    std::string ca, certificate, key;
    Certificates(const std::string& folder, std::string_view host)
        : ca(folder + "/ca.pem"), certificate(folder + "/server.pem"), key(folder + "/server.key")
    {
        std::filesystem::create_directories(folder);
        WriteFile(folder + "/san.ext", Format("subjectAltName=DNS:%s\n", host));
        std::string script = Format(
            "(cd '%s' && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj '/CN=Tavolex Test CA' && "
            "openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj '/CN=%s' && "
            "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 -extfile san.ext)",
            folder, host);
        EXPECT_EQ(RunTool(script).status, 0);
    }
};

// aiosmtpd with the options of smtp_server.py, until the object goes.
class SmtpServer {
public:
    SmtpServer(uint16_t port, std::string out, std::vector<std::string> options) : out_(std::move(out))
    {
        int ready[2];
        if (pipe(ready) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(ready[1], 1);
            std::vector<std::string> words = {"/usr/bin/python3", kFixtures + "/smtp_server.py", std::to_string(port), out_};
            words.insert(words.end(), options.begin(), options.end());
            std::vector<char*> argv;
            for (std::string& word : words)
                argv.push_back(word.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(ready[1]);
        char buffer[16] = {};
        pollfd wait{ready[0], POLLIN, 0};
        started_ = poll(&wait, 1, 15000) == 1 && read(ready[0], buffer, sizeof buffer) > 0 && std::string_view(buffer).starts_with("ready");
        close(ready[0]);
    }
    ~SmtpServer()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return started_; }
    std::string Message(int n) const { return Format("%s/message-%d.eml", out_, n); }
    std::string Commands() const { return ReadFile(out_ + "/commands.txt"); }

private:
    std::string out_;
    pid_t pid_ = -1;
    bool started_ = false;
};

std::string Page(std::string_view text)
{
    return Format(R"(<svg xmlns="http://www.w3.org/2000/svg" width="595" height="842"><text x="50" y="80" font-family="DejaVu Sans" font-size="20">%H</text></svg>)", text);
}

std::string ExportForm(std::string_view recipients, std::string_view message)
{
    std::string data = Format(R"({"menupapersize":"A4","armenupages":["%J"]})", Page("Soup of the day 4.50"));
    return Format("menudata=%U&sendto=%U&message=%U&filename=Dinner", data, recipients, message);
}

class MailTest : public ::testing::Test {
protected:
    void SetUp() override { unsetenv("SSL_CERT_FILE"); }
    void TearDown() override
    {
        unsetenv("SSL_CERT_FILE");
        unsetenv("TAVOLEX_MAIL_RETRY_MS");
    }
    // The program, with a session, and the e-mail settings saved through the settings page.
    void StartProgram(const std::string& settingsJson)
    {
        program_ = std::make_unique<LiveServer>(TAVOLEX_BINARY);
        client_ = std::make_unique<HttpClient>(program_->port());
        HttpAnswer answer = client_->Request("GET", "api/account/issessionvalid");
        client_->SetCookie(answer.Header("Set-Cookie").substr(14, 18));
        EXPECT_EQ(client_->Request("POST", "api/settings/emailsave", settingsJson).body, R"({"errorcode":200,"errormsg":"OK"})");
    }
    std::string Folder(std::string_view name) { return home_.File(std::string(name)); }

    tavolex::testing::TestHome home_;
    std::unique_ptr<LiveServer> program_;
    std::unique_ptr<HttpClient> client_;
};

TEST_F(MailTest, AMenuReachesTwoRecipientsOverStartTlsWithAuthentication)
{
    Certificates certificates(Folder("tls"), "localhost");
    setenv("SSL_CERT_FILE", certificates.ca.c_str(), 1);
    uint16_t port = FreeLoopbackPort();
    SmtpServer smtp(port, Folder("smtp"), {"--tls", certificates.certificate, certificates.key, "--auth", "chef:p\xC3\xA4ss w0rd"});
    ASSERT_TRUE(smtp.started());
    StartProgram(Format(R"({"host":"localhost","port":%d,"username":"chef","password":"p\u00e4ss w0rd","usessl":true,"replyto":"owner@cafe.test"})", port));

    // The page shows the settings back without the password, which the file does not hold in clear.
    EXPECT_EQ(client_->Request("GET", "api/settings/emailget").body,
              Format(R"({"host":"localhost","port":%d,"username":"chef","passwordset":true,"usessl":true,"senddirect":false,"replyto":"owner@cafe.test","configured":true,"errorcode":200,"errormsg":"OK"})", port));
    EXPECT_EQ(ReadFile(program_->home().File("settings.ini")).find("w0rd"), std::string::npos);
    EXPECT_EQ(client_->Request("GET", "api/settings/emailtest").body, R"({"status":0,"error":"","errorcode":200,"errormsg":"OK"})");

    EXPECT_EQ(client_->Request("POST", "api/menu/genpdf", ExportForm("anna@cafe.test, ben@bistro.test", "Tonight:\n.\nsee you")).body,
              R"({"errorcode":200,"errormsg":"OK"})");
    ASSERT_TRUE(WaitForFile(smtp.Message(1)));
    std::string envelope = ReadFile(Format("%s/message-1.json", Folder("smtp")));
    EXPECT_EQ(envelope, R"({"from": "owner@cafe.test", "to": ["anna@cafe.test", "ben@bistro.test"], "tls": true, "authenticated": true})");
    std::string pdf = Folder("attached.pdf");
    std::string read = RunTool("/usr/bin/python3 " + kFixtures + "/read_message.py '" + smtp.Message(1) + "' '" + pdf + "'").output;
    EXPECT_NE(read.find(R"("subject": "Tavolex - Your Menu", "from": "owner@cafe.test", "to": "anna@cafe.test, ben@bistro.test")"), std::string::npos) << read;
    // The lone "." survived the trip: it was stuffed, so it did not end the message early.
    EXPECT_NE(read.find(R"("text": "Tonight:\n.\nsee you\n\nMenu created with Tavolex by Ostrevan\n)"), std::string::npos) << read;
    EXPECT_NE(read.find(R"("attachments": ["Dinner.pdf"])"), std::string::npos) << read;
    EXPECT_EQ(tavolex::testing::QpdfCheck(pdf).status, 0);
    EXPECT_NE(RunTool("pdftotext '" + pdf + "' -").output.find("Soup of the day 4.50"), std::string::npos);
    // The settings check, then the menu: both authenticated inside the channel.
    EXPECT_EQ(smtp.Commands(), "AUTH LOGIN tls ok\nMAIL Tavolex@localhost tls\nAUTH LOGIN tls ok\nMAIL owner@cafe.test tls\n");

    // Without a message the default greeting comes before the footer.
    client_->Request("POST", "api/menu/genpdf", ExportForm("anna@cafe.test", ""));
    ASSERT_TRUE(WaitForFile(smtp.Message(2)));
    read = RunTool("/usr/bin/python3 " + kFixtures + "/read_message.py '" + smtp.Message(2) + "' '" + pdf + "'").output;
    EXPECT_NE(read.find(R"("text": "Hello,\n\nPlease find the .PDF file attached.\n\nMenu created with Tavolex by Ostrevan\n)"), std::string::npos) << read;
    // Every job's own copy of the PDF is gone once it was sent.
    for (int i = 0; i < 50 && std::filesystem::exists(program_->home().File("run")) &&
                    std::distance(std::filesystem::directory_iterator(program_->home().File("run")), {}) > 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    for (const auto& entry : std::filesystem::directory_iterator(program_->home().File("run")))
        EXPECT_FALSE(entry.path().filename().string().starts_with("mail-")) << entry.path();
}

TEST_F(MailTest, RefusedSecurityAndPasswordsAreReportedAndNothingGoesInClear)
{
    Certificates good(Folder("good"), "localhost");
    Certificates other(Folder("other"), "other.example");
    setenv("SSL_CERT_FILE", good.ca.c_str(), 1);
    struct Case {
        const char* name;
        std::vector<std::string> serverOptions;
        const char* password;
        std::string error;
    } cases[] = {
        {"wrong password", {"--tls", good.certificate, good.key, "--auth", "chef:right"}, "wrong",
         "Email authentication username or password not accepted (535)"},
        {"no STARTTLS", {"--auth", "chef:right"}, "right",
         "The mail server \"localhost\" does not offer a secure connection (STARTTLS); nothing was sent."},
        {"certificate of another host", {"--tls", other.certificate, other.key, "--auth", "chef:right"}, "right",
         "Could not create secure connection to server."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // The other host's certificate comes from its own authority: trust that one, so only
        // the name can be wrong.
        setenv("SSL_CERT_FILE", c.serverOptions.size() > 1 && c.serverOptions[1] == other.certificate ? other.ca.c_str() : good.ca.c_str(), 1);
        uint16_t port = FreeLoopbackPort();
        SmtpServer smtp(port, Folder(std::string("smtp-") + c.name), c.serverOptions);
        ASSERT_TRUE(smtp.started());
        StartProgram(Format(R"({"host":"localhost","port":%d,"username":"chef","password":"%s","usessl":true,"replyto":"owner@cafe.test"})", port, c.password));
        EXPECT_EQ(client_->Request("GET", "api/settings/emailtest").body,
                  Format(R"({"status":2,"error":"%J","errorcode":200,"errormsg":"OK"})", c.error));
        EXPECT_EQ(client_->Request("POST", "api/menu/genpdf", ExportForm("anna@cafe.test", "x")).body, R"({"errorcode":200,"errormsg":"OK"})");
        std::string log;
        for (int i = 0; i < 100 && log.find("Sending Email failed") == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            log = program_->LogText();
        }
        EXPECT_NE(log.find("Sending Email failed: " + c.error), std::string::npos) << log;
        std::string commands = smtp.Commands();
        EXPECT_EQ(commands.find("clear"), std::string::npos) << commands;
        EXPECT_EQ(commands.find("MAIL"), std::string::npos) << commands;
        program_.reset();
    }
}

// A reply forged into the plain part of the dialogue, right behind the server's "220" to
// STARTTLS, is never read as if it came through the channel.
TEST_F(MailTest, BytesBeforeTheSwitchToTlsAreNotRead)
{
    Certificates certificates(Folder("tls"), "localhost");
    setenv("SSL_CERT_FILE", certificates.ca.c_str(), 1);
    uint16_t port = FreeLoopbackPort();
    std::string log = Folder("injector.log");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t injector = fork();
    if (injector == 0) {
        dup2(ready[1], 1);
        std::string script = kFixtures + "/starttls_injector.py";
        std::string portText = std::to_string(port);
        execl("/usr/bin/python3", "/usr/bin/python3", script.c_str(), portText.c_str(), certificates.certificate.c_str(),
              certificates.key.c_str(), log.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(ready[1]);
    char buffer[8] = {};
    pollfd wait{ready[0], POLLIN, 0};
    ASSERT_TRUE(poll(&wait, 1, 15000) == 1 && read(ready[0], buffer, sizeof buffer) > 0);
    close(ready[0]);
    StartProgram(Format(R"({"host":"localhost","port":%d,"username":"chef","password":"pw","usessl":true,"replyto":"owner@cafe.test"})", port));
    // In step, the password meets the server's refusal; had the forged "250" been read as the
    // greeting's answer, every later reply would answer the command before it.
    EXPECT_EQ(client_->Request("GET", "api/settings/emailtest").body,
              R"x({"status":2,"error":"Email authentication username or password not accepted (535)","errorcode":200,"errormsg":"OK"})x");
    std::string lines = ReadFile(log);
    EXPECT_TRUE(lines.starts_with("EHLO ")) << lines;
    EXPECT_NE(lines.find("\r\nAUTH LOGIN\r\n"), std::string::npos) << lines;
    kill(injector, SIGTERM);
    waitpid(injector, nullptr, 0);
}

TEST_F(MailTest, AFailedSendIsTriedAgainLater)
{
    setenv("TAVOLEX_MAIL_RETRY_MS", "300", 1);
    uint16_t port = FreeLoopbackPort();
    SmtpServer smtp(port, Folder("smtp"), {"--fail-data", "1", "--auth", "chef:right"});
    ASSERT_TRUE(smtp.started());
    StartProgram(Format(R"({"host":"127.0.0.1","port":%d,"username":"","usessl":false,"senddirect":false,"replyto":"owner@cafe.test"})", port));
    // A configured server needs its user name and password before e-mail counts as set up.
    EXPECT_EQ(client_->Request("POST", "api/menu/genpdf", ExportForm("anna@cafe.test", "retry me")).body,
              R"({"errorcode":500,"errormsg":"Email settings not configured"})");
    client_->Request("POST", "api/settings/emailsave",
                     Format(R"({"host":"127.0.0.1","port":%d,"usessl":false,"replyto":"owner@cafe.test","username":"chef","password":"right"})", port));
    EXPECT_EQ(client_->Request("POST", "api/menu/genpdf", ExportForm("anna@cafe.test", "retry me")).body, R"({"errorcode":200,"errormsg":"OK"})");
    ASSERT_TRUE(WaitForFile(smtp.Message(1)));
    EXPECT_EQ(smtp.Commands(), "AUTH LOGIN clear ok\nMAIL owner@cafe.test clear\nDATA refused\nAUTH LOGIN clear ok\nMAIL owner@cafe.test clear\n");
    EXPECT_NE(program_->LogText().find("Sending Email: try 1 to anna@cafe.test failed; it is tried again later"), std::string::npos);
}

// Port 25 is needed for the submission fallback and for direct delivery; a machine where it is
// taken cannot run this test.
TEST_F(MailTest, PortTwentyFiveAfterTheSubmissionPortAndDirectDelivery)
{
    if (tavolex::testing::LoopbackPortAccepts(587))
        GTEST_SKIP() << "something listens on 127.0.0.1:587";
    SmtpServer smtp(25, Folder("smtp"), {});
    if (!smtp.started())
        GTEST_SKIP() << "no SMTP server could listen on 127.0.0.1:25";
    StartProgram(R"({"host":"127.0.0.1","usessl":false,"senddirect":true,"replyto":"owner@cafe.test"})");
    EXPECT_EQ(client_->Request("GET", "api/settings/emailtest").body, R"({"status":0,"error":"","errorcode":200,"errormsg":"OK"})");
    // Straight to each recipient's own server: "127.0.0.1" has no MX record, so the domain
    // itself is the server, one dialogue per recipient.
    client_->Request("POST", "api/settings/emailsave", R"({"host":"","usessl":false,"senddirect":true,"replyto":"owner@cafe.test"})");
    EXPECT_EQ(client_->Request("POST", "api/menu/genpdf", ExportForm("anna@127.0.0.1, ben@127.0.0.1", "direct")).body,
              R"({"errorcode":200,"errormsg":"OK"})");
    ASSERT_TRUE(WaitForFile(smtp.Message(2)));
    EXPECT_EQ(ReadFile(Folder("smtp") + "/message-1.json"), R"({"from": "owner@cafe.test", "to": ["anna@127.0.0.1"], "tls": false, "authenticated": false})");
    EXPECT_EQ(ReadFile(Folder("smtp") + "/message-2.json"), R"({"from": "owner@cafe.test", "to": ["ben@127.0.0.1"], "tls": false, "authenticated": false})");
}

} // namespace
} // namespace tavolex::mail
