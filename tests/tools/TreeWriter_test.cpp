#include "TreeWriter.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>

#include "base/Conv.h"
#include "base/Exception.h"
#include "support/TestServers.h"

using namespace UpdateNew;

using TestServers::ReadFile;
using TestServers::TempDir;
using TestServers::WriteFile;

namespace {

// Every entry below `dir`, relative to it, directories with a trailing "/".
std::set<std::string> Listing(const std::string& dir, const std::string& prefix = "") {
    std::set<std::string> out;
    DIR* d = opendir((dir + "/" + prefix).c_str());
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        std::string rel = prefix + name;
        stat((dir + "/" + rel).c_str(), &st);
        if (S_ISDIR(st.st_mode)) {
            out.insert(rel + "/");
            for (const std::string& sub : Listing(dir, rel + "/")) out.insert(sub);
        } else {
            out.insert(rel);
        }
    }
    closedir(d);
    return out;
}

ino_t Inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

}  // namespace

TEST(TreeWriter, CommitPutsChangedFilesInPlaceAndLeavesTheRest) {
    TempDir dir("publish-tree");
    WriteFile(dir.file("out/same.txt"), "same");
    WriteFile(dir.file("out/old.txt"), "old");
    ino_t sameInode = Inode(dir.file("out/same.txt"));
    ino_t oldInode = Inode(dir.file("out/old.txt"));
    {
        TreeWriter tree(FromMultibyte(dir.file("out")));
        WriteFile(ToMultibyte(tree.Prepare(L"same.txt")), "same");
        WriteFile(ToMultibyte(tree.Prepare(L"old.txt")), "new");
        WriteFile(ToMultibyte(tree.Prepare(L"a/b/c.txt")), "c");
        EXPECT_FALSE(tree.Finish(L"same.txt"));
        EXPECT_TRUE(tree.Finish(L"old.txt"));
        EXPECT_TRUE(tree.Finish(L"a/b/c.txt"));
        // Nothing is visible under the target names before the commit.
        EXPECT_EQ("old", ReadFile(dir.file("out/old.txt")));
        tree.Commit();
    }
    EXPECT_EQ((std::set<std::string>{"a/", "a/b/", "a/b/c.txt", "old.txt", "same.txt"}),
              Listing(dir.file("out")));
    EXPECT_EQ(sameInode, Inode(dir.file("out/same.txt")));  // not rewritten
    EXPECT_NE(oldInode, Inode(dir.file("out/old.txt")));
    EXPECT_EQ("new", ReadFile(dir.file("out/old.txt")));
    EXPECT_EQ("c", ReadFile(dir.file("out/a/b/c.txt")));
    struct stat st;
    ASSERT_EQ(0, stat(dir.file("out/a/b/c.txt").c_str(), &st));
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(0666 & ~mask, st.st_mode & 0777);  // readable by a web server, not mkstemp's 0600
}

TEST(TreeWriter, AnUncommittedWriterLeavesTheTreeAsItFoundIt) {
    TempDir dir("publish-tree");
    WriteFile(dir.file("out/keep/old.txt"), "old");
    {
        TreeWriter tree(FromMultibyte(dir.file("out")));
        WriteFile(ToMultibyte(tree.Prepare(L"keep/old.txt")), "new");
        WriteFile(ToMultibyte(tree.Prepare(L"new/dir/file.txt")), "x");
        tree.Prepare(L"keep/unfinished.txt");
        tree.Finish(L"keep/old.txt");
        EXPECT_THROW(tree.Commit(), Exception);  // one file was never finished
    }
    EXPECT_EQ((std::set<std::string>{"keep/", "keep/old.txt"}), Listing(dir.file("out")));
    EXPECT_EQ("old", ReadFile(dir.file("out/keep/old.txt")));
}

TEST(TreeWriter, ProblemsNameThePath) {
    TempDir dir("publish-tree");
    WriteFile(dir.file("out/file"), "x");
    TreeWriter tree(FromMultibyte(dir.file("out")));
    try {
        tree.Prepare(L"file/inside.txt");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ("cannot use the directory " + dir.file("out/file") + ": Not a directory",
                  std::string(e.what()));
    }
    tree.Prepare(L"twice");
    EXPECT_THROW(tree.Prepare(L"twice"), Exception);
    tree.Discard(L"twice");
    EXPECT_THROW(tree.Finish(L"never"), Exception);
}

TEST(TreeWriter, SameFileContentComparesBytes) {
    TempDir dir("publish-tree");
    WriteFile(dir.file("a"), std::string(40000, 'x'));
    WriteFile(dir.file("b"), std::string(40000, 'x'));
    WriteFile(dir.file("c"), std::string(40000, 'x') + "y");
    WriteFile(dir.file("d"), std::string(39999, 'x') + "y");
    EXPECT_TRUE(SameFileContent(FromMultibyte(dir.file("a")), FromMultibyte(dir.file("b"))));
    EXPECT_FALSE(SameFileContent(FromMultibyte(dir.file("a")), FromMultibyte(dir.file("c"))));
    EXPECT_FALSE(SameFileContent(FromMultibyte(dir.file("a")), FromMultibyte(dir.file("d"))));
    EXPECT_FALSE(SameFileContent(FromMultibyte(dir.file("a")), FromMultibyte(dir.file("none"))));
}
