#include "base/FileUtils.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "base/Exception.h"
#include "support/ScratchDir.h"

using namespace UpdateNew;

namespace {

mode_t Mode(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool IsDir(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

TEST(CreateDirectories, CreatesMissingLevelsAndReportsThem) {
    ScratchDir dir;
    ::mkdir(dir.Path("one").c_str(), 0755);
    std::vector<std::wstring> created;
    EXPECT_EQ(0, CreateDirectories(dir.WPath("one/two/three"), 0755, &created));
    EXPECT_TRUE(IsDir(dir.Path("one/two/three")));
    EXPECT_EQ((std::vector<std::wstring>{dir.WPath("one/two"), dir.WPath("one/two/three")}),
              created);
    EXPECT_EQ(0755, Mode(dir.Path("one/two")));
    // Existing directories are no error; "\" counts as "/"; a trailing "/" is fine.
    created.clear();
    EXPECT_EQ(0, CreateDirectories(dir.WPath("one\\two/three/"), 0755, &created));
    EXPECT_TRUE(created.empty());
    EXPECT_EQ(0, CreateDirectories(dir.WPath("a\\b"), 0700));
    EXPECT_TRUE(IsDir(dir.Path("a/b")));
    EXPECT_EQ(0700, Mode(dir.Path("a/b")));
}

TEST(CreateDirectories, FilesInTheWayGiveTheSystemError) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("file"), "x");
    EXPECT_EQ(ENOTDIR, CreateDirectories(dir.WPath("file/sub")));
    // The path itself being a file is no success either.
    EXPECT_EQ(ENOTDIR, CreateDirectories(dir.WPath("file")));
    // A path without a multibyte form.
    EXPECT_EQ(EILSEQ, CreateDirectories(dir.WPath("x") + L"\xD800"));
}

TEST(CheckDirectory, TellsDirectoriesFromOtherThings) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("file"), "x");
    EXPECT_EQ(0, CheckDirectory(dir.WPath(), false));
    EXPECT_EQ(kNotADirectory, CheckDirectory(dir.WPath("file"), true));
    EXPECT_EQ(ENOENT, CheckDirectory(dir.WPath("new/deeper"), false));
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("new")));
    EXPECT_EQ(0, CheckDirectory(dir.WPath("new/deeper"), true));
    EXPECT_TRUE(IsDir(dir.Path("new/deeper")));
    EXPECT_EQ(0755, Mode(dir.Path("new/deeper")));
}

TEST(GetTempPath, IsTheSystemTemporaryDirectory) {
    EXPECT_EQ(L"/tmp", GetTempPath());
}

TEST(RemoveDirectoryTree, RemovesEverythingButFollowsNoLinks) {
    ScratchDir dir;
    ::mkdir(dir.Path("keep").c_str(), 0755);
    ScratchDir::Write(dir.Path("keep/precious"), "x");
    ::mkdir(dir.Path("t").c_str(), 0755);
    ::mkdir(dir.Path("t/a").c_str(), 0755);
    ::mkdir(dir.Path("t/a/b").c_str(), 0755);
    ScratchDir::Write(dir.Path("t/f"), "1");
    ScratchDir::Write(dir.Path("t/a/b/g"), "2");
    ASSERT_EQ(0, ::symlink(dir.Path("keep").c_str(), dir.Path("t/a/link").c_str()));
    RemoveDirectoryTree(dir.WPath("t"));
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("t")));
    EXPECT_TRUE(ScratchDir::Exists(dir.Path("keep/precious")));
    RemoveDirectoryTree(dir.WPath("t"));  // nothing there: ignored
}

TEST(DeleteAndMoveFile, ThrowWithThePathsUnlessErrorsAreIgnored) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("f"), "x");
    EXPECT_TRUE(DeleteFile(dir.WPath("f")));
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("f")));
    EXPECT_FALSE(DeleteFile(dir.WPath("f"), true));
    try {
        DeleteFile(dir.WPath("f"));
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(ENOENT, e.code());
        EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(dir.WPath("f")));
    }

    ScratchDir::Write(dir.Path("a"), "content");
    MoveFile(dir.WPath("a"), dir.WPath("b"));
    EXPECT_EQ("content", ScratchDir::Read(dir.Path("b")));
    try {
        MoveFile(dir.WPath("a"), dir.WPath("c"));
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(ENOENT, e.code());
        const std::wstring text = e.twhat();
        EXPECT_NE(std::wstring::npos, text.find(dir.WPath("a")));
        EXPECT_NE(std::wstring::npos, text.find(dir.WPath("c")));
    }
}

TEST(CopyDirectoryTree, CopiesFilesLinksAndSubdirectories) {
    ScratchDir dir;
    ::mkdir(dir.Path("src").c_str(), 0755);
    ::mkdir(dir.Path("src/sub").c_str(), 0750);
    ScratchDir::Write(dir.Path("src/run.sh"), "#!/bin/sh\n");
    ::chmod(dir.Path("src/run.sh").c_str(), 0755);
    const std::string big = PseudoRandomBytes(200000);
    ScratchDir::Write(dir.Path("src/sub/data"), big);
    ::chmod(dir.Path("src/sub/data").c_str(), 0640);
    ASSERT_EQ(0, ::symlink("sub/data", dir.Path("src/link").c_str()));

    ASSERT_EQ(0, CopyDirectoryTree(dir.WPath("src"), dir.WPath("dst/deep")));
    EXPECT_EQ("#!/bin/sh\n", ScratchDir::Read(dir.Path("dst/deep/run.sh")));
    EXPECT_EQ(0755, Mode(dir.Path("dst/deep/run.sh")));
    EXPECT_EQ(big, ScratchDir::Read(dir.Path("dst/deep/sub/data")));
    EXPECT_EQ(0640, Mode(dir.Path("dst/deep/sub/data")));
    char target[64] = {};
    ASSERT_GT(::readlink(dir.Path("dst/deep/link").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ("sub/data", target);

    // Again over the existing copy: files are overwritten.
    ScratchDir::Write(dir.Path("src/run.sh"), "new\n");
    ASSERT_EQ(0, CopyDirectoryTree(dir.WPath("src"), dir.WPath("dst/deep")));
    EXPECT_EQ("new\n", ScratchDir::Read(dir.Path("dst/deep/run.sh")));

    EXPECT_EQ(ENOENT, CopyDirectoryTree(dir.WPath("none"), dir.WPath("x")));
}

TEST(CopyDirectoryTree, TargetInsideTheSourceIsNotCopiedIntoItself) {
    ScratchDir dir;
    ::mkdir(dir.Path("src").c_str(), 0755);
    ScratchDir::Write(dir.Path("src/f"), "x");
    ASSERT_EQ(0, CopyDirectoryTree(dir.WPath("src"), dir.WPath("src/copy")));
    EXPECT_EQ("x", ScratchDir::Read(dir.Path("src/copy/f")));
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("src/copy/copy")));
}

TEST(OpenFile, OpensWithConvertedPathAndMode) {
    ScratchDir dir;
    FILE* fp = OpenFile(dir.WPath("f"), L"wb");
    ASSERT_NE(nullptr, fp);
    std::fputs("abc", fp);
    std::fclose(fp);
    EXPECT_EQ("abc", ScratchDir::Read(dir.Path("f")));
    EXPECT_EQ(nullptr, OpenFile(dir.WPath("none/f"), L"rb"));
}

TEST(RunShellCopy, CopiesAndNeverLetsTheShellReadThePaths) {
    ScratchDir dir;
    // A name with quotes, a command substitution and blanks.
    const std::string odd = "a 'b\" $(touch INJECTED) `touch INJECTED2`";
    ::mkdir(dir.Path(odd).c_str(), 0755);
    ScratchDir::Write(dir.Path(odd + "/f"), "data");
    const std::string cwd = dir.Path();
    char saved[4096];
    ASSERT_NE(nullptr, ::getcwd(saved, sizeof saved));
    ASSERT_EQ(0, ::chdir(cwd.c_str()));
    const bool ok = RunShellCopy(dir.WPath(odd), dir.WPath("copy"), true);
    ASSERT_EQ(0, ::chdir(saved));
    EXPECT_TRUE(ok);
    EXPECT_EQ("data", ScratchDir::Read(dir.Path("copy/f")));
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("INJECTED")));
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("INJECTED2")));

    EXPECT_FALSE(RunShellCopy(dir.WPath("none"), dir.WPath("copy2"), true));
}

TEST(RunShellCopy, WithoutOverwriteANewerTargetStays) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("src"), "old");
    ScratchDir::Write(dir.Path("dst"), "newer");
    struct timespec times[2] = {{0, UTIME_OMIT}, {1000000000, 0}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, dir.Path("src").c_str(), times, 0));
    EXPECT_TRUE(RunShellCopy(dir.WPath("src"), dir.WPath("dst"), false));
    EXPECT_EQ("newer", ScratchDir::Read(dir.Path("dst")));
    EXPECT_TRUE(RunShellCopy(dir.WPath("src"), dir.WPath("dst"), true));
    EXPECT_EQ("old", ScratchDir::Read(dir.Path("dst")));
    EXPECT_EQ("cp -R -u 'a'\\''b' '/x y'", ShellCopyCommand("a'b", "/x y", false));
}
