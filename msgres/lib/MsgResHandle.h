// The loaded table behind the library's opaque handle. Internal to the library.
#pragma once

#include <iconv.h>

#include <cstddef>
#include <cstdint>

namespace msgres {

constexpr std::uint32_t kKindBlockA = 1;

struct Handle {
    std::uint32_t kind = 0;                      // kKindBlockA for a loaded table
    iconv_t cd = reinterpret_cast<iconv_t>(-1);  // "WCHAR_T" from "UTF-8"
    unsigned char* block = nullptr;              // decompressed block A, owned (malloc)
    std::size_t blockSize = 0;
    std::uint32_t lastNumber = 0;
};

// Checks every directory entry, text and placeholder table of a decompressed block A so
// that formatting can trust them: offsets and lengths inside the block, placeholder
// offsets ascending and inside the text, a terminating entry, texts that convert to
// exactly the announced number of wide characters. False for a malformed block.
bool ValidateBlock(const Handle& handle);

// Converts `len` UTF-8 bytes into at most *room wide characters at *out, advancing both.
// False when the bytes are not valid UTF-8 or do not fit.
bool ConvertUtf8(iconv_t cd, const unsigned char* in, std::size_t len, wchar_t** out,
                 std::size_t* room);

}  // namespace msgres
