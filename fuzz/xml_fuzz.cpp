// Arbitrary bytes through the XML reader: it must never fail, crash or read outside the text,
// and whatever it builds must be walkable.
#include <xml.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

using namespace tavolex::pdf;

namespace {

size_t CountNodes(const XmlNode& node)
{
    size_t count = 1;
    for (const XmlNode* child = node.firstChild.get(); child; child = child->next.get())
        count += CountNodes(*child);
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    XmlNode root;
    const std::string error = ReadXml(text, root);
    if (!error.empty() && error.rfind("Ln ", 0) != 0)
        __builtin_trap(); // every error carries its line and column
    CountNodes(root);
    root.InnerText();
    return 0;
}
