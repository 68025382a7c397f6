#include "codec/Secrets.h"

#include <array>
#include <cstddef>

namespace UpdateNew {

namespace {

// A text masked at compile time, so that it does not show among the program's strings.
template <size_t N>
class Masked {
public:
    constexpr explicit Masked(const char (&text)[N]) : m_data{} {
        for (size_t i = 0; i < N; ++i) m_data[i] = static_cast<char>(text[i] ^ Mask(i));
    }
    std::string Reveal() const {
        std::string out(N - 1, '\0');
        for (size_t i = 0; i + 1 < N; ++i) out[i] = static_cast<char>(m_data[i] ^ Mask(i));
        return out;
    }

private:
    static constexpr char Mask(size_t i) { return static_cast<char>(0x5A + 37 * i); }
    std::array<char, N> m_data;
};

constexpr Masked kCipherKeyText(UPDATER_CIPHER_KEY_TEXT);
constexpr Masked kProductInfoKey(UPDATER_PRODUCT_INFO_KEY);

}  // namespace

std::string BuiltinCipherKeyText() {
    return kCipherKeyText.Reveal();
}

std::string ProductInfoKey() {
    return kProductInfoKey.Reveal();
}

uint32_t PasswordSeed() {
    return static_cast<uint32_t>(UPDATER_PASSWORD_SEED);
}

}  // namespace UpdateNew
