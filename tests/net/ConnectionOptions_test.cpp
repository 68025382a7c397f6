#include "net/ConnectionOptions.h"

#include <gtest/gtest.h>

using namespace UpdateNew;

TEST(ConnectionOptions, StoresEachKindAndReportsAbsentOrOtherKind) {
    ConnectionOptions o;
    int dummy = 0;
    EXPECT_EQ(0u, o.SetLong(ConnectionOptions::VERBOSE, 1));
    EXPECT_EQ(0u, o.SetBytes(ConnectionOptions::URL, "http://a/"));
    EXPECT_EQ(0u, o.SetWide(101, L"c:\\updatenew.conf"));
    EXPECT_EQ(0u, o.SetPointer(ConnectionOptions::WRITE_DATA, &dummy));

    int32_t n = -5;
    std::string bytes;
    std::wstring wide;
    void* p = nullptr;
    EXPECT_EQ(0u, o.GetLong(ConnectionOptions::VERBOSE, n));
    EXPECT_EQ(1, n);
    EXPECT_EQ(0u, o.GetBytes(ConnectionOptions::URL, bytes));
    EXPECT_EQ("http://a/", bytes);
    EXPECT_EQ(0u, o.GetWide(101, wide));
    EXPECT_EQ(L"c:\\updatenew.conf", wide);
    EXPECT_EQ(0u, o.GetPointer(ConnectionOptions::WRITE_DATA, p));
    EXPECT_EQ(&dummy, p);

    EXPECT_EQ(6u, o.GetLong(ConnectionOptions::PROXY_TYPE, n));
    EXPECT_EQ(7u, o.GetLong(ConnectionOptions::URL, n));
    EXPECT_EQ(7u, o.GetBytes(101, bytes));
    EXPECT_EQ(1, n);  // failed reads leave the output alone
    EXPECT_EQ(ConnectionOptions::KIND_WIDE, o.KindOf(101));
    EXPECT_EQ(-1, o.KindOf(999));
}

TEST(ConnectionOptions, OverwriteDecidesWhetherAnExistingValueIsReplaced) {
    ConnectionOptions o;
    o.SetWide(100, L"/tmp");
    EXPECT_EQ(0u, o.SetWide(100, L"/var/tmp", false));
    std::wstring v;
    o.GetWide(100, v);
    EXPECT_EQ(L"/tmp", v);
    EXPECT_EQ(0u, o.SetWide(100, L"/var/tmp", true));
    o.GetWide(100, v);
    EXPECT_EQ(L"/var/tmp", v);
    // Overwriting may change the kind.
    EXPECT_EQ(0u, o.SetLong(100, 3));
    EXPECT_EQ(ConnectionOptions::KIND_LONG, o.KindOf(100));
}

TEST(ConnectionOptions, ClearDropsEverything) {
    ConnectionOptions o;
    o.SetBytes(1, "x");
    o.SetWide(2, L"y");
    EXPECT_EQ(2u, o.Size());
    o.Clear();
    EXPECT_EQ(0u, o.Size());
    EXPECT_FALSE(o.Has(1));
    EXPECT_EQ(6u, o.Remove(1));
}
