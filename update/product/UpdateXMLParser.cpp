#include "product/UpdateXMLParser.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string_view>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "codec/FileDigest.h"
#include "codec/Sha256.h"
#include "plugin/UpdateCallbacks.h"
#include "product/InfoChecksum.h"

namespace UpdateNew {

namespace {

// Element names by depth and position (views: a lookup compares lengths first).
constexpr std::wstring_view kDepth0[] = {L"UPDATE"};
constexpr std::wstring_view kDepth1[] = {L"VERSION", L"NAME", L"MODULE", L"MD5", L"DROPPED"};
constexpr std::wstring_view kDepth2[] = {L"PRE",  L"POST",   L"UNPOST",  L"SOURCE", L"DESTINATION",
                                         L"FILE", L"DEPEND", L"INCLUDE", L"CHECK"};
constexpr std::wstring_view kDepth3[] = {L"NAME",      L"FILEMD5", L"FILESIZE",
                                         L"ZIPMD5",    L"ZIPSIZE", L"OS",
                                         L"PEFILEMD5", L"VERSION", L"ZIPSHA256"};

enum { D1_VERSION, D1_NAME, D1_MODULE, D1_MD5, D1_DROPPED };
enum {
    D2_PRE,
    D2_POST,
    D2_UNPOST,
    D2_SOURCE,
    D2_DESTINATION,
    D2_FILE,
    D2_DEPEND,
    D2_INCLUDE,
    D2_CHECK
};
enum {
    D3_NAME,
    D3_FILEMD5,
    D3_FILESIZE,
    D3_ZIPMD5,
    D3_ZIPSIZE,
    D3_OS,
    D3_PEFILEMD5,
    D3_VERSION,
    D3_ZIPSHA256
};

// An earlier version's patch inside a file entry.
constexpr wchar_t kPatchElement[] = L"PATCH";

// Whether every character of `text` lies in [low, high]. A loop of its own: the
// library's search for characters outside a set looks each one up in the set, a cost
// paid several times per file entry.
template <typename Text>
bool AllIn(const Text& text, wchar_t low, wchar_t high) {
    for (const auto c : text)
        if (static_cast<wchar_t>(c) < low || static_cast<wchar_t>(c) > high) return false;
    return true;
}

bool IsHexDigit(wchar_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f');
}

// Whether `text` is `length` lowercase hexadecimal digits (a digest text).
template <typename Text>
bool IsHexText(const Text& text, size_t length) {
    if (text.size() != length) return false;
    for (const auto c : text)
        if (!IsHexDigit(static_cast<wchar_t>(c))) return false;
    return true;
}

// The permission bits of a file entry's MODE attribute: up to four octal digits; set-id
// bits are never taken from a publication. -1 for anything else.
int ParseMode(const std::wstring& value) {
    if (value.empty() || value.size() > 4 || !AllIn(value, L'0', L'7')) return -1;
    return static_cast<int>(std::wcstoul(value.c_str(), nullptr, 8) & 0777);
}

// A file entry must carry NAME, FILEMD5, FILESIZE, ZIPMD5, ZIPSIZE, OS and PEFILEMD5.
constexpr int kCountedFileChildren = 7;

template <size_t N>
int Find(const std::wstring_view (&row)[N], const std::wstring& name) {
    const std::wstring_view view(name);
    for (size_t i = 0; i < N; ++i) {
        if (view == row[i]) return static_cast<int>(i);
    }
    return -1;
}

// Whether a name as read (UTF-8) is the element name `known` (ASCII).
bool SameName(const std::string& name, std::wstring_view known) {
    if (known.size() != name.size()) return false;
    for (size_t k = 0; k < known.size(); ++k) {
        if (known[k] != static_cast<wchar_t>(static_cast<unsigned char>(name[k]))) return false;
    }
    return true;
}

// Find() for a name as read.
template <size_t N>
int FindNarrow(const std::wstring_view (&row)[N], const std::string& name) {
    for (size_t i = 0; i < N; ++i) {
        if (SameName(name, row[i])) return static_cast<int>(i);
    }
    return -1;
}

uint32_t ParseSize(const std::wstring& value) {
    // Decimal, read from the UTF-8 form; leading digits count, anything else gives 0.
    // Nine digits or fewer (every size up to 999,999,999) are read directly.
    if (!value.empty() && value.size() <= 9 && AllIn(value, L'0', L'9')) {
        uint32_t size = 0;
        for (const wchar_t c : value) size = size * 10 + static_cast<uint32_t>(c - L'0');
        return size;
    }
    const std::string narrow = WideToUtf8(value);
    return static_cast<uint32_t>(std::strtoul(narrow.c_str(), nullptr, 10));
}

}  // namespace

UpdateXMLParser::UpdateXMLParser(UpdateInfo* update, bool merge, UpdateCallbacks* callbacks,
                                 bool mirror)
    : m_update(update), m_merge(merge), m_mirror(mirror), m_callbacks(callbacks) {}

UpdateXMLParser::~UpdateXMLParser() = default;

int UpdateXMLParser::positionOf(int depth, const std::wstring& name) {
    switch (depth) {
        case 0:
            return Find(kDepth0, name);
        case 1:
            return Find(kDepth1, name);
        case 2:
            return Find(kDepth2, name);
        case 3:
            return Find(kDepth3, name);
        default:
            return -1;
    }
}

void UpdateXMLParser::startAny(int depth, const std::wstring& name) {
    // Only a library plug-in hears element names (with each file entry's values).
    if (m_callbacks->hasLibPlugin()) m_elementName = name;
    startAt(depth, positionOf(depth, name), depth == 3 && name == kPatchElement);
}

void UpdateXMLParser::startAt(int depth, int position, bool patch) {
    m_openNodes.resize(static_cast<size_t>(depth));
    m_elementPos = position;
    if (depth == 1 && m_elementPos == D1_MODULE) {
        // Until its NAME attribute is read a MODULE has no module: what it holds must not
        // land in the module before it.
        m_modulePos = -1;
    }
    if (depth == 2 && m_elementPos == D2_FILE && inContext(2)) {
        m_fileXmlCount = 0;
        m_file = FileRecord();
        m_patches.clear();
        m_fileZipSha256.clear();
    }
    // Patches are an addition to the file entry: not in the depth table, so they neither
    // count as children nor reach the plug-in.
    m_inPatch = patch && inContext(3);
    if (m_inPatch) m_patches.emplace_back();
}

void UpdateXMLParser::startElementHandler(int depth, const std::wstring& name) {
    startAny(depth, name);
}

void UpdateXMLParser::startNodeHandler(int depth, const std::wstring& name) {
    startAny(depth, name);
    m_openNodes.push_back(m_elementPos);
}

void UpdateXMLParser::endNodeHandler(int depth, const std::wstring& name) {
    m_openNodes.resize(static_cast<size_t>(depth));
    if (depth == 2 && positionOf(2, name) == D2_FILE && inContext(2)) completeFile();
    // A module's file records take no more room than they need: a product of many
    // modules would otherwise keep up to twice its records' size.
    if (depth == 1 && m_modulePos >= 0 && positionOf(1, name) == D1_MODULE)
        m_update->cGetModuleByIndex(m_modulePos).files.shrink_to_fit();
}

bool UpdateXMLParser::leafHandler(int depth, const std::string& name, const Attribute* attributes,
                                  size_t count, const std::string& text) {
    // The values of a file entry, nearly all of a large document, handled as
    // startElementHandler, attributeHandler and textHandler would handle them, without
    // the round trip through them. A library plug-in hears the element names, and a PATCH
    // starts a patch: those take the long way.
    if (depth != 3 || m_callbacks->hasLibPlugin() || SameName(name, kPatchElement)) return false;
    startAt(3, FindNarrow(kDepth3, name), false);
    if (m_elementPos < 0 || !inContext(3)) return true;
    for (size_t i = 0; i < count; ++i) {
        if (attributes[i].first != "value") continue;
        Widen(m_leafValue, attributes[i].second);
        fileValue(m_leafValue);
    }
    if (!text.empty()) {
        Widen(m_leafValue, text);
        fileValue(m_leafValue);
    }
    return true;
}

void UpdateXMLParser::textHandler(int depth, const std::wstring&, const std::wstring& text) {
    if (depth == 3) attributeHandler(L"value", text, depth);
}

bool UpdateXMLParser::inContext(int depth) const {
    if (depth <= 1) return true;
    if (m_openNodes.size() < 2 || m_openNodes[1] != D1_MODULE || m_modulePos < 0) return false;
    if (depth == 2) return true;
    return depth == 3 && m_openNodes.size() >= 3 && m_openNodes[2] == D2_FILE;
}

void UpdateXMLParser::attributeHandler(const std::wstring& name, const std::wstring& value,
                                       int depth) {
    if (depth == 3 && m_inPatch) {
        patchAttribute(name, value);
        return;
    }
    if (m_elementPos < 0 || !inContext(depth)) return;
    switch (depth) {
        case 1:
            if (m_elementPos == D1_MODULE) {
                if (name == L"NAME") moduleValue(value);
            } else if (name == L"value") {
                productValue(m_elementName, value);
            }
            break;
        case 2:
            // A file entry's own attributes (older readers ignore them): its permission bits
            // and whether it is a configuration file.
            if (m_elementPos == D2_FILE && name == L"MODE") {
                const int mode = ParseMode(value);
                if (mode >= 0) m_file.mode = static_cast<uint16_t>(mode);
            } else if (m_elementPos == D2_FILE && name == L"CONFIG") {
                m_file.config = value == L"1";
            }
            if (name == L"value") {
                UpdateModuleInfo& module = m_update->cGetModuleByIndex(m_modulePos);
                switch (m_elementPos) {
                    case D2_PRE:
                        storeOsField(module.pre, value);
                        break;
                    case D2_POST:
                        storeOsField(module.post, value);
                        break;
                    case D2_UNPOST:
                        storeOsField(module.unpost, value);
                        break;
                    case D2_CHECK:
                        storeOsField(module.check, value);
                        break;
                    case D2_DESTINATION:
                        if (m_mirror) {
                            module.destination.clear();
                        } else {
                            storeOsField(module.destination, value);
                        }
                        break;
                    case D2_SOURCE: {
                        std::wstring source = value;
                        if (source.compare(0, 2, L".\\") == 0) source.erase(0, 2);
                        requireRelativePath(source);
                        storeField(module.source, source);
                        break;
                    }
                    case D2_DEPEND:
                        storeField(module.depend, value);
                        break;
                    case D2_INCLUDE:
                        requireRelativePath(value);
                        m_update->includes.push_back(value);
                        break;
                    default:
                        break;  // FILE: its values come from its children
                }
            }
            break;
        case 3:
            if (name == L"value") fileValue(value);
            break;
        default:
            break;
    }
}

void UpdateXMLParser::productValue(const std::wstring&, const std::wstring& value) {
    switch (m_elementPos) {
        case D1_VERSION:
            m_update->version = value;
            break;
        case D1_NAME:
            m_update->name = value;
            break;
        case D1_MD5:
            m_update->md5 = value;
            break;
        case D1_DROPPED:
            if (!m_merge) m_update->removeDropped = value == L"remove";
            break;
        default:
            break;
    }
}

void UpdateXMLParser::moduleValue(const std::wstring& value) {
    int index = m_update->moduleIndex(value);
    if (index < 0) {
        if (m_merge) THROW_CRITICAL(Msg<157>(value), ERR_XML);
        index = m_update->addModule(value);
    }
    m_modulePos = index;
}

void UpdateXMLParser::fileValue(const std::wstring& value) {
    // The pairs go to a library plug-in only (the default table takes them and does
    // nothing); their strings are reused from entry to entry.
    if (m_callbacks->hasLibPlugin()) {
        if (m_fileXmlCount < mcFileXmlData.size()) {
            mcFileXmlData[m_fileXmlCount].first = m_elementName;
            mcFileXmlData[m_fileXmlCount].second = value;
        } else {
            mcFileXmlData.emplace_back(m_elementName, value);
        }
        ++m_fileXmlCount;
    }
    switch (m_elementPos) {
        case D3_NAME: {
            // The name is joined to download, mirror and installation directories; cut at
            // its first blank it must still stay inside them.
            const size_t blank = value.find(L' ');
            if (!IsContainedPath(value) ||
                (blank != std::wstring::npos && !IsContainedPath(value.substr(0, blank)))) {
                THROW_CRITICAL(Msg<164>(value), ERR_XML);
            }
            m_file.name = value;
            break;
        }
        case D3_FILEMD5:
            m_file.filemd5.assign(value);
            break;
        case D3_FILESIZE:
            m_file.filesize = ParseSize(value);
            break;
        case D3_ZIPMD5:
            m_file.zipmd5.assign(value);
            break;
        case D3_ZIPSIZE:
            m_file.zipsize = ParseSize(value);
            break;
        case D3_OS:
            m_file.os = value;
            break;
        case D3_PEFILEMD5:
            m_file.pefilemd5.assign(value);
            break;
        case D3_VERSION:
            m_file.version = value;
            return;  // optional: not counted
        case D3_ZIPSHA256:
            m_fileZipSha256 = WideToUtf8(value);
            return;  // only in signed publications: not counted
        default:
            return;
    }
    ++m_childCount;
}

void UpdateXMLParser::completeFile() {
    if (m_childCount < kCountedFileChildren) THROW_CRITICAL(Msg<163>(), ERR_XML);
    // Files of one product nearly all carry the same OS text: its verdict is kept.
    if (!m_mirror && (!m_osVerdictKnown || m_osVerdictFor != m_file.os)) {
        m_osVerdict = m_osChecker.matches(m_file.os);
        m_osVerdictFor = m_file.os;
        m_osVerdictKnown = true;
    }
    if (!m_mirror && !m_osVerdict) {
        if (LogDebugOn()) logWalkLine(Msg<614>(m_file.name));
        return;
    }
    mcFileXmlData.resize(m_fileXmlCount);
    const int modulePos = m_modulePos;
    const FileRecord& fi = m_file;
    m_callbacks->callLib(
        L"notifyProductInfoFileContent(m_update->cGetModuleByIndex(modulePos)"
        L".name, fi.name, mcFileXmlData)",
        &CUpdateLibCallbacks::notifyProductInfoFileContent,
        m_update->cGetModuleByIndex(modulePos).name, fi.name, mcFileXmlData);
    UpdateModuleInfo& module = m_update->cGetModuleByIndex(modulePos);
    // The entry's strings move into the record; the next FILE starts from an empty one.
    module.files.push_back(std::move(m_file));
    const FileRecord& kept = module.files.back();
    if (m_fileSink) m_fileSink(modulePos, kept);
    if (!m_fileZipSha256.empty()) module.zipSha256[kept.name] = m_fileZipSha256;
    // A patch without all of its values is left out: the file is then fetched whole. Both
    // digests name the patch's file (server, download and mirror), so they must be digests:
    // a FILEMD5 of "/../.." would take the name out of every tree.
    const bool targetNamed = IsHexText(std::string_view(kept.filemd5.c_str()), 32);
    for (const FilePatchInfo& patch : m_patches) {
        if (targetNamed && IsHexText(patch.baseMd5, 32) && IsSha256Text(patch.sha256) &&
            patch.size > 0) {
            module.patches[kept.name].push_back(patch);
        } else {
            if (LogDebugOn()) logWalkLine(L"An incomplete PATCH of " + kept.name + L" is ignored");
        }
    }
}

void UpdateXMLParser::patchAttribute(const std::wstring& name, const std::wstring& value) {
    FilePatchInfo& patch = m_patches.back();
    if (name == L"BASEMD5") {
        patch.baseMd5 = value;
    } else if (name == L"SHA256") {
        patch.sha256 = WideToUtf8(value);
    } else if (name == L"SIZE") {
        const bool digits = !value.empty() && value.size() <= 10 && AllIn(value, L'0', L'9');
        patch.size = digits ? std::stoull(value) : 0;
    }
}

void UpdateXMLParser::storeField(std::wstring& field, const std::wstring& value) {
    if (m_merge) {
        if (field != value) THROW_CRITICAL(Msg<156>(field, value), ERR_XML);
        return;
    }
    field = value;
}

void UpdateXMLParser::storeOsField(std::wstring& field, const std::wstring& value) {
    std::wstring text, list;
    if (!m_osChecker.splitOsSuffix(value, text, list)) THROW_CRITICAL(Msg<141>(value), ERR_XML);
    if (m_mirror || m_osChecker.matches(list)) storeField(field, text);
}

void UpdateXMLParser::requireRelativePath(const std::wstring& value) {
    if (!IsContainedPath(value)) THROW_CRITICAL(Msg<164>(value), ERR_XML);
}

void UpdateXMLParser::logWalkLine(const std::wstring& line) {
    if (m_holdLog) {
        m_heldLines.push_back(line);
    } else {
        LogDebug(L"%s\n", line.c_str());
    }
}

void UpdateXMLParser::wellFormedHandler() {
    m_holdLog = false;
    for (const std::wstring& line : m_heldLines) LogDebug(L"%s\n", line.c_str());
    m_heldLines.clear();
}

void UpdateXMLParser::resetWalk() {
    m_modulePos = -1;
    m_elementPos = -1;
    m_elementName.clear();
    m_file = FileRecord();
    m_fileZipSha256.clear();
    m_childCount = 0;
    mcFileXmlData.clear();
    m_fileXmlCount = 0;
    m_patches.clear();
    m_inPatch = false;
    m_openNodes.clear();
    m_heldLines.clear();
    m_holdLog = false;
}

void UpdateXMLParser::parseFile(const std::wstring& fileName) {
    // One reading of the document where nothing of it can escape before its end: no
    // plug-in hears its entries (a library plug-in gets each as it is read, so it needs
    // the checking reading first), the records it fills are new (the run drops them when
    // the document is refused), and the debug lines wait. Otherwise, or when the single
    // reading was not exact, the document is checked first and then walked.
    // The digests are taken from the same reading as the parse.
    InfoChecksum checksum;
    const auto onPiece = [&checksum](const char* data, size_t size) {
        checksum.update(data, size);
    };
    bool done = false;
    if (!m_merge && m_update->modules.empty() && !m_callbacks->hasLibPlugin()) {
        const std::wstring version = m_update->version, name = m_update->name, md5 = m_update->md5;
        const std::list<std::wstring> includes = m_update->includes;
        m_holdLog = true;
        try {
            done = parseOnce(fileName, onPiece);
        } catch (...) {
            resetWalk();
            throw;
        }
        if (!done) {
            resetWalk();
            m_update->modules.clear();
            m_update->version = version;
            m_update->name = name;
            m_update->md5 = md5;
            m_update->includes = includes;
            checksum.restart();
        }
    }
    if (!done) parse(fileName, onPiece);
    std::wstring digest;
    checksum.finish(digest, m_fileSha256);
    if (digest.empty() || digest != m_update->md5) {
        LogDebug(L"Checksum of %s is %s, the document gives %s\n", fileName.c_str(), digest.c_str(),
                 m_update->md5.c_str());
        THROW_CRITICAL(Msg<132>(fileName), ERR_FILE_READ);
    }
}

}  // namespace UpdateNew
