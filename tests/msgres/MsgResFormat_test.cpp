// Formatting messages of compiled files: placeholders, parameter types, result codes.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "msgres/MsgRes.h"
#include "msgres/TestFiles.h"

namespace {

using msgtest::ScratchDir;

class MsgResFormatTest : public ::testing::Test {
protected:
    void Load(const std::string& catalogue) {
        const std::string path = msgtest::Compile(m_dir, catalogue);
        ASSERT_EQ(MsgResOpen(path.c_str(), &m_handle), 0);
    }
    void TearDown() override {
        if (m_handle) {
            EXPECT_EQ(MsgResClose(m_handle), 0);
        }
    }
    // Formats with capacity 0 and wide-string parameters; gives the result code.
    template <typename... P>
    int Format(unsigned number, std::wstring& out, int count, P... params) {
        wchar_t* text = nullptr;
        const int r = MsgResFormat(m_handle, number, count, &text, 0, params...);
        out = text ? text : L"<none>";
        std::free(text);
        return r;
    }

    ScratchDir m_dir;
    void* m_handle = nullptr;
};

const char* const kCatalogue =
    "# test messages\n"
    "0\tzero\n"
    "3\t%1 and %2, again %1.\n"
    "4\tfixed text\n"
    "7\tprefix %1\n"
    "9\t100%% sure: %2 before %1\n"
    "12\tlast %1\n";

TEST_F(MsgResFormatTest, PlaceholderUsedTwiceAppearsTwice) {
    Load(kCatalogue);
    std::wstring out;
    EXPECT_EQ(Format(3, out, 2, 7, L"Alpha", 7, L"Beta"), 0);
    EXPECT_EQ(out, L"Alpha and Beta, again Alpha.");
}

TEST_F(MsgResFormatTest, NeededSizeCountsEveryPlacementOfAParameter) {
    Load(kCatalogue);
    // "%1 and %2, again %1." holds 14 characters besides the placeholders.
    const std::wstring longText(100, L'x');
    const std::size_t needed = (14 + 100 + 100 + 1 + 1) * sizeof(wchar_t);
    wchar_t* small = static_cast<wchar_t*>(std::malloc(needed - 1));
    wchar_t* buffer = small;
    EXPECT_EQ(MsgResFormat(m_handle, 3, 2, &buffer, needed - 1, 7, longText.c_str(), 7, L"y"),
              static_cast<int>(needed));
    std::free(small);
    // The size it asked for is enough (the sanitizer build catches any overrun).
    wchar_t* exact = static_cast<wchar_t*>(std::malloc(needed));
    buffer = exact;
    EXPECT_EQ(MsgResFormat(m_handle, 3, 2, &buffer, needed, 7, longText.c_str(), 7, L"y"), 0);
    EXPECT_EQ(std::wstring(exact), longText + L" and y, again " + longText + L".");
    std::free(exact);
}

TEST_F(MsgResFormatTest, TooSmallBufferIsLeftUntouched) {
    Load(kCatalogue);
    wchar_t buffer[4] = {L'k', L'e', L'e', L'p'};
    wchar_t* p = buffer;
    const int r = MsgResFormat(m_handle, 7, 1, &p, sizeof buffer, 7, L"param");
    EXPECT_EQ(r, static_cast<int>((7 + 5 + 1) * sizeof(wchar_t)));
    EXPECT_EQ(std::wstring(buffer, 4), L"keep");
    EXPECT_EQ(p, buffer);
}

TEST_F(MsgResFormatTest, NumbersAtTheEdgesOfTheDirectory) {
    Load(kCatalogue);
    std::wstring out;
    EXPECT_EQ(Format(0, out, 0), 0);
    EXPECT_EQ(out, L"zero");
    EXPECT_EQ(Format(12, out, 1, 7, L"one"), 0);  // the last number is valid
    EXPECT_EQ(out, L"last one");
    EXPECT_EQ(Format(13, out, 0), -4);  // one above it is not
    EXPECT_EQ(Format(5, out, 0), -4);   // a gap in the numbers
    EXPECT_EQ(Format(UINT_MAX, out, 0), -4);
}

TEST_F(MsgResFormatTest, CountMismatchStillProducesTheText) {
    Load(kCatalogue);
    std::wstring out;
    // Fewer parameters: the missing one inserts nothing.
    EXPECT_EQ(Format(3, out, 1, 7, L"A"), -6);
    EXPECT_EQ(out, L"A and , again A.");
    // More parameters: cut to the message's count.
    EXPECT_EQ(Format(7, out, 3, 7, L"A", 7, L"B", 7, L"C"), -6);
    EXPECT_EQ(out, L"prefix A");
    // A message without placeholders is its text alone, whatever is passed.
    EXPECT_EQ(Format(4, out, 2, 7, L"A", 7, L"B"), -6);
    EXPECT_EQ(out, L"fixed text");
    EXPECT_EQ(Format(4, out, -3), -6);
    EXPECT_EQ(out, L"fixed text");
}

TEST_F(MsgResFormatTest, LiteralPercentAndReorderedPlaceholders) {
    Load(kCatalogue);
    std::wstring out;
    EXPECT_EQ(Format(9, out, 2, 7, L"one", 7, L"two"), 0);
    EXPECT_EQ(out, L"100% sure: two before one");
}

TEST_F(MsgResFormatTest, EveryParameterType) {
    Load("1\t[%1]\n");
    std::wstring out;
    EXPECT_EQ(Format(1, out, 1, 1, INT_MIN), 0);
    EXPECT_EQ(out, L"[-2147483648]");
    EXPECT_EQ(Format(1, out, 1, 2, LONG_MIN), 0);  // all 20 characters of a 64-bit long
    EXPECT_EQ(out, L"[" + std::to_wstring(LONG_MIN) + L"]");
    EXPECT_EQ(Format(1, out, 1, 3, ULONG_MAX), 0);
    EXPECT_EQ(out, L"[" + std::to_wstring(ULONG_MAX) + L"]");
    EXPECT_EQ(Format(1, out, 1, 4, 'c'), 0);
    EXPECT_EQ(out, L"[c]");
    EXPECT_EQ(Format(1, out, 1, 5, L'\u00e9'), 0);
    EXPECT_EQ(out, L"[\u00e9]");
    EXPECT_EQ(Format(1, out, 1, 6, "narrow"), 0);
    EXPECT_EQ(out, L"[narrow]");
    EXPECT_EQ(Format(1, out, 1, 7, L"wide \u4e2d"), 0);
    EXPECT_EQ(out, L"[wide \u4e2d]");
    EXPECT_EQ(Format(1, out, 1, 7, static_cast<const wchar_t*>(nullptr)), 0);
    EXPECT_EQ(out, L"[]");
    EXPECT_EQ(Format(1, out, 1, 8, L"x"), -5);
    EXPECT_EQ(Format(1, out, 1, 0, L"x"), -5);
}

TEST_F(MsgResFormatTest, Utf8TextsBecomeWideCharacters) {
    Load("1\t\xc3\xa9t\xc3\xa9 %1 \xe4\xb8\xad \xf0\x9f\x98\x80\n");
    std::wstring out;
    EXPECT_EQ(Format(1, out, 1, 7, L"x"), 0);
    EXPECT_EQ(out, L"\u00e9t\u00e9 x \u4e2d \U0001F600");
}

TEST(MsgResHandle, OnlyLoadedTablesAreAccepted) {
    wchar_t* text = nullptr;
    EXPECT_EQ(MsgResFormat(nullptr, 1, 0, &text, 0), -7);
    EXPECT_EQ(MsgResClose(nullptr), -7);
    // Memory that is not a loaded table (kind 0).
    alignas(16) unsigned char zeros[128] = {};
    EXPECT_EQ(MsgResFormat(zeros, 1, 0, &text, 0), -7);
    EXPECT_EQ(MsgResClose(zeros), -7);
    EXPECT_EQ(text, nullptr);
}

}  // namespace
