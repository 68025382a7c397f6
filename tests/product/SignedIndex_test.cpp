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

TEST(SignedIndex, TrustStateReadsBackAndADamagedOneIsNoEmptyOne) {
    ScratchDir dir;
    TrustState read;
    ASSERT_TRUE(ReadTrustState(dir.WPath("none"), read));
    EXPECT_FALSE(read.present);
    ASSERT_EQ(0, WriteTrustState(dir.WPath("state"), {true, 5, std::string(64, 'b')}));
    ASSERT_TRUE(ReadTrustState(dir.WPath("state"), read));
    EXPECT_EQ(5u, read.serial);
    ScratchDir::Write(dir.Path("state"), "serial=9\n");
    EXPECT_FALSE(ReadTrustState(dir.WPath("state"), read));
}

TEST(SignedIndex, OneKeyUnderTwoIdsCountsOnce) {
    const MinisignSecretKey first = GenerateMinisignKey();
    MinisignSecretKey second = first;
    second.keyId[0] ^= 0xFF;
    const std::string index = "serial=1\n";
    const std::vector<std::string> signatures = {
        SignMinisign(first, index.data(), index.size(), "c"),
        SignMinisign(second, index.data(), index.size(), "c")};
    const std::vector<MinisignPublicKey> trusted = {first.PublicKey(), second.PublicKey()};
    std::string detail;
    EXPECT_EQ(IndexVerdict::kBelowThreshold,
              CheckIndexSignatures(index, signatures, trusted, 2, detail));
    EXPECT_EQ(IndexVerdict::kOk, CheckIndexSignatures(index, signatures, trusted, 1, detail));
}
