#include "codec/FileInfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/Exception.h"
#include "support/ScratchDir.h"

using namespace UpdateNew;

TEST(FileInfo, StatsThePathWhenSet) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("f"), "12345");
    FileInfo info(dir.WPath("f"));
    EXPECT_TRUE(info.Exists());
    EXPECT_EQ(5, info.GetSize());
    struct stat st;
    ASSERT_EQ(0, ::stat(dir.Path("f").c_str(), &st));
    EXPECT_EQ(st.st_mtime, info.GetModificationTime());
    EXPECT_EQ(info.GetMD5(), info.GetMD5(true));  // no PE areas here: whole file either way

    FileInfo missing;
    EXPECT_FALSE(missing.SetPath(dir.WPath("none")));
    EXPECT_EQ(0, missing.GetSize());
    EXPECT_EQ(L"", missing.GetMD5());
}

TEST(CompareFilesByMD5, EqualContentOnlyWhenBothFilesExist) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("a"), "same content\n");
    ScratchDir::Write(dir.Path("b"), "same content\n");
    ScratchDir::Write(dir.Path("c"), "same content!");
    FileInfo a(dir.WPath("a")), b(dir.WPath("b")), c(dir.WPath("c"));
    FileInfo none1(dir.WPath("none")), none2(dir.WPath("none"));
    EXPECT_TRUE(CompareFilesByMD5(a, b));
    EXPECT_FALSE(CompareFilesByMD5(a, c));
    EXPECT_FALSE(CompareFilesByMD5(a, none1));
    EXPECT_FALSE(CompareFilesByMD5(none1, a));
    // Two missing files have no digest; they are not "equal".
    EXPECT_FALSE(CompareFilesByMD5(none1, none2));
    EXPECT_TRUE(CompareFilesByMD5(none1, none1));  // the same object
    // Existence is checked now, not when the path was set.
    ScratchDir::Write(dir.Path("none"), "same content\n");
    EXPECT_TRUE(CompareFilesByMD5(none1, a));
}

TEST(CSimpleFile, WritesAndReadsLinesAndBytes) {
    ScratchDir dir;
    const std::wstring path = dir.WPath("t.txt");
    {
        CSimpleFile f;
        f.Open(path, L"wb");
        EXPECT_TRUE(f.IsOpen());
        f.WriteLine(L"File=/tmp/a b");
        f.WriteLine(L"");
        f.Write("Dir=/x\r\nlast", 12);
        f.Write(nullptr, 0);
        f.Close();
        EXPECT_FALSE(f.IsOpen());
    }
    EXPECT_EQ("File=/tmp/a b\n\nDir=/x\r\nlast", ScratchDir::Read(dir.Path("t.txt")));

    CSimpleFile f;
    f.Open(path, L"rb");
    std::wstring line;
    ASSERT_TRUE(f.ReadLine(line));
    EXPECT_EQ(L"File=/tmp/a b", line);
    ASSERT_TRUE(f.ReadLine(line));
    EXPECT_EQ(L"", line);
    ASSERT_TRUE(f.ReadLine(line));
    EXPECT_EQ(L"Dir=/x", line);
    ASSERT_TRUE(f.ReadLine(line));
    EXPECT_EQ(L"last", line);
    EXPECT_FALSE(f.ReadLine(line));

    char buf[8];
    f.SetPos(5);
    ASSERT_EQ(4, f.Read(buf, 4));
    EXPECT_EQ("/tmp", std::string(buf, 4));
    f.SetEndPos();
    EXPECT_EQ(0, f.Read(buf, sizeof buf));
    f.SetStartPos();
    ASSERT_EQ(4, f.Read(buf, 4));
    EXPECT_EQ("File", std::string(buf, 4));
}  // the destructor closes the open file

TEST(CSimpleFile, OpenFailureNamesThePathAndTheSystemError) {
    ScratchDir dir;
    CSimpleFile f;
    const std::wstring path = dir.WPath("no/such/file");
    try {
        f.Open(path, L"rb");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(ENOENT, e.code());
        const std::wstring text = e.twhat();
        EXPECT_NE(std::wstring::npos, text.find(path)) << e.what();
        EXPECT_NE(std::string::npos, std::string(e.what()).find(std::strerror(ENOENT)));
    }
    EXPECT_FALSE(f.IsOpen());
}

TEST(CSimpleFileDeathTest, BrokenPreconditionsEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    ScratchDir dir;
    ScratchDir::Write(dir.Path("f"), "data");
    // A count of 0 is a caller error, not a read of nothing.
    EXPECT_DEATH(
        {
            CSimpleFile f;
            f.Open(dir.WPath("f"), L"rb");
            char c;
            f.Read(&c, 0);
        },
        "FileInfo.cpp:.*nNum > 0");
    EXPECT_DEATH(
        {
            CSimpleFile f;
            f.Open(dir.WPath("f"), L"rb");
            f.Open(dir.WPath("f"), L"rb");
        },
        "precondition failed");
    EXPECT_DEATH(
        {
            CSimpleFile f;
            f.Close();
        },
        "precondition failed");
}
