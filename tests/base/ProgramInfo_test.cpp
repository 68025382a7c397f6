#include "base/ProgramInfo.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

#include "base/Conv.h"

using namespace UpdateNew;

TEST(ProgramInfo, OwnPathIsTheResolvedExecutable) {
    char resolved[PATH_MAX];
    ASSERT_NE(nullptr, realpath("/proc/self/exe", resolved));
    EXPECT_EQ(FromMultibyte(resolved), GetUpdaterPath());
    const std::wstring dir = GetUpdaterDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(L'/', dir.back());
    EXPECT_EQ(0u, GetUpdaterPath().find(dir));
}

TEST(ProgramInfo, EnvironmentNamesTheExecutableWhenTheLinkCannotBeRead) {
    setenv("EXE_NAME", "/opt/product/updater", 1);
    EXPECT_EQ("/opt/product/updater", ReadRawExecutablePath("/nonexistent/proc/exe"));
    unsetenv("EXE_NAME");
    EXPECT_EQ("", ReadRawExecutablePath("/nonexistent/proc/exe"));
    char link[64];
    std::snprintf(link, sizeof link, "/proc/%d/exe", static_cast<int>(getpid()));
    EXPECT_FALSE(ReadRawExecutablePath(link).empty());
}

TEST(ProgramInfo, CommandLineTextEndsEveryArgumentWithABlank) {
    const wchar_t* argv[] = {L"/opt/my app/u", L"--url=a", L"--Proxy-UserPass=open sesame"};
    EXPECT_EQ(L"\"/opt/my app/u\" --url=a \"--Proxy-UserPass=open sesame\" ",
              BuildCommandLineText(3, argv));
    EXPECT_EQ(L"\"/opt/my app/u\" --url=a --Proxy-UserPass=*** ",
              BuildCommandLineText(3, argv, true));
    EXPECT_EQ(L"u \"--share-userpass=***\" --proxy-userpass=*** --x",
              HidePasswords(L"u \"--share-userpass=a b\" --proxy-userpass=c --x"));
    std::string text = "get http://u:p%40ss@h:80/x, socks5://v:w@h, a@b http://h/u:x@y";
    EXPECT_TRUE(HideUrlPasswords(text));
    EXPECT_EQ("get http://u:***@h:80/x, socks5://v:***@h, a@b http://h/u:x@y", text);
    EXPECT_FALSE(HideUrlPasswords(text));
}
