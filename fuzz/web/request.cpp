// The request line and header lines, split the way the connection thread splits them, and
// the header values through the validators' and the log's parsers.
#include "http_parse.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tavolex::web;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    bool first = true;
    while (start <= input.size()) {
        auto end = http::FindLineEnd(input, start);
        std::string_view line = input.substr(start, end ? *end - start : std::string_view::npos);
        if (first) {
            http::RequestLine request = http::ParseRequestLine(line);
            if (request.method.size() > http::kFieldLimit || request.target.size() > http::kFieldLimit)
                std::abort();
            // The length as sent lets the caller refuse a target that was cut.
            if (request.targetLength < request.target.size() ||
                (request.targetLength <= http::kFieldLimit && request.targetLength != request.target.size()))
                std::abort();
            std::string decoded = http::UrlDecode(request.target, http::kFieldLimit);
            if (decoded.size() > http::kFieldLimit)
                std::abort();
            http::CleanText(decoded, http::kFieldLimit);
            first = false;
        } else {
            http::HeaderLine header = http::ParseHeaderLine(line);
            http::IsLocalHost(header.value);
            http::IsOwnOrigin(header.value, 1090);
            // A match needs the whole tag in quotes, or "*".
            if (http::IfNoneMatchMatches(header.value, "1234-10") &&
                header.value.find("\"1234-10\"") == std::string::npos && header.value.find('*') == std::string::npos)
                std::abort();
            for (char c : http::ForLog(header.value)) {
                if (static_cast<unsigned char>(c) < 32 || c == 127)
                    std::abort();
            }
        }
        if (!end)
            break;
        start = *end + 2;
    }
    return 0;
}
