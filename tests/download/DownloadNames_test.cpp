#include "download/DownloadNames.h"

#include <gtest/gtest.h>

using namespace UpdateNew;

TEST(ProductInfoRemoteName, NoNameKeepsTheDefault) {
    EXPECT_EQ(L"http://h/p/product.info.gz",
              ProductInfoRemoteName(L"http://h/p/product.info.gz", L""));
}

TEST(ProductInfoRemoteName, GivenNameReplacesTheFileNameOnly) {
    EXPECT_EQ(L"http://h/p/other.xml",
              ProductInfoRemoteName(L"http://h/p/product.info.gz", L"other.xml"));
    EXPECT_EQ(L"/share/p/other.xml", ProductInfoRemoteName(L"/share/p/x.gz", L"other.xml"));
    // A default without a directory: the name alone.
    EXPECT_EQ(L"other.xml", ProductInfoRemoteName(L"x.gz", L"other.xml"));
}

TEST(ProductInfoRemoteName, UpdEndingBecomesInfoGzInAnyCase) {
    EXPECT_EQ(L"http://h/p/prod.info.gz", ProductInfoRemoteName(L"http://h/p/d.gz", L"prod.upd"));
    EXPECT_EQ(L"http://h/p/prod.info.gz", ProductInfoRemoteName(L"http://h/p/d.gz", L"prod.UpD"));
    // Six characters are enough ...
    EXPECT_EQ(L"http://h/p/ab.info.gz", ProductInfoRemoteName(L"http://h/p/d.gz", L"ab.upd"));
    // ... five are not.
    EXPECT_EQ(L"http://h/p/a.upd", ProductInfoRemoteName(L"http://h/p/d.gz", L"a.upd"));
}

TEST(ProductInfoRemoteName, InfoEndingGetsGz) {
    EXPECT_EQ(L"http://h/p/prod.info.gz", ProductInfoRemoteName(L"http://h/p/d.gz", L"prod.info"));
    EXPECT_EQ(L"http://h/p/prod.INFO.gz", ProductInfoRemoteName(L"http://h/p/d.gz", L"prod.INFO"));
    EXPECT_EQ(L"http://h/p/.info", ProductInfoRemoteName(L"http://h/p/d.gz", L".info"));
    EXPECT_EQ(L"http://h/p/prod.info.gz",
              ProductInfoRemoteName(L"http://h/p/d.gz", L"prod.info.gz"));
    EXPECT_EQ(L"http://h/p/prod.xml", ProductInfoRemoteName(L"http://h/p/d.gz", L"prod.xml"));
}

TEST(LocalPathOfAddress, PathPartBelowTheTemporaryRoot) {
    EXPECT_EQ(L"/tmp/run/prod/master.idx",
              LocalPathOfAddress(L"/tmp/run/", L"http://127.0.0.1:8080/prod/master.idx"));
    EXPECT_EQ(L"/tmp/run/srv/share/master.idx",
              LocalPathOfAddress(L"/tmp/run", L"/srv/share/master.idx"));
    EXPECT_EQ(L"/tmp/run/srv/share/x", LocalPathOfAddress(L"/tmp/run", L"\\srv\\share\\x"));
}

TEST(LocalPathOfAddress, DotDotNeverLeavesTheRoot) {
    EXPECT_EQ(L"/tmp/run/etc/passwd",
              LocalPathOfAddress(L"/tmp/run", L"http://h/../../etc/passwd"));
    EXPECT_EQ(L"/tmp/run/a/b", LocalPathOfAddress(L"/tmp/run", L"/a/./../b"));
}

TEST(ModuleFileNames, ServerLayoutAndLocalLayout) {
    EXPECT_EQ(L"http://h/root/bin/lib/a.so.gz",
              ModuleFileRemoteName(L"http://h/root", L"bin", L"lib\\a.so"));
    EXPECT_EQ(L"http://h/root/bin/a.gz", ModuleFileRemoteName(L"http://h/root/", L"bin\\", L"a"));
    EXPECT_EQ(L"/tmp/run/root/bin/lib/a.so",
              ModuleFileLocalName(L"/tmp/run/root", L"bin", L"lib\\a.so"));
}

TEST(JoinConfined, RelativePartStaysBelowTheRoot) {
    EXPECT_EQ(L"/tmp/run/prod/v1", JoinConfined(L"/tmp/run/", L"prod/v1"));
    EXPECT_EQ(L"/tmp/run/prod", JoinConfined(L"/tmp/run", L"../../prod/."));
    EXPECT_EQ(L"/tmp/run/a/b", JoinConfined(L"/tmp/run", L"\\a\\b\\"));
    EXPECT_EQ(L"/tmp/run", JoinConfined(L"/tmp/run", L""));
}
