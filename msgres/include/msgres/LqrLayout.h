// Byte layout of the compiled message file (update_msg.lqr), shared by the reader and
// the compiler so that both agree on every offset. All integers are unsigned 32-bit
// little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lqr {

// Header at offset 0.
constexpr std::size_t kHeaderSize = 36;
constexpr unsigned char kMagic[4] = {0x00, 'L', 'Q', 'R'};
constexpr std::size_t kOffMagic = 0;
constexpr std::size_t kOffReserved = 4;
constexpr std::size_t kOffLastNumber = 8;     // valid numbers are 0..last inclusive
constexpr std::size_t kOffBlockAOffset = 12;  // 0 makes the file unusable
constexpr std::size_t kOffBlockAStored = 16;  // compressed size
constexpr std::size_t kOffBlockASize = 20;    // size after decompression
constexpr std::size_t kOffBlockBOffset = 24;  // narrow variant; never read
constexpr std::size_t kOffBlockBStored = 28;
constexpr std::size_t kOffBlockBSize = 32;

// Decompressed block A starts with one directory entry per message number.
constexpr std::size_t kEntrySize = 16;
constexpr std::size_t kEntryDataOffset = 0;  // from the block start; 0: no such message
constexpr std::size_t kEntryWideLength = 4;  // text length in wide characters
constexpr std::size_t kEntryByteLength = 8;  // text length in UTF-8 bytes
constexpr std::size_t kEntryParamCount = 12;

// After the text: placeholder entries (parameter number, byte offset in the text),
// ascending by offset, ended by an entry whose parameter number is 0.
constexpr std::size_t kPlaceholderSize = 8;

// Parameter types of MsgResFormat's variable arguments.
enum ParamType : int {
    kTypeInt = 1,
    kTypeLong = 2,
    kTypeULong = 3,
    kTypeChar = 4,
    kTypeWChar = 5,
    kTypeString = 6,
    kTypeWString = 7,
};

// The most parameters a message may declare; a file claiming more is refused.
constexpr std::uint32_t kMaxParams = 32;

inline std::uint32_t ReadU32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline void WriteU32(unsigned char* p, std::uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

}  // namespace lqr
