#include "codec/FileCipher.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <cerrno>
#include <csignal>

#include "base/Exception.h"
#include "codec/Secrets.h"
#include "codec/TwofishCfb.h"
#include "support/ScratchDir.h"

using namespace UpdateNew;

namespace {

std::string Hex(const uint8_t* p, size_t n) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s.push_back(kHex[p[i] >> 4]);
        s.push_back(kHex[p[i] & 15]);
    }
    return s;
}

std::string EncryptBlock(const std::string& keyText, const uint8_t in[16]) {
    CTwofishCfb1 c;
    EXPECT_TRUE(c.Init(keyText));
    uint8_t out[16];
    c.EncryptBlock(in, out);
    return Hex(out, 16);
}

std::string Cfb(const std::string& keyText, std::string data, bool decrypt) {
    CTwofishCfb1 c;
    EXPECT_TRUE(c.Init(keyText));
    auto* p = reinterpret_cast<uint8_t*>(&data[0]);
    decrypt ? c.Decrypt(p, data.size()) : c.Encrypt(p, data.size());
    return data;
}

bool Bit(const std::string& s, size_t n) {
    return (static_cast<uint8_t>(s[n / 8]) >> (7 - n % 8)) & 1;
}

}  // namespace

// Known answers of the Twofish definition (all-zero plaintext).
TEST(TwofishBlock, PublishedKnownAnswers) {
    const uint8_t zero[16] = {};
    EXPECT_EQ("9F589F5CF6122C32B6BFEC2F2AE8C35A",
              EncryptBlock("00000000000000000000000000000000", zero));
    EXPECT_EQ("CFD1D2E5A9BE9CDF501F13B892BD2248",
              EncryptBlock("0123456789ABCDEFFEDCBA98765432100011223344556677", zero));
    EXPECT_EQ(
        "37527BE0052334B89F0CFCCAE87CFA20",
        EncryptBlock("0123456789abcdeffedcba987654321000112233445566778899aabbccddeeff", zero));
    // Shorter keys are zero-padded to 128 bits: an 80-bit zero key is the 128-bit zero key.
    EXPECT_EQ("9F589F5CF6122C32B6BFEC2F2AE8C35A", EncryptBlock("00000000000000000000", zero));
}

TEST(TwofishBlock, KeyTextsThatCannotKey) {
    CTwofishCfb1 c;
    EXPECT_FALSE(c.Init(""));
    EXPECT_FALSE(c.Init("00G0"));
    EXPECT_FALSE(c.Init(std::string(65, '0')));
    EXPECT_TRUE(c.Init(std::string(64, '0')));
}

TEST(TwofishCfb1, FirstBitUsesTheVectorFromTheKeyText) {
    const std::string key = "0123456789ABCDEF0123";
    // The vector is the ASCII text of the first 16 key digits.
    const uint8_t* iv = reinterpret_cast<const uint8_t*>("0123456789ABCDEF");
    CTwofishCfb1 c;
    ASSERT_TRUE(c.Init(key));
    uint8_t ks[16];
    c.EncryptBlock(iv, ks);
    const std::string cipher = Cfb(key, std::string(2, '\0'), false);
    EXPECT_EQ(ks[0] >> 7, Bit(cipher, 0));
}

TEST(TwofishCfb1, FlippedCipherBitDamagesOnlyTheFeedbackWindow) {
    const std::string key = "00112233445566778899AABBCCDDEEFF";
    const std::string plain = PseudoRandomBytes(64, 9);
    std::string cipher = Cfb(key, plain, false);
    ASSERT_NE(plain, cipher);
    ASSERT_EQ(plain, Cfb(key, cipher, true));
    const size_t flipped = 37;
    cipher[flipped / 8] ^= static_cast<char>(0x80 >> (flipped % 8));
    const std::string damaged = Cfb(key, cipher, true);
    for (size_t n = 0; n < flipped; ++n) ASSERT_EQ(Bit(plain, n), Bit(damaged, n)) << n;
    EXPECT_NE(Bit(plain, flipped), Bit(damaged, flipped));
    // After 128 more bits the flipped bit has left the register: the stream is in step again.
    for (size_t n = flipped + 129; n < plain.size() * 8; ++n)
        ASSERT_EQ(Bit(plain, n), Bit(damaged, n)) << n;
}

TEST(CipherKeyText, EmptyKeyIsTheBuiltInTextOtherKeysAreHex) {
    EXPECT_EQ(BuiltinCipherKeyText(), CipherKeyText(""));
    EXPECT_EQ("6162FF00", CipherKeyText(std::string("ab\xff\x00", 4)));
}

class FileCipher : public testing::Test {
protected:
    ScratchDir dir;

    std::string RoundTrip(const std::string& plain, const std::string& key) {
        ScratchDir::Write(dir.Path("plain"), plain);
        EncryptFile(dir.WPath("plain"), dir.WPath("enc"), key);
        DecryptFile(dir.WPath("enc"), dir.WPath("dec"), key);
        EXPECT_EQ(plain, ScratchDir::Read(dir.Path("dec")));
        return ScratchDir::Read(dir.Path("enc"));
    }
};

TEST_F(FileCipher, RoundTripAroundTheChunkBoundaries) {
    for (size_t size : {0u, 1u, 1022u, 1023u, 1024u, 2046u, 2047u, 5000u}) {
        const std::string plain = PseudoRandomBytes(size, static_cast<unsigned>(size));
        const std::string enc = RoundTrip(plain, "");
        EXPECT_EQ(size, enc.size());
        if (size > 0) {
            EXPECT_NE(plain, enc) << size;
        }
    }
    RoundTrip(PseudoRandomBytes(3000, 4), "a product key");
}

TEST_F(FileCipher, EveryChunkIsAnIndependentStreamFromTheSameVector) {
    // 1024 bytes are two streams: 1023 bytes and 1 byte, both from the start.
    const std::string plain = PseudoRandomBytes(1024, 11);
    const std::string whole = RoundTrip(plain, "k3y-material");
    const std::string head = RoundTrip(plain.substr(0, 1023), "k3y-material");
    const std::string last = RoundTrip(plain.substr(1023), "k3y-material");
    EXPECT_EQ(head + last, whole);
    EXPECT_EQ(RoundTrip(plain.substr(0, 1), "k3y-material"), whole.substr(0, 1));
    // Equal chunks encipher equally.
    const std::string twice =
        RoundTrip(plain.substr(0, 1023) + plain.substr(0, 1023), "k3y-material");
    EXPECT_EQ(twice.substr(0, 1023), twice.substr(1023));
}

TEST_F(FileCipher, WrongKeyGivesOtherBytes) {
    ScratchDir::Write(dir.Path("plain"), "<?xml version=\"1.0\"?><PRODUCT/>");
    EncryptFile(dir.WPath("plain"), dir.WPath("enc"), "right key");
    DecryptFile(dir.WPath("enc"), dir.WPath("dec"), "wrong key");
    EXPECT_NE(ScratchDir::Read(dir.Path("plain")), ScratchDir::Read(dir.Path("dec")));
}

TEST_F(FileCipher, FailuresNameTheFileAndLeaveNoTarget) {
    try {
        DecryptFile(dir.WPath("missing"), dir.WPath("out"), "");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(ENOENT, e.code());
        EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(dir.WPath("missing")));
    }
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("out")));

    ScratchDir::Write(dir.Path("plain"), "data");
    try {
        DecryptFile(dir.WPath("plain"), dir.WPath("no/dir/out"), "");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(ENOENT, e.code());
        EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(dir.WPath("no/dir/out")));
    }
    // A key of more than 32 bytes cannot key the cipher.
    EXPECT_THROW(EncryptFile(dir.WPath("plain"), dir.WPath("out"), std::string(33, 'k')),
                 Exception);
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("out")));
    // A write that fails half-way (a file size limit stands in for a full disk; a device
    // at the target's name would be replaced, as any file there): no partial target.
    struct rlimit limit;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &limit));
    const struct rlimit tiny = {2, limit.rlim_max};
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &tiny));
    EXPECT_THROW(EncryptFile(dir.WPath("plain"), dir.WPath("out"), ""), Exception);
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("out")));
}
