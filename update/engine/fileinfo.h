// FileInfo: a path with what stat said about it, and its digest; CompareFilesByMD5.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <string>

class FileInfo {
public:
    FileInfo() = default;
    // Sets the path and stats it at once.
    explicit FileInfo(const std::wstring& path) { SetPath(path); }

    // Sets the path and stats it; the stat result stays as it was then (call again to
    // refresh). Gives whether stat succeeded.
    bool SetPath(const std::wstring& path);

    const std::wstring& GetPath() const { return m_path; }
    bool Exists() const { return m_exists; }
    // Size and times from the last stat; 0 when it failed.
    off_t GetSize() const { return m_size; }
    time_t GetAccessTime() const { return m_atime; }
    time_t GetModificationTime() const { return m_mtime; }
    time_t GetChangeTime() const { return m_ctime; }

    // The file's digest text (GetFileMD5, read now). `skipPEAreas` asks to leave out the
    // checksum and signature areas of a PE image; files here carry none, so the digest
    // always covers the whole file.
    std::wstring GetMD5(bool skipPEAreas = false) const;

private:
    std::wstring m_path;
    bool m_exists = false;
    off_t m_size = 0;
    time_t m_atime = 0;
    time_t m_mtime = 0;
    time_t m_ctime = 0;
};

// True when `a` and `b` are the same object, or when both files exist now and have the
// same digest text. Files whose digest cannot be computed are never equal, not even to
// each other.
bool CompareFilesByMD5(const FileInfo& a, const FileInfo& b);
