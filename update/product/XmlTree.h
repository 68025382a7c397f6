// A small element tree over expat for documents small enough to hold whole (the publisher's
// inputs, tests); the product info reader streams instead. Names, attribute values and texts are
// kept as the parser delivers them (UTF-8); the walker converts them.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "product/XmlReader.h"

namespace UpdateNew {

struct XmlElement {
    std::string name;
    // In document order; names are unique within one element (the parser refuses repeats).
    std::vector<std::pair<std::string, std::string>> attributes;
    // All character data directly inside the element, joined and trimmed of blanks, tabs and
    // line ends; empty when it held only white space.
    std::string text;
    std::vector<std::unique_ptr<XmlElement>> children;
};

class XmlDocument {
public:
    // Elements may be nested at most this deep; deeper documents are refused as syntax
    // errors so that walking the tree cannot exhaust the stack.
    static constexpr int kMaxDepth = XmlReader::kMaxDepth;

    // Loads the file into the tree. On failure the tree is empty, `error` says why and the
    // result is false. Never throws except for out-of-memory.
    bool loadFile(const std::wstring& path, XmlLoadError& error);
    // Same, from text in memory (for tests and for callers holding the document already).
    bool loadText(const std::string& text, XmlLoadError& error);

    // The document element, null before a successful load.
    const XmlElement* root() const { return m_root.get(); }

private:
    std::unique_ptr<XmlElement> m_root;
};

}  // namespace UpdateNew
