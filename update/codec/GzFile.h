// Whole-file gzip decompression and compression with zlib. Both report problems on
// standard error, one short line each, and answer 0 or -1; the caller decides what a
// failure means (the update run makes a failed product info decompression critical).
// A failed call removes the partial output it wrote, so no truncated file is left under
// the output name.
#pragma once

#include <atomic>
#include <string>

namespace UpdateNew {

// Names: a `name` ending in ".gz" is the compressed file and the output is `name` without
// ".gz"; any other `name` means the compressed file `name` + ".gz" and the output `name`.
// With `outDir` not empty the output is `outDir` joined with the last component of that
// output name. Input that is not gzip data at all is copied unchanged (zlib's transparent
// reading); damaged or truncated gzip data fails. When the output could not be created or
// written (a full disk, no permission), `outputError` receives the system error number, so
// that the caller does not blame the input; it is 0 after any other outcome.
//
// Data that decompresses to more than `maxOutput` bytes fails with -2 (nothing beyond the
// limit is written, and the partial output is removed): a small compressed file cannot fill
// the disk. Every other failure gives -1.
//
// With `written` given, the size and MD5 digest text of the output are computed while it is
// written, so that a caller checking the output need not read it back.
//
// The plain single member the publisher writes is inflated by InflateOneMember's faster
// decoder; everything else (other headers, several members, data that is not gzip, and
// every failure, which is then reported as described) goes through zlib.
constexpr unsigned long long kGunzipNoLimit = ~0ULL;
struct GunzipOutput {
    unsigned long long size = 0;
    std::wstring md5;
};
int GunzipFile(const std::wstring& name, const std::wstring& outDir = std::wstring(),
               int* outputError = nullptr, unsigned long long maxOutput = kGunzipNoLimit,
               GunzipOutput* written = nullptr);

// Inflates the first `inSize` bytes of `inFd` (read by position, from 0) into `outFd`,
// digesting the output into `written` as GunzipFile does. Only input that GunzipFile turns
// into exactly the same output is taken: one gzip member, its trailer checked, nothing
// after it, at most `maxOutput` bytes inflated. Anything else (not gzip data, several
// members, damage, too much output, a read or write error) gives false at once and says
// nothing: the caller then runs GunzipFile, which reports it. A member whose header has
// optional fields (a name, a comment, extra data, a header checksum) is left to GunzipFile
// as well: this path inflates with the faster decoder of GzipMemberInflater, which reads
// those fields otherwise. `stop` (may be null) is looked at between pieces; once set, the
// call gives false. Without `digest`, `written` gets the size only (no MD5 is computed).
// Its decoder and buffers (about 0.6 MiB) are kept per thread, for the thread's next file.
bool InflateOneMember(int inFd, unsigned long long inSize, int outFd, unsigned long long maxOutput,
                      GunzipOutput& written, const std::atomic<bool>* stop = nullptr,
                      bool digest = true);

// The names GunzipFile uses for `name` and `outDir`.
void GunzipNames(const std::wstring& name, const std::wstring& outDir, std::wstring& compressed,
                 std::wstring& output);

// Compresses `source` into `target`, opened with zlib in `mode` ("wb", "wb9", ...).
int GzipFile(const std::wstring& source, const std::wstring& target, const char* mode = "wb");

}  // namespace UpdateNew
