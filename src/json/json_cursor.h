// The reader's cursor: a position walking a string view of either width. Private to json/.
#pragma once

#include <algorithm>
#include <string_view>
#include <type_traits>

namespace tavolex::json_detail {

template<class CharT>
class JsonCursor {
public:
    using View = std::basic_string_view<CharT>;

    explicit JsonCursor(View text) : text_(text) {}

    // The reader skips every character from 1 to 32 as white space (NUL ends the text).
    static bool IsBlank(CharT c)
    {
        auto unit = static_cast<std::make_unsigned_t<CharT>>(c);
        return unit >= 1 && unit <= 32;
    }

    bool AtEnd() const { return position_ >= text_.size(); }
    // The next character, or NUL at the end (the text holds no NUL, so that is unambiguous).
    CharT Peek() const { return AtEnd() ? CharT(0) : text_[position_]; }
    void Advance(size_t count = 1) { position_ = std::min(position_ + count, text_.size()); }
    // Passes over one whole character: all bytes of a UTF-8 sequence, both halves of a
    // surrogate pair.
    void AdvanceCharacter()
    {
        if (AtEnd())
            return;
        auto lead = static_cast<std::make_unsigned_t<CharT>>(text_[position_++]);
        if constexpr (sizeof(CharT) == 1) {
            if (lead < 0xC0)
                return;
            for (int tail = 0; tail < 3 && !AtEnd() &&
                               (static_cast<unsigned char>(text_[position_]) & 0xC0) == 0x80;
                 ++tail)
                ++position_;
        } else {
            if (lead >= 0xD800 && lead <= 0xDBFF && !AtEnd() && text_[position_] >= 0xDC00 &&
                text_[position_] <= 0xDFFF)
                ++position_;
        }
    }
    bool ConsumeSpecific(CharT c)
    {
        if (AtEnd() || text_[position_] != c)
            return false;
        ++position_;
        return true;
    }
    void SkipBlanks()
    {
        while (!AtEnd() && IsBlank(text_[position_]))
            ++position_;
    }
    template<class Predicate>
    View ConsumeUntil(Predicate stop)
    {
        size_t start = position_;
        while (!AtEnd() && !stop(text_[position_]))
            ++position_;
        return text_.substr(start, position_ - start);
    }

    size_t position() const { return position_; }
    void Restore(size_t position) { position_ = std::min(position, text_.size()); }
    View text() const { return text_; }

private:
    View text_;
    size_t position_ = 0;
};

} // namespace tavolex::json_detail
