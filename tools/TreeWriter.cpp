#include "TreeWriter.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <set>
#include <string>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/StringUtils.h"

using namespace UpdateNew;

namespace {

std::wstring SystemError(int err) {
    return FromMultibyte(std::strerror(err));
}

[[noreturn]] void Fail(const std::wstring& message) {
    throw Exception(message, ERR_GENERIC);
}

unsigned CurrentUmask() {
    mode_t old = umask(022);
    umask(old);
    return old;
}

// Opens the file (or directory) and flushes it to disk.
void SyncPath(const std::wstring& path, bool directory) {
    int fd = open(ToMultibyte(path).c_str(), (directory ? O_DIRECTORY : 0) | O_RDONLY | O_CLOEXEC);
    if (fd < 0) Fail(Msg<960>(path, SystemError(errno)));
    int rc = fsync(fd);
    int err = errno;
    close(fd);
    if (rc != 0) Fail(Msg<961>(path, SystemError(err)));
}

// Flushes the file systems that hold `dirs` (directories), each once.
void SyncFileSystems(const std::set<std::wstring>& dirs) {
    std::set<dev_t> done;
    for (const std::wstring& dir : dirs) {
        const std::string mb = ToMultibyte(dir);
        struct stat st;
        if (stat(mb.c_str(), &st) != 0) Fail(Msg<960>(dir, SystemError(errno)));
        if (!done.insert(st.st_dev).second) continue;
        const int fd = open(mb.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
        if (fd < 0) Fail(Msg<960>(dir, SystemError(errno)));
        const int rc = syncfs(fd);
        const int err = errno;
        close(fd);
        if (rc != 0) Fail(Msg<961>(dir, SystemError(err)));
    }
}

}  // namespace

TreeWriter::TreeWriter(const std::wstring& root)
    : m_root(root), m_fileMode(0666 & ~CurrentUmask()) {}

TreeWriter::~TreeWriter() {
    for (const Entry& entry : m_entries)
        if (!entry.committed && !entry.temp.empty()) unlink(ToMultibyte(entry.temp).c_str());
    for (auto it = m_createdDirs.rbegin(); it != m_createdDirs.rend(); ++it)
        rmdir(ToMultibyte(*it).c_str());  // only succeeds while still empty
}

std::wstring TreeWriter::TargetPath(const std::wstring& relPath) const {
    return JoinPath(m_root, relPath);
}

void TreeWriter::makeDirs(const std::wstring& dir) {
    std::wstring prefix = dir.size() > 0 && dir[0] == L'/' ? L"/" : L"";
    for (const std::wstring& part : Split(dir, L"/", false, true)) {
        prefix += part;
        std::string mb = ToMultibyte(prefix);
        if (mkdir(mb.c_str(), 0755) == 0) {
            m_createdDirs.push_back(prefix);
        } else {
            int err = errno;
            struct stat st;
            if (err != EEXIST) Fail(Msg<962>(prefix, SystemError(err)));
            if (stat(mb.c_str(), &st) != 0) Fail(Msg<963>(prefix, SystemError(errno)));
            if (!S_ISDIR(st.st_mode)) Fail(Msg<963>(prefix, SystemError(ENOTDIR)));
        }
        prefix += L'/';
    }
}

std::wstring TreeWriter::Prepare(const std::wstring& relPath) {
    if (m_entryIndex.count(relPath) != 0) Fail(Msg<966>(TargetPath(relPath)));
    std::wstring target = TargetPath(relPath);
    std::wstring dir = GetDirPart(target);
    makeDirs(dir.empty() ? m_root : dir);
    removeStaleTemporaries(dir.empty() ? m_root : dir);
    std::string pattern =
        ToMultibyte(JoinPath(GetDirPart(target), L"." + GetLastComponent(target))) + ".publish-" +
        std::to_string(getpid()) + "-XXXXXX";
    int fd = mkstemp(&pattern[0]);
    if (fd < 0) Fail(Msg<964>(target, SystemError(errno)));
    Entry entry;
    entry.rel = relPath;
    entry.temp = FromMultibyte(pattern);
    m_entryIndex.emplace(relPath, m_entries.size());
    m_entries.push_back(entry);
    // Readers of the tree (a web server, a mirror) need the usual permissions, not mkstemp's.
    int rc = fchmod(fd, static_cast<mode_t>(m_fileMode));
    int err = errno;
    close(fd);
    if (rc != 0) Fail(Msg<965>(entry.temp, SystemError(err)));
    return entry.temp;
}

void TreeWriter::removeStaleTemporaries(const std::wstring& dir) {
    if (!m_cleanedDirs.insert(dir).second) return;
    const std::string path = ToMultibyte(dir);
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return;
    // ".<name>.publish-<pid>-XXXXXX", where <pid> no longer runs.
    static const std::regex kTemporary(R"(^\..+\.publish-([0-9]{1,10})-[A-Za-z0-9]{6}$)");
    std::vector<std::string> stale;
    while (struct dirent* e = readdir(d)) {
        std::cmatch match;
        if (!std::regex_match(e->d_name, match, kTemporary)) continue;
        const long pid = std::strtol(match[1].str().c_str(), nullptr, 10);
        if (pid <= 0 || pid > INT_MAX) continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH) continue;
        stale.push_back(path + "/" + e->d_name);
    }
    closedir(d);
    for (const std::string& file : stale) {
        struct stat st;
        if (lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(file.c_str());
    }
}

TreeWriter::Entry& TreeWriter::find(const std::wstring& relPath) {
    const auto found = m_entryIndex.find(relPath);
    if (found != m_entryIndex.end() && !m_entries[found->second].temp.empty())
        return m_entries[found->second];
    Fail(Msg<967>(TargetPath(relPath)));
}

bool TreeWriter::Finish(const std::wstring& relPath) {
    Entry& entry = find(relPath);
    entry.finished = true;
    entry.changed = !SameFileContent(entry.temp, TargetPath(relPath));
    if (!entry.changed) {
        unlink(ToMultibyte(entry.temp).c_str());
        entry.temp.clear();
    }
    return entry.changed;
}

void TreeWriter::Discard(const std::wstring& relPath) {
    Entry& entry = find(relPath);
    unlink(ToMultibyte(entry.temp).c_str());
    entry.temp.clear();
    entry.finished = true;
    entry.changed = false;
}

void TreeWriter::Commit() {
    size_t changed = 0;
    for (const Entry& entry : m_entries) {
        if (!entry.finished) Fail(Msg<968>(TargetPath(entry.rel)));
        if (entry.changed) ++changed;
    }
    if (changed <= kSyncEachLimit) {
        for (const Entry& entry : m_entries)
            if (entry.changed) SyncPath(entry.temp, false);
    } else {
        // One flush per file system: a flush per file of a tree of many thousand files
        // costs minutes, and every file is written before any of them is renamed.
        std::set<std::wstring> tempDirs;
        for (const Entry& entry : m_entries)
            if (entry.changed) tempDirs.insert(GetDirPart(entry.temp));
        SyncFileSystems(tempDirs);
    }
    std::set<std::wstring> dirs;
    for (Entry& entry : m_entries) {
        if (!entry.changed) continue;
        std::wstring target = TargetPath(entry.rel);
        if (std::rename(ToMultibyte(entry.temp).c_str(), ToMultibyte(target).c_str()) != 0)
            Fail(Msg<969>(target, SystemError(errno)));
        entry.committed = true;
        dirs.insert(GetDirPart(target));
    }
    for (const std::wstring& dir : m_createdDirs) dirs.insert(GetDirPart(dir));
    for (const std::wstring& dir : dirs)
        if (!dir.empty()) SyncPath(dir, true);
}

bool SameFileContent(const std::wstring& a, const std::wstring& b) {
    FILE* fa = std::fopen(ToMultibyte(a).c_str(), "rb");
    if (fa == nullptr) return false;
    FILE* fb = std::fopen(ToMultibyte(b).c_str(), "rb");
    if (fb == nullptr) {
        std::fclose(fa);
        return false;
    }
    bool same = true;
    char ba[16384], bb[16384];
    for (;;) {
        size_t na = std::fread(ba, 1, sizeof ba, fa);
        size_t nb = std::fread(bb, 1, sizeof bb, fb);
        if (na != nb || std::memcmp(ba, bb, na) != 0) {
            same = false;
            break;
        }
        if (na < sizeof ba) {
            same = !std::ferror(fa) && !std::ferror(fb);
            break;
        }
    }
    std::fclose(fa);
    std::fclose(fb);
    return same;
}
