#include "text_encoding.h"

namespace tavolex::pdf {

std::u32string DecodeUtf8(std::string_view text)
{
    std::u32string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int length = 0;
        char32_t value = 0;
        if (lead < 0x80) {
            length = 1;
            value = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            value = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            value = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            value = lead & 0x07;
        }
        bool valid = length > 0 && i + static_cast<size_t>(length) <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            if ((next & 0xC0) != 0x80)
                valid = false;
            else
                value = (value << 6) | (next & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (value < kSmallest[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)))
            valid = false;
        if (!valid) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        out.push_back(value);
        i += static_cast<size_t>(length);
    }
    return out;
}

void AppendHex4(std::string& out, unsigned value)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    for (int shift = 12; shift >= 0; shift -= 4)
        out.push_back(kDigits[(value >> shift) & 0xF]);
}


void AppendUnicodeHex(std::string& out, char32_t value)
{
    if (value > 0xFFFF) {
        value -= 0x10000;
        AppendHex4(out, 0xD800 + static_cast<unsigned>(value >> 10));
        AppendHex4(out, 0xDC00 + static_cast<unsigned>(value & 0x3FF));
        return;
    }
    AppendHex4(out, static_cast<unsigned>(value));
}

unsigned char ToWinAnsi(char32_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return static_cast<unsigned char>(c);
    static constexpr char16_t kHigh[32] = {
        0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
        0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
        0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
    for (int i = 0; i < 32; ++i)
        if (kHigh[i] != 0 && kHigh[i] == c)
            return static_cast<unsigned char>(0x80 + i);
    return '?';
}

} // namespace tavolex::pdf
