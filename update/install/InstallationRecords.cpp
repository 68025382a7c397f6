#include "install/InstallationRecords.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <unordered_set>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"
#include "codec/FileDigest.h"

namespace UpdateNew {

namespace {

// Whether `path` names a regular file (a link at its end not followed), with its status.
bool RegularFileAt(const std::wstring& path, struct stat& st) {
    const std::string narrow = ToMultibyte(path);
    return !narrow.empty() && ::fstatat(AT_FDCWD, narrow.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(st.st_mode);
}

const char kConfigHeader[] = "# updater configuration digests 1";
const char kInstalledHeader[] = "# updater installed files 1";
const char kAddingHeader[] = "# updater files being added 1";

void WriteRecord(const std::wstring& path, const std::string& bytes) {
    ReplaceStep failed = ReplaceStep::kOpen;
    const int error = ReplaceFileContent(ToMultibyte(path), bytes, &failed);
    if (error != 0) THROW_ERROR(Msg<1104>(path, SystemErrorText(error)), error);
}

}  // namespace

int CInstallationRecords::ReadRecord(const std::wstring& path, std::string& bytes,
                                     struct stat& st) {
    UniqueFd fd;
    if (const int error = OpenExisting(ToMultibyte(path), O_RDONLY, fd)) return error;
    if (::fstat(fd.get(), &st) != 0) return errno;
    if (!TrustedOwner(st.st_uid) || (st.st_mode & S_IWOTH) != 0) return EPERM;
    FILE* in = ::fdopen(fd.get(), "r");
    if (!in) return errno;
    fd.release();
    bytes.clear();
    if (st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
    char piece[64 * 1024];
    size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, in)) > 0) bytes.append(piece, n);
    const int error = std::ferror(in) ? EIO : 0;
    std::fclose(in);
    return error;
}

namespace {

// The text of the record `path` after its header line, as ReadLines reads it.
bool ReadBody(const std::wstring& path, const char* header, std::string& text, size_t& body) {
    struct stat st;
    if (CInstallationRecords::ReadRecord(path, text, st) != 0 || text.empty()) return false;
    size_t end = text.find('\n');
    if (end == std::string::npos) end = text.size();
    if (text.compare(0, end, header) != 0) return false;
    body = end + 1;
    return true;
}

// Calls `take(begin, size)` for each line of `text` from `body` on, empty lines left out.
template <class Take>
void EachLine(const std::string& text, size_t body, Take take) {
    for (size_t start = body; start < text.size();) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) take(text.data() + start, end - start);
        start = end + 1;
    }
}

// The UTF-8 text [begin, begin + size) as a wide string: ASCII (nearly every path)
// widened directly, without an intermediate copy.
std::wstring Wide(const char* begin, size_t size) {
    const char* const end = begin + size;
    if (std::all_of(begin, end, [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return std::wstring(begin, end);
    return Utf8ToWide(std::string(begin, end));
}

}  // namespace

bool CInstallationRecords::ReadLines(const std::wstring& path, const char* header,
                                     std::vector<std::string>& lines) {
    std::string text;
    size_t body = 0;
    if (!ReadBody(path, header, text, body)) return false;
    EachLine(text, body, [&](const char* line, size_t size) { lines.emplace_back(line, size); });
    return true;
}

std::wstring CInstallationRecords::ConfigPath(const std::wstring& keptIndex) {
    return keptIndex + L".config";
}

std::wstring CInstallationRecords::InstalledPath(const std::wstring& keptIndex) {
    return keptIndex + L".installed";
}

void CInstallationRecords::load(const std::wstring& keptIndex) {
    m_config.clear();
    m_installed.clear();
    // The lines are taken apart where they lie in the text read: a product of many files
    // lists a line for each.
    std::string text;
    size_t body = 0;
    if (ReadBody(ConfigPath(keptIndex), kConfigHeader, text, body)) {
        EachLine(text, body, [&](const char* line, size_t size) {
            if (size > 33 && line[32] == ' ')
                m_config[LexicalPath(Wide(line + 33, size - 33))] = std::string(line, 32);
        });
    }
    text.clear();
    m_hasInstalledList = ReadBody(InstalledPath(keptIndex), kInstalledHeader, text, body);
    if (!m_hasInstalledList) return;
    // Files a run killed before it wrote the list had begun to add: each that still holds
    // what that run installed is the updater's (not an administrator's file of that name).
    std::string adding;
    size_t addingBody = 0;
    if (ReadBody(AddingPath(keptIndex), kAddingHeader, adding, addingBody)) {
        std::unordered_set<std::string_view> listed;
        EachLine(text, body, [&](const char* line, size_t size) { listed.emplace(line, size); });
        std::string added;
        EachLine(adding, addingBody, [&](const char* line, size_t size) {
            if (size < 36 || line[32] != ' ') return;
            const std::string_view entry(line + 33, size - 33);
            const size_t tab = entry.find('\t');
            if (tab == std::string_view::npos || listed.count(entry) != 0) return;
            const std::wstring path = Wide(entry.data() + tab + 1, entry.size() - tab - 1);
            if (GetFileMD5(path) != Wide(line, 32)) return;
            added.append(entry.data(), entry.size()).push_back('\n');
        });
        if (!text.empty() && text.back() != '\n') text.push_back('\n');
        text += added;
    }
    m_installed.assign(std::move(text), body);
}

const std::string* CInstallationRecords::configDigest(const std::wstring& path) const {
    const auto found = m_config.find(LexicalPath(path));
    if (found != m_config.end()) return &found->second;
    // The same file recorded under another name of the installation (reached through a
    // symbolic link, or relative to another working directory): found by its identity
    // among the records of its file name.
    const size_t slash = path.rfind(L'/');
    const std::wstring leaf = path.substr(slash == std::wstring::npos ? 0 : slash);
    struct stat local;
    if (leaf.size() < 2 || !RegularFileAt(path, local)) return nullptr;
    for (const auto& entry : m_config) {
        const std::wstring& recorded = entry.first;
        struct stat other;
        if (recorded.size() > leaf.size() &&
            recorded.compare(recorded.size() - leaf.size(), leaf.size(), leaf) == 0 &&
            RegularFileAt(recorded, other) && other.st_dev == local.st_dev &&
            other.st_ino == local.st_ino)
            return &entry.second;
    }
    return nullptr;
}

void CInstallationRecords::addFile(const std::wstring& module, const std::wstring& path,
                                   bool config, const std::string& digest,
                                   const std::string& installs) {
    // One line per file: a name that would break its line is not recorded.
    if (path.find(L'\n') != std::wstring::npos ||
        module.find_first_of(L"\t\n") != std::wstring::npos)
        return;
    // The files of one module come one after the other: its name is converted once.
    if (m_newInstalled.empty() || module != m_lastModule) {
        m_lastModule = module;
        m_lastModuleUtf8 = WideToUtf8(module);
    }
    const std::string narrow = WideToUtf8(path);
    m_newInstalled.add(m_lastModuleUtf8, narrow);
    if (config) m_newConfig.emplace_back(digest, path);
    if (installs.size() == 32) m_adding += installs + " " + m_lastModuleUtf8 + "\t" + narrow + "\n";
}

void CInstallationRecords::clearFiles() {
    m_newInstalled.clear();
    m_newConfig.clear();
    m_adding.clear();
}

std::wstring CInstallationRecords::AddingPath(const std::wstring& keptIndex) {
    return keptIndex + L".adding";
}

void CInstallationRecords::noteAdding(const std::wstring& keptIndex) const {
    if (!m_adding.empty()) WriteRecord(AddingPath(keptIndex), kAddingHeader + ("\n" + m_adding));
}

void CInstallationRecords::save(const std::wstring& keptIndex, bool installedList) const {
    if (!m_newConfig.empty()) {
        std::string text = std::string(kConfigHeader) + "\n";
        for (const auto& entry : m_newConfig)
            text += entry.first + " " + WideToUtf8(entry.second) + "\n";
        WriteRecord(ConfigPath(keptIndex), text);
    }
    if (installedList) {
        WriteRecord(InstalledPath(keptIndex),
                    std::string(kInstalledHeader) + "\n" + m_newInstalled.text());
        // The list names every file now: what was being added is in it.
        const std::wstring adding = AddingPath(keptIndex);
        if (const int err = RemoveFile(ToMultibyte(adding)))
            if (err != ENOENT) THROW_ERROR(Msg<1104>(adding, SystemErrorText(err)), err);
    }
}

}  // namespace UpdateNew
