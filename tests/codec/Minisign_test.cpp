#include "codec/Minisign.h"

#include <gtest/gtest.h>

using namespace UpdateNew;

TEST(Minisign, SignsVerifiesAndReadsBackItsOwnFiles) {
    const MinisignSecretKey key = GenerateMinisignKey();
    MinisignSecretKey secret;
    ASSERT_EQ(SecretKeyStatus::kOk, ParseMinisignSecretKey(FormatMinisignSecretKey(key), secret));
    MinisignPublicKey pub;
    ASSERT_TRUE(ParseMinisignPublicKey(FormatMinisignPublicKey(key.PublicKey()), pub));
    const std::string data = "serial=1\n";
    MinisignSignature sig;
    ASSERT_TRUE(ParseMinisignSignature(SignMinisign(secret, data.data(), data.size(), "c"), sig));
    EXPECT_EQ("c", sig.trustedComment);
    EXPECT_TRUE(VerifyMinisign(pub, sig, data.data(), data.size()));
    // Other data, another trusted comment, another key: refused.
    EXPECT_FALSE(VerifyMinisign(pub, sig, "serial=2\n", 9));
    MinisignSignature changed = sig;
    changed.trustedComment = "d";
    EXPECT_FALSE(VerifyMinisign(pub, changed, data.data(), data.size()));
    EXPECT_FALSE(VerifyMinisign(GenerateMinisignKey().PublicKey(), sig, data.data(), data.size()));
}

TEST(Minisign, RefusesMalformedAndEncryptedFiles) {
    MinisignPublicKey pub;
    MinisignSecretKey secret;
    MinisignSignature sig;
    std::vector<MinisignPublicKey> keys;
    size_t bad = 0;
    EXPECT_FALSE(ParseMinisignPublicKey("RWQ=\n", pub));
    EXPECT_FALSE(ParseMinisignSignature(std::string(5000, 'A'), sig));
    EXPECT_FALSE(
        ParseMinisignSignature("untrusted comment: x\nRUQ=\ntrusted comment: \nAA==\n", sig));
    const MinisignSecretKey key = GenerateMinisignKey();
    std::string text = FormatMinisignSecretKey(key);
    const size_t line = text.find('\n') + 1;
    std::string encrypted = text;
    encrypted[line + 2] = 'A';  // the KDF field becomes non-zero: "Sc"-like
    encrypted[line + 3] = 'N';
    EXPECT_NE(SecretKeyStatus::kOk, ParseMinisignSecretKey(encrypted, secret));
    const std::string list = "# keys\n" + FormatMinisignPublicKey(key.PublicKey()) + "\n" +
                             FormatMinisignPublicKey(GenerateMinisignKey().PublicKey());
    EXPECT_TRUE(ParseMinisignKeyList(list, keys, bad));
    EXPECT_EQ(2u, keys.size());
    EXPECT_FALSE(ParseMinisignKeyList(list + "garbage\n", keys, bad));
    EXPECT_EQ(7u, bad);
}
