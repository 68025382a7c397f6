// What a run leaves behind and must delete at its end: the temporary files (downloads,
// decompressed files, backup copies, list files) and the directories the run created.
// The file processor owns one and cleans it up when it ends, whatever the outcome. Across
// a self-update restart both lists travel to the next updater process in a list file
// ("ToRemove.txt"), so the process that finishes the run deletes what the first one left.
#pragma once

#include <string>
#include <vector>

#include "base/PathList.h"

namespace UpdateNew {

class UpdateCallbacks;

class CTemporaryFiles {
public:
    // The list file's name inside the temporary root.
    static const wchar_t* const kListFileName;  // "ToRemove.txt"
    // The marker file a run writes into a temporary or backup directory it created itself.
    // Only a directory holding it is removed whole at the end (also by a later run, when
    // the run that created it was killed); a directory the user had before keeps what the
    // run did not put there.
    static const wchar_t* const kOwnerMarkerName;  // ".updater-owned"

    // Writes the marker into `dir`; gives false (after a debug line) when it cannot.
    static bool MarkOwned(const std::wstring& dir);
    // Whether `dir` holds the marker.
    static bool IsOwned(const std::wstring& dir);
    // Why `dir`, a directory an earlier run recorded, may not be taken as that run's own
    // (reused or removed): it must be trusted (base/TrustedDirectory.h) and hold the
    // marker. Empty when it may.
    static std::wstring OwnRunDirFault(const std::wstring& dir);

    CTemporaryFiles() = default;
    CTemporaryFiles(const CTemporaryFiles&) = delete;
    CTemporaryFiles& operator=(const CTemporaryFiles&) = delete;

    // Appends a file; the same path may be listed more than once (deleting twice is
    // harmless).
    void addFile(const std::wstring& path) { m_files.push_back(path); }
    // Appends every file of `files` (emptied).
    void takeFiles(PathList& files) { m_files.splice(files); }
    // Appends a directory unless an equal path is listed already.
    void addDir(const std::wstring& path);
    void addDirs(const std::vector<std::wstring>& paths) {
        for (const std::wstring& p : paths) addDir(p);
    }
    // Appends a directory the run works in but may have found in place (the temporary and
    // the backup directory): the clean-up removes it whole only when it holds the owner
    // marker, otherwise only when it is empty once the run's own files and directories
    // are gone. The guard holds for an equal path read from a list file too.
    void addRunDir(const std::wstring& path);

    std::vector<std::wstring> files() const { return m_files.ToVector(); }
    // Deletes the listed files whose names end in `suffix` at once, asking no plug-in (for a
    // caller that loaded none); they stay listed, and the clean-up finds them gone.
    void removeFilesNow(const std::wstring& suffix) noexcept;
    const std::vector<std::wstring>& dirs() const { return m_dirs; }

    // Deletes every listed file in list order, then every listed directory with what is
    // still in it, in reverse list order (the deepest one created last goes first); a
    // directory given through addRunDir without the owner marker loses only the empty
    // directories in it (a killed run's) and goes when nothing else is left; otherwise it
    // is kept (with a debug line). Each
    // deletion is offered to the function-replacing plug-in first ("DeleteFile(...)",
    // "DeleteDir(...)"); the updater deletes only what the plug-in leaves to it. Failures,
    // a plug-in failure included, are logged at debug level and never stop the clean-up:
    // this runs from destructors. Both lists are empty afterwards.
    void cleanup(UpdateCallbacks& callbacks) noexcept;

    // Writes the list file: its own path is appended to the files first (so that the
    // next process deletes it too), then one line "File=<path>" per file and one line
    // "Dir=<path>" per directory, each ending in "\n", in the locale's multibyte
    // encoding. A path that would not read back as itself (one holding a line end, one
    // with blanks at either end, one too long for a line) is left out with a debug line:
    // the next process must never delete something else. Written to a temporary name,
    // synced and renamed into place, so a reader never sees half a list. Gives false
    // (after a debug line) when it cannot be written; the caller goes on without it.
    bool writeListFile(const std::wstring& path);
    // Reads a list file written by writeListFile (or by hand): each line, at most 1000
    // characters, trimmed, is split at its first "=" into a key and a path (which may hold
    // "=" itself); "File=<path>" appends to the files, "Dir=<path>" to the directories;
    // lines without "=" or with an empty path, and other keys, are ignored. A file that
    // cannot be opened is ignored. Gives whether it was read.
    bool readListFile(const std::wstring& path);

private:
    PathList m_files;  // a run may list hundreds of thousands
    std::vector<std::wstring> m_dirs;
    // The addRunDir paths, without trailing "/".
    std::vector<std::wstring> m_runDirs;
};

}  // namespace UpdateNew
