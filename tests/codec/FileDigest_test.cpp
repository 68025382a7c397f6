#include "codec/FileDigest.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/ScratchDir.h"

using namespace UpdateNew;

namespace {

std::wstring W(const char* s) {
    return std::wstring(s, s + std::char_traits<char>::length(s));
}

std::wstring Md5(const std::string& data) {
    return GetDataMD5(data.data(), data.size());
}

}  // namespace

TEST(Md5Digest, PublishedVectors) {
    EXPECT_EQ(Md5(""), W("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(Md5("abc"), W("900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_EQ(Md5("message digest"), W("f96b697d7cb7938d525a2f31aaf161d0"));
    EXPECT_EQ(Md5("1234567890123456789012345678901234567890123456789012345678901234567890"
                  "1234567890"),
              W("57edf4a22be3c955ac49da2e2107b67a"));
}

TEST(Md5Digest, TextAndBytesConvertBothWays) {
    unsigned char d[16];
    ASSERT_TRUE(TextToDigest(L"900150983CD24FB0d6963f7d28e17f72", d));
    EXPECT_EQ(DigestToText(d), W("900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_FALSE(TextToDigest(L"900150983cd24fb0d6963f7d28e17f7", d));
    EXPECT_FALSE(TextToDigest(L"900150983cd24fb0d6963f7d28e17f7g", d));
}

TEST(GetFileMD5, FilesOfKnownContentEmptyAndMissing) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("abc"), "abc");
    ScratchDir::Write(dir.Path("empty"), "");
    EXPECT_EQ(GetFileMD5(dir.WPath("abc")), W("900150983cd24fb0d6963f7d28e17f72"));
    EXPECT_EQ(GetFileMD5(dir.WPath("empty")), W("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(GetFileMD5(dir.WPath("missing")), L"");
    EXPECT_EQ(GetFileMD5(dir.WPath()), L"");  // a directory cannot be read
}

TEST(GetFileMD5, LargeFileAcrossManyReads) {
    ScratchDir dir;
    const std::string data = PseudoRandomBytes(3 * 65536 + 4097);
    ScratchDir::Write(dir.Path("big"), data);
    EXPECT_EQ(GetFileMD5(dir.WPath("big")), Md5(data));
}

TEST(GetFileMD5, ShorterThanItsStatSizeGivesTheEmptyText) {
    ScratchDir dir;
    const std::string data = PseudoRandomBytes(100000);
    ScratchDir::Write(dir.Path("shrinks"), data);
    int fd = ::open(dir.Path("shrinks").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(0, ::fstat(fd, &st));
    // The file shrinks after its size was taken.
    ASSERT_EQ(0, ::ftruncate(fd, 70000));
    EXPECT_EQ(GetDescriptorMD5(fd, st.st_size), L"");
    EXPECT_EQ(GetDescriptorMD5(fd, 70000), Md5(data.substr(0, 70000)));
    ::close(fd);

    // Kernel attribute files state a size of a page but hold a few bytes.
    const char* sysFile = "/sys/devices/system/cpu/online";
    if (::stat(sysFile, &st) == 0 && st.st_size == 4096) {
        EXPECT_EQ(GetFileMD5(W(sysFile)), L"");
    }
}

TEST(GetFileMD5, SkipRangesLeaveBytesOut) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("f"), "AAAxxxBBByyyCCC");
    const std::wstring f = dir.WPath("f");
    EXPECT_EQ(GetFileMD5(f, {{3, 6}, {9, 12}}), Md5("AAABBBCCC"));
    EXPECT_EQ(GetFileMD5(f, {{9, 12}, {3, 6}}), Md5("AAABBBCCC"));  // any order
    EXPECT_EQ(GetFileMD5(f, {{0, 3}}), Md5("xxxBBByyyCCC"));
    EXPECT_EQ(GetFileMD5(f, {{12, 100}}), Md5("AAAxxxBBByyy"));  // past the end
    EXPECT_EQ(GetFileMD5(f, {{3, 9}, {6, 12}}), Md5("AAACCC"));  // overlapping
    EXPECT_EQ(GetFileMD5(f, {{5, 5}}), Md5("AAAxxxBBByyyCCC"));  // empty range
    EXPECT_EQ(GetFileMD5(f, {{0, 15}}), Md5(""));
}

TEST(GetFileMD5, SkipRangeAcrossAReadBoundary) {
    ScratchDir dir;
    const std::string data = PseudoRandomBytes(200000, 7);
    ScratchDir::Write(dir.Path("f"), data);
    const std::string expected =
        data.substr(0, 65000) + data.substr(66000, 100000) + data.substr(170000);
    EXPECT_EQ(GetFileMD5(dir.WPath("f"), {{65000, 66000}, {166000, 170000}}), Md5(expected));
}

TEST(GetInfoFileMD5, LeavesOutTheDateAndDigestLines) {
    ScratchDir dir;
    const std::string head = "<?xml version=\"1.0\"?>\n<PRODUCT>\n";
    const std::string tail = "<MODULE name=\"a\"/>\n</PRODUCT>\n";
    ScratchDir::Write(dir.Path("a.xml"),
                      head + "<DATE value=\"2026-01-01\"/>\n" + "<MD5 value=\"0123\"/>\n" + tail);
    ScratchDir::Write(dir.Path("b.xml"), head + "<DATE value=\"2027-12-31 10:00\"/>\n" +
                                             "<MD5 value=\"ffffffffffff\"/>\n" + tail);
    EXPECT_EQ(GetInfoFileMD5(dir.WPath("a.xml")), Md5(head + tail));
    EXPECT_EQ(GetInfoFileMD5(dir.WPath("b.xml")), Md5(head + tail));
    // The marker is found where it starts mid-line; the line's start stays in the digest.
    ScratchDir::Write(dir.Path("c.xml"), head + "  <DATE value=\"x\"/>\n" + tail);
    EXPECT_EQ(GetInfoFileMD5(dir.WPath("c.xml")), Md5(head + "  " + tail));
    // A marker line at the very end without a line end is left out to the end.
    ScratchDir::Write(dir.Path("d.xml"), head + "<DATE value=\"1\"/>\n<MD5 value=\"2\"/>");
    EXPECT_EQ(GetInfoFileMD5(dir.WPath("d.xml")), Md5(head));
}

TEST(GetInfoFileMD5, DigestLineCountsOnlyAfterTheDateLine) {
    ScratchDir dir;
    // Without a date line the file is digested whole, its digest line included.
    const std::string noDate = "<PRODUCT>\n<MD5 value=\"abc\"/>\n</PRODUCT>\n";
    ScratchDir::Write(dir.Path("nodate.xml"), noDate);
    EXPECT_EQ(GetInfoFileMD5(dir.WPath("nodate.xml")), Md5(noDate));
    // A digest line before the date line stays in.
    ScratchDir::Write(dir.Path("order.xml"), "<MD5 value=\"1\"/>\n<DATE value=\"2\"/>\n<X/>\n");
    EXPECT_EQ(GetInfoFileMD5(dir.WPath("order.xml")), Md5("<MD5 value=\"1\"/>\n<X/>\n"));
    // A repeated "<" before the marker does not hide it.
    ScratchDir::Write(dir.Path("lt.xml"), "a<<DATE value=\"1\"/>\nb\n");
    EXPECT_EQ(GetInfoFileMD5(dir.WPath("lt.xml")), Md5("a<b\n"));
    EXPECT_EQ(GetInfoFileMD5(dir.WPath("missing.xml")), L"");
}
