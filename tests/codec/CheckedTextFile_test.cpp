#include "codec/CheckedTextFile.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "codec/FileDigest.h"
#include "support/ScratchDir.h"

using namespace UpdateNew;

namespace {

std::string Md5(const std::string& data) {
    std::wstring w = GetDataMD5(data.data(), data.size());
    return std::string(w.begin(), w.end());
}

const std::string kContent = "product/a.xml\nproduct/b.xml\n\nlast line\n";

}  // namespace

TEST(ReadCheckedTextFile, AcceptsAMatchingDigestLine) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("idx"), kContent + "<" + Md5(kContent) + "\n");
    std::vector<std::string> lines;
    EXPECT_EQ(4, ReadCheckedTextFile(dir.WPath("idx"), lines));
    EXPECT_EQ((std::vector<std::string>{"product/a.xml", "product/b.xml", "", "last line"}), lines);
    EXPECT_EQ(4, ReadCheckedTextFile(dir.WPath("idx")));
    // Lines after the digest line do not count; an uppercase digest is the same digest.
    std::string upper = Md5(kContent);
    for (char& c : upper) c = static_cast<char>(toupper(c));
    ScratchDir::Write(dir.Path("idx2"), kContent + "<" + upper + " trailing\nignored\n");
    EXPECT_EQ(4, ReadCheckedTextFile(dir.WPath("idx2")));
    // No lines at all.
    ScratchDir::Write(dir.Path("empty"), "<" + Md5("") + "\n");
    EXPECT_EQ(0, ReadCheckedTextFile(dir.WPath("empty")));
}

TEST(ReadCheckedTextFile, CrLfAndLfFilesHaveTheSameDigest) {
    ScratchDir dir;
    const std::string crlf = "product/a.xml\r\nproduct/b.xml\r\n\r\nlast line\r\n";
    ScratchDir::Write(dir.Path("idx"), crlf + "<" + Md5(kContent) + "\r\n");
    std::vector<std::string> lines;
    EXPECT_EQ(4, ReadCheckedTextFile(dir.WPath("idx"), lines));
    EXPECT_EQ("product/a.xml", lines[0]);
    EXPECT_EQ("", lines[2]);
}

TEST(ReadCheckedTextFile, RefusesBadFiles) {
    ScratchDir dir;
    const std::string digest = Md5(kContent);
    auto check = [&](const std::string& content) {
        ScratchDir::Write(dir.Path("f"), content);
        std::vector<std::string> lines{"stale"};
        int n = ReadCheckedTextFile(dir.WPath("f"), lines);
        EXPECT_TRUE(lines.empty());
        return n;
    };
    // Too short: the digest line needs 32 characters and its line end after the "<".
    EXPECT_EQ(-1, check(kContent + "<" + digest.substr(0, 31) + "\n"));
    EXPECT_EQ(-1, check(kContent + "<" + digest));
    EXPECT_EQ(-1, check(kContent + "<\n"));
    // Wrong digest, damaged content, no digest line at all.
    EXPECT_EQ(-1, check(kContent + "<" + Md5("other") + "\n"));
    EXPECT_EQ(-1, check("product/a.xml\nproduct/c.xml\n\nlast line\n<" + digest + "\n"));
    EXPECT_EQ(-1, check(kContent));
    EXPECT_EQ(-1, check(""));
    EXPECT_EQ(-1, ReadCheckedTextFile(dir.WPath("missing")));
}

TEST(ReadCheckedTextFile, BoundedBufferHoldsTheLinesOrRefuses) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("idx"), kContent + "<" + Md5(kContent) + "\n");
    // Each line with its LF and a NUL: 15 + 15 + 2 + 11 bytes.
    const size_t needed = 43;
    std::vector<char> buf(needed + 8, 'X');
    ASSERT_EQ(4, ReadCheckedTextFile(dir.WPath("idx"), buf.data(), needed));
    EXPECT_EQ(std::string("product/a.xml\n\0product/b.xml\n\0\n\0last line\n\0", needed),
              std::string(buf.data(), needed));
    EXPECT_EQ('X', buf[needed]);  // nothing written past the stated size

    std::vector<char> small(needed - 1, 'X');
    EXPECT_EQ(-1, ReadCheckedTextFile(dir.WPath("idx"), small.data(), small.size()));
    EXPECT_EQ(-1, ReadCheckedTextFile(dir.WPath("idx"), nullptr, 0));
}

TEST(ReadCheckedTextFile, GrowableFormRefusesContentBeyondItsLimit) {
    ScratchDir dir;
    std::string content;
    for (int i = 0; i < 2000; ++i)
        content += "some/long/path/name/number/" + std::to_string(i) + "\n";
    ScratchDir::Write(dir.Path("idx"), content + "<" + Md5(content) + "\n");
    std::vector<std::string> lines;
    EXPECT_EQ(2000, ReadCheckedTextFile(dir.WPath("idx"), lines));
    EXPECT_EQ(-1, ReadCheckedTextFile(dir.WPath("idx"), lines, content.size() - 1));
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(2000, ReadCheckedTextFile(dir.WPath("idx"), lines, content.size()));
    // A line far longer than any fixed line buffer is digested whole.
    const std::string longLine = std::string(5000, 'a') + "<b\n";
    ScratchDir::Write(dir.Path("long"), longLine + "<" + Md5(longLine) + "\n");
    EXPECT_EQ(1, ReadCheckedTextFile(dir.WPath("long"), lines));
}

TEST(WriteCheckedTextFile, WritesWhatTheReaderAccepts) {
    ScratchDir dir;
    const std::vector<std::string> lines{"product/a.xml", "", "x y"};
    ASSERT_EQ(0, WriteCheckedTextFile(dir.WPath("idx"), lines));
    EXPECT_EQ("product/a.xml\n\nx y\n<" + Md5("product/a.xml\n\nx y\n") + "\n",
              ScratchDir::Read(dir.Path("idx")));
    std::vector<std::string> read;
    EXPECT_EQ(3, ReadCheckedTextFile(dir.WPath("idx"), read));
    EXPECT_EQ(lines, read);
    // Replaced whole; refused lines leave the old file.
    EXPECT_EQ(EINVAL, WriteCheckedTextFile(dir.WPath("idx"), {"ok", "<early end"}));
    EXPECT_EQ(EINVAL, WriteCheckedTextFile(dir.WPath("idx"), {"two\nlines"}));
    EXPECT_EQ(3, ReadCheckedTextFile(dir.WPath("idx")));
    EXPECT_EQ(ENOENT, WriteCheckedTextFile(dir.WPath("no/dir/idx"), lines));
}
