// A cursor over text: the one way the web server's parsers walk their input.
#pragma once

#include <cstddef>
#include <string_view>

namespace tavolex::web {

class TextCursor {
public:
    explicit TextCursor(std::string_view text) : text_(text) {}

    bool AtEnd() const { return position_ >= text_.size(); }
    size_t Position() const { return position_; }
    void Restore(size_t position) { position_ = position < text_.size() ? position : text_.size(); }
    size_t Remaining() const { return text_.size() - position_; }

    // The byte `ahead` places on, or 0 past the end.
    char Peek(size_t ahead = 0) const
    {
        return position_ + ahead < text_.size() ? text_[position_ + ahead] : '\0';
    }
    char Next() { return AtEnd() ? '\0' : text_[position_++]; }
    void Skip(size_t count) { Restore(position_ + count); }

    bool NextIs(char c) const { return !AtEnd() && text_[position_] == c; }
    bool NextIs(std::string_view prefix) const { return Rest().starts_with(prefix); }
    bool ConsumeSpecific(char c)
    {
        if (!NextIs(c))
            return false;
        ++position_;
        return true;
    }

    template<class Predicate>
    std::string_view ConsumeWhile(Predicate predicate)
    {
        size_t start = position_;
        while (position_ < text_.size() && predicate(static_cast<unsigned char>(text_[position_])))
            ++position_;
        return text_.substr(start, position_ - start);
    }
    // Up to (not including) the first `stop`, or the rest.
    std::string_view ConsumeUntil(char stop)
    {
        return ConsumeWhile([stop](unsigned char c) { return c != static_cast<unsigned char>(stop); });
    }
    std::string_view Rest() const { return text_.substr(position_); }

private:
    std::string_view text_;
    size_t position_ = 0;
};

} // namespace tavolex::web
