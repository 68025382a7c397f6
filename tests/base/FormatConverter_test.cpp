#include "base/FormatConverter.h"

#include <gtest/gtest.h>

using namespace UpdateNew;

using UpdateNew::FormatConverter;

namespace {
std::wstring Convert(const wchar_t* f) {
    return FormatConverter(f).c_str();
}
}  // namespace

TEST(FormatConverter, WideAndNarrowStringConversions) {
    EXPECT_EQ(L"%ls", Convert(L"%s"));
    EXPECT_EQ(L"%lc", Convert(L"%c"));
    EXPECT_EQ(L"%s", Convert(L"%S"));
    EXPECT_EQ(L"%c", Convert(L"%C"));
    EXPECT_EQ(L"%s", Convert(L"%hS"));
    EXPECT_EQ(L"%ls", Convert(L"%lS"));
    EXPECT_EQ(L"a %-10ls b %.3ls", Convert(L"a %-10s b %.3s"));
    EXPECT_EQ(L"%*.*ls", Convert(L"%*.*s"));
}

TEST(FormatConverter, UnchangedFormatsAreNeverCopied) {
    const wchar_t* fmt = L"%d %ld %% %5.2ls %lld %hd";
    FormatConverter c(fmt);
    EXPECT_EQ(fmt, c.c_str());
    EXPECT_FALSE(c.copied());
}

TEST(FormatConverter, CopyKeepsEverythingBeforeTheFirstChange) {
    FormatConverter c(L"%d items in %s, %lu bytes");
    EXPECT_TRUE(c.copied());
    EXPECT_EQ(std::wstring(L"%d items in %ls, %lu bytes"), c.c_str());
}

TEST(FormatConverter, TrailingPercentAndPrefixAtEnd) {
    EXPECT_EQ(L"100%", Convert(L"100%"));
    EXPECT_EQ(L"x %l", Convert(L"x %l"));
    EXPECT_EQ(L"", Convert(nullptr));
}

TEST(FormatConverter, FormattedOutputMatchesTheProgramConvention) {
    wchar_t buf[128];
    FormatConverter c(L"[%s|%S|%c|%d|%%]");
    swprintf(buf, 128, c.c_str(), L"wide", "narrow", L'x', 42);
    EXPECT_STREQ(L"[wide|narrow|x|42|%]", buf);
}
