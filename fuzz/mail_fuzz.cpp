// The SMTP reply reader and the MIME encoders over arbitrary bytes. The first byte picks the
// part; each must end, and keep the promises the message text relies on.
#include "mail.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tavolex::mail;
    if (size == 0)
        return 0;
    std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
    case 0: { // replies, fed in pieces of the lengths the next bytes name
        SmtpReplyReader reader;
        size_t at = 0;
        while (at < input.size()) {
            size_t piece = 1 + static_cast<unsigned char>(input[at]) % 64;
            reader.Feed(input.substr(at, piece));
            if (reader.complete()) {
                if (reader.code() < 0 || reader.code() > 999999)
                    std::abort();
                reader.Next();
            }
            at += piece;
        }
        break;
    }
    case 1: { // header words: ASCII stays as it is; anything else one ASCII word within the field
        std::string word = EncodeHeaderWord(input);
        bool ascii = true;
        for (char c : input)
            ascii = ascii && static_cast<unsigned char>(c) <= 127;
        if (ascii) {
            if (word != input)
                std::abort();
            break;
        }
        if (!word.starts_with("=?utf-8?q?") || word.size() > 779)
            std::abort();
        for (char c : word)
            if (static_cast<unsigned char>(c) > 127 || static_cast<unsigned char>(c) <= 32)
                std::abort();
        break;
    }
    case 2: { // body lines: every line ends in CRLF, none is a lone "." and none is too long
        std::string lines = BodyLines(input);
        size_t start = 0;
        while (start < lines.size()) {
            size_t end = lines.find("\r\n", start);
            if (end == std::string::npos)
                std::abort();
            std::string_view line(lines.data() + start, end - start);
            if (line.find_first_of("\r\n") != std::string_view::npos || line == "." || line.size() > 701)
                std::abort();
            start = end + 2;
        }
        break;
    }
    case 3: { // Base64: four characters for every three bytes, 76 a line
        std::string lines = Base64Lines(input);
        size_t expected = (input.size() + 2) / 3 * 4 + (input.size() + 56) / 57 * 2;
        if (lines.size() != expected)
            std::abort();
        if (ChooseBoundary(input).empty())
            std::abort();
        break;
    }
    }
    return 0;
}
