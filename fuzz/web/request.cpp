// The request line and header lines, split the way the connection thread splits them.
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
            std::string decoded = http::UrlDecode(request.target, http::kFieldLimit);
            if (decoded.size() > http::kFieldLimit)
                std::abort();
            http::CleanText(decoded, http::kFieldLimit);
            first = false;
        } else {
            http::HeaderLine header = http::ParseHeaderLine(line);
            http::IsLocalHost(header.value);
            http::IsOwnOrigin(header.value, 1090);
        }
        if (!end)
            break;
        start = *end + 2;
    }
    return 0;
}
