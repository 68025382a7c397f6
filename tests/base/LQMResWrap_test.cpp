// The message wrapper against the build's real message file.
#include "base/LQMResWrap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Exception.h"
#include "base/Messages.h"
#include "base/PreparedMsg.h"
#include "msgres/MessageCatalogue.h"
#include "msgres/MsgRes.h"

using namespace UpdateNew;

namespace {

const std::wstring kShippedFile = L"" UPDATER_BUILD_DIR "/update_msg.lqr";

TEST(LQMResWrap, FormatsMessagesOfBothTables) {
    EXPECT_EQ(Msg<363>(L"mirror"), L"The option \"mirror\" needs a value: write --mirror=value");
    EXPECT_EQ(MsgLib<2>(std::wstring(L"/x/y"), L"No such file or directory"),
              L"Cannot open the file \"/x/y\": No such file or directory");
    EXPECT_EQ(Msg<616>(), L"The command line could not be processed");
    EXPECT_EQ(Msg<622>(3, L"http://127.0.0.1/"), L"3 to download from \"http://127.0.0.1/\"");
}

TEST(LQMResWrap, PreparedMessagesGiveTheFormattedText) {
    std::wstring out = L"> ";
    PreparedMsg<683>().AppendTo(out, std::wstring(L"/a/\u00e9"), std::wstring(L"0f"));
    EXPECT_EQ(out, L"> " + Msg<683>(L"/a/\u00e9", L"0f"));
    // A message whose own text holds a character taken for a marker is formatted whole.
    const MsgPieces odd = SplitAtMarkers(L"a\xE001 \xE001", 0xE000, L"a\xE001 \xE101", 0xE100, 1);
    EXPECT_FALSE(odd.usable);
}

TEST(LQMResWrap, PluginFailureTextKeepsItsResultPlaceholder) {
    // The text is a format for the plug-in's result; the "%d" must come through.
    const std::wstring lib = Msg<660>(L"overrideInstall()");
    const std::wstring gui = Msg<661>(L"onUpdateStart()");
    EXPECT_NE(lib.find(L"overrideInstall()"), std::wstring::npos);
    EXPECT_EQ(lib.substr(lib.size() - 2), L"%d");
    EXPECT_EQ(gui.substr(gui.size() - 2), L"%d");
    wchar_t out[200];
    std::swprintf(out, 200, lib.c_str(), 7);
    EXPECT_EQ(std::wstring(out).substr(lib.size() - 2), L"7");
}

TEST(LQMResWrap, NonAsciiParametersSurvive) {
    EXPECT_EQ(Msg<151>(L"r\u00e9pertoire\u4e2d"),
              L"The path variable \"r\u00e9pertoire\u4e2d\" is not defined");
}

TEST(LQMResWrap, EveryCatalogueMessageFormatsWithItsOwnParameterCount) {
    void* handle = nullptr;
    ASSERT_EQ(MsgResOpenW(kShippedFile.c_str(), &handle), 0);
    for (unsigned n : MsgCatalogue::numbers) {
        const int count = MsgCatalogue::params(n);
        wchar_t* text = nullptr;
        const int r = MsgResFormat(handle, n, count, &text, 0, 7, L"A", 7, L"B", 7, L"C", 7, L"D");
        EXPECT_EQ(r, 0) << "message " << n;
        ASSERT_NE(text, nullptr);
        EXPECT_GT(std::wcslen(text), 0u) << "message " << n;
        // Each placeholder of a present parameter was filled in.
        const wchar_t* marks[] = {L"A", L"B", L"C", L"D"};
        for (int i = 0; i < count; ++i)
            EXPECT_NE(std::wcsstr(text, marks[i]), nullptr) << "message " << n << " param " << i;
        free(text);
    }
    wchar_t* text = nullptr;
    EXPECT_EQ(MsgResFormat(handle, MsgCatalogue::last + 1, 0, &text, 0), -4);
    EXPECT_EQ(MsgResClose(handle), 0);
}

TEST(LQMResWrap, InitReportsTheFailingPathAndResult) {
    CLQMsgTable table;
    const std::wstring path = L"/nonexistent/dir/update_msg.lqr";
    try {
        table.Init(path.c_str());
        FAIL() << "Init of a missing file succeeded";
    } catch (const Exception& e) {
        EXPECT_EQ(std::wstring(e.twhat()), L"Failed to load " + path);
        EXPECT_EQ(e.code(), -2);
    }
    EXPECT_FALSE(table.IsLoaded());
    // A good file afterwards loads, and a second Init replaces the table.
    table.Init(kShippedFile.c_str());
    EXPECT_TRUE(table.IsLoaded());
    table.Init(kShippedFile.c_str());
    EXPECT_EQ(std::wstring(CLQMsg(table.handle(), 248).text()), L"Trying the next server");
}

TEST(LQMResWrap, ParametersAreWrittenAsTheirTexts) {
    EXPECT_STREQ(CLQMsgParam(-42).text(), L"-42");
    EXPECT_STREQ(CLQMsgParam(4294967295u).text(), L"4294967295");
    EXPECT_STREQ(CLQMsgParam(-9000000000000000000LL).text(), L"-9000000000000000000");
    EXPECT_STREQ(CLQMsgParam(18000000000000000000ULL).text(), L"18000000000000000000");
    EXPECT_STREQ(CLQMsgParam(L'x').text(), L"x");
    EXPECT_STREQ(CLQMsgParam(2.5, L"%.2f").text(), L"2.50");
    EXPECT_STREQ(CLQMsgParam(std::wstring(L"text")).text(), L"text");
    CLQMsgParam a(L"one"), b(L"two");
    a = b;
    EXPECT_STREQ(a.text(), L"two");
    CLQMsgParam c(a);
    EXPECT_STREQ(c.text(), L"two");
    EXPECT_NE(c.text(), a.text());
}

TEST(LQMResWrapDeathTest, AWrongParameterCountIsAnInternalFailure) {
    // The compile-time check makes this impossible through Msg<N>; the raw wrapper
    // still refuses rather than show a half-filled text.
    EXPECT_DEATH(CLQMsg(g_cMsgTable.handle(), 151), "parameter count differs");
    EXPECT_DEATH(CLQMsg(g_cMsgTable.handle(), 100), "no such message");
    EXPECT_DEATH(CLQMsg(nullptr, 1), "not loaded");
}

}  // namespace
