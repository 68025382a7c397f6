#include "codec/FileCipher.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Messages.h"
#include "base/SafeFile.h"
#include "codec/Secrets.h"
#include "codec/TwofishCfb.h"

namespace UpdateNew {

namespace {

// Owns a stream for one call.
struct Stream {
    FILE* fp = nullptr;
    ~Stream() {
        if (fp != nullptr) std::fclose(fp);
    }
};

void CipherFile(const std::wstring& source, const std::wstring& target, const std::string& key,
                bool decrypt) {
    CTwofishCfb1 cipher;
    if (!cipher.Init(CipherKeyText(key))) THROW_ERROR(MsgLib<29>(source), ERR_GENERIC);

    std::string from, to;
    Stream in;
    if (WideToMultibyte(source, from))
        in.fp = std::fopen(from.c_str(), "rbe");
    else
        errno = EILSEQ;
    if (in.fp == nullptr) {
        const int error = errno;
        THROW_ERROR(MsgLib<2>(source, SystemErrorText(error)), error);
    }
    Stream out;
    int error = WideToMultibyte(target, to) ? CreateFileStream(to, 0666, out.fp) : EILSEQ;
    if (out.fp == nullptr) THROW_ERROR(MsgLib<26>(target, SystemErrorText(error)), error);

    uint8_t chunk[kCipherChunk];
    for (;;) {
        const size_t n = std::fread(chunk, 1, sizeof chunk, in.fp);
        if (n < sizeof chunk && std::ferror(in.fp)) {
            const int error = errno;
            std::fclose(out.fp);
            out.fp = nullptr;
            (void)RemoveFile(to);
            THROW_ERROR(MsgLib<4>(source, SystemErrorText(error)), error);
        }
        if (n == 0) break;
        cipher.Restart();
        if (decrypt)
            cipher.Decrypt(chunk, n);
        else
            cipher.Encrypt(chunk, n);
        if (std::fwrite(chunk, 1, n, out.fp) != n) break;
        if (n < sizeof chunk) break;
    }
    const bool writeFailed = std::ferror(out.fp) != 0;
    error = errno;
    const int closed = std::fclose(out.fp);
    out.fp = nullptr;
    if (writeFailed || closed != 0) {
        if (!writeFailed) error = errno;
        (void)RemoveFile(to);
        THROW_ERROR(MsgLib<5>(target, SystemErrorText(error)), error);
    }
}

}  // namespace

std::string CipherKeyText(const std::string& key) {
    if (key.empty()) return BuiltinCipherKeyText();
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(2 * key.size());
    for (unsigned char c : key) {
        text.push_back(kHex[c >> 4]);
        text.push_back(kHex[c & 0x0F]);
    }
    return text;
}

void DecryptFile(const std::wstring& source, const std::wstring& target, const std::string& key) {
    CipherFile(source, target, key, true);
}

void EncryptFile(const std::wstring& source, const std::wstring& target, const std::string& key) {
    CipherFile(source, target, key, false);
}

}  // namespace UpdateNew
