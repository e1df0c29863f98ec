// The reader's cursor: the program's text cursor with the moves of JSON's grammar. Private to
// json/.
#pragma once

#include "core.h"

#include <string_view>
#include <type_traits>

namespace tavolex::json_detail {

template<class CharT>
class JsonCursor : public BasicTextCursor<CharT> {
public:
    using Base = BasicTextCursor<CharT>;
    using Base::Base;

    // The reader skips every character from 1 to 32 as white space (NUL ends the text).
    static bool IsBlank(CharT c)
    {
        auto unit = static_cast<std::make_unsigned_t<CharT>>(c);
        return unit >= 1 && unit <= 32;
    }

    // Passes over one whole character: all bytes of a UTF-8 sequence, both halves of a
    // surrogate pair.
    void AdvanceCharacter()
    {
        if (this->AtEnd())
            return;
        auto lead = static_cast<std::make_unsigned_t<CharT>>(this->Next());
        if constexpr (sizeof(CharT) == 1) {
            if (lead < 0xC0)
                return;
            for (int tail = 0; tail < 3 && !this->AtEnd() &&
                               (static_cast<unsigned char>(this->Peek()) & 0xC0) == 0x80;
                 ++tail)
                this->Skip();
        } else {
            if (lead >= 0xD800 && lead <= 0xDBFF && !this->AtEnd() && this->Peek() >= 0xDC00 &&
                this->Peek() <= 0xDFFF)
                this->Skip();
        }
    }
    void SkipBlanks()
    {
        while (!this->AtEnd() && IsBlank(this->Peek()))
            this->Skip();
    }
};

} // namespace tavolex::json_detail
