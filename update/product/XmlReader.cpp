#include "product/XmlReader.h"

#include <expat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/Interrupts.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"

namespace UpdateNew {

namespace {

// One parse: expat's callbacks forwarded to the sink. Exceptions never cross expat: a
// failing callback stores the exception and stops the parser; feed() rethrows it.
class Session {
public:
    explicit Session(XmlEventSink& sink) : m_sink(sink), m_parser(XML_ParserCreate(nullptr)) {
        if (!m_parser) throw std::bad_alloc();
        XML_SetUserData(m_parser, this);
        XML_SetElementHandler(m_parser, &Session::onStart, &Session::onEnd);
        XML_SetCharacterDataHandler(m_parser, &Session::onText);
        // A product info document never declares entities; a declaration is refused at
        // once, so nested entities cannot blow a small file up into gigabytes of text.
        XML_SetEntityDeclHandler(m_parser, &Session::onEntityDecl);
    }
    ~Session() { XML_ParserFree(m_parser); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

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

private:
    static void XMLCALL onStart(void* data, const XML_Char* name, const XML_Char** attrs) {
        auto* self = static_cast<Session*>(data);
        if (self->m_depth >= XmlReader::kMaxDepth) {
            self->m_tooDeep = true;
            XML_StopParser(self->m_parser, XML_FALSE);
            return;
        }
        ++self->m_depth;
        try {
            self->m_sink.startElement(name, attrs);
        } catch (...) {
            self->fail(std::current_exception());
        }
    }
    static void XMLCALL onEnd(void* data, const XML_Char* /*name*/) {
        auto* self = static_cast<Session*>(data);
        --self->m_depth;
        try {
            self->m_sink.endElement();
        } catch (...) {
            self->fail(std::current_exception());
        }
    }
    static void XMLCALL onText(void* data, const XML_Char* text, int len) {
        auto* self = static_cast<Session*>(data);
        if (self->m_depth == 0) return;
        try {
            self->m_sink.text(text, static_cast<size_t>(len));
        } catch (...) {
            self->fail(std::current_exception());
        }
    }
    static void XMLCALL onEntityDecl(void* data, const XML_Char*, int, const XML_Char*, int,
                                     const XML_Char*, const XML_Char*, const XML_Char*,
                                     const XML_Char*) {
        auto* self = static_cast<Session*>(data);
        self->m_entityDeclared = true;
        XML_StopParser(self->m_parser, XML_FALSE);
    }

    void fail(std::exception_ptr failure) {
        if (!m_failure) m_failure = failure;
        XML_StopParser(m_parser, XML_FALSE);
    }

    XmlEventSink& m_sink;
    XML_Parser m_parser;
    int m_depth = 0;  // elements open
    std::exception_ptr m_failure;
    bool m_tooDeep = false;
    bool m_entityDeclared = false;
};

}  // namespace

bool XmlReader::readText(const std::string& text, XmlEventSink& sink, XmlLoadError& error) {
    error = XmlLoadError();
    Session session(sink);
    return session.feed(text.data(), text.size(), true, error);
}

bool XmlReader::readFile(const std::wstring& path, XmlEventSink& sink, XmlLoadError& error,
                         const PieceObserver& onPiece) {
    error = XmlLoadError();
    // Only a regular file is read: a FIFO at the name would hold the run.
    UniqueFd file;
    if (const int err = OpenRegular(ToMultibyte(path), file)) {
        error.kind = XmlLoadError::kRead;
        error.text = SystemErrorText(err);
        return false;
    }
    const int fd = file.get();

    Session session(sink);
    char buffer[65536];
    for (;;) {
        // A product info of hundreds of MB takes seconds to read: a stop is taken between
        // its blocks.
        ThrowIfInterrupted();
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) continue;
            error.kind = XmlLoadError::kRead;
            error.text = FromMultibyte(std::strerror(errno));
            return false;
        }
        if (onPiece && got != 0) onPiece(buffer, static_cast<size_t>(got));
        if (!session.feed(buffer, static_cast<size_t>(got), got == 0, error)) return false;
        if (got == 0) return true;
    }
}

void AppendXmlText(std::string& text, const char* data, size_t size) {
    if (text.empty()) {
        while (size != 0 && std::strchr(kXmlBlank, *data) != nullptr && *data != '\0') {
            ++data;
            --size;
        }
    }
    text.append(data, size);
}

std::string TrimXmlText(const std::string& text) {
    const size_t first = text.find_first_not_of(kXmlBlank);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(kXmlBlank) - first + 1);
}

}  // namespace UpdateNew
