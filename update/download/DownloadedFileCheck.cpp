#include "download/DownloadedFileCheck.h"

#include <string>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Logger.h"
#include "base/Messages.h"
#include "codec/FileDigest.h"
#include "codec/FileInfo.h"
#include "codec/GzFile.h"

namespace UpdateNew {

namespace {

// The damage, said: which value differs from the product info's.
[[noreturn]] void ThrowWrongSize(const std::wstring& path, unsigned long long actual,
                                 uint32_t size) {
    THROW_CRITICAL(Msg<250>(path) + L": " + Msg<1218>(std::to_wstring(actual), size),
                   ERR_DOWNLOAD_SERVER);
}

// Size first, then digest; both against one record's values.
void VerifySizeAndDigest(const std::wstring& path, unsigned long long actualSize,
                         const std::wstring& digest, uint32_t size, const DigestText& md5,
                         bool logCrc) {
    if (actualSize != size) ThrowWrongSize(path, actualSize, size);
    if (digest != md5) {
        if (logCrc)
            LogDebug(L"CRC error:Reported '%s' , expected '%s'\n", digest.c_str(),
                     md5.wide().c_str());
        THROW_CRITICAL(Msg<250>(path) + L": " + Msg<1219>(digest, md5.wide()), ERR_DOWNLOAD_SERVER);
    }
}

// `md5` null: the size alone. `known`: the file's digest text, when it is known already.
void VerifyFile(const std::wstring& path, uint32_t size, const DigestText* md5, bool logCrc,
                const std::wstring& known = std::wstring()) {
    FileInfo info(path);
    if (!info.Exists()) THROW_CRITICAL(Msg<251>(path), ERR_DOWNLOAD);
    const off_t actual = info.GetSize();
    if (md5 == nullptr) {
        if (actual != static_cast<off_t>(size))
            ThrowWrongSize(path, static_cast<unsigned long long>(actual), size);
        return;
    }
    // A size that does not match is judged without reading the file.
    VerifySizeAndDigest(path, static_cast<unsigned long long>(actual),
                        actual != static_cast<off_t>(size) ? std::wstring()
                        : known.empty()                    ? info.GetMD5()
                                                           : known,
                        size, *md5, logCrc);
}

}  // namespace

bool CompressedFileMatches(const std::wstring& gzPath, const FileRecord& file) {
    FileInfo info(gzPath);
    return info.Exists() && info.GetSize() == static_cast<off_t>(file.zipsize) &&
           info.GetMD5() == file.zipmd5;
}

bool DecompressedFileMatches(const std::wstring& path, const FileRecord& file) {
    const FileDigest found = GetFileSizeAndMD5(path);
    return found.exists && found.size == static_cast<off_t>(file.filesize) &&
           !found.digest.empty() && found.digest == file.filemd5;
}

void VerifyCompressedFile(const std::wstring& gzPath, const FileRecord& file, bool checkMd5,
                          const std::wstring& arrivedMd5) {
    VerifyFile(gzPath, file.zipsize, checkMd5 ? &file.zipmd5 : nullptr, false, arrivedMd5);
}

namespace {

template <class List>
std::wstring DecompressAndVerifyInto(const std::wstring& gzPath, const FileRecord& file,
                                     List& tempFiles, UnpackedFile* unpacked) {
    std::wstring compressed, output;
    GunzipNames(gzPath, std::wstring(), compressed, output);
    tempFiles.push_back(output);
    if (unpacked != nullptr && !unpacked->empty() && unpacked->Take(ToMultibyte(output))) {
        VerifySizeAndDigest(output, unpacked->size(), unpacked->md5(), file.filesize, file.filemd5,
                            true);
        return output;
    }
    int writeError = 0;
    // More than FILESIZE is already wrong: a small file that inflates without end stops
    // there instead of filling the disk.
    GunzipOutput written;
    if (GunzipFile(gzPath, std::wstring(), &writeError, file.filesize, &written) != 0) {
        // The decompression failed (625); a full or unwritable temporary directory says why
        // it did, so the text carries the file written and the system's reason.
        if (writeError != 0)
            THROW_CRITICAL(
                Msg<250>(gzPath) + L": " + MsgLib<5>(output, SystemErrorText(writeError)),
                ERR_DOWNLOAD_SERVER);
        THROW_CRITICAL(Msg<250>(gzPath), ERR_DOWNLOAD_SERVER);
    }
    // Digested while it was written: the output is not read back.
    VerifySizeAndDigest(output, written.size, written.md5, file.filesize, file.filemd5, true);
    return output;
}

}  // namespace

std::wstring DecompressAndVerify(const std::wstring& gzPath, const FileRecord& file,
                                 UpdStringList& tempFiles, UnpackedFile* unpacked) {
    return DecompressAndVerifyInto(gzPath, file, tempFiles, unpacked);
}

std::wstring DecompressAndVerify(const std::wstring& gzPath, const FileRecord& file,
                                 PathList& tempFiles, UnpackedFile* unpacked) {
    return DecompressAndVerifyInto(gzPath, file, tempFiles, unpacked);
}

}  // namespace UpdateNew
