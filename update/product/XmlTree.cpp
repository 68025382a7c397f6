#include "product/XmlTree.h"

#include <expat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "base/Conv.h"

namespace UpdateNew {

namespace {

// Builds the tree from expat's callbacks. Exceptions never cross expat: a failing
// callback stores the exception and stops the parser; the loader rethrows it afterwards.
class TreeBuilder {
public:
    TreeBuilder() : m_parser(XML_ParserCreate(nullptr)) {
        if (!m_parser) throw std::bad_alloc();
        XML_SetUserData(m_parser, this);
        XML_SetElementHandler(m_parser, &TreeBuilder::onStart, &TreeBuilder::onEnd);
        XML_SetCharacterDataHandler(m_parser, &TreeBuilder::onText);
        // A product info document never declares entities; a declaration is refused at
        // once, so nested entities cannot blow a small file up into gigabytes of text.
        XML_SetEntityDeclHandler(m_parser, &TreeBuilder::onEntityDecl);
    }
    ~TreeBuilder() { XML_ParserFree(m_parser); }
    TreeBuilder(const TreeBuilder&) = delete;
    TreeBuilder& operator=(const TreeBuilder&) = delete;

    // Feeds one piece; false when the document is broken (then `error` is filled).
    bool feed(const char* data, size_t size, bool last, XmlLoadError& error) {
        if (XML_Parse(m_parser, data, static_cast<int>(size), last ? XML_TRUE : XML_FALSE) ==
            XML_STATUS_OK) {
            return true;
        }
        if (m_failure) std::rethrow_exception(m_failure);
        error.kind = XmlLoadError::kSyntax;
        error.line = static_cast<int>(XML_GetCurrentLineNumber(m_parser));
        error.column = static_cast<int>(XML_GetCurrentColumnNumber(m_parser)) + 1;
        error.text = m_tooDeep ? std::wstring(L"elements nested too deeply")
                     : m_entityDeclared
                         ? std::wstring(L"entity declarations are not accepted")
                         : FromMultibyte(XML_ErrorString(XML_GetErrorCode(m_parser)));
        return false;
    }

    std::unique_ptr<XmlElement> takeRoot() { return std::move(m_root); }

private:
    static void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** attrs) {
        auto* self = static_cast<TreeBuilder*>(data);
        try {
            self->start(name, attrs);
        } catch (...) {
            self->fail(std::current_exception());
        }
    }
    static void XMLCALL onEnd(void* data, const XML_Char* /*name*/) {
        auto* self = static_cast<TreeBuilder*>(data);
        try {
            self->end();
        } catch (...) {
            self->fail(std::current_exception());
        }
    }
    static void XMLCALL onText(void* data, const XML_Char* text, int len) {
        auto* self = static_cast<TreeBuilder*>(data);
        try {
            if (!self->m_open.empty()) self->m_texts.back().append(text, static_cast<size_t>(len));
        } catch (...) {
            self->fail(std::current_exception());
        }
    }

    static void XMLCALL onEntityDecl(void* data, const XML_Char*, int, const XML_Char*, int,
                                     const XML_Char*, const XML_Char*, const XML_Char*,
                                     const XML_Char*) {
        auto* self = static_cast<TreeBuilder*>(data);
        self->m_entityDeclared = true;
        XML_StopParser(self->m_parser, XML_FALSE);
    }

    void start(const XML_Char* name, const XML_Char** attrs) {
        if (static_cast<int>(m_open.size()) >= XmlDocument::kMaxDepth) {
            m_tooDeep = true;
            XML_StopParser(m_parser, XML_FALSE);
            return;
        }
        auto element = std::make_unique<XmlElement>();
        element->name = name;
        for (const XML_Char** a = attrs; a[0] && a[1]; a += 2) {
            element->attributes.emplace_back(a[0], a[1]);
        }
        XmlElement* raw = element.get();
        if (m_open.empty()) {
            m_root = std::move(element);
        } else {
            m_open.back()->children.push_back(std::move(element));
        }
        m_open.push_back(raw);
        m_texts.emplace_back();
    }

    void end() {
        m_open.back()->text = trim(m_texts.back());
        m_open.pop_back();
        m_texts.pop_back();
    }

    static std::string trim(const std::string& text) {
        static const char* const kBlank = " \t\r\n";
        const size_t first = text.find_first_not_of(kBlank);
        if (first == std::string::npos) return std::string();
        return text.substr(first, text.find_last_not_of(kBlank) - first + 1);
    }

    void fail(std::exception_ptr failure) {
        if (!m_failure) m_failure = failure;
        XML_StopParser(m_parser, XML_FALSE);
    }

    XML_Parser m_parser;
    std::unique_ptr<XmlElement> m_root;
    std::vector<XmlElement*> m_open;   // the elements not yet closed, outermost first
    std::vector<std::string> m_texts;  // character data gathered for each open element
    std::exception_ptr m_failure;
    bool m_tooDeep = false;
    bool m_entityDeclared = false;
};

}  // namespace

bool XmlDocument::loadText(const std::string& text, XmlLoadError& error) {
    m_root.reset();
    error = XmlLoadError();
    TreeBuilder builder;
    if (!builder.feed(text.data(), text.size(), true, error)) return false;
    m_root = builder.takeRoot();
    return true;
}

bool XmlDocument::loadFile(const std::wstring& path, XmlLoadError& error) {
    m_root.reset();
    error = XmlLoadError();
    const std::string narrow = ToMultibyte(path);
    const int fd = ::open(narrow.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error.kind = XmlLoadError::kRead;
        error.text = FromMultibyte(std::strerror(errno));
        return false;
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};

    TreeBuilder builder;
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            error.kind = XmlLoadError::kRead;
            error.text = FromMultibyte(std::strerror(errno));
            return false;
        }
        if (!builder.feed(buffer, static_cast<size_t>(got), got == 0, error)) return false;
        if (got == 0) break;
    }
    m_root = builder.takeRoot();
    return true;
}

}  // namespace UpdateNew
