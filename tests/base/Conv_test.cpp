#include "base/Conv.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

using namespace UpdateNew;

// Conversions keep plain ASCII text as it is, and text with other characters through the
// locale (UTF-8 here) or the UTF-8 coder, whichever way a text starts.
TEST(Conv, AsciiAndOtherCharactersRoundTrip) {
    EnsureLocale();
    const std::string saved = std::setlocale(LC_CTYPE, nullptr);
    ASSERT_NE(nullptr, std::setlocale(LC_CTYPE, "C.UTF-8"));
    const std::wstring texts[] = {L"",
                                  L"/plain/ascii path.txt",
                                  std::wstring(1, L'\0'),
                                  L"caf\u00e9/\u65e5\u672c",
                                  L"\u00e9 then ascii",
                                  L"ascii then \u00e9"};
    for (const std::wstring& text : texts) {
        std::string narrow;
        ASSERT_TRUE(WideToMultibyte(text, narrow));
        EXPECT_EQ(WideToUtf8(text), narrow);
        std::wstring back;
        ASSERT_TRUE(MultibyteToWide(narrow, back));
        EXPECT_EQ(text, back);
        EXPECT_EQ(text, Utf8ToWide(WideToUtf8(text)));
    }
    EXPECT_EQ("abc", ToMultibyte(L"abc"));
    EXPECT_EQ(L"abc", FromMultibyte("abc"));
    // Invalid UTF-8 after ASCII still becomes the replacement character.
    EXPECT_EQ(L"ab\uFFFD", Utf8ToWide("ab\xff"));
    std::setlocale(LC_CTYPE, saved.c_str());
}
