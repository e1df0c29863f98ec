// api/menu/genpdf: the checks of an export request in their order, the conversion into the
// account's output folder, and the answer.
#include "pdf_export.h"

#include "account.h"
#include "mail.h"
#include "menu.h"
#include "pdf.h"
#include "platform.h"
#include "web.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tavolex::pdf {

namespace {

constexpr size_t kNameUnits = kTextFieldUnits; // the fixed fields of the request
constexpr int kMaxRecipients = 7;
constexpr size_t kMaxMessageUnits = 500;
constexpr int kReadWindowMs = 1000;       // how long a reader waits for a writer of the file

bool IsReservedDeviceName(std::string_view stem)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    std::string name;
    for (char c : stem)
        name += lower(c);
    if (name == "aux" || name == "con" || name == "nul" || name == "prn")
        return true;
    return name.size() == 4 && (name.starts_with("com") || name.starts_with("lpt")) && name[3] >= '1' &&
           name[3] <= '9';
}

// Names that every file system the file may be copied to accepts: no folder separators or
// characters that shells and other systems treat specially, no device names.
bool IsValidFileName(std::string_view name)
{
    if (name.empty() || Utf8ToUtf16(name).size() > kNameUnits || name.back() == ' ' || name.back() == '.')
        return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) < 32 || std::string_view(":*?\"<>|\\/").find(c) != std::string_view::npos)
            return false;
    return !IsReservedDeviceName(name.substr(0, name.find('.')));
}

size_t Utf16Length(std::string_view text)
{
    return Utf8ToUtf16(text).size();
}

// Reads the whole file under a shared lock, waiting for a writer that holds it exclusively:
// the first pause (window + 127) / 128 ms, each further pause doubling while time is left.
bool ReadWholeFileShared(const std::string& path, int windowMs, std::string& bytes)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    int pauseMs = (windowMs + 127) / 128;
    platform::UniqueFd fd;
    for (;;) {
        fd.Reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd)
            return false;
        if (::flock(fd.get(), LOCK_SH | LOCK_NB) == 0)
            break;
        bool busy = errno == EWOULDBLOCK;
        fd.Reset();
        long long left = windowMs - std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        if (!busy || left <= pauseMs)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
        pauseMs *= 2;
    }
    bytes.clear();
    char buffer[65536];
    bool complete = true;
    for (;;) {
        ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            complete = false;
            break;
        }
        bytes.append(buffer, static_cast<size_t>(got));
    }
    return complete;
}

// A conversion's own file beside the final one: the final name only ever holds a whole PDF,
// and two exports of the same name never write into one file.
std::string TemporaryNameFor(const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    return Format("%s.%d-%u.part", path, static_cast<int>(getpid()), counter.fetch_add(1) + 1);
}

// The folder the account's exports go to: <all users>/Ostrevan/Tavolex/Web/<database file>.
std::string OutputFolder(std::string_view accountDatabase)
{
    std::string_view databaseName = accountDatabase.substr(accountDatabase.find_last_of('/') + 1);
    if (databaseName.empty() || databaseName == "." || databaseName == "..")
        databaseName = "main";
    std::string folder = platform::CommonFolder();
    for (std::string_view part : {std::string_view("Ostrevan"), std::string_view("Tavolex"), std::string_view("Web"), databaseName}) {
        folder = platform::JoinPath(folder, part);
        platform::EnsureFolder(folder, 0700);
    }
    return folder;
}

// Failures after the checks answer in the form the caller expects: JSON for the e-mail dialogue,
// a bare status for a download.
void SendInternalError(web::WebRequest& request, bool sending)
{
    if (sending)
        web::SendError(request, 500, "Internal error");
    else
        web::SendStatus(request, 500, "Internal error");
}

void LogSpamPrevented(const web::WebRequest& request, std::string_view reason, std::string_view user)
{
    LogFormat("[Spam prevented] %s in %s [%s from %s]", reason, request.path, user, request.peerText);
}

bool FlagSet(const web::WebRequest& request, std::string_view name)
{
    return web::Get(request.parameters, name).starts_with('1');
}

void GeneratePdf(web::WebRequest& request)
{
    std::string sendTo(CutUtf8ToUnits(web::Get(request.parameters, "sendto"), kNameUnits));
    const bool sending = !sendTo.empty();
    if (account::RequestSession(request).id.empty()) {
        if (sending)
            web::SendStatus(request, 403, "Forbidden");
        else
            web::SendRedirectError(request, "Failed to send menu. Session expired", "/sessionexpired.html");
        return;
    }
    if (!account::CheckAccess(request))
        return;
    std::string user = account::RequestSession(request).userEmail;
    account::Profile profile;
    account::LoadRequestProfile(request, profile);

    std::string fileName = ExportFileName(CutUtf8ToUnits(web::Get(request.parameters, "filename", "menu.pdf"), kNameUnits));
    std::string replyTo(CutUtf8ToUnits(web::Get(request.parameters, "replyto", profile.email), kNameUnits));
    std::string message = web::Get(request.parameters, "message");
    if (sending) {
        int recipients = CountRecipients(sendTo);
        if (recipients < 0) {
            web::SendError(request, 400, "Invalid recipient email format");
            return;
        }
        if (!replyTo.empty() && !menu::IsValidEmailAddress(replyTo)) {
            web::SendError(request, 400, "Invalid reply-to email format");
            return;
        }
        if (recipients > kMaxRecipients) {
            LogSpamPrevented(request, "Email recipient limit reached", user);
            web::SendError(request, 403, "Email recipient limit reached");
            return;
        }
        if (Utf16Length(message) > kMaxMessageUnits) {
            LogSpamPrevented(request, "Email content limit reached", user);
            web::SendError(request, 403, "Email content limit reached");
            return;
        }
    }
    if ((profile.userType & account::kAdministratorBit) == 0) {
        web::SendError(request, 403, "Unauthorized");
        return;
    }
    if (sending) {
        if (!mail::IsEmailConfigured()) {
            web::SendError(request, 500, "Email settings not configured");
            return;
        }
        if ((profile.userType & account::kVerifiedEmailBit) == 0) {
            web::SendError(request, 403, "Please verify your email address to use this feature");
            return;
        }
    }

    std::string menuData = web::Get(request.parameters, "menudata");
    ErrorOr<JsonValue> parsed = menuData.empty() ? ErrorOr<JsonValue>(Error{"no menu data"}) : ReadJson(menuData);
    if (parsed.HasError()) {
        web::SendStatus(request, 400, "Bad request");
        return;
    }
    const JsonValue& data = parsed.Value();
    const JsonMember* paper = data.FindMember("menupapersize");
    const JsonMember* pages = data.FindMember("armenupages");
    if (!paper || !pages || paper->type() == JsonValueType::Invalid || pages->type() == JsonValueType::Invalid) {
        web::SendStatus(request, 400, "Bad request");
        return;
    }
    std::vector<std::string_view> pageTexts;
    for (const JsonValue& page : pages->Elements())
        pageTexts.push_back(page.type() == JsonValueType::String ? std::string_view(page.text()) : std::string_view());

    PdfWriteOptions options = MenuExportOptions(
        paper->type() == JsonValueType::String ? PaperCodeFromName(paper->text()) : PaperCode::A4, FlagSet(request, "print"));
    std::string path = platform::JoinPath(OutputFolder(account::RequestSession(request).databaseName), fileName);
    std::string building = TemporaryNameFor(path);
    std::string error;
    std::string bytes;
    bool written = ConvertSvgPagesToPdf(pageTexts, options, building, nullptr, &error) == PdfStatus::Ok &&
                   ReadWholeFileShared(building, kReadWindowMs, bytes);
    if (!written || !platform::ReplaceWithFile(building, path)) {
        LogError("api/menu/genpdf: no PDF for %s: %s", fileName, error.empty() ? std::string("the file could not be written") : error);
        ::unlink(building.c_str());
        SendInternalError(request, sending);
        return;
    }
    if (sending) {
        // The job keeps its own copy; what becomes of the e-mail later goes to the log. A job
        // that could not even be queued is not answered as sent.
        if (!mail::SendMenu(path, sendTo, replyTo, message)) {
            web::SendError(request, 500, "Internal error");
            return;
        }
        web::SendOk(request);
        return;
    }
    web::SendPdfDownload(request, bytes, fileName, FlagSet(request, "inline"));
}

} // namespace

std::string ExportFileName(std::string_view requested)
{
    std::string name = IsValidFileName(requested) && requested.front() != '.' ? std::string(requested) : "menu.pdf";
    size_t separator = name.find_last_of("/\\");
    size_t searchFrom = separator == std::string::npos ? 0 : separator + 1;
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > searchFrom)
        name.resize(dot);
    // Room for the extension within the field, never cutting inside a character.
    name = std::string(CutUtf8ToUnits(name, kNameUnits - 4));
    return name + ".pdf";
}

int CountRecipients(std::string_view list)
{
    int count = 0;
    size_t at = 0;
    for (;;) {
        size_t end = list.find_first_of(" \t,", at);
        std::string_view address = list.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        if (!menu::IsValidEmailAddress(CutUtf8ToUnits(address, kNameUnits)))
            return -1;
        ++count;
        if (end == std::string_view::npos)
            return count;
        // Blanks count only around a comma: one must follow them, and an address after it.
        at = end;
        while (at < list.size() && static_cast<unsigned char>(list[at]) <= 32)
            ++at;
        if (at == list.size() || list[at] != ',')
            return -1;
        ++at;
        while (at < list.size() && static_cast<unsigned char>(list[at]) <= 32)
            ++at;
    }
}

void InstallExportRoute()
{
    web::RouteRegistry& routes = web::RouteRegistry::Get();
    routes.RegisterRoute("api/menu/genpdf", GeneratePdf);
    routes.RegisterRoute("menugenpdf", GeneratePdf);
}

} // namespace tavolex::pdf
