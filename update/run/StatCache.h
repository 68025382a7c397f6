// The stat cache of the file check (option `stat-cache`), kept beside the kept master index
// as "<kept index>.stat". For each installed file the last check found as the product has
// it, it holds what fstat said of the file before its bytes were read (device, inode, size,
// modification and status change times in nanoseconds) with the file's whole-file MD5. A
// later check takes a file whose five values are all unchanged for having that digest,
// without opening it. A file's status change time moves with every write, rename, link
// count, owner or mode change, and no call can set it back: restoring size and
// modification time (utime) after a change still shows.
//
// Two rules keep an entry from hiding a change made within the clock's granularity: only a
// file whose status change time lies more than a second before the check began is
// recorded, and an entry whose time lies within a second of the cache's own write time is
// not used (its file is read anyway).
//
// The file: the line "# updater stat cache 1", a line "<checks> <entries> <checksum>"
// (decimal, decimal, 16 hexadecimal digits), then the entries, 56 bytes each in the
// machine's byte order, sorted by device and inode. <checks> counts the checks since the
// last one that read every file. Written whole beside its name, flushed and renamed over
// it (ReplaceFile); read only under the installation records' rules (ReadRecord).
//
// Ownership and threads: the file processor owns one for a run. load(), beginCheck(),
// record() and save() run on the run's thread; digest() may run on any number of threads
// at once between load() and save(): it reads only what load() built.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/FileDigest.h"

namespace UpdateNew {

class StatCache {
public:
    // The cache's name beside the kept index `keptIndex`.
    static std::wstring Path(const std::wstring& keptIndex);

    // Reads the cache beside `keptIndex`. It is not used, and removed, while the marker of
    // an unfinished update was there (`unfinished`) or when the last run recorded (in
    // "<kept index>.lastrun") ended otherwise than well after the cache was written; a
    // damaged, foreign or linked file is not used (a warning says why). When
    // `fullCheckEvery` (0: never) says this check is the one to read every file, nothing
    // of the file is used either. Never throws for what it reads.
    void load(const std::wstring& keptIndex, bool unfinished, int fullCheckEvery);
    // The size and digest of the file `path` as the check needs them (GetFileSizeAndMD5),
    // from the cache when its entry matches the file's stat, else from its bytes.
    FileDigest digest(const std::wstring& path) const;

    // A check begins (again): nothing recorded.
    void beginCheck() { m_recorded.clear(); }
    // The check found the file of `file` (a result of digest()) as the product has it.
    void record(const FileDigest& file);

    // Replaces the cache beside `keptIndex` with what this check recorded (flushed,
    // renamed over, directory flushed); a warning when that fails. The caller makes sure
    // the files it describes are on disk first.
    void save(const std::wstring& keptIndex) const;

private:
    // One file, as stored.
    struct Entry {
        uint64_t device;
        uint64_t inode;
        int64_t size;
        int64_t mtimeNs;
        int64_t ctimeNs;
        unsigned char md5[16];
    };
    static_assert(sizeof(Entry) == 56, "an entry is stored as its bytes");

    // Parses the bytes of a cache file into m_entries and m_checks; false when damaged.
    bool parse(const std::string& bytes);
    // The reason of a cache not used, logged, and the file removed when `remove`.
    void discard(const std::wstring& path, const std::wstring& reason, bool warn, bool remove);

    std::vector<Entry> m_entries;     // as read, sorted by device and inode
    long long m_writtenNs = 0;        // the cache file's modification time
    long long m_startNs = 0;          // when load() ran: the check begins after it
    unsigned long long m_checks = 0;  // this check's count since the last full one
    std::vector<Entry> m_recorded;    // this check's files
};

}  // namespace UpdateNew
