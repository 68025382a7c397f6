#include "product/SignedIndex.h"

#include <gtest/gtest.h>

#include "support/ScratchDir.h"

using namespace UpdateNew;

TEST(SignedIndex, LinesReadBackAndMalformedFieldsAreRefused) {
    SignedIndex index;
    index.serial = 7;
    index.expires = 2000000000;
    index.signatures = 2;
    index.productInfos["demo.info.gz"] = std::string(64, 'a');
    std::vector<std::string> lines = {"product=Demo"};
    for (const std::string& line : index.Lines()) lines.push_back(line);
    SignedIndex read;
    std::string bad;
    ASSERT_EQ(SignedIndexParse::kOk, ParseSignedIndex(lines, read, bad));
    EXPECT_EQ(7u, read.serial);
    EXPECT_EQ(index.productInfos, read.productInfos);
    EXPECT_EQ(SignedIndexParse::kUnsigned, ParseSignedIndex({"product=Demo"}, read, bad));
    for (const char* wrong : {"serial=07", "serial=0", "signatures=9", "expires=-1", "serial=8",
                              "productinfosha256=a/b,00"}) {
        std::vector<std::string> copy = lines;
        copy.push_back(wrong);
        EXPECT_EQ(SignedIndexParse::kMalformed, ParseSignedIndex(copy, read, bad)) << wrong;
    }
}

TEST(SignedIndex, FreshnessAndTrustState) {
    ScratchDir dir;
    SignedIndex index;
    index.serial = 5;
    index.expires = 1000;
    TrustState state;
    ASSERT_TRUE(ReadTrustState(dir.WPath("none"), state));
    EXPECT_FALSE(state.present);
    state = {true, 5, std::string(64, 'b')};
    ASSERT_EQ(0, WriteTrustState(dir.WPath("state"), state));
    TrustState read;
    ASSERT_TRUE(ReadTrustState(dir.WPath("state"), read));
    EXPECT_EQ(5u, read.serial);
    EXPECT_EQ(IndexVerdict::kOk, CheckIndexFreshness(index, state.indexSha256, read, 999));
    EXPECT_EQ(IndexVerdict::kExpired, CheckIndexFreshness(index, state.indexSha256, read, 1000));
    EXPECT_EQ(IndexVerdict::kSameSerialOther, CheckIndexFreshness(index, "x", read, 999));
    index.serial = 4;
    EXPECT_EQ(IndexVerdict::kRollback, CheckIndexFreshness(index, state.indexSha256, read, 999));
    ScratchDir::Write(dir.Path("state"), "serial=9\n");
    EXPECT_FALSE(ReadTrustState(dir.WPath("state"), read));
}
