// Generic walker over an XML document: reports every element depth first, numbering depths
// from 0 at the document element, as the file is parsed (no tree of the document is held,
// so memory does not grow with the document). Derived readers override the handlers they
// need; the base handlers do nothing.
#pragma once

#include <mutex>
#include <string>

namespace UpdateNew {

class BasicXMLParser {
public:
    BasicXMLParser();
    virtual ~BasicXMLParser();
    BasicXMLParser(const BasicXMLParser&) = delete;
    BasicXMLParser& operator=(const BasicXMLParser&) = delete;

    // One attribute of the element just started.
    virtual void attributeHandler(const std::wstring& name, const std::wstring& value, int depth);
    // Start of an element that has no child elements.
    virtual void startElementHandler(int depth, const std::wstring& name);
    // The (trimmed, non-empty) text content of the element just started, after its attributes.
    virtual void textHandler(int depth, const std::wstring& name, const std::wstring& text);
    // Start of an element with child elements.
    virtual void startNodeHandler(int depth, const std::wstring& name);
    // End of an element with child elements, after all of them.
    virtual void endNodeHandler(int depth, const std::wstring& name);
    // End of an element without child elements.
    virtual void endElementHandler(int depth, const std::wstring& name);

    // Walks the file, holding the parser's lock throughout. For every element: its start
    // handler, its attributes, its text, its children at depth + 1, its end handler. A
    // syntax error throws Exception(message 31: file, line, column, reason), any other
    // load failure Exception(message 30: file), both with code -1, and no handler is
    // called for a broken document; exceptions from the handlers pass through unchanged.
    //
    // The file is read twice, each time as a stream: first to check it and to gather the
    // texts of elements that have children (their text comes before their children but
    // may stand after them in the file; only such texts that are not white space are
    // kept), then to call the handlers.
    virtual void parse(const std::wstring& fileName);

private:
    std::mutex m_lock;
};

}  // namespace UpdateNew
