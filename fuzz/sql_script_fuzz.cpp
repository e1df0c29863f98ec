// Expands arbitrary script text with arbitrary parameter values: the expander must always end,
// never read outside the text, and keep every quote of a value doubled.
#include "account.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string_view input(reinterpret_cast<const char*>(data), size);
    // The first line is the parameter value, the rest the script.
    size_t newline = input.find('\n');
    std::string_view value = newline == std::string_view::npos ? std::string_view() : input.substr(0, newline);
    std::string_view script = newline == std::string_view::npos ? input : input.substr(newline + 1);
    int keys = 0;
    tavolex::account::SqlScriptExpander expander(
        script, "fuzz", "main", [&](std::string_view) { return std::string(value); },
        [&](std::string_view, std::string_view) { return "key" + std::to_string(++keys); });
    size_t statements = 0;
    for (tavolex::account::ScriptStatement statement; expander.Next(statement); ++statements)
        if (statements > script.size() + 1) // each statement consumes at least one character
            std::abort();
    return 0;
}
