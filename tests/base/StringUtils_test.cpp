#include "base/StringUtils.h"

#include <gtest/gtest.h>

#include <clocale>

using namespace UpdateNew;

using Parts = std::vector<std::wstring>;

TEST(Trim, RemovesBlanksTabsAndLineEndsFromTheChosenSides) {
    EXPECT_EQ(Trim(L" \t a b \r\n"), L"a b");
    EXPECT_EQ(Trim(L" \t a b \r\n", TRIM_LEFT), L"a b \r\n");
    EXPECT_EQ(Trim(L" \t a b \r\n", TRIM_RIGHT), L" \t a b");
    EXPECT_EQ(Trim(L" \r\n\t "), L"");
    EXPECT_EQ(Trim(L""), L"");
    // Vertical tab and form feed only with the wider set.
    EXPECT_EQ(Trim(L"\va\f"), L"\va\f");
    EXPECT_EQ(Trim(L"\v a\f", TRIM_BOTH, kTrimAllSpace), L"a");
}

TEST(CaseMapping, MapsEachCharacter) {
    EXPECT_EQ(ToLower(L"SelfUpdate-7"), L"selfupdate-7");
    EXPECT_EQ(ToUpper(L"unix,Linux"), L"UNIX,LINUX");
}

TEST(ReplaceAll, ReplacesEveryOccurrenceWithoutRescanning) {
    EXPECT_EQ(ReplaceAll(L"a\\b\\c", L"\\", L"/"), L"a/b/c");
    EXPECT_EQ(ReplaceAll(L"aaa", L"a", L"aa"), L"aaaaaa");
    EXPECT_EQ(ReplaceAll(L"%X%%X%", L"%X%", L""), L"");
    EXPECT_EQ(ReplaceAll(L"abc", L"", L"x"), L"abc");
    EXPECT_EQ(ReplaceAll(L"abab", L"ab", L"b"), L"bb");
}

TEST(Split, SplitsAtAnySeparatorAndKeepsEmptyPartsUnlessAsked) {
    EXPECT_EQ(Split(L"a,b;c", L",;"), (Parts{L"a", L"b", L"c"}));
    EXPECT_EQ(Split(L",a,,b,", L","), (Parts{L"", L"a", L"", L"b", L""}));
    EXPECT_EQ(Split(L",a,,b,", L",", false, true), (Parts{L"a", L"b"}));
    EXPECT_EQ(Split(L"", L","), (Parts{L""}));
    EXPECT_TRUE(Split(L"", L",", false, true).empty());
}

TEST(Split, QuotesProtectSeparatorsAndStayInThePart) {
    EXPECT_EQ(Split(L"cp \"a b\" c", L" ", true), (Parts{L"cp", L"\"a b\"", L"c"}));
    EXPECT_EQ(Split(L"cp \"a b\" c", L" "), (Parts{L"cp", L"\"a", L"b\"", L"c"}));
    EXPECT_EQ(Split(L"x  \"y,z\"", L" ,", true, true), (Parts{L"x", L"\"y,z\""}));
    // An unclosed quote protects the rest.
    EXPECT_EQ(Split(L"a \"b c", L" ", true), (Parts{L"a", L"\"b c"}));
}

TEST(Utf8ToAscii, AsciiPassesAndOtherCharactersFollowTheLocale) {
    EXPECT_EQ(Utf8ToAscii("plain text <x/>"), "plain text <x/>");
    std::string saved = std::setlocale(LC_CTYPE, nullptr);
    if (std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr) {
        EXPECT_EQ(Utf8ToAscii("gr\xC3\xBC\xC3\x9F"), "gr\xC3\xBC\xC3\x9F");
    }
    std::setlocale(LC_CTYPE, "C");
    EXPECT_EQ(Utf8ToAscii("gr\xC3\xBCn"), "gr?n");
    EXPECT_EQ(Utf8ToAscii("bad\xFFx"), "bad?x");
    std::setlocale(LC_CTYPE, saved.c_str());
}
