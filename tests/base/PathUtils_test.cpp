#include "base/PathUtils.h"

#include <gtest/gtest.h>

using namespace UpdateNew;

TEST(JoinPath, PutsOneSlashBetweenParts) {
    EXPECT_EQ(JoinPath(L"/opt/x", L"bin"), L"/opt/x/bin");
    EXPECT_EQ(JoinPath(L"/opt/x/", L"bin"), L"/opt/x/bin");
    EXPECT_EQ(JoinPath(L"/opt/x/", L"/bin"), L"/opt/x/bin");
    EXPECT_EQ(JoinPath(L"/opt/x", L"/bin"), L"/opt/x/bin");
    EXPECT_EQ(JoinPath(L"/tmp/", L"prod", L"a.gz"), L"/tmp/prod/a.gz");
    EXPECT_EQ(JoinPath(L"", L"rel"), L"rel");
    EXPECT_EQ(JoinPath(L"/", L"tmp"), L"/tmp");
    EXPECT_EQ(JoinPath(L"dir", L""), L"dir");
}

TEST(PathParts, SplitAtTheLastSlash) {
    EXPECT_EQ(GetDirPart(L"/opt/x/bin/run"), L"/opt/x/bin");
    EXPECT_EQ(GetLastComponent(L"/opt/x/bin/run"), L"run");
    EXPECT_EQ(GetDirPart(L"run"), L"");
    EXPECT_EQ(GetLastComponent(L"run"), L"run");
    EXPECT_EQ(GetLastComponent(L"/opt/x/"), L"");
    EXPECT_EQ(GetDirPart(L"/run"), L"");
}

TEST(PathParts, ProgramOfACommandLineAndSlashes) {
    EXPECT_EQ(GetProgramPart(L"/bin/sh -c 'x y'"), L"/bin/sh");
    EXPECT_EQ(GetProgramPart(L"/bin/true"), L"/bin/true");
    EXPECT_EQ(ToSlashes(L"bin\\lib\\a.so"), L"bin/lib/a.so");
}

TEST(LexicalPath, OneSpellingOfAPath) {
    EXPECT_EQ(L"/opt/app", LexicalPath(std::wstring(L"/opt//./app/")));
    EXPECT_EQ(L"/", LexicalPath(std::wstring(L"//.")));
    EXPECT_EQ(L"app/../x", LexicalPath(std::wstring(L"./app/../x")));
    EXPECT_EQ(".", LexicalPath(std::string("./")));
}
