#include "install/TemporaryFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "base/StringUtils.h"
#include "base/TrustedDirectory.h"
#include "base/UniqueFd.h"
#include "plugin/UpdateCallbacks.h"

namespace UpdateNew {

const wchar_t* const CTemporaryFiles::kListFileName = L"ToRemove.txt";
const wchar_t* const CTemporaryFiles::kOwnerMarkerName = L".updater-owned";

namespace {

// The longest list file line that is taken; a longer one is ignored whole rather than
// cut into pieces that could name some other path.
const size_t kMaxListLine = 1000;

// Whether `path` names the root directory ("/", "//", ...), which is never removed.
bool IsRoot(const std::wstring& path) {
    return !path.empty() && path.find_first_not_of(L"/\\") == std::wstring::npos;
}

// Whether the list file line "<key>=<path>" reads back as that very path: the reader
// splits lines at line ends, trims them and skips overlong ones. A path that would read
// back as another one (cut at a line end, trimmed) must not be listed: the next process
// would delete something else.
bool ReadsBack(const std::wstring& key, const std::wstring& path) {
    return !path.empty() && path.find_first_of(L"\n\r") == std::wstring::npos &&
           Trim(path, TRIM_BOTH, kTrimAllSpace) == path &&
           key.size() + 1 + path.size() <= kMaxListLine;
}

// Whether `path` lies below `dir` by its spelling alone: `dir` followed by "/" and
// components that are neither empty nor "." or "..".
bool SpelledBelow(const std::wstring& path, const std::wstring& dir) {
    if (path.size() <= dir.size() + 1 || path.compare(0, dir.size(), dir) != 0 ||
        path[dir.size()] != L'/')
        return false;
    for (size_t start = dir.size() + 1; start <= path.size();) {
        size_t end = path.find(L'/', start);
        if (end == std::wstring::npos) end = path.size();
        const std::wstring_view part(path.data() + start, end - start);
        if (part.empty() || part == L"." || part == L"..") return false;
        start = end + 1;
    }
    return true;
}

}  // namespace

bool CTemporaryFiles::MarkOwned(const std::wstring& dir) {
    const std::wstring marker = JoinPath(WithoutTrailingSlash(dir), kOwnerMarkerName);
    const std::string name = ToMultibyte(marker);
    UniqueFd fd;
    if (const int error = name.empty() ? EILSEQ : CreateFile(name, 0644, fd)) {
        LogDebug(L"The owner marker \"%s\" cannot be created: %s\n", marker.c_str(),
                 SystemErrorText(error).c_str());
        return false;
    }
    if (!WriteAll(fd.get(),
                  std::string("Created by the updater; removed with this directory.\n")) ||
        fd.close() != 0) {
        LogDebug(L"The owner marker \"%s\" cannot be written: %s\n", marker.c_str(),
                 SystemErrorText(errno).c_str());
        (void)RemoveFile(name);
        return false;
    }
    return true;
}

bool CTemporaryFiles::IsOwned(const std::wstring& dir) {
    struct stat st;
    const std::wstring marker = JoinPath(WithoutTrailingSlash(dir), kOwnerMarkerName);
    return ::lstat(ToMultibyte(marker).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::wstring CTemporaryFiles::OwnRunDirFault(const std::wstring& dir) {
    std::wstring fault = DirectoryTrustFault(dir);
    if (fault.empty() && !IsOwned(dir)) fault = Msg<823>(WithoutTrailingSlash(dir));
    return fault;
}

void CTemporaryFiles::addRunDir(const std::wstring& path) {
    addDir(path);
    const std::wstring bare = WithoutTrailingSlash(path);
    if (std::find(m_runDirs.begin(), m_runDirs.end(), bare) == m_runDirs.end())
        m_runDirs.push_back(bare);
}

void CTemporaryFiles::addDir(const std::wstring& path) {
    if (std::find(m_dirs.begin(), m_dirs.end(), path) == m_dirs.end()) m_dirs.push_back(path);
}

void CTemporaryFiles::removeFilesNow(const std::wstring& suffix) noexcept {
    try {
        size_t at = 0;
        RemoveFiles([&](std::string& name) {
            while (at < m_files.size()) {
                const std::wstring& file = m_files[at++];
                if (file.size() >= suffix.size() &&
                    file.compare(file.size() - suffix.size(), suffix.size(), suffix) == 0 &&
                    WideToMultibyte(file, name) && !name.empty())
                    return true;
            }
            return false;
        });
    } catch (...) {
        // Only early: the clean-up deletes what is left.
    }
}

void CTemporaryFiles::cleanup(UpdateCallbacks& callbacks) noexcept {
    // A run's own directory goes as a whole below, its entries removed through its
    // descriptors: the files in it (every download of a run) are not each looked up by
    // their paths first. A library plug-in is offered every file and directory instead.
    std::vector<std::wstring> wholeDirs;
    if (!callbacks.hasLibPlugin()) {
        for (const std::wstring& dir : m_runDirs)
            if (!IsRoot(dir) && IsOwned(dir)) wholeDirs.push_back(dir);
    }
    for (const std::wstring& file : m_files) {
        if (std::any_of(wholeDirs.begin(), wholeDirs.end(),
                        [&file](const std::wstring& dir) { return SpelledBelow(file, dir); }))
            continue;
        try {
            if (callbacks.callLib(L"DeleteFile((*cIterator).c_str())",
                                  &CUpdateLibCallbacks::DeleteFile, file.c_str()))
                continue;
        } catch (const Exception& e) {
            LogDebug(L"Deleting \"%s\" through the plug-in failed: %s\n", file.c_str(), e.twhat());
        } catch (...) {
            LogDebug(L"Deleting \"%s\" through the plug-in failed\n", file.c_str());
        }
        std::string name;
        if (WideToMultibyte(file, name) && !name.empty()) (void)RemoveFile(name);
    }
    for (auto cRIterator = m_dirs.rbegin(); cRIterator != m_dirs.rend(); ++cRIterator) {
        try {
            if (callbacks.callLib(L"DeleteDir((*cRIterator).c_str())",
                                  &CUpdateLibCallbacks::DeleteDir, (*cRIterator).c_str()))
                continue;
        } catch (const Exception& e) {
            LogDebug(L"Removing \"%s\" through the plug-in failed: %s\n", cRIterator->c_str(),
                     e.twhat());
        } catch (...) {
            LogDebug(L"Removing \"%s\" through the plug-in failed\n", cRIterator->c_str());
        }
        if (IsRoot(*cRIterator)) continue;
        const bool runDir = std::find(m_runDirs.begin(), m_runDirs.end(),
                                      WithoutTrailingSlash(*cRIterator)) != m_runDirs.end();
        if (!runDir || IsOwned(*cRIterator)) {
            RemoveDirectoryTree(*cRIterator);
        } else if (const int error = RemoveEmptyDirectories(*cRIterator)) {
            // Found in place: what the run put there is gone, and so are empty directories
            // (a killed run's, whose marker was lost); files are the user's.
            LogDebug(L"The directory \"%s\" is kept: it was not created by the updater (%s)\n",
                     cRIterator->c_str(), SystemErrorText(error).c_str());
        }
    }
    m_files.clear();
    m_dirs.clear();
    m_runDirs.clear();
}

bool CTemporaryFiles::writeListFile(const std::wstring& path) {
    m_files.push_back(path);

    std::wstring text;
    auto line = [&text, &path](const wchar_t* key, const std::wstring& entry) {
        if (ReadsBack(key, entry)) {
            text += key + (L"=" + entry) + L"\n";
        } else {
            LogDebug(L"The list file \"%s\" leaves out \"%s\": it would not read back as it is\n",
                     path.c_str(), entry.c_str());
        }
    };
    for (const std::wstring& f : m_files) line(L"File", f);
    for (const std::wstring& d : m_dirs) line(L"Dir", d);
    std::string bytes;
    if (!WideToMultibyte(text, bytes)) {
        LogDebug(L"The list file \"%s\" is not written: a path has no multibyte form\n",
                 path.c_str());
        return false;
    }

    const std::string target = ToMultibyte(path);
    ReplaceStep failed = ReplaceStep::kOpen;
    const int error = target.empty() ? ENOENT : ReplaceFileContent(target, bytes, &failed);
    const bool ok = error == 0;
    if (!ok && failed == ReplaceStep::kOpen) {
        LogDebug(L"The list file \"%s\" cannot be created: %s\n", path.c_str(),
                 SystemErrorText(error).c_str());
    } else if (!ok) {
        LogDebug(L"The list file \"%s\" cannot be written: %s\n", path.c_str(),
                 SystemErrorText(error).c_str());
    }
    return ok;
}

bool CTemporaryFiles::readListFile(const std::wstring& path) {
    std::ifstream in(ToMultibyte(path));
    if (!in) return false;
    for (std::string raw; std::getline(in, raw);) {
        std::wstring line;
        if (!MultibyteToWide(raw, line)) continue;
        line = Trim(line, TRIM_BOTH, kTrimAllSpace);
        if (line.size() > kMaxListLine) continue;
        // The key ends at the first "="; the path is everything after it, "=" included.
        const size_t eq = line.find(L'=');
        if (eq == std::wstring::npos || eq + 1 == line.size()) continue;
        const std::wstring key = line.substr(0, eq);
        const std::wstring entry = line.substr(eq + 1);
        if (key == L"File")
            addFile(entry);
        else if (key == L"Dir")
            addDir(entry);
    }
    return true;
}

}  // namespace UpdateNew
