// Patches between two versions of a file: a zstd frame compressed with the earlier version
// (the base) as its prefix, so that the frame holds only what the new version adds to the
// base. The publisher writes them; the updater rebuilds a changed file from the installed
// copy and a patch instead of fetching the whole compressed file.
//
// Memory: applying maps the base read-only and decodes with a window of at most
// 2^kPatchMaxWindowLog bytes (and never more than the result's size); a patch that asks
// for more is refused before anything is decoded, unless its whole result fits into one
// output buffer (128 KiB), which the decoder fills in one step without a window. None of these
// functions throws.
#pragma once

#include <string>

namespace UpdateNew {

// 128 MiB: the largest window a patch may need, so the most memory applying one takes
// beside the mapped base. The publisher makes no patch whose base and result together
// exceed it.
constexpr int kPatchMaxWindowLog = 27;
constexpr unsigned long long kPatchMaxSpan = 1ULL << kPatchMaxWindowLog;

// Writes to `patchPath` the patch that rebuilds `targetPath` from `basePath`. False with
// `error` saying why (a file that cannot be read or written, a base and target larger
// than kPatchMaxSpan together, a failure of the compressor); no file is left then.
bool CreateFilePatch(const std::wstring& basePath, const std::wstring& targetPath,
                     const std::wstring& patchPath, std::wstring& error);

// Rebuilds into `outPath` the file that `patchPath` describes against `basePath`. The
// patch must be one complete frame stating a content size of exactly `expectedSize` and
// needing no larger window than kPatchMaxWindowLog allows; the output is cut off (and
// refused) when it would grow beyond `expectedSize`. False with `error` saying why;
// `outPath` is removed then.
bool ApplyFilePatch(const std::wstring& basePath, const std::wstring& patchPath,
                    const std::wstring& outPath, unsigned long long expectedSize,
                    std::wstring& error);

// The same on a patch held in memory; the output goes to `out`. For the fuzz target and
// for callers that already read the patch.
bool ApplyPatchData(const void* base, size_t baseSize, const void* patch, size_t patchSize,
                    unsigned long long expectedSize, std::string& out, std::wstring& error);

}  // namespace UpdateNew
