#include "product/BasicXMLParser.h"

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "product/XmlTree.h"

namespace UpdateNew {

BasicXMLParser::BasicXMLParser() = default;
BasicXMLParser::~BasicXMLParser() = default;

void BasicXMLParser::attributeHandler(const std::wstring&, const std::wstring&, int) {}
void BasicXMLParser::startElementHandler(int, const std::wstring&) {}
void BasicXMLParser::textHandler(int, const std::wstring&, const std::wstring&) {}
void BasicXMLParser::startNodeHandler(int, const std::wstring&) {}
void BasicXMLParser::endNodeHandler(int, const std::wstring&) {}
void BasicXMLParser::endElementHandler(int, const std::wstring&) {}

void BasicXMLParser::parse(const std::wstring& fileName) {
    std::lock_guard<std::mutex> hold(m_lock);
    XmlDocument document;
    XmlLoadError error;
    if (!document.loadFile(fileName, error)) {
        if (error.kind == XmlLoadError::kSyntax) {
            THROW_ERROR(Msg<31>(fileName, error.line, error.column, error.text), -1);
        }
        THROW_ERROR(Msg<30>(fileName) + L": " + error.text, -1);
    }
    walk(*document.root(), 0);
}

void BasicXMLParser::walk(const XmlElement& element, int depth) {
    const std::wstring name = Utf8ToWide(element.name);
    const bool node = !element.children.empty();
    if (node) {
        startNodeHandler(depth, name);
    } else {
        startElementHandler(depth, name);
    }
    for (const auto& attribute : element.attributes) {
        attributeHandler(Utf8ToWide(attribute.first), Utf8ToWide(attribute.second), depth);
    }
    if (!element.text.empty()) textHandler(depth, name, Utf8ToWide(element.text));
    for (const auto& child : element.children) walk(*child, depth + 1);
    if (node) {
        endNodeHandler(depth, name);
    } else {
        endElementHandler(depth, name);
    }
}

}  // namespace UpdateNew
