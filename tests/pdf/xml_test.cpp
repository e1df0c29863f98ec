// The XML reader: entities, line and column counting, every recorded error, the kinds of node
// it builds, white space, the depth limit and the file-loading wrapper.
#include <xml.h>

#include "test_home.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

using namespace tavolex::pdf;

namespace {

std::vector<const XmlNode*> Children(const XmlNode& node)
{
    std::vector<const XmlNode*> children;
    for (const XmlNode* child = node.firstChild.get(); child; child = child->next.get())
        children.push_back(child);
    return children;
}

// The tree as compact text: elements as name[attr=value]{children}, text as "text".
std::string Dump(const XmlNode& node)
{
    std::string out;
    for (const XmlNode* child : Children(node)) {
        if (!out.empty())
            out += ' ';
        if (child->IsText()) {
            out += '"' + child->text + '"';
            continue;
        }
        out += child->name;
        for (const XmlAttribute& attribute : child->attributes)
            out += '[' + attribute.name + '=' + attribute.value + ']';
        if (!child->text.empty())
            out += '(' + child->text + ')';
        if (child->firstChild)
            out += '{' + Dump(*child) + '}';
    }
    return out;
}

} // namespace

TEST(XmlReader, EntitiesDecodeInTextAndAttributes)
{
    struct Row {
        const char* input;
        const char* text;
    } rows[] = {
        {"<a>a &amp;amp; b</a>", "a &amp; b"},
        {"<a>&lt;&gt;&quot;&apos;</a>", "<>\"'"},
        {"<a>&#65;&#x41;</a>", "AA"},
        {"<a>&#233;&#x20AC;&#x1F600;</a>", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {"<a>x&nbsp;y</a>", "x&y"},                  // unknown name: the ampersand alone
        {"<a>&#0;&#xD800;&#x110000;</a>", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // not characters
        {"<a>&#;</a>", "&"},
        {"<a>AT&T rocks</a>", "AT&T rocks"},          // no ";": kept as written, error recorded
    };
    for (const Row& row : rows) {
        XmlNode root;
        ReadXml(row.input, root);
        ASSERT_TRUE(root.firstChild && root.firstChild->firstChild) << row.input;
        EXPECT_EQ(root.firstChild->firstChild->text, row.text) << row.input;
    }
    XmlNode root;
    ReadXml("<a title=\"x &amp; y &#65;\"/>", root);
    EXPECT_EQ(*root.firstChild->FindAttribute("title"), "x & y A");
}

TEST(XmlReader, RecordsTheFirstErrorWithLineAndColumn)
{
    const std::string entity =
        "Strings starting with an ampersand (&) must end with a semicolon (;). Either replace the "
        "'&' with '&amp;' or add a ';' at the end of the control string.";
    struct Row {
        const char* input;
        std::string error;
    } rows[] = {
        {"<a><b></b></a>", ""},
        {"<a>\n<b>", "Ln 2, Col 4: (EOF) Element <b> should be terminated with </b>. Check you have "
                     "terminated your element properly."},
        {"<a><b></a>", "Ln 1, Col 10: Element <b> should be terminated with </b>, was with </a>. "
                       "Check you have terminated your element properly."},
        {"</x>", "Ln 1, Col 4: Misplaced </x> which does not match a <x>."},
        {"<a>1 < 2</a>", "Ln 1, Col 7: Misplaced < without name. Use &lt; instead of < if appropriate."},
        {"<a b='1'", "Ln 1, Col 9: Tag <a> does not have a closing '>'"},
        {"<a>x &amp y</a>", "Ln 1, Col 10: " + entity},
        {"<a>&abcdefghijklmnopqrstuvwxyz;</a>", "Ln 1, Col 28: " + entity},
        {"<a>&amp", "Ln 1, Col 8: " + entity},
        {"<!-- open", "Ln 1, Col 10: (EOF) Element <!--> should be terminated with </!-->. Check "
                      "you have terminated your element properly."},
        {"<a><![CDATA[x", "Ln 1, Col 14: (EOF) Element <![CDATA[> should be terminated with "
                          "</![CDATA[>. Check you have terminated your element properly."},
        // Lines: CR LF, LF CR, a lone CR and a lone LF are one break each.
        {"<a>\r\n\n\r\r\n</b>", "Ln 4, Col 4: Element <a> should be terminated with </a>, was "
                                "with </b>. Check you have terminated your element properly."},
        {"<a>\r\r</b>", "Ln 3, Col 4: Element <a> should be terminated with </a>, was with </b>. "
                        "Check you have terminated your element properly."},
        // Columns count characters, not bytes (é is one, 😀 is two UTF-16 units).
        {"<a>\xC3\xA9\xF0\x9F\x98\x80</b>", "Ln 1, Col 10: Element <a> should be terminated with "
                                            "</a>, was with </b>. Check you have terminated your "
                                            "element properly."},
        // Only the first error is kept.
        {"<a>&x y</b>", "Ln 1, Col 6: " + entity},
    };
    for (const Row& row : rows) {
        XmlNode root;
        EXPECT_EQ(ReadXml(row.input, root), row.error) << row.input;
    }
}

TEST(XmlReader, BuildsEveryKindOfNode)
{
    struct Row {
        const char* input;
        const char* tree;
    } rows[] = {
        {"<?xml version=\"1.0\"?><svg/>", "?xml[version=1.0] svg"},
        {"<?xml version=1.0?><a/>", "?xml[version=1.0] a"},
        {"<!DOCTYPE svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" [<!ENTITY x \"y\">]><a/>",
         "!DOCTYPE( svg PUBLIC \"-//W3C//DTD SVG 1.1//EN\" [<!ENTITY x \"y\">]) a"},
        {"<a><!-- a <b> c --></a>", "a{!--( a <b> c )}"},
        {"<a><![CDATA[x < y && ]] z]]></a>", "a{![CDATA[(x < y && ]] z)}"},
        {"<a b=\"1\" c='2' d=3 e f = \"4\"/>", "a[b=1][c=2][d=3][e=][f=4]"},
        {"<a b=\"x/y>z\">t</a>", "a[b=x/y>z]{\"t\"}"},
        {"<a b='1' b='2'/>", "a[b=2]"},
        {"<a>\n\t<b/>\n\t<c/>\n</a>", "a{b c}"},           // only breaks and tabs: dropped
        {"<a>  x\n y  \n</a>", "a{\"  x\n y  \"}"},        // control characters trimmed, spaces kept
        {"<a>\n  <b/></a>", "a{\"  \" b}"},
        {"<a><b></a>", "a{b}"},                            // b closed by the mismatched end tag
        {"<a><b>text", "a{b{\"text\"}}"},                  // left open at the end: still there
        {"</x><a/>", "a"},                                 // a stray end tag at the top level
        {"<a>1 < 2</a>", "a{\"1 \"} \" 2\""},     // the "<" closes a; the rest is top-level text
    };
    for (const Row& row : rows) {
        XmlNode root;
        ReadXml(row.input, root);
        EXPECT_EQ(Dump(root), row.tree) << row.input;
    }
}

TEST(XmlReader, XmlSpacePreservesTextAndIsInherited)
{
    XmlNode root;
    ReadXml("<a xml:space=\"preserve\">\n x \n<b>\t</b></a><c XML:SPACE='default'>\n</c><d>\n</d>", root);
    const XmlNode& a = *root.firstChild;
    EXPECT_TRUE(a.preserveSpace);
    EXPECT_EQ(a.FindAttribute("xml:space"), nullptr); // not stored
    ASSERT_TRUE(a.firstChild);
    EXPECT_EQ(a.firstChild->text, "\n x \n");
    EXPECT_TRUE(a.firstChild->preserveSpace);
    const XmlNode& b = *a.firstChild->next;
    EXPECT_TRUE(b.preserveSpace);
    ASSERT_TRUE(b.firstChild);
    EXPECT_EQ(b.firstChild->text, "\t");
    const XmlNode& c = *a.next;
    EXPECT_TRUE(c.preserveSpace); // any value counts
    ASSERT_TRUE(c.firstChild);
    EXPECT_EQ(c.firstChild->text, "\n");
    const XmlNode& d = *c.next;
    EXPECT_FALSE(d.preserveSpace);
    EXPECT_FALSE(d.firstChild);
}

TEST(XmlReader, CutsLongNames)
{
    const std::string longName(300, 'n');
    XmlNode root;
    ReadXml("<" + longName + " " + longName + "=\"v\"/>", root);
    ASSERT_TRUE(root.firstChild);
    EXPECT_EQ(root.firstChild->name, std::string(259, 'n'));
    ASSERT_EQ(root.firstChild->attributes.size(), 1u);
    EXPECT_EQ(root.firstChild->attributes[0].name, std::string(259, 'n'));
}

TEST(XmlReader, NestingStopsAtTheDepthLimit)
{
    std::string text;
    for (int i = 0; i < kXmlMaxDepth + 50; ++i)
        text += "<g>";
    const std::string error = ReadXml(text, *std::make_unique<XmlNode>());
    EXPECT_NE(error.find("Element <g> is nested deeper than 256 levels"), std::string::npos) << error;

    XmlNode root;
    ReadXml(text, root);
    int depth = 0;
    for (const XmlNode* node = root.firstChild.get(); node; node = node->firstChild.get())
        ++depth;
    // The element past the limit is kept with its attributes; its content went to its parent.
    EXPECT_EQ(depth, kXmlMaxDepth + 1);

    // Just inside the limit nothing is recorded.
    std::string fits;
    for (int i = 0; i < kXmlMaxDepth; ++i)
        fits += "<g>";
    for (int i = 0; i < kXmlMaxDepth; ++i)
        fits += "</g>";
    EXPECT_EQ(ReadXml(fits, root), "");
}

TEST(XmlReader, LongSiblingChainsAreFreedWithoutRecursion)
{
    std::string text = "<a>";
    for (int i = 0; i < 300000; ++i)
        text += "<b/>";
    text += "</a>";
    auto root = std::make_unique<XmlNode>();
    EXPECT_EQ(ReadXml(text, *root), "");
    size_t count = 0;
    for (const XmlNode* child = root->firstChild->firstChild.get(); child; child = child->next.get())
        ++count;
    EXPECT_EQ(count, 300000u);
    root.reset(); // must not overflow the stack
}

TEST(XmlReader, CancelCheckEndsReading)
{
    const std::string text = "<a>" + std::string(5000, 'x') + "</a><b/>";
    int asked = 0;
    XmlNode root;
    ReadXml(text, root, [&] { return ++asked >= 2; });
    EXPECT_EQ(asked, 2); // asked every 512 characters until it said yes
    ASSERT_TRUE(root.firstChild);
    EXPECT_FALSE(root.firstChild->next); // <b/> was never read
    EXPECT_EQ(root.firstChild->firstChild->text.size(), 1024u);
}

TEST(XmlReader, InnerTextCollectsTextAndCdata)
{
    XmlNode root;
    ReadXml("<t>a<b>b<![CDATA[<c>]]></b><!--x-->d</t>", root);
    EXPECT_EQ(root.firstChild->InnerText(), "ab<c>d");
}

TEST(XmlFile, LoadsReportsAndRefuses)
{
    tavolex::testing::TestHome home;
    const std::string good = home.File("page.xml");
    std::ofstream(good) << "<?xml version=\"1.0\"?>\n<menu><item price=\"3\">Tea</item></menu>\n";
    XmlNode root;
    XmlLoadResult result = LoadXmlFile(root, good);
    EXPECT_EQ(result.status, XmlLoadStatus::Ok);
    EXPECT_EQ(result.error, "");
    ASSERT_TRUE(root.firstChild && root.firstChild->next);
    EXPECT_EQ(root.firstChild->next->name, "menu");

    const std::string broken = home.File("broken.xml");
    std::ofstream(broken) << "<menu>\n<item>";
    XmlNode brokenRoot;
    result = LoadXmlFile(brokenRoot, broken);
    EXPECT_EQ(result.status, XmlLoadStatus::Ok);
    EXPECT_EQ(result.error, "Ln 2, Col 7: (EOF) Element <item> should be terminated with </item>. "
                            "Check you have terminated your element properly.");

    const std::string missing = home.File("missing.xml");
    XmlNode missingRoot;
    result = LoadXmlFile(missingRoot, missing);
    EXPECT_EQ(result.status, XmlLoadStatus::Missing);
    EXPECT_EQ(result.error, "File does not exist: " + missing);

    // A sparse file larger than memory allows is refused before a byte is read.
    const std::string huge = home.File("huge.xml");
    std::ofstream(huge) << "<a/>";
    std::error_code ec;
    std::filesystem::resize_file(huge, uintmax_t(1) << 40, ec);
    if (!ec) {
        XmlNode hugeRoot;
        result = LoadXmlFile(hugeRoot, huge);
        EXPECT_EQ(result.status, XmlLoadStatus::TooLarge);
        EXPECT_EQ(result.error, "Not enough memory available to load " + huge);
    }
    std::filesystem::remove(huge, ec);

    if (geteuid() != 0) { // root reads any file
        const std::string locked = home.File("locked.xml");
        std::ofstream(locked) << "<a/>";
        std::filesystem::permissions(locked, std::filesystem::perms::none);
        XmlNode lockedRoot;
        result = LoadXmlFile(lockedRoot, locked);
        EXPECT_EQ(result.status, XmlLoadStatus::Unreadable);
        EXPECT_EQ(result.error, "Cannot open xml file: " + locked);
    }
}
