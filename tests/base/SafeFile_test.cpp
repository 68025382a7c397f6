#include "base/SafeFile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "base/FileUtils.h"
#include "base/OutputFile.h"
#include "support/ScratchDir.h"

using namespace UpdateNew;

namespace {

std::string Read(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char buf[64] = {};
    const ssize_t n = fd.get() < 0 ? -1 : ::read(fd.get(), buf, sizeof buf);
    return n < 0 ? std::string("<none>") : std::string(buf, static_cast<size_t>(n));
}

}  // namespace

// What stands at a name the updater writes (a link, a FIFO, a file somebody holds open) is
// replaced, never written through; a directory there is refused.
TEST(SafeFile, NewFilesReplaceWhatStandsAtTheirName) {
    ScratchDir dir;
    const std::string outside = dir.Path("outside"), target = dir.Path("target");
    ASSERT_EQ(0, ReplaceFile(outside, "keep"));
    ASSERT_EQ(0, ::symlink(outside.c_str(), target.c_str()));
    const int held = ::open(outside.c_str(), O_RDWR | O_CLOEXEC);
    UniqueFd file;
    ASSERT_EQ(0, CreateFile(target, 0600, file));
    ASSERT_TRUE(WriteAll(file.get(), std::string("new")));
    EXPECT_EQ("keep", Read(outside));
    EXPECT_EQ("new", Read(target));
    ::close(held);

    ASSERT_EQ(0, ::mkfifo(dir.Path("fifo").c_str(), 0600));
    EXPECT_EQ(0, ReplaceFile(dir.Path("fifo"), "data"));
    EXPECT_EQ("data", Read(dir.Path("fifo")));
    ASSERT_EQ(0, ::mkdir(dir.Path("d").c_str(), 0700));
    EXPECT_EQ(EISDIR, CreateFile(dir.Path("d"), 0600, file));
    // A device (root's own, as only root makes them) is never replaced; an operator's output
    // is written into it.
    struct stat st;
    if (::mknod(dir.Path("null").c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) {
        EXPECT_EQ(EINVAL, CreateFile(dir.Path("null"), 0600, file));
        EXPECT_EQ(0, WriteOutputFile(dir.Path("null"), "data"));
        EXPECT_TRUE(::lstat(dir.Path("null").c_str(), &st) == 0 && S_ISCHR(st.st_mode));
    }

    // Existing files are written only when they are regular files with one name.
    EXPECT_EQ(0, ::symlink(outside.c_str(), dir.Path("link").c_str()));
    EXPECT_EQ(ELOOP, OpenExisting(dir.Path("link"), O_WRONLY, file));
    ASSERT_EQ(0, ::link(outside.c_str(), dir.Path("second").c_str()));
    EXPECT_EQ(EINVAL, OpenExisting(dir.Path("second"), O_WRONLY, file));
    ASSERT_EQ(0, ::mkfifo(dir.Path("fifo2").c_str(), 0600));
    EXPECT_EQ(EINVAL, OpenExisting(dir.Path("fifo2"), O_WRONLY, file));
    EXPECT_EQ(0, RemoveFile(dir.Path("link")));
    EXPECT_EQ("keep", Read(outside));

    // Reading opens regular files only, through the caller's own links too, and never waits.
    ASSERT_EQ(0, ::symlink(dir.Path("fifo2").c_str(), dir.Path("to-fifo").c_str()));
    ASSERT_EQ(0, ::symlink(outside.c_str(), dir.Path("to-file").c_str()));
    EXPECT_EQ(EINVAL, OpenRegular(dir.Path("fifo2"), file));
    EXPECT_EQ(EINVAL, OpenRegular(dir.Path("to-fifo"), file));
    EXPECT_EQ(EISDIR, OpenRegular(dir.Path("d"), file));
    ASSERT_EQ(0, OpenRegular(dir.Path("to-file"), file, &st));
    EXPECT_EQ(4, st.st_size);
}

// A link inside a path is followed when it belongs to root or the effective user, refused
// with a text naming it otherwise.
TEST(SafeFile, LinksInsideAPathNeedATrustedOwner) {
    ScratchDir dir;
    ASSERT_EQ(0, ::mkdir(dir.Path("real").c_str(), 0755));
    ASSERT_EQ(0, ::symlink("real", dir.Path("mine").c_str()));
    std::vector<std::string> created;
    UniqueFd d;
    EXPECT_EQ(0, OpenDirectory(dir.Path("mine/a/b"), d, true, 0755, &created));
    EXPECT_EQ((std::vector<std::string>{dir.Path("mine/a"), dir.Path("mine/a/b")}), created);
    UniqueFd file;
    EXPECT_EQ(0, CreateFile(dir.Path("mine/a/b/f"), 0644, file));
    EXPECT_EQ(0, ::access(dir.Path("real/a/b/f").c_str(), F_OK));
    if (::geteuid() != 0) GTEST_SKIP() << "giving a link to another user needs root";
    ASSERT_EQ(0, ::symlink("real", dir.Path("theirs").c_str()));
    ASSERT_EQ(0, ::lchown(dir.Path("theirs").c_str(), 65534, 65534));
    EXPECT_EQ(kUntrustedLink, CreateFile(dir.Path("theirs/a/g"), 0644, file));
    EXPECT_NE(std::wstring::npos, SystemErrorText(kUntrustedLink).find(L"theirs"));
    EXPECT_EQ(kUntrustedLink, RenameFile(dir.Path("real/a/b/f"), dir.Path("theirs/f")));
}
