#include "codec/TwofishCfb.h"

#include <cstring>

namespace UpdateNew {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

uint64_t LoadBE(const uint8_t* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | p[i];
    return v;
}

void StoreBE(uint64_t v, uint8_t* p) {
    for (int i = 7; i >= 0; --i) {
        p[i] = static_cast<uint8_t>(v);
        v >>= 8;
    }
}

}  // namespace

bool CTwofishCfb1::Init(const std::string& keyText) {
    m_ready = false;
    if (keyText.empty() || keyText.size() > 2 * TWOFISH_MAX_KEY_SIZE) return false;
    uint8_t key[TWOFISH_MAX_KEY_SIZE] = {};
    for (size_t i = 0; i < keyText.size(); ++i) {
        int v = HexDigit(keyText[i]);
        if (v < 0) return false;
        key[i / 2] |= static_cast<uint8_t>(i % 2 == 0 ? v << 4 : v);
    }
    const size_t bytes = (keyText.size() + 1) / 2;
    const size_t keySize = bytes <= 16 ? 16 : bytes <= 24 ? 24 : 32;
    twofish_set_key(&m_ctx, keySize, key);

    std::memset(m_iv, 0, sizeof m_iv);
    std::memcpy(m_iv, keyText.data(), keyText.size() < kBlockSize ? keyText.size() : kBlockSize);
    m_ready = true;
    Restart();
    return true;
}

void CTwofishCfb1::Restart() {
    m_regHi = LoadBE(m_iv);
    m_regLo = LoadBE(m_iv + 8);
}

void CTwofishCfb1::EncryptBlock(const uint8_t in[kBlockSize], uint8_t out[kBlockSize]) const {
    twofish_encrypt(&m_ctx, kBlockSize, out, in);
}

template <bool kDecrypt>
void CTwofishCfb1::Run(uint8_t* data, size_t size) {
    uint8_t reg[kBlockSize];
    uint8_t ks[kBlockSize];
    for (size_t i = 0; i < size; ++i) {
        uint8_t in = data[i];
        uint8_t out = 0;
        for (int bit = 7; bit >= 0; --bit) {
            StoreBE(m_regHi, reg);
            StoreBE(m_regLo, reg + 8);
            twofish_encrypt(&m_ctx, kBlockSize, ks, reg);
            const unsigned inBit = (in >> bit) & 1u;
            const unsigned outBit = inBit ^ (ks[0] >> 7);
            out = static_cast<uint8_t>(out | outBit << bit);
            // The cipher text bit is shifted into the register from the right.
            const unsigned feedback = kDecrypt ? inBit : outBit;
            m_regHi = m_regHi << 1 | m_regLo >> 63;
            m_regLo = m_regLo << 1 | feedback;
        }
        data[i] = out;
    }
}

void CTwofishCfb1::Encrypt(uint8_t* data, size_t size) {
    Run<false>(data, size);
}
void CTwofishCfb1::Decrypt(uint8_t* data, size_t size) {
    Run<true>(data, size);
}

}  // namespace UpdateNew
