#include "codec/PasswordScramble.h"

#include <vector>

namespace UpdateNew {

namespace {

void ApplyKeyStream(std::vector<uint8_t>& bytes, int length, uint32_t seed) {
    uint32_t state = seed;
    for (int i = 0; i < length && static_cast<size_t>(i) < bytes.size(); ++i) {
        const uint32_t k = state % 255u + 1u;
        state = state / 255u + state + k;
        bytes[i] ^= static_cast<uint8_t>(k);
    }
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

}  // namespace

bool IsScrambledPassword(const std::wstring& hexText, int length) {
    if (length <= 0 || hexText.size() != 4 * static_cast<size_t>(length)) return false;
    for (wchar_t c : hexText)
        if (HexValue(c) < 0) return false;
    return true;
}

std::wstring DescramblePassword(const std::wstring& hexText, int length, uint32_t seed) {
    if (!IsScrambledPassword(hexText, length)) return std::wstring();
    std::vector<uint8_t> bytes(hexText.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] =
            static_cast<uint8_t>(HexValue(hexText[2 * i]) << 4 | HexValue(hexText[2 * i + 1]));
    }
    ApplyKeyStream(bytes, length, seed);
    std::wstring password;
    for (size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const uint32_t c =
            static_cast<uint32_t>(bytes[i]) | static_cast<uint32_t>(bytes[i + 1]) << 8 |
            static_cast<uint32_t>(bytes[i + 2]) << 16 | static_cast<uint32_t>(bytes[i + 3]) << 24;
        if (c == 0) break;
        password.push_back(static_cast<wchar_t>(c));
    }
    return password;
}

std::wstring ScramblePassword(const std::wstring& password, int length, uint32_t seed) {
    if (length <= 0 || password.size() * 4 > 2 * static_cast<size_t>(length)) {
        return std::wstring();
    }
    std::vector<uint8_t> bytes(2 * static_cast<size_t>(length), 0);
    for (size_t i = 0; i < password.size(); ++i) {
        const uint32_t c = static_cast<uint32_t>(password[i]);
        for (int b = 0; b < 4; ++b) bytes[4 * i + b] = static_cast<uint8_t>(c >> (8 * b));
    }
    ApplyKeyStream(bytes, length, seed);
    static const wchar_t kHex[] = L"0123456789abcdef";
    std::wstring text;
    text.reserve(2 * bytes.size());
    for (uint8_t b : bytes) {
        text.push_back(kHex[b >> 4]);
        text.push_back(kHex[b & 0x0F]);
    }
    return text;
}

}  // namespace UpdateNew
