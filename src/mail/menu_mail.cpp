// The menu e-mail: its settings and protected password, composing, the background sender with
// its retry list, and the settings page's routes.
#include "mail.h"

#include "account.h"
#include "core.h"
#include "platform.h"
#include "web.h"

#include <openssl/evp.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <list>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace tavolex::mail {

namespace {

constexpr std::string_view kSection = "Email";
constexpr std::string_view kPasswordKeyText = "vqmrzkptwe";
constexpr int kMaxAttempts = 16;
constexpr int kRetryIntervalMs = 600000;     // the n-th retry waits n intervals
constexpr int kRetryPauseMs = 120000;        // a retried job's pause before it goes
constexpr int kIdleWaitMs = 86400000;
constexpr size_t kFieldUnits = kTextFieldUnits;
constexpr std::string_view kFooterAddress = "https://ostrevan.example/tavolex";

// RC4 keyed as the settings' protection has always been: 40 bits of the MD5 digest of a fixed
// text, followed by 11 zero bytes (the provider's salt).
std::string Rc4(std::string_view input)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(kPasswordKeyText.data(), kPasswordKeyText.size(), digest, &length, EVP_md5(), nullptr);
    unsigned char key[16] = {};
    for (int i = 0; i < 5; ++i)
        key[i] = digest[i];
    unsigned char state[256];
    for (int i = 0; i < 256; ++i)
        state[i] = static_cast<unsigned char>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
        j = (j + state[i] + key[i % 16]) & 255;
        std::swap(state[i], state[j]);
    }
    std::string output(input);
    for (size_t n = 0, i = 0, j = 0; n < output.size(); ++n) {
        i = (i + 1) & 255;
        j = (j + state[i]) & 255;
        std::swap(state[i], state[j]);
        output[n] = static_cast<char>(static_cast<unsigned char>(output[n]) ^ state[(state[i] + state[j]) & 255]);
    }
    return output;
}

int RetryIntervalMs()
{
    // Tests shorten the wait between tries; a user never sets this.
    if (const char* value = std::getenv("TAVOLEX_MAIL_RETRY_MS"); value && *value)
        return std::max(1, std::atoi(value));
    return kRetryIntervalMs;
}

std::string AddressPart(std::string_view text)
{
    size_t open = text.find('<');
    size_t close = text.find('>', open == std::string_view::npos ? 0 : open);
    if (open != std::string_view::npos && close != std::string_view::npos)
        text = text.substr(open + 1, close - open - 1);
    return std::string(CutUtf8ToUnits(text, kFieldUnits));
}

struct MailJob {
    std::string recipients, subject, body, replyTo;
    std::string attachment; // the job's own copy of the PDF, removed when the job ends
    int attempts = 0;
    std::chrono::steady_clock::time_point lastAttempt;
};

// Turns a send's reports into log lines.
class LoggingObserver final : public MailSendObserver {
public:
    explicit LoggingObserver(const std::atomic<bool>& stopping) : stopping_(stopping) {}
    bool IsCancelled() const override { return stopping_.load(); }
    void ReportError(std::string_view text) override { LogError("Sending Email failed: %s", text); }
    void SetStatus(std::string_view text, bool) override { LogFormat("Sending Email: %s", text); }

private:
    const std::atomic<bool>& stopping_;
};

// The one sender thread ("BGEmail"): jobs in the order they came, failed ones retried later.
class BackgroundMailer {
public:
    static BackgroundMailer& Get()
    {
        static BackgroundMailer mailer;
        return mailer;
    }

    void Queue(MailJob job)
    {
        std::lock_guard guard(lock_);
        queue_.push_back(std::move(job));
        wake_.notify_all();
        if (!thread_.joinable() && !stopping_)
            thread_ = std::thread([this] { Run(); });
    }

    void Stop()
    {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
            wake_.notify_all();
        }
        if (thread_.joinable())
            thread_.join();
        std::lock_guard guard(lock_);
        for (MailJob& job : queue_)
            RemoveCopy(job);
        for (MailJob& job : retries_)
            RemoveCopy(job);
        queue_.clear();
        retries_.clear();
    }

private:
    BackgroundMailer() = default;
    ~BackgroundMailer() { Stop(); }

    // The job's copy and the folder that holds only it.
    static void RemoveCopy(const MailJob& job)
    {
        ::unlink(job.attachment.c_str());
        ::rmdir(job.attachment.substr(0, job.attachment.find_last_of('/')).c_str());
    }

    void Run()
    {
        pthread_setname_np(pthread_self(), "BGEmail");
        const int interval = RetryIntervalMs();
        std::unique_lock guard(lock_);
        while (!stopping_) {
            MailJob job;
            bool found = false;
            if (!queue_.empty()) {
                job = std::move(queue_.front());
                queue_.pop_front();
                found = true;
            } else {
                auto now = std::chrono::steady_clock::now();
                for (auto it = retries_.begin(); it != retries_.end(); ++it)
                    if (now - it->lastAttempt >= std::chrono::milliseconds(static_cast<int64_t>(it->attempts) * interval)) {
                        job = std::move(*it);
                        retries_.erase(it);
                        found = true;
                        break;
                    }
            }
            if (!found) {
                wake_.wait_for(guard, std::chrono::milliseconds(retries_.empty() ? kIdleWaitMs : std::min(interval, kRetryIntervalMs)));
                continue;
            }
            if (job.attempts > 0)
                wake_.wait_for(guard, std::chrono::milliseconds(std::min(kRetryPauseMs, interval)), [this] { return stopping_.load(); });
            if (stopping_) {
                RemoveCopy(job);
                break;
            }
            guard.unlock();
            SendStatus result = SendJob(job);
            guard.lock();
            job.lastAttempt = std::chrono::steady_clock::now();
            if (result == SendStatus::Failed && ++job.attempts < kMaxAttempts) {
                LogFormat("Sending Email: try %d to %s failed; it is tried again later", job.attempts, job.recipients);
                retries_.push_back(std::move(job));
            } else {
                if (result == SendStatus::Failed)
                    LogError("Sending Email: gave up on the email to %s after %d tries", job.recipients, job.attempts);
                RemoveCopy(job);
            }
        }
    }

    SendStatus SendJob(const MailJob& job)
    {
        LogFormat("To: %s", job.recipients);
        LogFormat("Sending Email: %s", "Preparing message");
        EmailSettings settings = ReadEmailSettings();
        SmtpMessage message;
        message.recipients = job.recipients;
        message.sender = job.replyTo;
        message.subject = job.subject;
        message.body = job.body;
        message.attachments = {job.attachment};
        if (ReadSettingBool(kSection, "UseSMTPHost", true)) {
            message.server = settings.smtpHost;
            message.userName = settings.userName;
            message.password = settings.password;
        }
        message.useTls = settings.useSsl;
        message.sendDirectly = true;
        LoggingObserver observer(stopping_);
        SendStatus result = SendMail(message, observer);
        if (result == SendStatus::Ok)
            LogFormat("Sending Email: sent to %s", job.recipients);
        return result;
    }

    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<MailJob> queue_;
    std::list<MailJob> retries_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A copy of the PDF for one job, so a later export of the same name cannot change what a
// waiting or retried e-mail attaches: a hard link where the folders share a file system, else
// a copy. It keeps the PDF's name in a folder of its own.
std::string CopyForJob(const std::string& pdfPath)
{
    static std::atomic<unsigned> counter{0};
    std::string folder = platform::JoinPath(platform::RuntimeFolder(),
                                            Format("mail-%d-%u", static_cast<int>(getpid()), counter.fetch_add(1) + 1));
    if (!platform::EnsureFolder(folder, 0700))
        return {};
    std::string name = pdfPath.substr(pdfPath.find_last_of('/') + 1);
    std::string copy = platform::JoinPath(folder, name);
    std::error_code error;
    if (::link(pdfPath.c_str(), copy.c_str()) != 0 &&
        !std::filesystem::copy_file(pdfPath, copy, std::filesystem::copy_options::overwrite_existing, error))
        return {};
    return copy;
}

// ---------------------------------------------------------------------------------------------
// Routes

// The settings routes' common start: the gate and the administrator check.
bool Admitted(web::WebRequest& request)
{
    if (!account::CheckAccess(request))
        return false;
    if (!account::IsAdministrator(request)) {
        web::SendError(request, 403, "Unauthorized");
        return false;
    }
    return true;
}

bool IsHostName(std::string_view host)
{
    if (host.empty() || host.size() > 253)
        return false;
    for (char c : host)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-'))
            return false;
    return host.front() != '-' && host.front() != '.' && host.back() != '-';
}

bool IsMailAddress(std::string_view address)
{
    size_t at = address.find('@');
    return at != std::string_view::npos && at > 0 && address.find('@', at + 1) == std::string_view::npos &&
           IsHostName(address.substr(at + 1)) && address.find_first_of(" \t\r\n,<>") == std::string_view::npos;
}

void EmailSettingsWindow(web::WebRequest& request)
{
    // The settings are a page of the interface here; the route only acknowledges.
    web::SendOk(request);
}

void EmailSettingsGet(web::WebRequest& request)
{
    if (!Admitted(request))
        return;
    EmailSettings settings = ReadEmailSettings();
    std::string_view host = net::HostPart(settings.smtpHost);
    size_t colon = settings.smtpHost.find(':');
    int port = colon == std::string::npos ? 0 : std::atoi(settings.smtpHost.c_str() + colon + 1);
    TextBuffer answer;
    JsonWriter writer(answer);
    writer.BeginObject();
    writer.String("host", host);
    writer.Integer("port", port);
    writer.String("username", settings.userName);
    writer.Bool("passwordset", !settings.password.empty());
    writer.Bool("usessl", settings.useSsl);
    writer.Bool("senddirect", settings.sendDirect);
    writer.String("replyto", settings.replyTo);
    writer.Bool("configured", IsEmailConfigured());
    writer.Integer("errorcode", 200);
    writer.String("errormsg", "OK");
    writer.EndObject();
    web::SendJson(request, answer.view());
}

void EmailSettingsSave(web::WebRequest& request, JsonValue& body)
{
    if (!Admitted(request))
        return;
    if (body.type() != JsonValueType::Object) {
        web::SendError(request, 400, "Invalid parameter");
        return;
    }
    auto text = [&body](std::string_view name) {
        std::string value = body.GetStringMember(name);
        return value.substr(0, value.find_first_of(std::string_view("\r\n\0", 3)));
    };
    auto flag = [&body](std::string_view name) {
        const JsonMember* member = body.FindMember(name);
        return member && member->type() == JsonValueType::Bool && member->boolean();
    };
    EmailSettings settings = ReadEmailSettings();
    std::string host = text("host");
    if (!host.empty() && !IsHostName(host)) {
        web::SendError(request, 400, "Invalid mail server name");
        return;
    }
    int64_t port = 0;
    if (const JsonMember* member = body.FindMember("port"); member && member->type() == JsonValueType::Number)
        port = member->NumberAsInt64();
    if (port < 0 || port > 65535) {
        web::SendError(request, 400, "Invalid port");
        return;
    }
    std::string replyTo = text("replyto");
    if (!replyTo.empty() && !IsMailAddress(replyTo)) {
        web::SendError(request, 400, "Invalid reply-to email format");
        return;
    }
    settings.useMapi = false; // there is no system mail client here
    settings.smtpHost = host.empty() ? std::string() : port > 0 ? Format("%s:%d", host, static_cast<int>(port)) : host;
    settings.useSmtpHost = !host.empty();
    settings.userName = text("username");
    settings.password = text("password"); // empty keeps the stored one
    settings.useSsl = flag("usessl");
    settings.sendDirect = flag("senddirect");
    settings.replyTo = replyTo;
    if (!WriteEmailSettings(settings)) {
        web::SendError(request, 500, "The settings could not be written");
        return;
    }
    web::SendOk(request);
}

// Collects what a settings check reports, for the page.
class CollectingObserver final : public MailSendObserver {
public:
    explicit CollectingObserver(const net::CancelCheck* cancel) : cancel_(cancel) {}
    bool IsCancelled() const override { return cancel_ && cancel_->IsCancelled(); }
    void ReportError(std::string_view text) override { error = text; }
    void SetStatus(std::string_view text, bool) override { LogFormat("Checking Email settings: %s", text); }
    std::string error;

private:
    const net::CancelCheck* cancel_;
};

void EmailSettingsTest(web::WebRequest& request)
{
    if (!Admitted(request))
        return;
    EmailSettings settings = ReadEmailSettings();
    CollectingObserver observer(request.cancel);
    SendStatus status = SendStatus::Failed;
    if (settings.smtpHost.empty())
        observer.error = "No mail server is set.";
    else
        status = CheckSmtpSettings(settings.smtpHost, settings.userName, settings.password, settings.useSsl, observer);
    if (status == SendStatus::Failed && observer.error.empty())
        observer.error = Format("Unable to connect to mail server \"%s\".", settings.smtpHost);
    TextBuffer answer;
    JsonWriter writer(answer);
    writer.BeginObject();
    writer.Integer("status", static_cast<int>(status));
    writer.String("error", observer.error);
    writer.Integer("errorcode", 200);
    writer.String("errormsg", "OK");
    writer.EndObject();
    web::SendJson(request, answer.view());
}

} // namespace

EmailSettings ReadEmailSettings()
{
    EmailSettings settings;
    settings.useMapi = ReadSettingBool(kSection, "UseMAPI", true);
    settings.useSmtpHost = ReadSettingBool(kSection, "UseSMTPHost", false);
    settings.sendDirect = ReadSettingBool(kSection, "SendDirect", false);
    settings.smtpHost = ReadSettingText(kSection, "MailSMTPHost", "");
    settings.userName = ReadSettingText(kSection, "SMTPUserName", "");
    std::string stored = ReadSettingBinary(kSection, "_SMTPPassword");
    settings.password = stored.empty() ? ReadSettingText(kSection, "SMTPPassword", "") : DecryptPassword(stored);
    settings.useSsl = ReadSettingBool(kSection, "UseSSL", false);
    settings.replyTo = ReadSettingText(kSection, "ReplyToEmail", "");
    return settings;
}

bool WriteEmailSettings(const EmailSettings& settings)
{
    bool written = WriteSettingBool(kSection, "UseMAPI", settings.useMapi) &&
                   WriteSettingBool(kSection, "UseSMTPHost", settings.useSmtpHost) &&
                   WriteSettingBool(kSection, "SendDirect", settings.sendDirect) &&
                   WriteSettingText(kSection, "MailSMTPHost", settings.smtpHost) &&
                   WriteSettingText(kSection, "SMTPUserName", settings.userName) &&
                   WriteSettingBool(kSection, "UseSSL", settings.useSsl) &&
                   WriteSettingText(kSection, "ReplyToEmail", settings.replyTo);
    if (written && !settings.password.empty()) {
        written = WriteSettingBinary(kSection, "_SMTPPassword", EncryptPassword(settings.password));
        DeleteSetting(kSection, "SMTPPassword"); // no copy in clear stays beside it
    }
    return written;
}

std::string EncryptPassword(std::string_view password)
{
    return Rc4(password);
}

std::string DecryptPassword(std::string_view stored)
{
    std::string plain = Rc4(stored);
    return std::string(CutUtf8ToUnits(plain.substr(0, std::min(plain.size(), kFieldUnits)), kFieldUnits));
}

bool IsEmailConfigured()
{
    bool useMapi = ReadSettingBool(kSection, "UseMAPI", true);
    bool useSmtpHost = ReadSettingBool(kSection, "UseSMTPHost", false);
    bool sendDirect = ReadSettingBool(kSection, "SendDirect", false);
    if (useMapi)
        return false; // no system mail client is registered on this platform
    if (useSmtpHost) {
        EmailSettings settings = ReadEmailSettings();
        if (settings.smtpHost.empty() || settings.userName.empty() || settings.password.empty())
            return false;
    }
    return useSmtpHost || sendDirect;
}

bool SendMenu(const std::string& pdfPath, std::string_view recipients, std::string_view replyTo,
              std::string_view message)
{
    if (!IsEmailConfigured())
        return false;
    MailJob job;
    job.recipients = std::string(CutUtf8ToUnits(recipients, kFieldUnits));
    job.replyTo = AddressPart(replyTo);
    job.subject = Format("Tavolex - %s", "Your Menu");
    job.body = message.empty() ? std::string("Hello,\r\n\r\nPlease find the .PDF file attached.") : std::string(message);
    job.body += Format("\r\n\r\nMenu created with %s by %s\r\n%s", "Tavolex", "Ostrevan", kFooterAddress);
    auto hasBreak = [](std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; };
    if (hasBreak(job.recipients) || hasBreak(job.replyTo) || hasBreak(pdfPath)) {
        LogError("Sending Email: refused the email to %s: a line break in an address or the file name", job.recipients);
        return false;
    }
    job.attachment = CopyForJob(pdfPath);
    if (job.attachment.empty()) {
        LogError("Sending Email: no copy of %s could be kept for the email", pdfPath);
        return false;
    }
    BackgroundMailer::Get().Queue(std::move(job));
    return true;
}

void StopBackgroundMailer()
{
    BackgroundMailer::Get().Stop();
}

void InstallMailRoutes()
{
    web::RouteRegistry& routes = web::RouteRegistry::Get();
    routes.RegisterRoute("api/settings/email", EmailSettingsWindow);
    routes.RegisterRoute("api/settings/emailget", EmailSettingsGet);
    routes.RegisterJsonRoute("api/settings/emailsave", EmailSettingsSave);
    routes.RegisterRoute("api/settings/emailtest", EmailSettingsTest);
}

} // namespace tavolex::mail
