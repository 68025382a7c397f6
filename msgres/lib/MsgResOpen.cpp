// Loading and releasing a message file.
#include <zlib.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>
#include <vector>

#include "MsgResHandle.h"
#include "msgres/LqrLayout.h"
#include "msgres/MsgRes.h"

namespace msgres {

bool ConvertUtf8(iconv_t cd, const unsigned char* in, std::size_t len, wchar_t** out,
                 std::size_t* room) {
    if (len == 0) return true;
    // ASCII text (nearly every message) is the same characters wide: no conversion.
    std::size_t ascii = 0;
    while (ascii < len && in[ascii] < 0x80) ++ascii;
    if (ascii == len) {
        if (len > *room) return false;
        for (std::size_t i = 0; i < len; ++i) (*out)[i] = static_cast<wchar_t>(in[i]);
        *out += len;
        *room -= len;
        return true;
    }
    char* src = const_cast<char*>(reinterpret_cast<const char*>(in));
    std::size_t srcLeft = len;
    char* dst = reinterpret_cast<char*>(*out);
    std::size_t dstLeft = *room * sizeof(wchar_t);
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // fresh shift state
    std::size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    if (r == static_cast<std::size_t>(-1) || srcLeft != 0) return false;
    std::size_t written = (*room * sizeof(wchar_t) - dstLeft) / sizeof(wchar_t);
    *out += written;
    *room -= written;
    return true;
}

bool ValidateBlock(const Handle& h) {
    const std::uint64_t dirSize = (static_cast<std::uint64_t>(h.lastNumber) + 1) * lqr::kEntrySize;
    if (dirSize > h.blockSize) return false;
    std::vector<wchar_t> scratch;
    for (std::uint64_t n = 0; n <= h.lastNumber; ++n) {
        const unsigned char* e = h.block + n * lqr::kEntrySize;
        const std::uint64_t off = lqr::ReadU32(e + lqr::kEntryDataOffset);
        if (off == 0) continue;
        const std::uint64_t wlen = lqr::ReadU32(e + lqr::kEntryWideLength);
        const std::uint64_t blen = lqr::ReadU32(e + lqr::kEntryByteLength);
        if (lqr::ReadU32(e + lqr::kEntryParamCount) > lqr::kMaxParams) return false;
        // The text and its placeholder table lie after the directory, inside the block.
        if (off < dirSize || off + blen > h.blockSize) return false;
        // Each UTF-8 byte yields at most one wide character.
        if (wlen > blen) return false;
        std::uint64_t pos = off + blen;
        std::uint64_t prevOffset = 0;
        std::vector<std::uint64_t> cuts;
        for (;;) {
            if (pos + lqr::kPlaceholderSize > h.blockSize) return false;  // no terminator
            const std::uint32_t param = lqr::ReadU32(h.block + pos);
            const std::uint32_t at = lqr::ReadU32(h.block + pos + 4);
            pos += lqr::kPlaceholderSize;
            if (param == 0) break;
            if (at > blen || at < prevOffset) return false;
            prevOffset = at;
            cuts.push_back(at);
        }
        cuts.push_back(blen);
        // Every piece between placeholders must convert on its own, and all together
        // to exactly the announced number of wide characters.
        scratch.resize(static_cast<std::size_t>(blen) + 1);
        wchar_t* out = scratch.data();
        std::size_t room = scratch.size();
        std::uint64_t from = 0;
        for (std::uint64_t cut : cuts) {
            if (!ConvertUtf8(h.cd, h.block + off + from, static_cast<std::size_t>(cut - from), &out,
                             &room))
                return false;
            from = cut;
        }
        if (static_cast<std::uint64_t>(out - scratch.data()) != wlen) return false;
    }
    return true;
}

namespace {

void FreeHandle(Handle* h) {
    if (!h) return;
    if (h->cd != reinterpret_cast<iconv_t>(-1)) iconv_close(h->cd);
    std::free(h->block);
    h->kind = 0;
    delete h;
}

int Load(std::FILE* fp, void** out) {
    unsigned char header[lqr::kHeaderSize];
    if (std::fseek(fp, 0, SEEK_SET) != 0) return MSGRES_E_BAD_FILE;
    if (std::fread(header, 1, sizeof header, fp) != sizeof header) return MSGRES_E_BAD_FILE;
    if (std::memcmp(header + lqr::kOffMagic, lqr::kMagic, sizeof lqr::kMagic) != 0)
        return MSGRES_E_BAD_FILE;
    const std::uint32_t blockOffset = lqr::ReadU32(header + lqr::kOffBlockAOffset);
    const std::uint32_t stored = lqr::ReadU32(header + lqr::kOffBlockAStored);
    const std::uint32_t size = lqr::ReadU32(header + lqr::kOffBlockASize);
    if (blockOffset == 0) return MSGRES_E_FAILED;

    // The stored block must lie inside the file, and no zlib stream expands by more
    // than about 1032:1; refusing impossible sizes keeps a forged header from making
    // us allocate gigabytes.
    if (std::fseek(fp, 0, SEEK_END) != 0) return MSGRES_E_BAD_FILE;
    const long fileSize = std::ftell(fp);
    if (fileSize < 0 ||
        static_cast<std::uint64_t>(blockOffset) + stored > static_cast<std::uint64_t>(fileSize))
        return MSGRES_E_BAD_FILE;
    if (size == 0 ||
        static_cast<std::uint64_t>(size) > static_cast<std::uint64_t>(stored) * 1040 + 64)
        return MSGRES_E_BAD_FILE;

    Handle* h = new (std::nothrow) Handle;
    if (!h) return MSGRES_E_FAILED;
    h->block = static_cast<unsigned char*>(std::malloc(size));
    unsigned char* packed = static_cast<unsigned char*>(std::malloc(stored ? stored : 1));
    if (!h->block || !packed) {
        std::free(packed);
        FreeHandle(h);
        return MSGRES_E_FAILED;
    }
    uLongf unpackedSize = size;
    const bool ok = std::fseek(fp, static_cast<long>(blockOffset), SEEK_SET) == 0 &&
                    std::fread(packed, 1, stored, fp) == stored &&
                    uncompress(h->block, &unpackedSize, packed, stored) == Z_OK &&
                    unpackedSize == size;
    std::free(packed);
    if (!ok) {
        FreeHandle(h);
        return MSGRES_E_BAD_FILE;
    }
    h->blockSize = size;
    h->lastNumber = lqr::ReadU32(header + lqr::kOffLastNumber);
    h->cd = iconv_open("WCHAR_T", "UTF-8");
    if (h->cd == reinterpret_cast<iconv_t>(-1)) {
        FreeHandle(h);
        return MSGRES_E_FAILED;
    }
    if (!ValidateBlock(*h)) {
        FreeHandle(h);
        return MSGRES_E_BAD_FILE;
    }
    h->kind = kKindBlockA;
    *out = h;
    return MSGRES_OK;
}

}  // namespace
}  // namespace msgres

int MsgResOpen(const char* path, void** handle) {
    if (!handle) return MSGRES_E_FAILED;
    *handle = nullptr;
    if (!path) return MSGRES_E_OPEN;
    std::FILE* fp = std::fopen(path, "rbe");
    if (!fp) return MSGRES_E_OPEN;
    const int result = msgres::Load(fp, handle);
    std::fclose(fp);
    return result;
}

int MsgResOpenW(const wchar_t* path, void** handle) {
    if (!handle) return MSGRES_E_FAILED;
    *handle = nullptr;
    if (!path) return MSGRES_E_OPEN;
    // Up to 6 bytes per character in any multibyte encoding, plus the terminator.
    const std::size_t room = std::wcslen(path) * 6 + 1;
    std::vector<char> narrow(room);
    if (std::snprintf(narrow.data(), room, "%ls", path) < 0) return MSGRES_E_OPEN;
    return MsgResOpen(narrow.data(), handle);
}

int MsgResClose(void* handle) {
    auto* h = static_cast<msgres::Handle*>(handle);
    if (!h || h->kind != msgres::kKindBlockA || !h->block) return MSGRES_E_HANDLE;
    msgres::FreeHandle(h);
    return MSGRES_OK;
}
