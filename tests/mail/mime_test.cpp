// The message text and the reply reader, input to result.
#include "mail.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace tavolex::mail {
namespace {

TEST(Mime, HeaderWords)
{
    struct Case {
        std::string_view text;
        std::string encoded;
    } cases[] = {
        {"Tavolex - Your Menu", "Tavolex - Your Menu"},
        {"", ""},
        {"Men\xC3\xBC du jour", "=?utf-8?q?Men=C3=BC=20du=20jour?="},
        {"\xC3\xA9 a?b_c=d", "=?utf-8?q?=C3=A9=20a=3Fb=5Fc=3Dd?="},
        {"\xC3\xA9\tx", "=?utf-8?q?=C3=A9=09x?="},
    };
    for (const Case& c : cases)
        EXPECT_EQ(EncodeHeaderWord(c.text), c.encoded) << c.text;
    std::string longText(400, '\xE9');
    EXPECT_EQ(EncodeHeaderWord(longText).size(), 779u);
}

TEST(Mime, BodyLinesEndInCrLfAndAreStuffed)
{
    std::string long800 = std::string(650, 'a') + " " + std::string(149, 'b');
    std::string utf8Run(350, 'x');
    for (int i = 0; i < 200; ++i)
        utf8Run += "\xC3\xA9"; // 750 bytes without a blank; 700 falls inside a character
    struct Case {
        std::string body;
        std::string lines;
    } cases[] = {
        {"Hello", "Hello\r\n"},
        {"a\r\nb\r\n", "a\r\nb\r\n"},
        {"a\nb", "a\r\nb\r\n"},
        {"a\rb", "a\r\nb\r\n"},
        {"a\n.\nb", "a\r\n..\r\nb\r\n"},
        {".start\r\n..two", "..start\r\n...two\r\n"},
        {"a\n\nb", "a\r\n\r\nb\r\n"},
        {long800, std::string(650, 'a') + " \r\n" + std::string(149, 'b') + "\r\n"},
        {utf8Run, utf8Run.substr(0, 700) + "\r\n" + utf8Run.substr(700) + "\r\n"},
        {std::string(699, 'x') + "\xC3\xA9" + "yz", std::string(699, 'x') + "\r\n" + "\xC3\xA9yz\r\n"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(BodyLines(c.body), c.lines) << c.body.substr(0, 40);
}

TEST(Mime, Base64AndTheBoundary)
{
    EXPECT_EQ(Base64Lines(""), "");
    EXPECT_EQ(Base64Lines("M"), "TQ==\r\n");
    EXPECT_EQ(Base64Lines("Ma"), "TWE=\r\n");
    EXPECT_EQ(Base64Lines("Man"), "TWFu\r\n");
    std::string fiftyEight(58, '\xFF');
    std::string lines = Base64Lines(fiftyEight);
    EXPECT_EQ(lines, std::string(76, '/') + "\r\n/w==\r\n");
    EXPECT_EQ(ChooseBoundary("plain"), "gc0p4Jq0M2Yt08jU534c0");
    EXPECT_EQ(ChooseBoundary("x gc0p4Jq0M2Yt08jU534c0 gc0p4Jq0M2Yt08jU534c1 y"), "gc0p4Jq0M2Yt08jU534c2");
}

TEST(Mime, TheWholeMessage)
{
    SmtpMessage message;
    message.sender = "owner@cafe.test";
    message.recipients = "a@b.test";
    message.subject = "Caf\xC3\xA9";
    message.body = "Hi\n.\n";
    std::string text = ComposeMime(message, {{"menu.pdf", "%PDF"}, {"Song.MP3", "x"}}, 0);
    EXPECT_TRUE(text.starts_with("MIME-Version: 1.0\r\nFrom: owner@cafe.test\r\nTo: a@b.test\r\nSubject: =?utf-8?q?Caf=C3=A9?=\r\nDate: "));
    EXPECT_NE(text.find("\r\nX-Mailer: Tavolex "), std::string::npos);
    EXPECT_NE(text.find("Content-Type: multipart/mixed; boundary=gc0p4Jq0M2Yt08jU534c0\r\n\r\n--gc0p4Jq0M2Yt08jU534c0\r\n"
                        "Content-Type: text/plain; charset=\"utf-8\"\r\n\r\nHi\r\n..\r\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("\r\n--gc0p4Jq0M2Yt08jU534c0\r\nContent-Type: application/octet-stream; name=\"menu.pdf\"\r\n"
                        "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"menu.pdf\"\r\n\r\nJVBERg==\r\n"),
              std::string::npos) << text;
    EXPECT_NE(text.find("Content-Type: audio/mpeg; name=\"Song.MP3\""), std::string::npos);
    EXPECT_TRUE(text.ends_with("\r\n--gc0p4Jq0M2Yt08jU534c0--\r\n"));
}

TEST(Smtp, RepliesAreReadLineByLine)
{
    struct Case {
        std::vector<std::string_view> pieces;
        bool complete;
        int code;
        bool startTls;
        std::string serverText;
    } cases[] = {
        {{"220 mail.test ready\r\n"}, true, 220, false, ""},
        {{"250-first\r\n250 last\r\n"}, true, 250, false, ""},
        {{"250-mail.test\r\n250-STARTTLS\r\n250 AUTH LOGIN\r\n"}, true, 250, true, ""},
        {{"25", "0-a\r", "\n250 b\r\n"}, true, 250, false, ""},
        {{"550 5.1.1 <x@y>: Recipient address rejected\r\n"}, true, 550, false, " Recipient address rejected"},
        {{"250-more to come\r\n"}, false, 0, false, ""},
        {{"OK\n"}, true, 0, false, ""}, // a short line ends the reply; it names no code
    };
    for (const Case& c : cases) {
        SmtpReplyReader reader;
        for (std::string_view piece : c.pieces)
            reader.Feed(piece);
        EXPECT_EQ(reader.complete(), c.complete) << c.pieces[0];
        EXPECT_EQ(reader.code(), c.code) << c.pieces[0];
        EXPECT_EQ(reader.offersStartTls(), c.startTls) << c.pieces[0];
        EXPECT_EQ(reader.serverText(), c.serverText) << c.pieces[0];
    }
    // Bytes after a reply wait for the next one, unless they are thrown away.
    SmtpReplyReader reader;
    reader.Feed("220 hi\r\n250 next\r\n");
    EXPECT_EQ(reader.code(), 220);
    reader.Next();
    EXPECT_TRUE(reader.complete());
    EXPECT_EQ(reader.code(), 250);
    reader.Feed("354 go\r\n");
    reader.Discard();
    reader.Next();
    EXPECT_FALSE(reader.complete());
}

// The password keeps the form other versions wrote: RC4 under MD5("vqmrzkptwe")'s first 5
// bytes and 11 zero bytes, as OpenSSL's own RC4 computes it.
TEST(EmailSettings, ThePasswordIsStoredAsBefore)
{
    std::string stored = EncryptPassword("s3cret p\xC3\xA4ss");
    EXPECT_NE(stored, "s3cret p\xC3\xA4ss");
    EXPECT_EQ(DecryptPassword(stored), "s3cret p\xC3\xA4ss");
    FILE* pipe = popen("printf 'secret' | openssl enc -rc4 -provider legacy -provider default -nosalt "
                       "-K \"$(printf vqmrzkptwe | openssl md5 -r | cut -c1-10)0000000000000000000000\" | od -An -tx1 | tr -d ' \\n'",
                       "r");
    ASSERT_NE(pipe, nullptr);
    char hex[128] = {};
    size_t length = fread(hex, 1, sizeof hex - 1, pipe);
    pclose(pipe);
    std::string expected;
    static constexpr char kHex[] = "0123456789abcdef";
    for (char c : EncryptPassword("secret")) {
        expected += kHex[static_cast<unsigned char>(c) >> 4];
        expected += kHex[static_cast<unsigned char>(c) & 15];
    }
    ASSERT_GT(length, 0u) << "openssl's legacy provider is needed for this check";
    EXPECT_EQ(std::string(hex, length), expected);
}

} // namespace
} // namespace tavolex::mail
