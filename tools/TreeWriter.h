// Replacing files in a directory tree that others may be reading. Every new file is first
// written under a temporary name in its target's directory; at commit the files that
// differ from what is there are renamed over their targets, in the order they were
// prepared, so a reader sees each file either old or new, never half-written. A writer
// destroyed before (or during a failed) commit removes its temporary files and the
// directories it created that are still empty, leaving the tree as it found it apart from
// the files already renamed. A temporary name carries the writer's process id
// (".<name>.publish-<pid>-XXXXXX"), so the next writer of the tree can tell what a killed
// publisher left behind from what a running one is still writing.
#pragma once

#include <set>
#include <string>
#include <unordered_map>
#include <vector>

class TreeWriter {
public:
    static constexpr size_t kSyncEachLimit = 64;

    // `root` is created (with its parents) when missing, at the first prepare.
    explicit TreeWriter(const std::wstring& root);
    TreeWriter(const TreeWriter&) = delete;
    TreeWriter& operator=(const TreeWriter&) = delete;
    ~TreeWriter();

    // Creates the directories of `relPath` below the root and an empty temporary file
    // beside the target; gives the temporary file's path, which the caller fills.
    std::wstring Prepare(const std::wstring& relPath);
    // Declares the prepared file complete. Gives true when it differs from the current
    // target (or there is none) and will replace it at commit; an identical file is
    // dropped at once.
    bool Finish(const std::wstring& relPath);
    // Drops a prepared file: the current target stays.
    void Discard(const std::wstring& relPath);
    // Flushes every finished file to disk and renames it over its target, in order;
    // then flushes the directories. Beyond kSyncEachLimit files one flush of each file
    // system that holds them takes the place of one per file. A failure throws naming the file;
    // what was renamed before it stays.
    void Commit();

    const std::wstring& Root() const { return m_root; }
    std::wstring TargetPath(const std::wstring& relPath) const;

private:
    struct Entry {
        std::wstring rel;
        std::wstring temp;
        bool finished = false;
        bool changed = false;
        bool committed = false;
    };
    Entry& find(const std::wstring& relPath);
    void makeDirs(const std::wstring& dir);

    std::wstring m_root;
    std::vector<Entry> m_entries;
    // Position of each prepared relative path in m_entries: a publication of many files
    // looks each one up several times.
    std::unordered_map<std::wstring, size_t> m_entryIndex;
    // Removes the temporary files that a killed publisher left in `dir` (names made by
    // Prepare whose process is gone), once per directory.
    void removeStaleTemporaries(const std::wstring& dir);

    std::vector<std::wstring> m_createdDirs;  // in creation order (parents first)
    std::set<std::wstring> m_cleanedDirs;
    unsigned m_fileMode;
};

// Whether two files have the same bytes; false when either cannot be read.
bool SameFileContent(const std::wstring& a, const std::wstring& b);
