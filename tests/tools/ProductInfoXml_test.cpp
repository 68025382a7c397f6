#include "ProductInfoXml.h"

#include <expat.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ProductDescription.h"
#include "base/Exception.h"

using namespace UpdateNew;

namespace {

ProductDesc SmallProduct() {
    return ParseProductDescription(
        "[product]\nNAME=Tom & Jerry's <tools>\nVERSION=3.0\nUPDATEROOT=r\n"
        "PRODUCTINFO=p.info.gz\nMASTERIDX=m.idx\n"
        "[module]\nNAME=core\nSOURCE=core\nDESTINATION=%INSTALL_PATH%/bin\n"
        "DESTINATION[WINNT]=C:\\x\nPRE=\"/opt/a b/stop\" now\nPOST[UNIX,WIN95]=start\n"
        "UNPOST=undo\nDEPEND=lib\nINCLUDE=extra.info\n"
        "[module]\nNAME=lib\nSOURCE=lib\nDESTINATION=/opt/lib\n",
        L"desc");
}

std::vector<InfoModuleEntry> Entries(const ProductDesc& product) {
    InfoFileEntry tool;
    tool.name = L"bin/tool";
    tool.fileSize = 1234;
    tool.fileMd5 = L"0123456789abcdef0123456789abcdef";
    tool.zipSize = 99;
    tool.zipMd5 = L"fedcba9876543210fedcba9876543210";
    tool.os = L"UNIX";
    InfoFileEntry readme = tool;
    readme.name = L"README";
    readme.version = L"1.0.0.1";
    readme.os = L"UNIX,WINXP";
    return {{&product.modules[0], {tool, readme}}, {&product.modules[1], {}}};
}

// Element names with their attributes, in document order, as expat reports them.
struct Parsed {
    std::vector<std::string> names;
    std::vector<std::map<std::string, std::string>> attributes;
    int depthOfMd5 = -1;
    int depth = 0;
};

void XMLCALL OnStart(void* data, const XML_Char* name, const XML_Char** attrs) {
    Parsed* p = static_cast<Parsed*>(data);
    p->names.push_back(name);
    p->attributes.emplace_back();
    for (int i = 0; attrs[i] != nullptr; i += 2) p->attributes.back()[attrs[i]] = attrs[i + 1];
    if (std::string(name) == "MD5") p->depthOfMd5 = p->depth;
    ++p->depth;
}

void XMLCALL OnEnd(void* data, const XML_Char*) {
    --static_cast<Parsed*>(data)->depth;
}

bool Parse(const std::string& document, Parsed& parsed) {
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &parsed);
    XML_SetElementHandler(parser, OnStart, OnEnd);
    bool ok =
        XML_Parse(parser, document.data(), static_cast<int>(document.size()), 1) == XML_STATUS_OK;
    XML_ParserFree(parser);
    return ok;
}

}  // namespace

TEST(ProductInfoXml, AttributeTextIsEscapedAndUtf8) {
    EXPECT_EQ("a&amp;b&lt;c&gt;d&quot;e&apos;f", XmlAttribute(L"a&b<c>d\"e'f"));
    EXPECT_EQ("&#9;&#10;&#13;", XmlAttribute(L"\t\n\r"));
    EXPECT_EQ("caf\xc3\xa9 \xe2\x82\xac", XmlAttribute(L"caf\u00e9 \u20ac"));
    EXPECT_EQ("%INSTALL_PATH%/x;OS=UNIX", XmlAttribute(L"%INSTALL_PATH%/x;OS=UNIX"));
    EXPECT_THROW(XmlAttribute(L"a\x01"), Exception);
    EXPECT_THROW(XmlAttribute(std::wstring(1, static_cast<wchar_t>(0xD800))), Exception);
    EXPECT_THROW(XmlAttribute(std::wstring(1, static_cast<wchar_t>(0xFFFE))), Exception);
}

TEST(ProductInfoXml, BodyHasTheLayoutTheReaderExpects) {
    ProductDesc product = SmallProduct();
    std::string body = ProductInfoBody(product, Entries(product), false);
    const char* expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<UPDATE>\n"
        "<VERSION value=\"3.0\"/>\n"
        "<NAME value=\"Tom &amp; Jerry&apos;s &lt;tools&gt;\"/>\n"
        "<MODULE NAME=\"core\">\n"
        "  <SOURCE value=\"core\"/>\n"
        "  <DESTINATION value=\"%INSTALL_PATH%/bin\"/>\n"
        "  <DESTINATION value=\"C:\\x;OS=WINNT\"/>\n"
        "  <PRE value=\"&quot;/opt/a b/stop&quot; now\"/>\n"
        "  <POST value=\"start;OS=UNIX,WIN95\"/>\n"
        "  <UNPOST value=\"undo\"/>\n"
        "  <DEPEND value=\"lib\"/>\n"
        "  <INCLUDE value=\"extra.info\"/>\n"
        "  <FILE MODE=\"0755\">\n"
        "    <NAME value=\"bin/tool\"/>\n"
        "    <FILESIZE value=\"1234\"/>\n"
        "    <FILEMD5 value=\"0123456789abcdef0123456789abcdef\"/>\n"
        "    <ZIPSIZE value=\"99\"/>\n"
        "    <ZIPMD5 value=\"fedcba9876543210fedcba9876543210\"/>\n"
        "    <PEFILEMD5 value=\"0123456789abcdef0123456789abcdef\"/>\n"
        "    <OS value=\"UNIX\"/>\n"
        "  </FILE>\n"
        "  <FILE MODE=\"0755\">\n"
        "    <NAME value=\"README\"/>\n"
        "    <FILESIZE value=\"1234\"/>\n"
        "    <FILEMD5 value=\"0123456789abcdef0123456789abcdef\"/>\n"
        "    <ZIPSIZE value=\"99\"/>\n"
        "    <ZIPMD5 value=\"fedcba9876543210fedcba9876543210\"/>\n"
        "    <PEFILEMD5 value=\"0123456789abcdef0123456789abcdef\"/>\n"
        "    <OS value=\"UNIX,WINXP\"/>\n"
        "    <VERSION value=\"1.0.0.1\"/>\n"
        "  </FILE>\n"
        "</MODULE>\n"
        "<MODULE NAME=\"lib\">\n"
        "  <SOURCE value=\"lib\"/>\n"
        "  <DESTINATION value=\"/opt/lib\"/>\n"
        "</MODULE>\n";
    EXPECT_EQ(expected, body);
}

TEST(ProductInfoXml, WholeDocumentIsWellFormedAndEndsWithItsChecksumLine) {
    ProductDesc product = SmallProduct();
    std::string document = ProductInfoBody(product, Entries(product), false) +
                           ProductInfoDateLine(L"2026-12-08T18:00:00Z") +
                           ProductInfoMd5Line(L"00112233445566778899aabbccddeeff");
    Parsed parsed;
    ASSERT_TRUE(Parse(document, parsed)) << document;
    EXPECT_EQ("UPDATE", parsed.names.front());
    EXPECT_EQ("MD5", parsed.names.back());
    EXPECT_EQ(1, parsed.depthOfMd5);  // a child of UPDATE, where the reader takes the checksum
    EXPECT_EQ("00112233445566778899aabbccddeeff", parsed.attributes.back().at("value"));
    // Escaped values come back unchanged.
    EXPECT_EQ("Tom & Jerry's <tools>", parsed.attributes[2].at("value"));
    EXPECT_EQ("\"/opt/a b/stop\" now", parsed.attributes[7].at("value"));

    // The checksum line is the last line and starts at the beginning of its line; the DATE
    // line comes right before it.
    size_t md5 = document.rfind("\n<MD5 value=\"");
    size_t date = document.rfind("\n<DATE value=\"2026-12-08T18:00:00Z\"/>\n");
    ASSERT_NE(std::string::npos, md5);
    ASSERT_NE(std::string::npos, date);
    EXPECT_EQ(md5, date + std::string("\n<DATE value=\"2026-12-08T18:00:00Z\"/>").size());
    EXPECT_EQ(document.size() - 1, document.find('\n', md5 + 1));
}
