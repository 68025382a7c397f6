// File objects of the file processing: CSimpleFile, an owned C library stream with
// exceptions on failure; FileInfo, a path with what stat said about it and its digest;
// CompareFilesByMD5.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <ctime>
#include <string>

namespace UpdateNew {

// One C library stream and the path it was opened with. Not copyable; the destructor
// closes a stream that is still open. Failures throw Exception from a library message
// naming the path with the system's error text, code = the system error number.
// Breaking a precondition (stated per function) is a programming error: the process ends
// with a diagnostic naming this source and line.
class CSimpleFile {
public:
    CSimpleFile() = default;
    CSimpleFile(const CSimpleFile&) = delete;
    CSimpleFile& operator=(const CSimpleFile&) = delete;
    ~CSimpleFile();

    // Requires the file closed. Opens `path` with the C library `mode` ("rb", "wt", ...);
    // a failure throws (library message 2).
    void Open(const std::wstring& path, const std::wstring& mode);
    // Requires it open. Closes; a failing close throws (library message 3), the stream is
    // released all the same.
    void Close();
    bool IsOpen() const { return m_fp != nullptr; }
    const std::wstring& GetPath() const { return m_path; }

    // Requires it open, a buffer and nNum > 0. Reads up to nNum bytes; gives the number
    // read (0 at the end of the file). A stream error throws (library message 4).
    int Read(char* pchData, int nNum);
    // Requires it open. Reads one line, converts it from the locale's multibyte text and
    // stores it without its line end (LF or CR LF). False at the end of the file; a stream
    // error throws (library message 4).
    bool ReadLine(std::wstring& line);
    // Requires it open, a buffer (unless nNum is 0) and nNum >= 0. A short write throws
    // (library message 5).
    void Write(const char* pchData, int nNum);
    // Requires it open. Writes the line converted to multibyte text and a line end; a line
    // without a multibyte form or a short write throws (library message 5).
    void WriteLine(const std::wstring& line);

    // Require it open. Seek to the start, to the end, or to an absolute offset; a failure
    // throws (library message 6).
    void SetStartPos();
    void SetEndPos();
    void SetPos(long offset);

private:
    void Seek(long offset, int whence);

    FILE* m_fp = nullptr;
    std::wstring m_path;
};

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

}  // namespace UpdateNew
