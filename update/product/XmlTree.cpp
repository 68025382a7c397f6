#include "product/XmlTree.h"

namespace UpdateNew {

namespace {

// Builds the tree from the reader's events.
class TreeBuilder : public XmlEventSink {
public:
    void startElement(const char* name, const char** attrs) override {
        auto element = std::make_unique<XmlElement>();
        element->name = name;
        for (const char** a = attrs; a[0] && a[1]; a += 2) {
            element->attributes.emplace_back(a[0], a[1]);
        }
        XmlElement* raw = element.get();
        if (m_open.empty()) {
            m_root = std::move(element);
        } else {
            m_open.back()->children.push_back(std::move(element));
        }
        m_open.push_back(raw);
    }

    void endElement() override {
        m_open.back()->text = TrimXmlText(m_open.back()->text);
        m_open.pop_back();
    }

    // The open element's text gathers here and is trimmed when it ends.
    void text(const char* data, size_t size) override {
        AppendXmlText(m_open.back()->text, data, size);
    }

    std::unique_ptr<XmlElement> takeRoot() { return std::move(m_root); }

private:
    std::unique_ptr<XmlElement> m_root;
    std::vector<XmlElement*> m_open;  // the elements not yet closed, outermost first
};

}  // namespace

bool XmlDocument::loadText(const std::string& text, XmlLoadError& error) {
    m_root.reset();
    TreeBuilder builder;
    if (!XmlReader::readText(text, builder, error)) return false;
    m_root = builder.takeRoot();
    return true;
}

bool XmlDocument::loadFile(const std::wstring& path, XmlLoadError& error) {
    m_root.reset();
    TreeBuilder builder;
    if (!XmlReader::readFile(path, builder, error)) return false;
    m_root = builder.takeRoot();
    return true;
}

}  // namespace UpdateNew
