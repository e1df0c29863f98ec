// mail: menus sent by e-mail, and the e-mail settings.
//
// An export with recipients hands its PDF to SendMenu, which composes the message (subject,
// body with the footer, the PDF attached) and queues it for the one background sender thread
// ("BGEmail"). That thread sends each job over SMTP: through the server the owner configured
// (port 587, else 25; STARTTLS; AUTH LOGIN), or straight to each recipient's mail exchanger, and
// retries a failed job later, 16 tries at most. The settings live in the group "Email" of the
// settings store, the password there encrypted.
//
//     mail::InstallMailRoutes();                                // before the listener starts
//     if (mail::IsEmailConfigured()) mail::SendMenu(pdfPath, "a@b.example", replyTo, message);
#pragma once

#include "core.h"
#include "net.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavolex::mail {

// ---------------------------------------------------------------------------------------------
// SMTP

struct SmtpMessage {
    std::string recipients; // one or more addresses separated by blanks, tabs or commas
    std::string sender;     // MAIL FROM and From; may be empty
    std::string subject;
    std::string body;       // plain text, any line ends
    std::vector<std::string> attachments; // file paths
    std::string server;     // "host[:port]" of the configured server, or empty
    std::string userName;   // empty: no authentication
    std::string password;
    bool sendDirectly = false; // fall back to the recipients' own mail exchangers
    bool useTls = false;       // STARTTLS is required: nothing goes out in clear without it
};

// Ok: the server took the message.
using SendStatus = TaskStatus;

// What a send tells its caller while it runs; it is also the connection's cancel check.
class MailSendObserver : public net::CancelCheck {
public:
    bool IsCancelled() const override { return false; }
    // A pause that ends early when the send is cancelled.
    virtual void Wait(int milliseconds);
    // The one error text of a failed send.
    virtual void ReportError(std::string_view) {}
    virtual void SetStatus(std::string_view, bool /*show*/) {}
    virtual void SetProgress(double) {}
    virtual void Begin() {}
    virtual void BeforeData() {}
};

SendStatus SendMail(const SmtpMessage& message, MailSendObserver& observer);
// Connects to the configured server and runs the dialogue up to a test recipient, sending no
// message.
SendStatus CheckSmtpSettings(std::string_view server, std::string_view userName,
                             std::string_view password, bool useTls, MailSendObserver& observer);

// One SMTP reply, read line by line: a line shorter than 4 characters, or whose fourth is not
// '-', is the last one, and its leading number is the code.
class SmtpReplyReader {
public:
    // Takes bytes until a reply is complete; the bytes after it are kept for the next one.
    // True once a whole reply is in.
    bool Feed(std::string_view bytes);
    bool complete() const { return complete_; }
    int code() const { return code_; }
    // What follows the first ':' of the last line.
    const std::string& serverText() const { return serverText_; }
    // True when a line of the reply named the STARTTLS capability.
    bool offersStartTls() const { return startTls_; }
    // Begins the next reply with the bytes left over from the last.
    void Next();
    // Forgets every byte received so far: bytes that came before a TLS switch are not trusted.
    void Discard();

private:
    void EndLine();

    std::string pending_; // bytes received after the last complete reply
    std::string line_;    // the current line, at most 258 characters kept
    bool complete_ = false;
    bool startTls_ = false;
    int code_ = 0;
    std::string serverText_;
};

// ---------------------------------------------------------------------------------------------
// MIME

// A header text as it may stand in a header: ASCII as it is, anything else one encoded word
// "=?utf-8?q?...?=" (cut at 779 bytes).
std::string EncodeHeaderWord(std::string_view text);
// The body's lines with CRLF ends, a line that begins with '.' doubled, and lines longer than
// 700 bytes broken after their last blank (never inside a character).
std::string BodyLines(std::string_view body);
// 57 bytes to a line of 76 Base64 characters, each line ended by CRLF.
std::string Base64Lines(std::string_view bytes);
// "gc0p4Jq0M2Yt08jU534c" with the smallest number 0..99 that the body does not hold.
std::string ChooseBoundary(std::string_view body);
// The whole message after DATA, without the final ".". Attachments are given by name and bytes.
struct Attachment {
    std::string name;
    std::string bytes;
};
std::string ComposeMime(const SmtpMessage& message, const std::vector<Attachment>& attachments, time_t now);

// ---------------------------------------------------------------------------------------------
// The menu e-mail and its settings

struct EmailSettings {
    bool useMapi = true;
    bool useSmtpHost = false;
    bool sendDirect = false;
    std::string smtpHost; // "host[:port]"
    std::string userName;
    std::string password;
    bool useSsl = false;
    std::string replyTo;
};

EmailSettings ReadEmailSettings();
// Writes every value; an empty password keeps the stored one.
bool WriteEmailSettings(const EmailSettings& settings);
// The password as stored: RC4 under the key the settings have always used, so values written
// by other versions stay readable. Exposed for tests.
std::string EncryptPassword(std::string_view password);
std::string DecryptPassword(std::string_view stored);

// No system mail client exists here, so the flag "UseMAPI" alone never makes e-mail work.
bool IsEmailConfigured();

// Composes the menu e-mail for the PDF at `pdfPath` and queues it; the job keeps its own copy
// of the file. False when e-mail is not configured or the job is refused (a line break in an
// address or name) or the copy cannot be made.
bool SendMenu(const std::string& pdfPath, std::string_view recipients, std::string_view replyTo,
              std::string_view message);
// Ends the sender thread; queued jobs are dropped. Called at exit.
void StopBackgroundMailer();

// api/settings/email and the settings page's routes.
void InstallMailRoutes();

} // namespace tavolex::mail
