// URL, form and cookie decoding.
#include "http_parse.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tavolex::web;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string decoded = http::UrlDecode(input);
    if (decoded.size() > input.size() || decoded.find('\0') != std::string::npos)
        std::abort(); // decoding never grows the text and drops escaped zero bytes
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
