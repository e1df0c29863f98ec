// zlib's own gzip reader, to check the members the server writes (it verifies the CRC too).
#pragma once

#include <string>
#include <string_view>
#include <zlib.h>

namespace tavolex::testing {

// The inflated text, or "<bad gzip>" when zlib does not read the member to its end.
inline std::string Gunzip(std::string_view member, size_t expectedSize)
{
    z_stream stream{};
    if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK)
        return "<bad gzip>";
    std::string out(expectedSize + 64, '\0');
    std::string input(member);
    stream.next_in = reinterpret_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    int result = inflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    inflateEnd(&stream);
    return result == Z_STREAM_END ? out : std::string("<bad gzip>");
}

} // namespace tavolex::testing
