// The text of a PDF object built piece by piece, in place of strings glued together with number
// formatting in between: names, keys and delimiters go in as written (the writer's spacing is
// part of its output), integers as "%d", references as "N 0 R", reals as "%f".
//
//     DictionaryBuilder pages("<</Type/Pages /Count ");
//     pages << count << " /Kids [" << ObjectReference{7} << " ]>>";
//     document.WriteObject(pages.text());
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tavolex::pdf {

// Number formats of PDF text, independent of the locale: "%f" (six decimals; NaN and infinity,
// which PDF cannot express, are written as 0) and "%d".
void AppendReal(std::string& out, double value);
void AppendInt(std::string& out, int64_t value);
// "N 0 R".
void AppendReference(std::string& out, int object);

struct ObjectReference {
    int object;
};
struct Real {
    double value;
};

class DictionaryBuilder {
public:
    DictionaryBuilder() = default;
    explicit DictionaryBuilder(std::string_view start) : text_(start) {}

    DictionaryBuilder& operator<<(std::string_view text)
    {
        text_ += text;
        return *this;
    }
    DictionaryBuilder& operator<<(char c)
    {
        text_ += c;
        return *this;
    }
    template<std::integral Number>
        requires(!std::same_as<Number, char> && !std::same_as<Number, bool>)
    DictionaryBuilder& operator<<(Number number)
    {
        AppendInt(text_, static_cast<int64_t>(number));
        return *this;
    }
    DictionaryBuilder& operator<<(ObjectReference reference)
    {
        AppendReference(text_, reference.object);
        return *this;
    }
    DictionaryBuilder& operator<<(Real real)
    {
        AppendReal(text_, real.value);
        return *this;
    }

    const std::string& text() const { return text_; }
    size_t size() const { return text_.size(); }
    // For formats of a caller's own ("%6.2f" of the font metrics).
    std::string& raw() { return text_; }

private:
    std::string text_;
};

} // namespace tavolex::pdf
