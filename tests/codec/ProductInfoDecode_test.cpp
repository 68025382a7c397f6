#include "codec/ProductInfoDecode.h"

#include <gtest/gtest.h>

#include "base/Exception.h"
#include "codec/FileCipher.h"
#include "codec/GzFile.h"
#include "codec/Secrets.h"
#include "support/ScratchDir.h"

using namespace UpdateNew;

namespace {

const std::string kXml =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<PRODUCT>\n\t<MODULE name=\"m\"/>\n"
    "</PRODUCT>\n";

}  // namespace

TEST(DecodeProductInfoFile, PlainTextIsUsedUnchanged) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("src.xml"), kXml);
    ASSERT_EQ(0, GzipFile(dir.WPath("src.xml"), dir.WPath("info.xml.gz")));
    std::vector<std::wstring> temps;
    const std::wstring local = DecodeProductInfoFile(
        dir.WPath("info.xml.gz"), [&](const std::wstring& p) { temps.push_back(p); });
    EXPECT_EQ(dir.WPath("info.xml"), local);
    EXPECT_EQ(kXml, ScratchDir::Read(dir.Path("info.xml")));
    EXPECT_EQ(std::vector<std::wstring>{local}, temps);
}

TEST(DecodeProductInfoFile, EncipheredContentIsDeciphered) {
    ScratchDir dir;
    const std::string xml = kXml + std::string(3000, ' ') + "<!-- padding -->\n";
    ScratchDir::Write(dir.Path("src.xml"), xml);
    EncryptFile(dir.WPath("src.xml"), dir.WPath("enc.xml"), ProductInfoKey());
    ASSERT_TRUE(IsEncipheredProductInfo(dir.WPath("enc.xml")));
    ASSERT_EQ(0, GzipFile(dir.WPath("enc.xml"), dir.WPath("info.xml.gz")));
    const std::wstring local = DecodeProductInfoFile(dir.WPath("info.xml.gz"));
    EXPECT_EQ(dir.WPath("info.xml"), local);
    EXPECT_EQ(xml, ScratchDir::Read(dir.Path("info.xml")));
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("info.xml.dec")));
}

TEST(DecodeProductInfoFile, DamagedDownloadIsCritical) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("src.xml"), kXml);
    ASSERT_EQ(0, GzipFile(dir.WPath("src.xml"), dir.WPath("info.xml.gz")));
    std::string gz = ScratchDir::Read(dir.Path("info.xml.gz"));
    gz.resize(gz.size() - 9);
    ScratchDir::Write(dir.Path("info.xml.gz"), gz);
    testing::internal::CaptureStderr();
    try {
        DecodeProductInfoFile(dir.WPath("info.xml.gz"));
        FAIL() << "no exception";
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(ERR_DECODE_PRODUCT_INFO, e.code());
        EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(dir.WPath("info.xml.gz")));
    }
    testing::internal::GetCapturedStderr();
}

TEST(DecodeProductInfoFile, FileThatInflatesPastTheLimitIsCritical) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("src.xml"), kXml + std::string(100000, ' '));
    ASSERT_EQ(0, GzipFile(dir.WPath("src.xml"), dir.WPath("info.xml.gz"), "wb9"));
    testing::internal::CaptureStderr();
    try {
        DecodeProductInfoFile(dir.WPath("info.xml.gz"), nullptr, 4096);
        FAIL() << "no exception";
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(ERR_DECODE_PRODUCT_INFO, e.code());
        EXPECT_NE(std::wstring::npos,
                  std::wstring(e.twhat()).find(L"decompresses to more than 4096 bytes"));
    }
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("info.xml")));
}

TEST(IsEncipheredProductInfo, LooksAtTheFirst32BytesOnly) {
    ScratchDir dir;
    auto check = [&](const std::string& content) {
        ScratchDir::Write(dir.Path("f"), content);
        return IsEncipheredProductInfo(dir.WPath("f"));
    };
    EXPECT_FALSE(check("<?xml\tversion=\"1.0\"?>\r\n\x01\x7f"));
    EXPECT_FALSE(check("\xEF\xBB\xBF<?xml version=\"1.0\"?>"));  // byte order mark
    EXPECT_FALSE(check(std::string(32, 'a') + "\xE4\xF6"));      // past the first 32 bytes
    EXPECT_TRUE(check(std::string(31, 'a') + "\x80"));
    EXPECT_TRUE(check("\xE4"));
    EXPECT_FALSE(check(""));
    EXPECT_FALSE(IsEncipheredProductInfo(dir.WPath("missing")));
}
