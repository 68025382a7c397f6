// The one place that drives expat: reads a document from a file or from memory and hands
// its elements and character data to a sink as they are parsed, holding nothing of the
// document itself. The element tree and the product info walker both read through it, so
// both refuse the same documents with the same errors.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace UpdateNew {

// Why a document could not be read.
struct XmlLoadError {
    enum Kind { kNone, kRead, kSyntax };
    Kind kind = kNone;
    int line = 0;       // 1-based, for kSyntax
    int column = 0;     // 1-based, for kSyntax
    std::wstring text;  // the parser's error text, or why the file could not be read
};

// Receives a document's parts in document order. Names, attribute values and texts are
// UTF-8 as the parser delivers them and are valid only during the call. A sink may throw:
// the reader stops the parser and the exception leaves read...() unchanged.
class XmlEventSink {
public:
    virtual ~XmlEventSink() = default;
    // `attributes`: name, value, name, value, ..., null.
    virtual void startElement(const char* name, const char** attributes) = 0;
    virtual void endElement() = 0;
    // A piece of character data of the innermost open element (one text may come in
    // several pieces).
    virtual void text(const char* data, size_t size) = 0;
};

class XmlReader {
public:
    // Elements may be nested at most this deep; deeper documents are refused as syntax
    // errors so that no reader of the events needs an unbounded stack.
    static constexpr int kMaxDepth = 256;

    // Sees each piece of a file as it is read, before it is parsed.
    using PieceObserver = std::function<void(const char* data, size_t size)>;

    // Parses the file in 64 KiB pieces. False with `error` filled when the file cannot be
    // read or is no well-formed document; the sink may have had events up to the fault.
    // `onPiece`, when given, has seen every byte of the file when the result is true.
    static bool readFile(const std::wstring& path, XmlEventSink& sink, XmlLoadError& error,
                         const PieceObserver& onPiece = {});
    static bool readText(const std::string& text, XmlEventSink& sink, XmlLoadError& error);
};

// The characters that count as white space around an element's text.
constexpr char kXmlBlank[] = " \t\r\n";

// Appends a piece of character data to `text` so that trimming the result of blanks, tabs
// and line ends gives what trimming all of it would: white space before the first other
// character is not kept, which leaves white space between elements costing nothing.
void AppendXmlText(std::string& text, const char* data, size_t size);
// `text` without leading and trailing blanks, tabs and line ends.
std::string TrimXmlText(const std::string& text);

}  // namespace UpdateNew
