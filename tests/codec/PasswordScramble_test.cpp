#include "codec/PasswordScramble.h"

#include <gtest/gtest.h>

#include "codec/Secrets.h"

using namespace UpdateNew;

TEST(PasswordScramble, KeyStreamAndByteLayout) {
    // Seed 0: k = 1, 2, 4, ..., 128, then the state reaches 255 and k starts again at 1.
    const std::wstring empty = ScramblePassword(L"", 40, 0);
    ASSERT_EQ(160u, empty.size());
    EXPECT_EQ(L"010204081020408001", empty.substr(0, 18));
    // Bytes past the first 40 carry no key stream.
    EXPECT_EQ(std::wstring(80, L'0'), empty.substr(80));
    // One character: 4 bytes, least significant first.
    EXPECT_EQ(L"40020408", ScramblePassword(L"A", 40, 0).substr(0, 8));
}

TEST(PasswordScramble, DescramblingUndoesScrambling) {
    const uint32_t seed = PasswordSeed();
    for (const std::wstring& pw :
         {std::wstring(L"secret"), std::wstring(L""), std::wstring(L"p\u00e4ss w\u00f6rd \u20ac!"),
          std::wstring(20, L'x')}) {
        const std::wstring hex = ScramblePassword(pw, 40, seed);
        ASSERT_EQ(160u, hex.size());
        EXPECT_EQ(pw, DescramblePassword(hex, 40, seed));
    }
    // Other lengths work the same way.
    EXPECT_EQ(L"ab", DescramblePassword(ScramblePassword(L"ab", 4, 77), 4, 77));
    // The wrong seed gives something else.
    EXPECT_NE(L"secret", DescramblePassword(ScramblePassword(L"secret", 40, 1), 40, 2));
    // Uppercase digits read the same.
    std::wstring hex = ScramblePassword(L"secret", 40, seed);
    for (wchar_t& c : hex) c = static_cast<wchar_t>(towupper(c));
    EXPECT_EQ(L"secret", DescramblePassword(hex, 40, seed));
}

TEST(PasswordScramble, WrongTextsGiveTheEmptyText) {
    const std::wstring hex = ScramblePassword(L"secret", 40, 5);
    EXPECT_EQ(L"", DescramblePassword(hex.substr(1), 40, 5));
    EXPECT_EQ(L"", DescramblePassword(hex + L"0", 40, 5));
    EXPECT_EQ(L"", DescramblePassword(hex, 39, 5));
    EXPECT_EQ(L"", DescramblePassword(L"", 40, 5));
    std::wstring bad = hex;
    bad[7] = L'g';
    EXPECT_EQ(L"", DescramblePassword(bad, 40, 5));
    // A password that does not fit is not scrambled.
    EXPECT_EQ(L"", ScramblePassword(std::wstring(21, L'x'), 40, 5));
    EXPECT_EQ(L"", ScramblePassword(L"x", 0, 5));
}

TEST(Secrets, BuiltInValuesHaveTheirForm) {
    const std::string key = BuiltinCipherKeyText();
    ASSERT_EQ(20u, key.size());
    for (char c : key) EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << key;
    EXPECT_GE(ProductInfoKey().size(), 8u);
    EXPECT_LE(ProductInfoKey().size(), 32u);
    EXPECT_LE(PasswordSeed(), 0xFFFFu);
}
