// Twofish in 1-bit cipher feedback (CFB-1), keyed from a hexadecimal key text. The file
// cipher runs one such stream per chunk; this class is the stream.
#pragma once

#include <nettle/twofish.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace UpdateNew {

class CTwofishCfb1 {
public:
    static constexpr size_t kBlockSize = 16;

    // Keys the cipher from `keyText`: hexadecimal digits (either case), 4 key bits per
    // digit, the first digit the high nibble of the first key byte; the key is zero-padded
    // to the next Twofish key length (128, 192 or 256 bits). The initialisation vector is
    // the bytes of the first 16 characters of the key text (zero-padded when it is shorter).
    // False, leaving the object unusable, for an empty text, a non-hexadecimal character or
    // more than 64 digits.
    bool Init(const std::string& keyText);
    bool IsReady() const { return m_ready; }

    // Starts a new stream from the initialisation vector.
    void Restart();

    // Enciphers or deciphers `size` bytes in place as a bit stream of 8 * size bits, most
    // significant bit of each byte first, continuing the current stream.
    void Encrypt(uint8_t* data, size_t size);
    void Decrypt(uint8_t* data, size_t size);

    // One Twofish block (ECB) with the current key, for checking the block layer.
    void EncryptBlock(const uint8_t in[kBlockSize], uint8_t out[kBlockSize]) const;

private:
    template <bool kDecrypt>
    void Run(uint8_t* data, size_t size);

    twofish_ctx m_ctx{};
    uint8_t m_iv[kBlockSize]{};
    uint64_t m_regHi = 0;  // the feedback register, bytes 0..7 big-endian
    uint64_t m_regLo = 0;  // bytes 8..15
    bool m_ready = false;
};

}  // namespace UpdateNew
