// Checked text files: text lines followed by a line "<" + the digest text of all lines
// before it. The master index has this form; only a file whose digest line matches its
// content is accepted, so a truncated or damaged download is never taken for a good one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace UpdateNew {

// Largest content the growable form accepts.
constexpr size_t kCheckedTextMaxBytes = 16 * 1024 * 1024;
// Largest checked text file fetched from a server: the content and room for its digest
// line. A transfer that goes past it is cut off, so a server sending an endless line
// cannot fill the disk or the memory of the reader.
constexpr size_t kCheckedTextMaxFileBytes = kCheckedTextMaxBytes + 64;

// Reads the file in text mode up to its first line that begins with "<" and checks the
// digest on that line: its first 32 characters after the "<" must be the digest text of
// all lines before it (each with its line end, a CR LF counting as a single LF, so LF and
// CR LF files have the same digest). The digest line must hold at least 33 characters
// after the "<" (the digest and its line end).
//
// Gives the number of lines before the digest line, or -1 when the file cannot be opened
// or read, has no digest line, the digest line is too short, the digest differs, or the
// lines do not fit the caller's storage.
//
// This form stores the lines into `pszBuf` (capacity `nBufSize` bytes) as consecutive
// NUL-terminated strings, each with its LF line end (CR LF turned into LF), as the line was
// digested.
int ReadCheckedTextFile(const std::wstring& path, char* pszBuf, size_t nBufSize);

// The growable form: the lines without their line ends are put into `lines` (cleared
// first); more than `maxBytes` bytes of content are refused with -1. On -1 `lines` is left
// empty.
int ReadCheckedTextFile(const std::wstring& path, std::vector<std::string>& lines,
                        size_t maxBytes = kCheckedTextMaxBytes);

// Only the check, nothing stored (no size limit).
int ReadCheckedTextFile(const std::wstring& path);

// Writes a checked text file: every line with an LF, then "<", the digest text of those
// lines and an LF, so that ReadCheckedTextFile gives lines.size(). The file is written
// beside `path` as "<path>.new", flushed to disk and renamed over `path`, so readers see the
// old or the new file, never a part; writers of one path must not overlap (the run lock sees
// to it). A line holding an LF, or beginning with "<" (it would end the lines early), is
// refused with EINVAL. Gives 0 or the system error number.
int WriteCheckedTextFile(const std::wstring& path, const std::vector<std::string>& lines);

}  // namespace UpdateNew
