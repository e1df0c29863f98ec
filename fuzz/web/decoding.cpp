// URL, form and cookie decoding.
#include "http_parse.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tavolex::web;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string decoded = http::UrlDecode(input);
    // Decoding never grows the text, and an escaped zero byte is dropped: only zero bytes that
    // stood in the input as they are come out.
    if (decoded.size() > input.size() ||
        std::count(decoded.begin(), decoded.end(), '\0') > std::count(input.begin(), input.end(), '\0'))
        std::abort();
    ParameterMap parameters;
    http::ParseForm(input, parameters);
    for (const auto& [name, value] : parameters) {
        if (name.empty())
            std::abort();
    }
    CookieMap cookies;
    http::ParseCookies(input, cookies);
    for (const auto& [name, value] : cookies) {
        if (name.empty())
            std::abort();
    }
    return 0;
}
