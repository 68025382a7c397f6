#include "run/StatCache.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/SafeFile.h"
#include "install/InstallationRecords.h"
#include "run/KeptState.h"

namespace UpdateNew {

namespace {

const char kHeader[] = "# updater stat cache 1";
constexpr long long kSecondNs = 1000000000LL;

long long Nanoseconds(const struct timespec& time) {
    return time.tv_sec * kSecondNs + time.tv_nsec;
}

// A checksum of the entries' bytes, word by word (FNV-1a over 64-bit words): it finds a
// truncated or overwritten file, not a forged one (only root can write the cache).
uint64_t Checksum(const char* bytes, size_t size) {
    uint64_t sum = 14695981039346656037ULL;
    for (size_t at = 0; at + 8 <= size; at += 8) {
        uint64_t word;
        std::memcpy(&word, bytes + at, 8);
        sum = (sum ^ word) * 1099511628211ULL;
    }
    return sum;
}

bool Before(const uint64_t device, const uint64_t inode, const uint64_t otherDevice,
            const uint64_t otherInode) {
    return device != otherDevice ? device < otherDevice : inode < otherInode;
}

}  // namespace

std::wstring StatCache::Path(const std::wstring& keptIndex) {
    return keptIndex + L".stat";
}

void StatCache::discard(const std::wstring& path, const std::wstring& reason, bool warn,
                        bool remove) {
    const std::wstring line = Msg<1301>(path, reason);
    if (warn)
        LogWarning(L"%s\n", line.c_str());
    else if (LogDebugOn())
        LogDebug(L"%s\n", line.c_str());
    m_entries.clear();
    if (remove) (void)RemoveFile(ToMultibyte(path));
}

void StatCache::load(const std::wstring& keptIndex, bool unfinished, int fullCheckEvery) {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    m_startNs = Nanoseconds(now);
    m_entries.clear();
    m_checks = 0;
    beginCheck();
    const std::wstring path = Path(keptIndex);
    std::string bytes;
    struct stat st;
    const int error = CInstallationRecords::ReadRecord(path, bytes, st);
    if (error == ENOENT) return;
    // A run killed or failed after the cache was written may have left files whose new
    // content is not on disk while their times are: then the cache may describe neither.
    if (unfinished) return discard(path, Msg<1302>(), false, true);
    if (error != 0) return discard(path, Msg<1304>(SystemErrorText(error)), true, false);
    if (!parse(bytes)) return discard(path, Msg<1305>(), true, false);
    m_writtenNs = Nanoseconds(st.st_mtim);
    LastRun last;
    if (KeptState::ReadLastRun(keptIndex, last) && last.outcome != L"success" &&
        last.ended >= static_cast<long long>(st.st_mtim.tv_sec))
        return discard(path, Msg<1303>(), false, true);
    ++m_checks;
    if (fullCheckEvery != 0 && m_checks >= static_cast<unsigned long long>(fullCheckEvery)) {
        m_entries.clear();
        m_checks = 0;
        if (LogDebugOn())
            LogDebug(L"%s\n", Msg<1306>(path, static_cast<long long>(fullCheckEvery)).c_str());
    }
}

bool StatCache::parse(const std::string& bytes) {
    const size_t firstEnd = bytes.find('\n');
    if (firstEnd == std::string::npos || bytes.compare(0, firstEnd, kHeader) != 0) return false;
    const size_t secondEnd = bytes.find('\n', firstEnd + 1);
    if (secondEnd == std::string::npos) return false;
    const std::string counts = bytes.substr(firstEnd + 1, secondEnd - firstEnd - 1);
    unsigned long long checks = 0, entries = 0, sum = 0;
    char rest = 0;
    if (std::sscanf(counts.c_str(), "%llu %llu %16llx%c", &checks, &entries, &sum, &rest) != 3)
        return false;
    const char* data = bytes.data() + secondEnd + 1;
    const size_t size = bytes.size() - secondEnd - 1;
    if (entries != size / sizeof(Entry) || size % sizeof(Entry) != 0 || Checksum(data, size) != sum)
        return false;
    m_entries.resize(entries);
    if (size != 0) std::memcpy(m_entries.data(), data, size);
    for (size_t i = 1; i < m_entries.size(); ++i) {
        const Entry& a = m_entries[i - 1];
        const Entry& b = m_entries[i];
        if (!Before(a.device, a.inode, b.device, b.inode)) return false;
    }
    m_checks = checks;
    return true;
}

FileDigest StatCache::digest(const std::wstring& path) const {
    if (!m_entries.empty()) {
        struct stat st;
        if (::stat(ToMultibyte(path).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            const uint64_t device = st.st_dev, inode = st.st_ino;
            const auto found = std::lower_bound(
                m_entries.begin(), m_entries.end(), 0,
                [&](const Entry& e, int) { return Before(e.device, e.inode, device, inode); });
            const long long ctime = Nanoseconds(st.st_ctim);
            if (found != m_entries.end() && found->device == device && found->inode == inode &&
                found->size == st.st_size && found->mtimeNs == Nanoseconds(st.st_mtim) &&
                found->ctimeNs == ctime && ctime + kSecondNs < m_writtenNs) {
                FileDigest result;
                result.exists = true;
                result.size = st.st_size;
                result.digest = DigestToText(found->md5);
                result.device = device;
                result.inode = inode;
                result.mtimeNs = found->mtimeNs;
                result.ctimeNs = ctime;
                result.cached = true;
                return result;
            }
        }
    }
    return GetFileSizeAndMD5(path);
}

void StatCache::record(const FileDigest& file) {
    // A file changed within a second before the check began could change again with the
    // same times after it was read.
    if (!file.exists || file.ctimeNs + kSecondNs >= m_startNs) return;
    Entry entry;
    if (!TextToDigest(file.digest, entry.md5)) return;
    entry.device = file.device;
    entry.inode = file.inode;
    entry.size = file.size;
    entry.mtimeNs = file.mtimeNs;
    entry.ctimeNs = file.ctimeNs;
    m_recorded.push_back(entry);
}

void StatCache::save(const std::wstring& keptIndex) const {
    std::vector<Entry> entries = m_recorded;
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        return Before(a.device, a.inode, b.device, b.inode);
    });
    // A file listed twice (two names of one file, or one path in two modules) once.
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const Entry& a, const Entry& b) {
                                  return a.device == b.device && a.inode == b.inode;
                              }),
                  entries.end());
    const size_t size = entries.size() * sizeof(Entry);
    std::string body(size, '\0');
    if (size != 0) std::memcpy(&body[0], entries.data(), size);
    char counts[80];
    std::snprintf(counts, sizeof counts, "%llu %llu %016llx\n", m_checks,
                  static_cast<unsigned long long>(entries.size()),
                  static_cast<unsigned long long>(Checksum(body.data(), size)));
    const std::string bytes = std::string(kHeader) + "\n" + counts + body;
    const std::wstring path = Path(keptIndex);
    if (const int error = ReplaceFile(ToMultibyte(path), bytes, 0600, nullptr, true))
        LogWarning(L"%s\n", Msg<1307>(path, SystemErrorText(error)).c_str());
}

}  // namespace UpdateNew
