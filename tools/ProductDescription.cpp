#include "ProductDescription.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "CandidatePublication.h"
#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "base/StringUtils.h"
#include "product/UpdateOSChecker.h"

using namespace UpdateNew;

std::wstring DescLocation::text() const {
    return line > 0 ? file + L":" + std::to_wstring(line) : file;
}

void ThrowAt(const DescLocation& at, const std::wstring& what) {
    throw Exception(Msg<900>(at.text(), what), ERR_GENERIC);
}

namespace {

bool HasControl(const std::wstring& text, bool allowTab) {
    for (wchar_t c : text) {
        if (allowTab && c == L'\t') continue;
        if ((c >= 0 && c < 0x20) || c == 0x7f) return true;
    }
    return false;
}

const CUpdateOSChecker& OsChecker() {
    static const CUpdateOSChecker checker;
    return checker;
}

// "unix, WIN95" -> "UNIX,WIN95"; throws for an empty list or an unknown token.
std::wstring NormaliseOsList(const std::wstring& list, const DescLocation& at) {
    std::wstring out;
    for (const std::wstring& piece : Split(list, L",")) {
        std::wstring token = ToUpper(Trim(piece));
        if (token.empty()) ThrowAt(at, Msg<928>(list));
        if (!OsChecker().isKnown(token)) ThrowAt(at, Msg<929>(token));
        if (!out.empty()) out += L',';
        out += token;
    }
    return out;
}

// "1", "1.2", "1.2.3" or "1.2.3.4", each part a decimal number below 65536.
bool IsVersionText(const std::wstring& text) {
    std::vector<std::wstring> parts = Split(text, L".");
    if (parts.size() > 4) return false;
    for (const std::wstring& part : parts) {
        if (part.empty() || part.size() > 5) return false;
        for (wchar_t c : part)
            if (c < L'0' || c > L'9') return false;
        if (std::stol(part) > 65535) return false;
    }
    return true;
}

enum class Section { None, Product, ProductFile, Module };

class Parser {
public:
    explicit Parser(const std::wstring& file) { m_at.file = file; }

    ProductDesc run(const std::string& text);

private:
    void line(std::wstring raw);
    void section(const std::wstring& header);
    void finishSection();
    void productKey(const std::wstring& key, const std::wstring& value);
    void refuseCandidateName(const std::wstring& key, const std::wstring& value);
    void productFileKey(const std::wstring& key, const std::wstring& value);
    void moduleKey(const std::wstring& key, const std::wstring& os, const std::wstring& value);
    // Records that the section holds `key`; a second one of a key that may appear only
    // once per section throws.
    void noteKey(const std::wstring& key);
    std::wstring path(const std::wstring& key, const std::wstring& value, bool noVariables);
    FileSpec fileSpec(const std::wstring& value);

    ProductDesc m_desc;
    DescLocation m_at;
    Section m_section = Section::None;
    bool m_sawProduct = false;
    std::map<std::wstring, int> m_keyLines;  // keys of the current section -> line
};

ProductDesc Parser::run(const std::string& text) {
    std::istringstream in(text);
    std::string bytes;
    while (std::getline(in, bytes)) {
        ++m_at.line;
        if (!bytes.empty() && bytes.back() == '\r') bytes.pop_back();
        std::wstring wide = Utf8ToWide(bytes);
        if (WideToUtf8(wide) != bytes) ThrowAt(m_at, Msg<901>());
        line(wide);
    }
    finishSection();
    if (!m_sawProduct) {
        DescLocation whole{m_at.file, 0};
        ThrowAt(whole, Msg<902>());
    }
    return std::move(m_desc);
}

void Parser::line(std::wstring raw) {
    raw = Trim(raw, TRIM_BOTH, kTrimAllSpace);
    std::wstring comment;
    size_t semicolon = raw.find(L';');
    if (semicolon != std::wstring::npos) {
        comment = Trim(raw.substr(semicolon + 1), TRIM_BOTH, kTrimAllSpace);
        raw = Trim(raw.substr(0, semicolon), TRIM_BOTH, kTrimAllSpace);
    }
    if (raw.empty()) return;
    if (raw[0] == L'[') {
        section(raw);
        return;
    }
    size_t eq = raw.find(L'=');
    if (eq == std::wstring::npos) ThrowAt(m_at, Msg<903>());
    std::wstring key = Trim(raw.substr(0, eq));
    std::wstring value = Trim(raw.substr(eq + 1));
    std::wstring os;
    bool hasOs = false;
    size_t bracket = key.find(L'[');
    if (bracket != std::wstring::npos) {
        if (key.back() != L']') ThrowAt(m_at, Msg<904>());
        os = key.substr(bracket + 1, key.size() - bracket - 2);
        key = Trim(key.substr(0, bracket));
        hasOs = true;
    }
    key = ToUpper(key);
    if (key.empty()) ThrowAt(m_at, Msg<905>());
    bool osKey = key == L"PRE" || key == L"POST" || key == L"UNPOST" || key == L"CHECK" ||
                 key == L"DESTINATION";
    if (osKey && m_section == Section::Module) {
        // "PRE = run.sh;OS=UNIX" would silently lose its limit to the comment.
        std::wstring c = ToUpper(comment);
        if (c.compare(0, 2, L"OS") == 0 && Trim(c.substr(2)).compare(0, 1, L"=") == 0)
            ThrowAt(m_at, Msg<906>(key));
    }
    if (hasOs && !(osKey && m_section == Section::Module)) ThrowAt(m_at, Msg<907>(key));
    if (hasOs) os = NormaliseOsList(os, m_at);
    if (value.empty()) ThrowAt(m_at, Msg<908>(key));
    if (HasControl(value, key == L"PRE" || key == L"POST" || key == L"UNPOST" || key == L"CHECK"))
        ThrowAt(m_at, Msg<909>(key));
    switch (m_section) {
        case Section::None:
            ThrowAt(m_at, Msg<910>(key));
        case Section::Product:
            productKey(key, value);
            break;
        case Section::ProductFile:
            productFileKey(key, value);
            break;
        case Section::Module:
            moduleKey(key, os, value);
            break;
    }
}

void Parser::section(const std::wstring& header) {
    if (header.back() != L']') ThrowAt(m_at, Msg<911>());
    std::wstring name = ToLower(Trim(header.substr(1, header.size() - 2)));
    finishSection();
    m_keyLines.clear();
    if (name == L"product") {
        if (m_sawProduct) ThrowAt(m_at, Msg<912>());
        m_sawProduct = true;
        m_section = Section::Product;
        m_desc.at = m_at;
    } else if (name == L"productfile") {
        if (m_desc.hasProductFile) ThrowAt(m_at, Msg<913>());
        m_desc.hasProductFile = true;
        m_section = Section::ProductFile;
        m_desc.productFileAt = m_at;
    } else if (name == L"module") {
        m_section = Section::Module;
        m_desc.modules.emplace_back();
        m_desc.modules.back().at = m_at;
    } else {
        ThrowAt(m_at, Msg<914>(header));
    }
}

// Required keys are checked when their section ends, naming the section's header line.
void Parser::finishSection() {
    auto require = [this](const DescLocation& at, const wchar_t* key, const wchar_t* section) {
        if (m_keyLines.count(key) == 0) ThrowAt(at, Msg<915>(section, key));
    };
    switch (m_section) {
        case Section::None:
            break;
        case Section::Product:
            for (const wchar_t* key :
                 {L"NAME", L"VERSION", L"UPDATEROOT", L"PRODUCTINFO", L"MASTERIDX"})
                require(m_desc.at, key, L"[product]");
            break;
        case Section::ProductFile:
            require(m_desc.productFileAt, L"PATH", L"[productfile]");
            require(m_desc.productFileAt, L"SERVERS", L"[productfile]");
            break;
        case Section::Module: {
            const ModuleDesc& module = m_desc.modules.back();
            require(module.at, L"NAME", L"[module]");
            std::wstring what = Msg<932>(module.name);
            require(module.at, L"SOURCE", what.c_str());
            require(module.at, L"DESTINATION", what.c_str());
            break;
        }
    }
    m_section = Section::None;
}

void Parser::noteKey(const std::wstring& key) {
    static const std::set<std::wstring> repeatable = {
        L"DESTINATION", L"PRE",     L"POST", L"UNPOST", L"CHECK",
        L"DEPEND",      L"INCLUDE", L"FILE", L"CONFIG", L"SERVERS"};
    auto found = m_keyLines.find(key);
    if (found != m_keyLines.end() && repeatable.count(key) == 0)
        ThrowAt(m_at, Msg<916>(key, found->second));
    m_keyLines.emplace(key, m_at.line);  // the first line of a repeated key stays
}

std::wstring Parser::path(const std::wstring& key, const std::wstring& value, bool noVariables) {
    if (!IsSafeRelativePath(value)) ThrowAt(m_at, Msg<917>(key, value));
    if (noVariables && value.find(L'%') != std::wstring::npos) ThrowAt(m_at, Msg<918>(key, value));
    return value;
}

void Parser::refuseCandidateName(const std::wstring& key, const std::wstring& value) {
    // Promoting or withdrawing any product's candidate removes what lies there.
    if (LiesAmongCandidates(value, key != L"UPDATEROOT")) ThrowAt(m_at, Msg<1234>(key, value));
}

void Parser::productKey(const std::wstring& key, const std::wstring& value) {
    noteKey(key);
    if (key == L"NAME" || key == L"VERSION") {
        if (value.size() > 200) ThrowAt(m_at, Msg<919>(key));
        (key == L"NAME" ? m_desc.name : m_desc.version) = value;
    } else if (key == L"UPDATEROOT") {
        m_desc.updateRoot = path(key, value, true);
        refuseCandidateName(key, value);
    } else if (key == L"PRODUCTINFO") {
        m_desc.productInfo = path(key, value, true);
        std::wstring base = value.substr(value.rfind(L'/') + 1);
        if (!EndsWith(base, L".info.gz") || base.size() == 8) ThrowAt(m_at, Msg<920>(value));
        refuseCandidateName(key, value);
    } else if (key == L"MASTERIDX") {
        m_desc.masterIdx = path(key, value, true);
        refuseCandidateName(key, value);
    } else {
        ThrowAt(m_at,
                Msg<921>(key, L"[product]", L"NAME, VERSION, UPDATEROOT, PRODUCTINFO, MASTERIDX"));
    }
}

void Parser::productFileKey(const std::wstring& key, const std::wstring& value) {
    noteKey(key);
    if (key == L"PATH") {
        m_desc.productFile = path(key, value, true);
    } else if (key == L"SERVERS") {
        for (const std::wstring& piece : Split(value, L",")) {
            std::wstring server = Trim(piece);
            size_t scheme = server.find(L"://");
            std::wstring name =
                scheme == std::wstring::npos ? L"" : ToLower(server.substr(0, scheme));
            if (name != L"http" && name != L"https" && name != L"ftp" && name != L"file")
                ThrowAt(m_at, Msg<922>(server));
            if (server.find_first_of(L" \t") != std::wstring::npos) ThrowAt(m_at, Msg<923>(server));
            // The updater expands path variables in the product file's values.
            if (server.find(L'%') != std::wstring::npos) ThrowAt(m_at, Msg<918>(key, server));
            m_desc.servers.push_back(server);
        }
    } else {
        ThrowAt(m_at, Msg<921>(key, L"[productfile]", L"PATH and SERVERS"));
    }
}

void Parser::moduleKey(const std::wstring& key, const std::wstring& os, const std::wstring& value) {
    ModuleDesc& module = m_desc.modules.back();
    noteKey(key);
    OsValue entry{value, os, m_at};
    if (key == L"NAME") {
        if (value.find(L',') != std::wstring::npos) ThrowAt(m_at, Msg<924>(value));
        module.name = value;
    } else if (key == L"SOURCE") {
        module.source = path(key, value, false);
    } else if (key == L"BASE") {
        module.base = path(key, value, false);
    } else if (key == L"DESTINATION") {
        module.destination.push_back(entry);
    } else if (key == L"PRE") {
        module.pre.push_back(entry);
    } else if (key == L"POST") {
        module.post.push_back(entry);
    } else if (key == L"UNPOST") {
        module.unpost.push_back(entry);
    } else if (key == L"CHECK") {
        module.check.push_back(entry);
    } else if (key == L"DEPEND") {
        if (module.depend.empty()) module.dependAt = m_at;
        module.depend += (module.depend.empty() ? L"" : L",") + value;
    } else if (key == L"INCLUDE") {
        if (value.find(L'/') != std::wstring::npos || !IsSafeRelativePath(value) ||
            !EndsWith(value, L".info") || value.size() == 5)
            ThrowAt(m_at, Msg<925>(value));
        module.include.push_back(entry);
    } else if (key == L"FILE" || key == L"CONFIG") {
        module.files.push_back(fileSpec(value));
        module.files.back().config = key == L"CONFIG";
    } else {
        ThrowAt(m_at,
                Msg<921>(key, L"[module]",
                         L"NAME, SOURCE, DESTINATION, PRE, POST, UNPOST, CHECK, DEPEND, INCLUDE, "
                         L"BASE, FILE, CONFIG"));
    }
}

// "pattern [VERSION=v] [OS=list]", separated by blanks.
FileSpec Parser::fileSpec(const std::wstring& value) {
    FileSpec entry;
    entry.at = m_at;
    std::vector<std::wstring> words = Split(value, L" \t", false, true);
    entry.pattern = words[0];
    if (!IsSafeRelativePath(entry.pattern)) ThrowAt(m_at, Msg<917>(L"FILE", entry.pattern));
    bool sawVersion = false, sawOs = false;
    for (size_t i = 1; i < words.size(); ++i) {
        size_t eq = words[i].find(L'=');
        std::wstring name = ToUpper(words[i].substr(0, eq));
        std::wstring arg = eq == std::wstring::npos ? L"" : words[i].substr(eq + 1);
        if (name == L"VERSION" && eq != std::wstring::npos && !sawVersion) {
            if (!IsVersionText(arg)) ThrowAt(m_at, Msg<926>(arg));
            entry.version = arg;
            sawVersion = true;
        } else if (name == L"OS" && eq != std::wstring::npos && !sawOs) {
            entry.os = NormaliseOsList(arg, m_at);
            sawOs = true;
        } else {
            ThrowAt(m_at, Msg<927>(words[i]));
        }
    }
    return entry;
}

}  // namespace

bool IsSafeRelativePath(const std::wstring& path) {
    if (path.empty() || path[0] == L'/' || path.find(L'\\') != std::wstring::npos) return false;
    if (HasControl(path, false)) return false;
    for (const std::wstring& part : Split(path, L"/"))
        if (part.empty() || part == L"." || part == L"..") return false;
    return true;
}

ProductDesc ParseProductDescription(const std::string& text, const std::wstring& file) {
    return Parser(file).run(text);
}

ProductDesc ReadProductDescription(const std::wstring& path) {
    std::ifstream in(ToMultibyte(path), std::ios::binary);
    if (!in) {
        int err = errno;
        throw Exception(Msg<930>(path, FromMultibyte(std::strerror(err))), ERR_GENERIC);
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        throw Exception(Msg<931>(path), ERR_GENERIC);
    }
    return ParseProductDescription(text.str(), path);
}
