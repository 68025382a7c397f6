// MD5 digests of files as digest text: 32 lowercase hexadecimal characters, high nibble
// first. The empty text stands for "no digest" (missing, unreadable or short file); it
// never equals a real digest, so callers judge such a file changed or bad.
// None of these functions throws.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace UpdateNew {

// A byte range [start, end) of a file that the digest leaves out.
struct SkipRange {
    off_t start;
    off_t end;
};
// Ranges need not be sorted; overlapping ranges and ranges reaching past the end of the
// file are allowed and simply leave out the union of what they cover.
using SkipRanges = std::vector<SkipRange>;

// The digest text of 16 digest bytes.
std::wstring DigestToText(const unsigned char digest[16]);
// Parses a digest text (32 hexadecimal digits, either case) back into 16 bytes;
// false for any other text.
bool TextToDigest(const std::wstring& text, unsigned char digest[16]);

// Digest of the whole file, or of the file without the skipped ranges. The file's size is
// taken from stat before reading; the empty text when the file cannot be stat'ed, opened
// or read in full (for example because it shrank in the meantime).
std::wstring GetFileMD5(const std::wstring& path, const SkipRanges& skip = SkipRanges());

// The same over an open descriptor: the digest of its first `size` bytes without the
// skipped ranges, read with pread (the descriptor's offset is not used). The empty text
// when fewer than `size` bytes can be read. The descriptor stays open.
std::wstring GetDescriptorMD5(int fd, off_t size, const SkipRanges& skip = SkipRanges());

// What the check of an installed file needs, from one open of the file: whether it exists
// (stat succeeds), its size, and its digest text (empty when it cannot be opened or read
// in full, as GetFileMD5 gives it). With a digest, also what fstat said of the file before
// it was read (device, inode, modification and status change times in nanoseconds since
// the epoch), and whether the digest was taken from a cache instead of the file's bytes.
struct FileDigest {
    bool exists = false;
    off_t size = 0;
    std::wstring digest;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    long long mtimeNs = 0;
    long long ctimeNs = 0;
    bool cached = false;
};
// The directory of `path` is looked up as OpenParent does: behind a link of another user
// the file counts as present, without a digest.
FileDigest GetFileSizeAndMD5(const std::wstring& path);
// The same for the file `name` (multibyte) relative to the open directory `dir` (or to
// the working directory for AT_FDCWD): for a name of one component what the path form
// gives for the directory's path joined with `name`, with one lookup instead of one per
// component of the path.
FileDigest GetFileSizeAndMD5At(int dir, const char* name);

// Digest of a product info file without its own date and digest lines: the line from
// "<DATE value=" to its line end and, after it, the line from "<MD5 value=" to its line end
// are left out. A file without the date line is digested whole. The empty text when the
// file cannot be opened or read.
std::wstring GetInfoFileMD5(const std::wstring& path);

// The MD5 of a byte string as digest text (used for texts kept in memory).
std::wstring GetDataMD5(const void* data, size_t size);

}  // namespace UpdateNew
