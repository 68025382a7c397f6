#include "product/UpdateOSChecker.h"

#include <gtest/gtest.h>

using namespace UpdateNew;

TEST(UpdateOSChecker, TreeHasThirtyTokensRootedAtAll) {
    CUpdateOSChecker os;
    EXPECT_EQ(30u, os.treeSize());
    EXPECT_EQ(L"", os.parentOf(L"ALL"));
    EXPECT_EQ(L"ALL", os.parentOf(L"UNIX"));
    EXPECT_EQ(L"WINNT351", os.parentOf(L"WIN351S"));
    EXPECT_EQ(L"WINNTFAM", os.parentOf(L"win2k3"));
    EXPECT_TRUE(os.isKnown(L"winnt4w"));
    EXPECT_FALSE(os.isKnown(L"MAC"));
    EXPECT_FALSE(os.isKnown(L""));
}

TEST(UpdateOSChecker, SystemCodesAndTheRunningSystem) {
    EXPECT_EQ(0x80008000u, CUpdateOSChecker::systemCode());
    EXPECT_EQ(L"UNIX", CUpdateOSChecker().currentOs());
    EXPECT_EQ(L"WINXP", CUpdateOSChecker::tokenForCode(0x2000));
    EXPECT_EQ(L"WIN2K3", CUpdateOSChecker::tokenForCode(0x80002000));
    EXPECT_EQ(L"WIN95A", CUpdateOSChecker::tokenForCode(0x2));
    EXPECT_EQ(L"", CUpdateOSChecker::tokenForCode(0x1));
    EXPECT_EQ(L"", CUpdateOSChecker::tokenForCode(0xffffffff));
}

TEST(UpdateOSChecker, ListsMatchThroughTheFamilyTree) {
    CUpdateOSChecker os;
    EXPECT_TRUE(os.matches(L"ALL"));
    EXPECT_TRUE(os.matches(L"unix"));
    EXPECT_TRUE(os.matches(L"WIN95,UNIX"));
    EXPECT_TRUE(os.matches(L"MAC,all"));  // unknown words are simply ignored
    EXPECT_FALSE(os.matches(L"WINXP"));
    EXPECT_FALSE(os.matches(L"WINNTFAM"));
    EXPECT_FALSE(os.matches(L""));
    EXPECT_FALSE(os.matches(L"UNIX "));  // pieces are not trimmed
}

TEST(UpdateOSChecker, ValidListsHoldOnlyKnownTokens) {
    CUpdateOSChecker os;
    EXPECT_TRUE(os.isValidList(L"UNIX"));
    EXPECT_TRUE(os.isValidList(L"win95,WinXP,unix"));
    EXPECT_FALSE(os.isValidList(L"UNIX,MAC"));
    EXPECT_FALSE(os.isValidList(L""));
    EXPECT_FALSE(os.isValidList(L"UNIX,"));
}

TEST(UpdateOSChecker, SplitsTheSuffix) {
    CUpdateOSChecker os;
    std::wstring value, list;
    ASSERT_TRUE(os.splitOsSuffix(L"/opt/x/run.sh;OS=UNIX", value, list));
    EXPECT_EQ(L"/opt/x/run.sh", value);
    EXPECT_EQ(L"UNIX", list);

    ASSERT_TRUE(os.splitOsSuffix(L"run.sh --all", value, list));
    EXPECT_EQ(L"run.sh --all", value);
    EXPECT_EQ(L"ALL", list);
    EXPECT_TRUE(os.matches(list));

    // ";os" in lower case is no suffix: the whole text is the value.
    ASSERT_TRUE(os.splitOsSuffix(L"setup.exe;os=WINNT", value, list));
    EXPECT_EQ(L"setup.exe;os=WINNT", value);

    ASSERT_TRUE(os.splitOsSuffix(L"setup.exe;OS=WINNT", value, list));
    EXPECT_EQ(L"setup.exe", value);
    EXPECT_FALSE(os.matches(list));
}

TEST(UpdateOSChecker, RefusesMalformedSuffixes) {
    CUpdateOSChecker os;
    std::wstring value, list;
    EXPECT_FALSE(os.splitOsSuffix(L"run;OS=MAC", value, list));
    EXPECT_FALSE(os.splitOsSuffix(L"run;OS=UNIX=2", value, list));
    EXPECT_FALSE(os.splitOsSuffix(L"run;OS", value, list));
    EXPECT_FALSE(os.splitOsSuffix(L"run;OSX=UNIX", value, list));
    EXPECT_FALSE(os.splitOsSuffix(L"run;OS=", value, list));
}
