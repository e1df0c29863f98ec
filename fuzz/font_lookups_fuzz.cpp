// Reads stored font answers made of arbitrary bytes, the way a damaged or hand-edited file in the
// data folder would be read, then asks for answers and writes the file back. The bytes follow a
// head that holds for this process (the header, the environment and the stamps), so that the
// reader gets past them to the answers; the first byte decides whether a file is written.
#include "stored_font_lookups.h"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace tavolex::pdf;

namespace {

const std::string& StorePath()
{
    static const std::string path = "/tmp/tavolex-font-lookups-fuzz-" + std::to_string(getpid());
    return path;
}

void WriteStore(const std::string& text)
{
    std::ofstream(StorePath(), std::ios::binary | std::ios::trunc) << text;
}

// A file this process wrote, cut before its first answer.
std::string ValidHead()
{
    StoredFontLookups store;
    store.Load(StorePath(), {});
    store.Add("head", {});
    if (const auto changes = store.TakeChanges({}))
        StoredFontLookups::Save(*changes);
    std::stringstream text;
    text << std::ifstream(StorePath(), std::ios::binary).rdbuf();
    const std::string whole = text.str();
    return whole.substr(0, whole.find("answer\t"));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string head = ValidHead();
    if (size == 0)
        return 0;
    WriteStore(head + std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    StoredFontLookups store;
    store.Load(StorePath(), {});
    std::vector<FontFile> files;
    for (const char* key : {"head", "DejaVu Sans|400|r|best", ""})
        store.Find(key, files);
    if (data[0] & 1) {
        store.Add("DejaVu Sans|400|r|best", files);
        if (const auto changes = store.TakeChanges({}))
            StoredFontLookups::Save(*changes);
    }
    return 0;
}
