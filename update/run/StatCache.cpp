#include "run/StatCache.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/LastDirectory.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "base/SafeFile.h"
#include "install/InstallationRecords.h"
#include "run/KeptState.h"

namespace UpdateNew {

namespace {

const char kHeader[] = "# updater stat cache 2";
const char kCountHeader[] = "# updater stat checks 1";
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

// The count of checks that took the verdict over, beside the cache.
static std::wstring CountPath(const std::wstring& keptIndex) {
    return StatCache::Path(keptIndex) + L".checks";
}

void StatCache::discard(const std::wstring& path, const std::wstring& reason, bool warn,
                        bool remove) {
    const std::wstring line = Msg<1301>(path, reason);
    if (warn)
        LogWarning(L"%s\n", line.c_str());
    else if (LogDebugOn())
        LogDebug(L"%s\n", line.c_str());
    forget();
    if (remove) (void)RemoveFile(ToMultibyte(path));
}

void StatCache::forget() {
    m_entries.clear();
    m_paths.clear();
    m_pathStarts.clear();
    m_pathEntries.clear();
}

void StatCache::Remove(const std::wstring& keptIndex) {
    (void)RemoveFile(ToMultibyte(Path(keptIndex)));
    (void)RemoveFile(ToMultibyte(CountPath(keptIndex)));
}

void StatCache::load(const std::wstring& keptIndex, bool unfinished, int fullCheckEvery) {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    m_startNs = Nanoseconds(now);
    forget();
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
    // A refused run fetched and installed nothing: only a failed one may have changed files.
    if (KeptState::ReadLastRun(keptIndex, last) && last.outcome == L"failed" &&
        last.ended >= static_cast<long long>(st.st_mtim.tv_sec))
        return discard(path, Msg<1303>(), false, true);
    // Checks that took the verdict over counted beside the cache.
    std::vector<std::string> lines;
    unsigned long long counted = 0, sum = 0;
    char rest = 0;
    if (CInstallationRecords::ReadLines(CountPath(keptIndex), kCountHeader, lines) &&
        lines.size() == 1 &&
        std::sscanf(lines[0].c_str(), "%llu %16llx%c", &counted, &sum, &rest) == 2 &&
        sum == m_sum && counted > m_checks)
        m_checks = counted;
    ++m_checks;
    if (fullCheckEvery != 0 && m_checks >= static_cast<unsigned long long>(fullCheckEvery)) {
        forget();
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
    unsigned long long checks = 0, entries = 0, sum = 0, paths = 0, verdictBytes = 0;
    char rest = 0;
    if (std::sscanf(counts.c_str(), "%llu %llu %16llx %llu %llu%c", &checks, &entries, &sum, &paths,
                    &verdictBytes, &rest) != 5)
        return false;
    const char* data = bytes.data() + secondEnd + 1;
    const size_t size = bytes.size() - secondEnd - 1;
    if (Checksum(data, size) != sum || entries > size / sizeof(Entry)) return false;
    const size_t entryBytes = entries * sizeof(Entry);
    // The verdict and its paths follow the entries.
    const size_t left = size - entryBytes;
    if (paths == 0 ? left != 0 : verdictBytes > left || paths > (left - verdictBytes) / 5)
        return false;
    m_entries.resize(entries);
    if (entryBytes != 0) std::memcpy(m_entries.data(), data, entryBytes);
    for (size_t i = 1; i < m_entries.size(); ++i) {
        const Entry& a = m_entries[i - 1];
        const Entry& b = m_entries[i];
        if (!Before(a.device, a.inode, b.device, b.inode)) return false;
    }
    m_checks = checks;
    m_sum = sum;
    if (paths == 0) return true;
    const char* at = data + entryBytes;
    if (!m_verdict.parse(std::string(at, verdictBytes))) return false;
    at += verdictBytes;
    m_pathEntries.resize(paths);
    std::memcpy(m_pathEntries.data(), at, paths * 4);
    at += paths * 4;
    m_paths.assign(at, data + size - at);
    m_pathStarts.clear();
    m_pathStarts.reserve(paths);
    for (size_t start = 0; start < m_paths.size();) {
        const size_t end = m_paths.find('\0', start);
        if (end == std::string::npos || end == start) break;
        m_pathStarts.push_back(start);
        start = end + 1;
    }
    for (const uint32_t entry : m_pathEntries)
        if (entry >= entries) paths = 0;
    if (m_pathStarts.size() != paths || m_paths.empty() || m_paths.back() != '\0') {
        m_paths.clear();
        return false;
    }
    return true;
}

FileDigest StatCache::digest(const std::wstring& path, int dir, const char* leaf) const {
    if (m_entries.empty())
        return dir < 0 ? GetFileSizeAndMD5(path) : GetFileSizeAndMD5At(dir, leaf);
    // The directory is looked up as every path the updater reads (no link of another user).
    UniqueFd parent;
    std::string name;
    if (dir < 0) {
        if (OpenParent(ToMultibyte(path), parent, name) != 0) return GetFileSizeAndMD5(path);
        dir = parent.get();
        leaf = name.c_str();
    }
    struct stat st;
    if (::fstatat(dir, leaf, &st, AT_SYMLINK_NOFOLLOW) == 0 && OnlyTrustedMayWrite(st)) {
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
    return GetFileSizeAndMD5At(dir, leaf);
}

void StatCache::record(const FileDigest& file, const std::wstring& path) {
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
    m_recordedPaths += WideToUtf8(path);
    m_recordedPaths += '\0';
}

void StatCache::setVerdict(CheckVerdict verdict, size_t checked) {
    m_keepVerdict = !verdict.key.empty() && checked != 0 && m_recorded.size() == checked &&
                    m_recorded.size() <= UINT32_MAX;
    m_verdict = std::move(verdict);
}

void StatCache::save(const std::wstring& keptIndex) const {
    // The entries sorted by device and inode, and where each recorded file's went.
    std::vector<uint32_t> order(m_recorded.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = static_cast<uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        return Before(m_recorded[a].device, m_recorded[a].inode, m_recorded[b].device,
                      m_recorded[b].inode);
    });
    const std::string verdict = m_keepVerdict ? m_verdict.text() : std::string();
    const size_t paths = m_keepVerdict ? m_recorded.size() : 0;
    // The file is built in one string (tens of MB for hundreds of thousands of files):
    // room for the two header lines first, filled in once the checksum is known.
    const size_t room = 160;
    std::string bytes;
    bytes.reserve(room + m_recorded.size() * sizeof(Entry) + verdict.size() + paths * 4 +
                  (paths ? m_recordedPaths.size() : 0));
    bytes.resize(room);
    std::vector<uint32_t> entryOf(order.size());
    size_t entries = 0;
    const Entry* last = nullptr;
    for (const uint32_t i : order) {
        const Entry& e = m_recorded[i];
        // A file listed twice (two names of one file, or one path in two modules) once.
        if (last == nullptr || last->device != e.device || last->inode != e.inode) {
            bytes.append(reinterpret_cast<const char*>(&e), sizeof e);
            ++entries;
            last = &e;
        }
        entryOf[i] = static_cast<uint32_t>(entries - 1);
    }
    if (paths != 0) {
        bytes += verdict;
        bytes.append(reinterpret_cast<const char*>(entryOf.data()), paths * 4);
        bytes += m_recordedPaths;
    }
    char counts[120];
    std::snprintf(
        counts, sizeof counts, "%llu %llu %016llx %llu %llu\n", m_checks,
        static_cast<unsigned long long>(entries),
        static_cast<unsigned long long>(Checksum(bytes.data() + room, bytes.size() - room)),
        static_cast<unsigned long long>(paths), static_cast<unsigned long long>(verdict.size()));
    const std::string head = std::string(kHeader) + "\n" + counts;
    std::memcpy(&bytes[room - head.size()], head.data(), head.size());
    bytes.erase(0, room - head.size());
    const std::wstring path = Path(keptIndex);
    if (const int error = ReplaceFile(ToMultibyte(path), bytes, 0600, nullptr, true)) {
        LogWarning(L"%s\n", Msg<1307>(path, SystemErrorText(error)).c_str());
        // The old cache kept would count the same checks again and again, never reaching
        // its full check: the next check reads every file instead.
        (void)RemoveFile(ToMultibyte(path));
    }
    // The count beside it belonged to the cache replaced.
    (void)RemoveFile(ToMultibyte(CountPath(keptIndex)));
}

std::vector<std::string> StatCache::deviceDirectories() const {
    std::vector<std::string> dirs;
    std::vector<uint64_t> devices;
    size_t start = 0;
    for (const Entry& entry : m_recorded) {
        const char* path = m_recordedPaths.c_str() + start;
        start += std::strlen(path) + 1;
        if (std::find(devices.begin(), devices.end(), entry.device) != devices.end()) continue;
        devices.push_back(entry.device);
        const char* slash = std::strrchr(path, '/');
        if (slash != nullptr) dirs.emplace_back(path, slash == path ? 1 : slash - path);
    }
    return dirs;
}

void StatCache::saveCount(const std::wstring& keptIndex) const {
    char text[120];
    std::snprintf(text, sizeof text, "%s\n%llu %016llx\n", kCountHeader, m_checks,
                  static_cast<unsigned long long>(m_sum));
    const std::wstring path = CountPath(keptIndex);
    if (const int error = ReplaceFile(ToMultibyte(path), text, 0600, nullptr, false))
        LogWarning(L"%s\n", Msg<1307>(path, SystemErrorText(error)).c_str());
}

bool StatCache::unchanged(int directory, const char* name, const Entry& entry) const {
    struct stat st;
    return ::fstatat(directory, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && OnlyTrustedMayWrite(st) &&
           static_cast<uint64_t>(st.st_dev) == entry.device &&
           static_cast<uint64_t>(st.st_ino) == entry.inode && st.st_size == entry.size &&
           Nanoseconds(st.st_mtim) == entry.mtimeNs && Nanoseconds(st.st_ctim) == entry.ctimeNs &&
           entry.ctimeNs + kSecondNs < m_writtenNs;
}

bool StatCache::holdsBetween(size_t from, size_t to, std::atomic<bool>& stop,
                             size_t& changed) const {
    // Files of one directory follow each other: each is looked up by its name in it.
    LastDirectory directory;
    std::string leaf;
    for (size_t i = from; i < to; ++i) {
        if ((i & 255) == 0 && stop.load(std::memory_order_relaxed)) return false;
        const int dir = directory.at(m_paths.data() + m_pathStarts[i], leaf);
        if (dir < 0 || !unchanged(dir, leaf.c_str(), m_entries[m_pathEntries[i]])) {
            changed = i;
            stop.store(true);
            return false;
        }
    }
    return true;
}

bool StatCache::verdictHolds(std::wstring& changed) const {
    const size_t paths = m_pathStarts.size();
    if (paths == 0) return false;
    const size_t workers = std::max<size_t>(
        1, std::min<size_t>({std::thread::hardware_concurrency(), 4, paths / 1024 + 1}));
    std::atomic<bool> stop(false);
    std::vector<size_t> found(workers, paths);
    std::vector<char> held(workers, 0);
    std::vector<std::thread> threads;
    const auto part = [&](size_t w) {
        held[w] = holdsBetween(paths * w / workers, paths * (w + 1) / workers, stop, found[w]);
    };
    for (size_t w = 1; w < workers; ++w) {
        try {
            threads.emplace_back(part, w);
        } catch (...) {
            part(w);  // no thread to be had: this one does the part
        }
    }
    part(0);
    for (std::thread& thread : threads) thread.join();
    for (size_t w = 0; w < workers; ++w) {
        if (held[w]) continue;
        if (found[w] < paths) changed = Utf8ToWide(m_paths.data() + m_pathStarts[found[w]]);
        return false;
    }
    return true;
}

}  // namespace UpdateNew
