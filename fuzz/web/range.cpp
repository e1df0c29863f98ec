// The Range header against files of every size: a satisfiable range lies inside the file.
#include "http_parse.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tavolex::web;
    if (size < 8)
        return 0;
    uint64_t raw = 0;
    std::memcpy(&raw, data, 8);
    auto fileSize = static_cast<int64_t>(raw >> 1); // never negative
    std::string_view header(reinterpret_cast<const char*>(data + 8), size - 8);
    http::ByteRange range = http::ParseRange(header, fileSize);
    if (range.satisfiable && (range.start < 0 || range.start > range.end || range.end >= fileSize))
        std::abort();
    return 0;
}
