#include "product/XmlTree.h"

#include <gtest/gtest.h>

#include <string>

using namespace UpdateNew;

TEST(XmlTree, BuildsElementsWithAttributesTextAndChildren) {
    XmlDocument doc;
    XmlLoadError error;
    ASSERT_TRUE(
        doc.loadText("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                     "<A x=\"1\" y=\"t&amp;u\">\n"
                     "  <B>  some text \n</B>\n"
                     "  <C v=\"\xc3\xa9\"/>\n"
                     "  <D>\n   \n  </D>\n"
                     "</A>\n",
                     error));
    const XmlElement* root = doc.root();
    ASSERT_NE(nullptr, root);
    EXPECT_EQ("A", root->name);
    ASSERT_EQ(2u, root->attributes.size());
    EXPECT_EQ("x", root->attributes[0].first);
    EXPECT_EQ("t&u", root->attributes[1].second);
    EXPECT_EQ("", root->text);  // white space between children is no text
    ASSERT_EQ(3u, root->children.size());
    EXPECT_EQ("some text", root->children[0]->text);
    EXPECT_EQ("\xc3\xa9", root->children[1]->attributes[0].second);
    EXPECT_EQ("", root->children[2]->text);
    EXPECT_TRUE(root->children[2]->children.empty());
}

TEST(XmlTree, ReportsSyntaxErrorsWithLineAndColumn) {
    XmlDocument doc;
    XmlLoadError error;
    EXPECT_FALSE(doc.loadText("<A>\n  <B>\n</A>\n", error));
    EXPECT_EQ(XmlLoadError::kSyntax, error.kind);
    EXPECT_EQ(3, error.line);
    EXPECT_EQ(3, error.column);  // 1-based: the "/" of "</A>"
    EXPECT_FALSE(error.text.empty());
    EXPECT_EQ(nullptr, doc.root());

    EXPECT_FALSE(doc.loadText("", error));
    EXPECT_EQ(XmlLoadError::kSyntax, error.kind);
    EXPECT_FALSE(doc.loadText("<A/><B/>", error));
    EXPECT_EQ(XmlLoadError::kSyntax, error.kind);
}

TEST(XmlTree, RefusesDocumentsNestedTooDeeply) {
    std::string text;
    for (int i = 0; i < XmlDocument::kMaxDepth + 1; ++i) text += "<E>";
    for (int i = 0; i < XmlDocument::kMaxDepth + 1; ++i) text += "</E>";
    XmlDocument doc;
    XmlLoadError error;
    EXPECT_FALSE(doc.loadText(text, error));
    EXPECT_EQ(XmlLoadError::kSyntax, error.kind);
    EXPECT_EQ(L"elements nested too deeply", error.text);

    text.clear();
    for (int i = 0; i < XmlDocument::kMaxDepth; ++i) text += "<E>";
    for (int i = 0; i < XmlDocument::kMaxDepth; ++i) text += "</E>";
    EXPECT_TRUE(doc.loadText(text, error));
}

// A hostile server's "billion laughs": ten levels of ten references would expand a few
// hundred bytes into gigabytes. Any entity declaration is refused before expansion.
TEST(XmlTree, RefusesEntityDeclarations) {
    std::string text = "<?xml version=\"1.0\"?>\n<!DOCTYPE UPDATE [\n<!ENTITY e0 \"lol\">\n";
    for (int i = 1; i < 10; ++i) {
        text += "<!ENTITY e" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) text += "&e" + std::to_string(i - 1) + ";";
        text += "\">\n";
    }
    text += "]>\n<UPDATE><NAME value=\"&e9;\"/></UPDATE>\n";
    XmlDocument doc;
    XmlLoadError error;
    EXPECT_FALSE(doc.loadText(text, error));
    EXPECT_EQ(XmlLoadError::kSyntax, error.kind);
    EXPECT_EQ(L"entity declarations are not accepted", error.text);
    EXPECT_EQ(3, error.line);

    // Parameter entities too; a plain document type declaration is still fine.
    EXPECT_FALSE(doc.loadText("<!DOCTYPE U [<!ENTITY % p \"x\">]><U/>", error));
    EXPECT_EQ(L"entity declarations are not accepted", error.text);
    EXPECT_TRUE(doc.loadText("<!DOCTYPE UPDATE>\n<UPDATE/>", error));
    EXPECT_TRUE(doc.loadText("<UPDATE>&lt;&amp;&#65;</UPDATE>", error));
}

TEST(XmlTree, MissingFileIsAReadError) {
    XmlDocument doc;
    XmlLoadError error;
    EXPECT_FALSE(doc.loadFile(L"/nonexistent/dir/product.info", error));
    EXPECT_EQ(XmlLoadError::kRead, error.kind);
    EXPECT_NE(std::wstring::npos, error.text.find(L"No such file"));
}
