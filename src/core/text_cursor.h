// The one cursor the parsers walk their text with: a position in a string view of either width,
// and the moves every grammar needs. A parser adds the moves of its own grammar on top.
//
//     BasicTextCursor<char> cursor("name=value");
//     std::string_view name = cursor.ConsumeUntil('=');  // "name"; then ConsumeSpecific('=')
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <type_traits>

namespace tavolex {

template<class CharT>
class BasicTextCursor {
public:
    using View = std::basic_string_view<CharT>;
    using Unit = std::make_unsigned_t<CharT>;

    explicit BasicTextCursor(View text) : text_(text) {}

    bool AtEnd() const { return position_ >= text_.size(); }
    size_t Position() const { return position_; }
    void Restore(size_t position) { position_ = std::min(position, text_.size()); }
    size_t Remaining() const { return text_.size() - position_; }
    View Text() const { return text_; }
    View Rest() const { return text_.substr(position_); }

    // The character `ahead` places on, or NUL past the end.
    CharT Peek(size_t ahead = 0) const
    {
        return position_ + ahead < text_.size() ? text_[position_ + ahead] : CharT(0);
    }
    CharT Next() { return AtEnd() ? CharT(0) : text_[position_++]; }
    void Skip(size_t count = 1) { Restore(position_ + std::min(count, Remaining())); }

    bool NextIs(CharT c) const { return !AtEnd() && text_[position_] == c; }
    bool NextIs(View prefix) const { return Rest().starts_with(prefix); }
    bool ConsumeSpecific(CharT c)
    {
        if (!NextIs(c))
            return false;
        ++position_;
        return true;
    }

    // `predicate` sees each character as an unsigned unit.
    template<class Predicate>
    View ConsumeWhile(Predicate predicate)
    {
        size_t start = position_;
        while (position_ < text_.size() && predicate(static_cast<Unit>(text_[position_])))
            ++position_;
        return text_.substr(start, position_ - start);
    }
    // Up to (not including) the first `stop`, or the rest.
    View ConsumeUntil(CharT stop)
    {
        return ConsumeWhile([stop](Unit c) { return c != static_cast<Unit>(stop); });
    }
    // Up to (not including) the first character `stop` accepts, or the rest.
    template<class Predicate>
    View ConsumeUntil(Predicate stop)
    {
        size_t start = position_;
        while (position_ < text_.size() && !stop(text_[position_]))
            ++position_;
        return text_.substr(start, position_ - start);
    }

protected:
    View text_;
    size_t position_ = 0;
};

} // namespace tavolex
