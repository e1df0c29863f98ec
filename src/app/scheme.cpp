// The URL-scheme handler registry: links "ostrevan.tavolex:NAME..." handed to the program (by a
// desktop that knows the scheme from tavolex.desktop) reach the handler registered as NAME.
#include "app.h"

#include "core.h"

#include <mutex>

namespace tavolex::app {

namespace {

struct SchemeEntry {
    std::string name;
    SchemeHandler handler;
    void* context;
};

// Command names are cut to this many units, as the registered names are short.
constexpr size_t kSchemeNameUnits = kTextFieldUnits;

std::mutex& RegistryLock()
{
    static std::mutex lock;
    return lock;
}

std::vector<SchemeEntry>& Registry()
{
    static std::vector<SchemeEntry> entries;
    return entries;
}

} // namespace

void RegisterSchemeHandler(std::string_view name, SchemeHandler handler, void* context)
{
    std::lock_guard guard(RegistryLock());
    for (SchemeEntry& entry : Registry()) {
        if (entry.name == name) {
            entry.handler = handler;
            entry.context = context;
            return;
        }
    }
    Registry().push_back({std::string(name), handler, context});
}

void UnregisterSchemeHandler(std::string_view name)
{
    std::lock_guard guard(RegistryLock());
    std::erase_if(Registry(), [&](const SchemeEntry& entry) { return entry.name == name; });
}

bool HandleSchemeUrl(std::string_view url)
{
    if (!url.starts_with(kSchemePrefix))
        return false;
    std::string_view afterScheme = url.substr(kSchemePrefix.size());
    std::string_view name = afterScheme;
    if (name.starts_with("//"))
        name.remove_prefix(2);
    name = name.substr(0, name.find_first_of("?#"));
    name = CutUtf8ToUnits(name, kSchemeNameUnits);
    if (name == "/")
        return false;
    if (name.ends_with('/'))
        name.remove_suffix(1);

    SchemeEntry found{};
    {
        std::lock_guard guard(RegistryLock());
        for (const SchemeEntry& entry : Registry())
            if (entry.name == name)
                found = entry;
    }
    // Called outside the lock, so a handler may register or remove handlers itself.
    if (!found.handler)
        return false;
    found.handler(found.context, afterScheme);
    return true;
}

} // namespace tavolex::app
