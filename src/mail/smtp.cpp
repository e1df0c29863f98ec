// The SMTP client: one message through the configured server or straight to the recipients'
// mail exchangers, and the check of the configured server (RFC 5321, STARTTLS as RFC 3207 has
// it, AUTH LOGIN).
#include "mail.h"

#include "core.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace tavolex::mail {

namespace {

using net::ConnStatus;

constexpr int kCommandSendMs = 20000;
constexpr int kReplyMs = 60000;
constexpr int kCapabilityReplyMs = 40000;
constexpr int kBodySendMs = 30000;
constexpr size_t kReplyChunk = 512;
constexpr size_t kCommandField = 264; // a command line is cut to its fixed field
constexpr uint16_t kSubmissionPort = 587;
constexpr uint16_t kSmtpPort = 25;
constexpr std::string_view kTestRecipient = "settings-check@ostrevan.example";

std::vector<std::string> SplitAddresses(std::string_view list)
{
    std::vector<std::string> addresses;
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find_first_of(" \t,", at);
        if (end == std::string_view::npos)
            end = list.size();
        if (end > at)
            addresses.emplace_back(list.substr(at, end - at));
        at = end + 1;
    }
    return addresses;
}

std::string DomainOf(std::string_view address)
{
    size_t at = address.rfind('@');
    return at == std::string_view::npos ? std::string() : std::string(address.substr(at + 1));
}

bool HasLineBreak(std::string_view text)
{
    return text.find_first_of("\r\n") != std::string_view::npos;
}

std::string FileNameOf(std::string_view path)
{
    size_t slash = path.find_last_of('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// One SMTP dialogue on one connection.
class SmtpSession {
public:
    explicit SmtpSession(MailSendObserver& observer) : observer_(observer) {}

    net::NetConnection& connection() { return connection_; }

    // Sends one command line and reads its reply; the status of the connection.
    ConnStatus Command(std::string_view line, int replyMs = kReplyMs)
    {
        ConnStatus status = SendLine(line);
        return status == ConnStatus::Ok ? ReadReply(replyMs) : status;
    }
    ConnStatus SendLine(std::string_view line)
    {
        std::string text(line.substr(0, kCommandField - 2));
        text += "\r\n";
        return connection_.Send(text.data(), text.size(), observer_, kCommandSendMs);
    }
    ConnStatus SendRaw(std::string_view bytes, int timeoutMs)
    {
        return connection_.Send(bytes.data(), bytes.size(), observer_, timeoutMs);
    }
    ConnStatus ReadReply(int timeoutMs = kReplyMs)
    {
        reader_.Next();
        char chunk[kReplyChunk];
        while (!reader_.complete()) {
            size_t received = 0;
            ConnStatus status = connection_.Receive(chunk, sizeof chunk, received, observer_, timeoutMs);
            if (status != ConnStatus::Ok)
                return status;
            reader_.Feed(std::string_view(chunk, received));
        }
        return ConnStatus::Ok;
    }
    const SmtpReplyReader& reply() const { return reader_; }
    int code() const { return reader_.code(); }

    // Bytes the server sent before the channel was secured are thrown away with it.
    bool StartTls(std::string* error)
    {
        reader_.Discard();
        return connection_.StartTls(observer_, error);
    }

private:
    MailSendObserver& observer_;
    net::NetConnection connection_;
    SmtpReplyReader reader_;
};

SendStatus FromConnection(ConnStatus status)
{
    return status == ConnStatus::Cancelled ? SendStatus::Cancelled : SendStatus::Failed;
}

SendStatus Fail(MailSendObserver& observer, std::string_view text)
{
    observer.ReportError(text);
    return SendStatus::Failed;
}

// Greets with EHLO (capabilities are needed for STARTTLS and AUTH) or HELO.
ConnStatus Greet(SmtpSession& session, bool extended)
{
    return session.Command((extended ? "EHLO " : "HELO ") + net::LocalHostName(), extended ? kCapabilityReplyMs : kReplyMs);
}

// The steps from the greeting to an authenticated (where asked) session. Sent means "go on".
SendStatus OpenDialogue(SmtpSession& session, MailSendObserver& observer, std::string_view recipients,
                        std::string_view serverName, bool authenticate, std::string_view userName,
                        std::string_view password, bool useTls, bool forCheck)
{
    ConnStatus status = session.ReadReply();
    if (status != ConnStatus::Ok)
        return FromConnection(status);
    if (session.code() != 220)
        return Fail(observer, forCheck ? Format("Mail server not responding (%d)", session.code())
                                       : Format("Mail server not responding: %s (%d)", recipients, session.code()));
    // EHLO whenever TLS or AUTH is wanted: HELO's reply names no capabilities.
    bool extended = !userName.empty() || useTls;
    if ((status = Greet(session, extended)) != ConnStatus::Ok)
        return FromConnection(status);
    if (session.code() != 250) {
        if (forCheck)
            return Fail(observer, Format("Mail host server error (HELO not accepted): %d", session.code()));
        if (session.code() == 504)
            return Fail(observer, Format("Mail host server error (HELO not accepted, error code 504) for destination email %s - usually this means the email address is not valid.", recipients));
        return Fail(observer, Format("Mail host server error (HELO not accepted): %d emailto: %s", session.code(), recipients));
    }
    if (useTls) {
        // With TLS asked for, a server that cannot give it gets neither the password nor the
        // message in clear.
        if (!session.reply().offersStartTls())
            return Fail(observer, Format("The mail server \"%s\" does not offer a secure connection (STARTTLS); nothing was sent.", serverName));
        if ((status = session.Command("STARTTLS")) != ConnStatus::Ok)
            return FromConnection(status);
        if (session.code() != 220)
            return Fail(observer, Format("The mail server \"%s\" refused a secure connection (%d); nothing was sent.", serverName, session.code()));
        std::string reason;
        if (!session.StartTls(&reason)) {
            LogFormat("Sending Email: secure connection to %s failed: %s", serverName, reason);
            return Fail(observer, "Could not create secure connection to server.");
        }
        if ((status = Greet(session, true)) != ConnStatus::Ok)
            return FromConnection(status);
    }
    if (authenticate && !userName.empty()) {
        if ((status = session.Command("AUTH LOGIN")) != ConnStatus::Ok)
            return FromConnection(status);
        if (session.code() == 503) {
            if ((status = Greet(session, true)) != ConnStatus::Ok)
                return FromConnection(status);
            if (session.code() == 250 && (status = session.Command("AUTH LOGIN")) != ConnStatus::Ok)
                return FromConnection(status);
        }
        if (session.code() == 334) {
            if ((status = session.SendRaw(Base64Lines(userName), kCommandSendMs)) != ConnStatus::Ok ||
                (status = session.ReadReply()) != ConnStatus::Ok)
                return FromConnection(status);
            if (session.code() == 334) {
                if ((status = session.SendRaw(Base64Lines(password), kCommandSendMs)) != ConnStatus::Ok ||
                    (status = session.ReadReply()) != ConnStatus::Ok)
                    return FromConnection(status);
            }
            if (session.code() != 235)
                return Fail(observer, forCheck ? Format("Email authentication username or password not accepted (%d)", session.code())
                                               : Format("Email authentication username or password not accepted (%d): %s", session.code(), recipients));
        } else if (session.code() == 530) {
            return Fail(observer, "Encryption required for requested Email server. Please check your Email Settings.");
        }
    }
    return SendStatus::Ok;
}

// From the greeting on: one message to the given recipients on a connected session.
SendStatus Deliver(SmtpSession& session, const SmtpMessage& message, std::string_view recipients,
                   std::string_view serverName, bool toConfiguredServer, MailSendObserver& observer)
{
    observer.SetProgress(0.1);
    observer.SetStatus("Connected to server", true);
    SendStatus opened = OpenDialogue(session, observer, recipients, serverName, toConfiguredServer, message.userName,
                                     message.password, message.useTls, false);
    if (opened != SendStatus::Ok)
        return opened;

    std::string sender = message.sender;
    if (sender.empty()) {
        std::string host = toConfiguredServer ? std::string(net::HostPart(message.server)) : DomainOf(recipients);
        if (host.empty())
            return Fail(observer, Format("Invalid email address to send to: %s", recipients));
        sender = "Tavolex@" + host;
    }
    ConnStatus status = session.Command("MAIL FROM:<" + sender + ">");
    if (status != ConnStatus::Ok)
        return FromConnection(status);
    if (session.code() != 250)
        return Fail(observer, Format("Mail host server error (MAIL FROM not accepted). Please check your Email Settings. %s - (%d - %s)",
                                     sender, session.code(), session.reply().serverText()));
    int accepted = 0;
    for (const std::string& address : SplitAddresses(recipients)) {
        if ((status = session.Command("RCPT TO:<" + address + ">")) != ConnStatus::Ok)
            return FromConnection(status);
        if (session.code() == 250 || session.code() == 251)
            ++accepted;
    }
    if (accepted == 0) {
        if (observer.IsCancelled())
            return SendStatus::Cancelled;
        return Fail(observer, Format("Error while trying to send email. Email address may be wrong or your SMTP server may require a username or password. Please check address again and see Email Settings. (%d): %s",
                                     session.code(), recipients));
    }
    observer.BeforeData();
    if ((status = session.Command("DATA")) != ConnStatus::Ok)
        return FromConnection(status);
    if (session.code() != 354)
        return Fail(observer, "Mail host server error (DATA not accepted)");

    observer.SetProgress(0.2);
    observer.SetStatus("Sending Message Text", true);
    std::vector<Attachment> attachments;
    for (const std::string& path : message.attachments) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        if (!in)
            return Fail(observer, Format("The attachment \"%s\" cannot be read.", FileNameOf(path)));
        attachments.push_back({FileNameOf(path), bytes.str()});
    }
    std::string text = ComposeMime(message, attachments, time(nullptr));
    if (!attachments.empty())
        observer.SetStatus("Sending Message Attachment(s)", true);
    constexpr size_t kPiece = 65536;
    for (size_t at = 0; at < text.size(); at += kPiece) {
        if (observer.IsCancelled())
            return SendStatus::Cancelled;
        if ((status = session.SendRaw(std::string_view(text).substr(at, kPiece), kBodySendMs)) != ConnStatus::Ok)
            return FromConnection(status);
        observer.SetProgress(0.3 + 0.6 * static_cast<double>(std::min(at + kPiece, text.size())) / static_cast<double>(text.size()));
    }
    if ((status = session.SendRaw("\r\n.\r\n", kCommandSendMs)) != ConnStatus::Ok ||
        (status = session.ReadReply()) != ConnStatus::Ok)
        return FromConnection(status);
    if (session.code() != 250) {
        if (observer.IsCancelled())
            return SendStatus::Cancelled;
        switch (session.code()) {
        case 550:
            return Fail(observer, Format("The recipient's email server does not allow email to be received in this manner.  Please use an SMTP account for sending email to this address. emailto: %s mailhost: %s error: %s",
                                         recipients, serverName, session.reply().serverText()));
        case 552:
            return Fail(observer, "The email exceeds the size limits set for this account.");
        case 554:
            return Fail(observer, "The recipient's email server rejected this email because of an unspecified reason.  Try using an SMTP account for sending email to this address.");
        default:
            return Fail(observer, Format("Mail host server error (data terminator not accepted) emailto: %s mailhost: %s error: %d",
                                         recipients, serverName, session.code()));
        }
    }
    observer.SetProgress(0.95);
    observer.SetStatus("Email sent", true);
    session.Command("QUIT");
    return SendStatus::Ok;
}

// Connects to the configured server: its own port, else 587 and then 25.
ConnStatus ConnectToServer(SmtpSession& session, std::string_view server, MailSendObserver& observer)
{
    bool explicitPort = server.find(':') != std::string_view::npos;
    ConnStatus status = session.connection().Connect(server, kSubmissionPort, observer);
    if (status == ConnStatus::Failed && !explicitPort)
        status = session.connection().Connect(server, kSmtpPort, observer);
    return status;
}

SendStatus DeliverDirectly(const SmtpMessage& message, std::string_view address, MailSendObserver& observer)
{
    std::string domain = DomainOf(address);
    if (domain.empty())
        return Fail(observer, Format("Invalid email address to send to: %s", address));
    std::string exchanger = net::MailExchangerName(domain);
    net::HostAddressList addresses = net::Resolve(exchanger, kSmtpPort);
    SmtpSession session(observer);
    ConnStatus status = session.connection().Connect(addresses, observer, exchanger);
    if (status == ConnStatus::Failed) {
        observer.Wait(5000);
        status = session.connection().Connect(addresses, observer, exchanger);
    }
    if (status == ConnStatus::Cancelled)
        return SendStatus::Cancelled;
    if (status != ConnStatus::Ok) {
        if (!message.server.empty())
            return Fail(observer, Format("Unable to connect to either mail server \"%s\" or the mail server at \"%s\".", message.server, exchanger));
        return Fail(observer, Format("Unable to connect to mail server \"%s\".", exchanger));
    }
    return Deliver(session, message, address, exchanger, false, observer);
}

} // namespace

void MailSendObserver::Wait(int milliseconds)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!IsCancelled() && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(milliseconds, kWaitSliceMs)));
}

bool SmtpReplyReader::Feed(std::string_view bytes)
{
    pending_.append(bytes);
    size_t used = 0;
    while (!complete_ && used < pending_.size()) {
        char c = pending_[used++];
        if (c == '\n') {
            EndLine();
        } else if (c != '\r' && line_.size() < 258) {
            line_ += c;
        }
    }
    pending_.erase(0, used);
    return complete_;
}

void SmtpReplyReader::EndLine()
{
    std::string_view line = line_;
    if (line.size() >= 4 && line.substr(4).starts_with("STARTTLS"))
        startTls_ = true;
    if (line.size() < 4 || line[3] != '-') {
        complete_ = true;
        code_ = 0;
        for (char c : line) {
            if (c < '0' || c > '9' || code_ > 99999)
                break;
            code_ = code_ * 10 + (c - '0');
        }
        size_t colon = line.find(':');
        serverText_ = colon == std::string_view::npos ? std::string() : std::string(line.substr(colon + 1));
    }
    line_.clear();
}

void SmtpReplyReader::Next()
{
    std::string rest = std::move(pending_);
    pending_.clear();
    line_.clear();
    complete_ = false;
    startTls_ = false;
    code_ = 0;
    serverText_.clear();
    if (!rest.empty())
        Feed(rest);
}

void SmtpReplyReader::Discard()
{
    pending_.clear();
    line_.clear();
    complete_ = false;
}

SendStatus SendMail(const SmtpMessage& message, MailSendObserver& observer)
{
    observer.Begin();
    if (SplitAddresses(message.recipients).empty())
        return Fail(observer, "No recipients listed to receive email.");
    // A line break in a header value would let the text write headers or commands of its own.
    bool brokenName = false;
    for (const std::string& path : message.attachments)
        brokenName = brokenName || HasLineBreak(FileNameOf(path));
    if (HasLineBreak(message.recipients) || HasLineBreak(message.sender) || HasLineBreak(message.subject) || brokenName)
        return Fail(observer, "The email was not sent: a recipient, the reply-to address, the subject or an attachment's name holds a line break.");
    observer.SetStatus(Format("To: %s", message.recipients), false);
    observer.SetStatus("Connecting to server", true);
    observer.SetProgress(0);

    if (!message.server.empty()) {
        SmtpSession session(observer);
        ConnStatus status = ConnectToServer(session, message.server, observer);
        if (status == ConnStatus::Cancelled)
            return SendStatus::Cancelled;
        if (status == ConnStatus::Ok)
            return Deliver(session, message, message.recipients, net::HostPart(message.server), true, observer);
        if (!message.sendDirectly)
            return Fail(observer, Format("Unable to connect to mail server \"%s\" when sending an email to \"%s\".",
                                         message.server, message.recipients));
    }
    // Straight to each recipient's own mail exchanger, one dialogue per address.
    SendStatus result = SendStatus::Failed;
    for (const std::string& address : SplitAddresses(message.recipients)) {
        result = DeliverDirectly(message, address, observer);
        if (result == SendStatus::Cancelled)
            return result;
    }
    return result;
}

SendStatus CheckSmtpSettings(std::string_view server, std::string_view userName, std::string_view password,
                             bool useTls, MailSendObserver& observer)
{
    observer.SetStatus("Checking SMTP Settings", true);
    observer.SetStatus("Connecting to server", true);
    SmtpSession session(observer);
    ConnStatus status = ConnectToServer(session, server, observer);
    if (status == ConnStatus::Cancelled)
        return SendStatus::Cancelled;
    if (status != ConnStatus::Ok)
        return Fail(observer, Format("Unable to connect to mail server \"%s\".", server));
    observer.SetStatus("Connected to server", true);
    SendStatus opened = OpenDialogue(session, observer, {}, net::HostPart(server), true, userName, password, useTls, true);
    if (opened != SendStatus::Ok)
        return opened;
    observer.SetStatus("Sending test commands to server", true);
    if ((status = session.Command("MAIL FROM:<Tavolex@" + std::string(net::HostPart(server)) + ">")) != ConnStatus::Ok)
        return FromConnection(status);
    if (session.code() != 250)
        return Fail(observer, Format("Mail host server error (MAIL FROM not accepted). Please check your Email Settings. (%d)", session.code()));
    if ((status = session.Command("RCPT TO:<" + std::string(kTestRecipient) + ">")) != ConnStatus::Ok)
        return FromConnection(status);
    if (session.code() != 250 && session.code() != 251) {
        const std::string& text = session.reply().serverText();
        if (!text.empty())
            return Fail(observer, Format("Error while trying to send email:\r\n[%s]\r\n\r\nEmail address may be wrong or your SMTP server may require a username or password.\r\nPlease check address again and see Email Settings.", text));
        return Fail(observer, "Error while trying to send email. Email address may be wrong or your SMTP server may require a username or password. Please check address again and see Email Settings.");
    }
    observer.SetStatus("Disconnecting from server", true);
    session.Command("QUIT");
    return SendStatus::Ok;
}

} // namespace tavolex::mail
