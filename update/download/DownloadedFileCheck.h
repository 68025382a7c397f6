// The checks a fetched module file must pass before installation may use it: the
// compressed copy against ZIPSIZE and ZIPMD5, then (outside mirror mode) the decompressed
// copy beside it against FILESIZE and FILEMD5. A failure is critical for the run: the
// exception names the file and why, so the run rolls back instead of installing a
// damaged file.
#pragma once

#include <string>

#include "base/PathList.h"
#include "download/UnpackedFile.h"
#include "product/FileRecord.h"

namespace UpdateNew {

// Whether the compressed file at `gzPath` exists with the record's ZIPSIZE and ZIPMD5; a
// file that passes needs no new fetch.
bool CompressedFileMatches(const std::wstring& gzPath, const FileRecord& file);

// Whether the decompressed (or rebuilt) file at `path` exists with the record's FILESIZE
// and FILEMD5; a file that passes is ready for installation.
bool DecompressedFileMatches(const std::wstring& path, const FileRecord& file);

// Checks the compressed file in this order: it must exist (message 251, error 621), its
// size must be ZIPSIZE (message 250, error 625), its digest text must be ZIPMD5 (message
// 250, error 625). Throws CUpdateCriticalException naming `gzPath`. Without `checkMd5`
// the digest is left to the caller (a signed publication's SHA-256 stands for it).
// `arrivedMd5`, when not empty, is the digest text of the bytes as they were written to
// the file (TransferWindow::Arrival): the file is then not read back for it.
void VerifyCompressedFile(const std::wstring& gzPath, const FileRecord& file, bool checkMd5 = true,
                          const std::wstring& arrivedMd5 = std::wstring());

// Decompresses `gzPath` (which ends in ".gz") into its own directory and checks the result:
// decompression must succeed (message 250, error 625), the file must exist (message 251,
// error 621), its size must be FILESIZE (message 250, error 625) and its digest text FILEMD5
// (the line "CRC error:Reported '<digest>' , expected '<FILEMD5>'" is logged first, then
// message 250, error 625). The decompressed path is appended to `tempFiles` before
// decompression starts, so it is cleaned up whatever happens. Gives that path.
// `unpacked` (may be null or empty), the content decompressed ahead from the verified ".gz"
// (UnpackAhead), takes the place of the decompression where it can be renamed to the
// output path; it is checked the same way.
std::wstring DecompressAndVerify(const std::wstring& gzPath, const FileRecord& file,
                                 UpdStringList& tempFiles, UnpackedFile* unpacked = nullptr);
std::wstring DecompressAndVerify(const std::wstring& gzPath, const FileRecord& file,
                                 PathList& tempFiles, UnpackedFile* unpacked = nullptr);

}  // namespace UpdateNew
