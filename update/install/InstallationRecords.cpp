#include "install/InstallationRecords.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Messages.h"
#include "base/SafeFile.h"
#include "base/UniqueFd.h"

namespace UpdateNew {

namespace {

const char kConfigHeader[] = "# updater configuration digests 1";
const char kInstalledHeader[] = "# updater installed files 1";

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
    if ((st.st_uid != 0 && st.st_uid != ::geteuid()) || (st.st_mode & S_IWOTH) != 0) return EPERM;
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

bool CInstallationRecords::ReadLines(const std::wstring& path, const char* header,
                                     std::vector<std::string>& lines) {
    std::string text;
    struct stat st;
    if (ReadRecord(path, text, st) != 0) return false;
    size_t start = 0;
    bool first = true;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (first) {
            if (line != header) return false;
            first = false;
        } else if (!line.empty()) {
            lines.push_back(std::move(line));
        }
    }
    return !first;
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
    std::vector<std::string> lines;
    if (ReadLines(ConfigPath(keptIndex), kConfigHeader, lines)) {
        for (const std::string& line : lines)
            if (line.size() > 33 && line[32] == ' ')
                m_config[Utf8ToWide(line.substr(33))] = line.substr(0, 32);
    }
    lines.clear();
    m_hasInstalledList = ReadLines(InstalledPath(keptIndex), kInstalledHeader, lines);
    for (const std::string& line : lines) {
        const size_t tab = line.find('\t');
        if (tab != std::string::npos && tab + 1 < line.size())
            m_installed.emplace_back(Utf8ToWide(line.substr(0, tab)),
                                     Utf8ToWide(line.substr(tab + 1)));
    }
}

const std::string* CInstallationRecords::configDigest(const std::wstring& path) const {
    const auto found = m_config.find(path);
    return found == m_config.end() ? nullptr : &found->second;
}

void CInstallationRecords::addFile(const std::wstring& module, const std::wstring& path,
                                   bool config, const std::string& digest) {
    // One line per file: a name that would break its line is not recorded.
    if (path.find(L'\n') != std::wstring::npos ||
        module.find_first_of(L"\t\n") != std::wstring::npos)
        return;
    m_newInstalled.emplace_back(module, path);
    if (config) m_newConfig.emplace_back(digest, path);
}

void CInstallationRecords::clearFiles() {
    m_newInstalled.clear();
    m_newConfig.clear();
}

void CInstallationRecords::save(const std::wstring& keptIndex, bool installedList) const {
    if (!m_newConfig.empty()) {
        std::string text = std::string(kConfigHeader) + "\n";
        for (const auto& entry : m_newConfig)
            text += entry.first + " " + WideToUtf8(entry.second) + "\n";
        WriteRecord(ConfigPath(keptIndex), text);
    }
    if (installedList) {
        std::string text = std::string(kInstalledHeader) + "\n";
        for (const auto& entry : m_newInstalled)
            text += WideToUtf8(entry.first) + "\t" + WideToUtf8(entry.second) + "\n";
        WriteRecord(InstalledPath(keptIndex), text);
    }
}

}  // namespace UpdateNew
