// Generic walker over an XML document: reports every element depth first, numbering depths
// from 0 at the document element, as the file is parsed (no tree of the document is held,
// so memory does not grow with the document). Derived readers override the handlers they
// need; the base handlers do nothing.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <utility>

#include "product/XmlReader.h"

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

    // An element without child elements as read, before the handlers above hear of it: its
    // name, its attributes (name and value) and its trimmed text, all UTF-8. A reader that
    // takes the element whole here returns true, and the handlers above are not called for
    // it; false (what the base does) reports it through them. For a reader whose handlers
    // cost too much to be called for each of the hundreds of thousands of leaves of a large
    // document.
    using Attribute = std::pair<std::string, std::string>;
    virtual bool leafHandler(int depth, const std::string& name, const Attribute* attributes,
                             size_t count, const std::string& text);

    // `in` (UTF-8) as wide text in `out`, reusing its storage: how names, values and texts
    // reach the handlers (nearly all of them ASCII, widened in one pass).
    static void Widen(std::wstring& out, const std::string& in);

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
    // The same, with `onPiece` seeing the file's bytes in its first reading.
    void parse(const std::wstring& fileName, const XmlReader::PieceObserver& onPiece);

    // The same walk in one reading of the file, for a reader that keeps every effect of
    // its handlers to itself until the document is known to be well formed: the handlers
    // run while the file is read; one that throws is called no more, and its exception is
    // rethrown only once the whole document proved well formed (after
    // wellFormedHandler()); a syntax error throws as parse() does. A node's text is the
    // text before its first child. Gives false, and calls no handler after that point,
    // when a node has text other than white space after its first child: then the walk
    // was not the one parse() makes, and the caller undoes what the handlers did and
    // calls parse().
    // `onPiece` sees the file's bytes as they are read; all of them when the result is true.
    bool parseOnce(const std::wstring& fileName, const XmlReader::PieceObserver& onPiece = {});

protected:
    // Called by parseOnce() once the whole document was read and found well formed.
    virtual void wellFormedHandler();

private:
    std::mutex m_lock;
};

}  // namespace UpdateNew
