#include "codec/ProductInfoDecode.h"

#include <cstdio>
#include <cstring>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Interrupts.h"
#include "base/Messages.h"
#include "base/PathUtils.h"
#include "base/SafeFile.h"
#include "codec/FileCipher.h"
#include "codec/GzFile.h"
#include "codec/Secrets.h"

namespace UpdateNew {

bool IsEncipheredProductInfo(const std::wstring& path) {
    FILE* fp = OpenFile(path, L"rb");
    if (fp == nullptr) return false;
    unsigned char head[32];
    const size_t n = std::fread(head, 1, sizeof head, fp);
    std::fclose(fp);
    size_t start = 0;
    if (n >= 3 && std::memcmp(head, "\xEF\xBB\xBF", 3) == 0) start = 3;
    for (size_t i = start; i < n; ++i) {
        // Every ASCII byte is printable or a control character; nothing else is.
        if (head[i] >= 0x80) return true;
    }
    return false;
}

std::wstring DecodeProductInfoFile(const std::wstring& downloadedPath,
                                   const std::function<void(const std::wstring&)>& addTempFile,
                                   unsigned long long maxBytes) {
    std::wstring compressed, local;
    GunzipNames(downloadedPath, GetDirPart(downloadedPath), compressed, local);
    int writeError = 0;
    const int rc = GunzipFile(downloadedPath, GetDirPart(downloadedPath), &writeError, maxBytes);
    if (rc != 0) {
        // The output could not be written (a full disk): that is the reason to report.
        if (writeError != 0)
            THROW_CRITICAL(MsgLib<5>(local, SystemErrorText(writeError)), ERR_DECODE_PRODUCT_INFO);
        if (rc == -2) {
            THROW_CRITICAL(Msg<155>(compressed, local) + L": it decompresses to more than " +
                               std::to_wstring(maxBytes) + L" bytes",
                           ERR_DECODE_PRODUCT_INFO);
        }
        THROW_CRITICAL(Msg<155>(compressed, local), ERR_DECODE_PRODUCT_INFO);
    }
    if (addTempFile) addTempFile(local);
    // Unpacking a large one takes a while: a stop that came meanwhile ends the run here.
    ThrowIfInterrupted();

    if (IsEncipheredProductInfo(local)) {
        const std::wstring deciphered = local + L".dec";
        DecryptFile(local, deciphered, ProductInfoKey());
        // The rename replaces the enciphered file in one step.
        if (const int error = RenameFile(ToMultibyte(deciphered), ToMultibyte(local)))
            THROW_ERROR(MsgLib<9>(deciphered, local, SystemErrorText(error)), error);
    }
    return local;
}

}  // namespace UpdateNew
