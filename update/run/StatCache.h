// The stat cache of the file check (option `stat-cache`), kept beside the kept master index
// as "<kept index>.stat". For each installed file the last check found as the product has
// it, it holds what fstat said of the file before its bytes were read (device, inode, size,
// modification and status change times in nanoseconds) with the file's whole-file MD5. A
// later check takes a file whose five values are all unchanged for having that digest,
// without opening it. A file's status change time moves with every write, rename, link
// count, owner or mode change, and no call can set it back: restoring size and
// modification time (utime) after a change still shows. Writes through a shared mapping
// are the exception: only the first write to a page since it was last written back moves
// the times, so whoever can write a file can change it unseen while it is being read. An
// entry is therefore only taken for a regular file (not a link) that nobody but root and
// the effective user can write.
//
// Two rules keep an entry from hiding a change made within the clock's granularity: only a
// file whose status change time lies more than a second before the check began is
// recorded, and an entry whose time lies within a second of the cache's own write time is
// not used (its file is read anyway).
//
// A check that found every file up to date, each one recorded, also keeps its verdict
// (CheckVerdict.h) with the path of each file: a later check with the same key takes the
// verdict over when every file still stats as recorded (verdictHolds()).
//
// The file: the line "# updater stat cache 2", a line "<checks> <entries> <checksum>
// <paths> <verdict bytes>" (decimal, decimal, 16 hexadecimal digits, decimal, decimal),
// then the entries, 56 bytes each in the machine's byte order, sorted by device and inode;
// then, when <paths> is not 0, the verdict's text, the index of each path's entry (32 bits
// each) and the paths, each ended by a NUL, in the check's order. <checks> counts the
// checks since the last one that read every file; a check that took the verdict over
// counts in "<kept index>.stat.checks" ("# updater stat checks 1", then "<checks>
// <checksum>" of the cache it counts for), so that the cache itself is not written again.
// Written whole beside its name and renamed over it (ReplaceFile, the cache flushed);
// read only under the installation records' rules (ReadRecord).
//
// Ownership and threads: the file processor owns one for a run. load(), beginCheck(),
// record(), setVerdict(), verdictHolds() and the saves run on the run's thread; digest()
// may run on any number of threads at once between load() and save(): it reads only what
// load() built.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/FileDigest.h"
#include "run/CheckVerdict.h"

namespace UpdateNew {

class StatCache {
public:
    // The cache's name beside the kept index `keptIndex`.
    static std::wstring Path(const std::wstring& keptIndex);

    // Reads the cache beside `keptIndex`. It is not used, and removed, while the marker of
    // an unfinished update was there (`unfinished`) or when the last run recorded (in
    // "<kept index>.lastrun") failed after the cache was written (a refused run fetched and
    // installed nothing); a damaged, foreign or linked file is not used (a warning says
    // why). When `fullCheckEvery` (0: never) says this check is the one to read every file,
    // nothing of the file is used either. Never throws for what it reads.
    void load(const std::wstring& keptIndex, bool unfinished, int fullCheckEvery);
    // The size and digest of the file `path` as the check needs them (GetFileSizeAndMD5),
    // from the cache when its entry matches the file's stat, else from its bytes. `dir`
    // and `leaf`: the path's directory, opened as LastDirectory does, and the name in it;
    // with -1 the directory is looked up here.
    FileDigest digest(const std::wstring& path, int dir = -1, const char* leaf = nullptr) const;
    // Removes the cache beside `keptIndex` and its count, before a run changes the
    // installation: a run that then fails must not leave a cache that looks newer than it.
    static void Remove(const std::wstring& keptIndex);

    // A check begins (again): nothing recorded.
    void beginCheck() {
        m_recorded.clear();
        m_recordedPaths.clear();
        m_keepVerdict = false;
    }
    // The check found the file of `file` (a result of digest()) at `path` as the product
    // has it.
    void record(const FileDigest& file, const std::wstring& path);
    // The check that found its `checked` files up to date came to the verdict "nothing to
    // do": save() keeps it when every one of those files was recorded.
    void setVerdict(CheckVerdict verdict, size_t checked);

    // The verdict the cache holds, null when it has none or is not used in this check.
    const CheckVerdict* verdict() const { return m_paths.empty() ? nullptr : &m_verdict; }
    // The number of files the verdict covers.
    size_t verdictFiles() const { return m_pathStarts.size(); }
    // True when every file of the verdict still stats as it was recorded (stat, on two
    // threads or more); else `changed` names the first file found otherwise.
    bool verdictHolds(std::wstring& changed) const;
    // After a check that took the verdict over: counts it beside the cache (not flushed:
    // a count lost to a power cut only puts the next full check off).
    void saveCount(const std::wstring& keptIndex) const;

    // Replaces the cache beside `keptIndex` with what this check recorded (flushed,
    // renamed over, directory flushed); a warning when that fails, and the old cache is
    // removed (it would never count to its next full check). The caller makes sure the
    // files it describes are on disk first: deviceDirectories() names a directory on each
    // file system they lie on.
    void save(const std::wstring& keptIndex) const;
    std::vector<std::string> deviceDirectories() const;

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

    // Parses the bytes of a cache file into m_entries, m_checks and the verdict with its
    // paths; false when damaged.
    bool parse(const std::string& bytes);
    // Whether the file at `path` stats as `entry` says (dev, inode, size, both times) and
    // may be taken for it (see Trusted in the source).
    bool unchanged(int directory, const char* name, const Entry& entry) const;
    // Whether the verdict's paths from `from` to `to` (indexes) all stat as recorded;
    // stops early once `stop` is set, and sets it (and `changed`) at a change.
    bool holdsBetween(size_t from, size_t to, std::atomic<bool>& stop, size_t& changed) const;
    // The reason of a cache not used, logged, and the file removed when `remove`.
    void discard(const std::wstring& path, const std::wstring& reason, bool warn, bool remove);
    // Nothing read is used.
    void forget();

    std::vector<Entry> m_entries;         // as read, sorted by device and inode
    long long m_writtenNs = 0;            // the cache file's modification time
    long long m_startNs = 0;              // when load() ran: the check begins after it
    unsigned long long m_checks = 0;      // this check's count since the last full one
    uint64_t m_sum = 0;                   // the checksum of the file read
    std::vector<Entry> m_recorded;        // this check's files
    std::string m_recordedPaths;          // their paths (UTF-8), each ended by a NUL
    bool m_keepVerdict = false;           // setVerdict() judged the check's verdict worth keeping
    CheckVerdict m_verdict;               // read (with m_paths) or to be saved
    std::vector<uint32_t> m_pathEntries;  // the verdict's paths as read: their entries,
    std::vector<size_t> m_pathStarts;     // where each begins in m_paths
    std::string m_paths;
};

}  // namespace UpdateNew
