#include "product/BasicXMLParser.h"

#include <cstring>
#include <exception>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "product/XmlReader.h"

namespace UpdateNew {

namespace {

// Texts of elements with children that are not white space only, by the element's number
// in document order (0 for the document element).
using NodeTexts = std::unordered_map<size_t, std::string>;

// First reading: gathers the NodeTexts. The slots of the open elements are reused from
// element to element, so nothing is allocated per element once the deepest one was seen.
class NodeTextPass : public XmlEventSink {
public:
    explicit NodeTextPass(NodeTexts& texts) : m_texts(texts) {}

    void startElement(const char*, const char**) override {
        if (m_depth > 0) m_open[m_depth - 1].node = true;
        if (m_open.size() <= m_depth) m_open.emplace_back();
        Open& open = m_open[m_depth++];
        open.number = m_count++;
        open.node = false;
        open.text.clear();
    }
    void endElement() override {
        const Open& open = m_open[--m_depth];
        if (!open.node) return;
        std::string text = TrimXmlText(open.text);
        if (!text.empty()) m_texts.emplace(open.number, std::move(text));
    }
    void text(const char* data, size_t size) override {
        AppendXmlText(m_open[m_depth - 1].text, data, size);
    }

private:
    struct Open {
        size_t number = 0;
        bool node = false;  // a child element was seen
        std::string text;
    };
    NodeTexts& m_texts;
    std::vector<Open> m_open;  // slots; the first m_depth are the open elements
    size_t m_depth = 0;
    size_t m_count = 0;
};

// The walk that calls the handlers. An element is held (name, attributes, text so far)
// until it is known whether it has children: at its first child it is reported as a node,
// at its end as a leaf. A node's text comes from the checking reading (`texts`); without
// one (a single reading) it is the text before the first child, and text that is not white
// space after that child makes the walk inexact. In a single reading the handlers'
// exceptions are held: the walk goes on without handlers to find out whether the document
// is well formed at all.
class WalkPass : public XmlEventSink {
public:
    WalkPass(BasicXMLParser& handlers, const NodeTexts* texts)
        : m_handlers(handlers), m_texts(texts) {}

    void startElement(const char* name, const char** attrs) override {
        if (m_depth > 0 && !m_open[m_depth - 1].reported) guarded([&] { startNode(m_depth - 1); });
        if (m_open.size() <= m_depth) m_open.emplace_back();
        Open& open = m_open[m_depth++];
        open.number = m_count++;
        open.reported = false;
        open.name = name;
        open.attributeCount = 0;
        for (const char** a = attrs; a[0] && a[1]; a += 2) {
            if (open.attributes.size() <= open.attributeCount) open.attributes.emplace_back();
            auto& slot = open.attributes[open.attributeCount++];
            slot.first = a[0];
            slot.second = a[1];
        }
        open.text.clear();
    }

    void endElement() override {
        const int depth = static_cast<int>(--m_depth);
        guarded([&] { endOf(m_open[m_depth], depth); });
    }

    // Once an element is reported as a node its text comes from the checking reading.
    void text(const char* data, size_t size) override {
        Open& open = m_open[m_depth - 1];
        if (!open.reported) {
            AppendXmlText(open.text, data, size);
        } else if (!m_texts && !m_inexact) {
            for (size_t i = 0; i < size && !m_inexact; ++i) {
                const char c = data[i];
                m_inexact = c != ' ' && c != '\t' && c != '\r' && c != '\n';
            }
        }
    }

    bool inexact() const { return m_inexact; }
    // Rethrows what a handler threw in a single reading.
    void rethrowHeld() const {
        if (m_held) std::rethrow_exception(m_held);
    }

private:
    struct Open {
        size_t number = 0;
        bool reported = false;  // reported as a node (it has children)
        std::string name;
        std::wstring wideName;
        std::vector<BasicXMLParser::Attribute> attributes;  // slots
        size_t attributeCount = 0;
        std::string text;
    };

    // Calls the handlers through `report`; a single reading holds the first exception and
    // calls no handler after it.
    template <class F>
    void guarded(F report) {
        if (m_texts) {
            report();
            return;
        }
        if (m_held || m_inexact) return;
        try {
            report();
        } catch (...) {
            m_held = std::current_exception();
        }
    }

    void endOf(Open& open, int depth) {
        if (open.reported) {
            m_handlers.endNodeHandler(depth, open.wideName);
            return;
        }
        const std::string text = TrimXmlText(open.text);
        if (m_handlers.leafHandler(depth, open.name, open.attributes.data(), open.attributeCount,
                                   text))
            return;
        BasicXMLParser::Widen(open.wideName, open.name);
        m_handlers.startElementHandler(depth, open.wideName);
        reportAttributes(open, depth);
        reportText(text, open, depth);
        m_handlers.endElementHandler(depth, open.wideName);
    }

    void startNode(size_t index) {
        const int depth = static_cast<int>(index);
        Open& open = m_open[index];
        open.reported = true;
        BasicXMLParser::Widen(open.wideName, open.name);
        m_handlers.startNodeHandler(depth, open.wideName);
        reportAttributes(open, depth);
        if (!m_texts) {
            reportText(TrimXmlText(open.text), open, depth);
            return;
        }
        const auto text = m_texts->find(open.number);
        if (text != m_texts->end()) reportText(text->second, open, depth);
    }

    void reportText(const std::string& text, const Open& open, int depth) {
        if (text.empty()) return;
        BasicXMLParser::Widen(m_value, text);
        m_handlers.textHandler(depth, open.wideName, m_value);
    }

    void reportAttributes(const Open& open, int depth) {
        for (size_t i = 0; i < open.attributeCount; ++i) {
            BasicXMLParser::Widen(m_name, open.attributes[i].first);
            BasicXMLParser::Widen(m_value, open.attributes[i].second);
            m_handlers.attributeHandler(m_name, m_value, depth);
        }
    }

    BasicXMLParser& m_handlers;
    const NodeTexts* m_texts;  // null in a single reading
    std::vector<Open> m_open;  // slots; the first m_depth are the open elements
    size_t m_depth = 0;
    size_t m_count = 0;
    std::wstring m_name, m_value;  // the attribute or text being reported
    bool m_inexact = false;
    std::exception_ptr m_held;
};

[[noreturn]] void ThrowLoadError(const std::wstring& fileName, const XmlLoadError& error) {
    if (error.kind == XmlLoadError::kSyntax) {
        THROW_ERROR(Msg<31>(fileName, error.line, error.column, error.text), -1);
    }
    THROW_ERROR(Msg<30>(fileName) + L": " + error.text, -1);
}

}  // namespace

BasicXMLParser::BasicXMLParser() = default;
BasicXMLParser::~BasicXMLParser() = default;

void BasicXMLParser::attributeHandler(const std::wstring&, const std::wstring&, int) {}
void BasicXMLParser::startElementHandler(int, const std::wstring&) {}
void BasicXMLParser::textHandler(int, const std::wstring&, const std::wstring&) {}
void BasicXMLParser::startNodeHandler(int, const std::wstring&) {}
void BasicXMLParser::endNodeHandler(int, const std::wstring&) {}
void BasicXMLParser::endElementHandler(int, const std::wstring&) {}
bool BasicXMLParser::leafHandler(int, const std::string&, const Attribute*, size_t,
                                 const std::string&) {
    return false;
}

void BasicXMLParser::Widen(std::wstring& out, const std::string& in) {
    // One pass widens and finds out whether the text is ASCII.
    const size_t n = in.size();
    out.resize(n);
    wchar_t* const wide = &out[0];
    unsigned all = 0;
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(in[i]);
        all |= c;
        wide[i] = static_cast<wchar_t>(c);
    }
    if (all >= 0x80) out = Utf8ToWide(in);
}

void BasicXMLParser::wellFormedHandler() {}

void BasicXMLParser::parse(const std::wstring& fileName) {
    parse(fileName, {});
}

void BasicXMLParser::parse(const std::wstring& fileName, const XmlReader::PieceObserver& onPiece) {
    std::lock_guard<std::mutex> hold(m_lock);
    NodeTexts texts;
    XmlLoadError error;
    NodeTextPass check(texts);
    bool read = XmlReader::readFile(fileName, check, error, onPiece);
    if (read) {
        WalkPass walk(*this, &texts);
        read = XmlReader::readFile(fileName, walk, error);
    }
    if (!read) ThrowLoadError(fileName, error);
}

bool BasicXMLParser::parseOnce(const std::wstring& fileName,
                               const XmlReader::PieceObserver& onPiece) {
    std::lock_guard<std::mutex> hold(m_lock);
    XmlLoadError error;
    WalkPass walk(*this, nullptr);
    const bool read = XmlReader::readFile(fileName, walk, error, onPiece);
    if (walk.inexact()) return false;
    if (!read) ThrowLoadError(fileName, error);
    wellFormedHandler();
    walk.rethrowHeld();
    return true;
}

}  // namespace UpdateNew
