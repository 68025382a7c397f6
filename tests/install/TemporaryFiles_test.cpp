// The run's temporary files: clean-up order and the plug-in's part in it, and the list
// file that carries both lists to the next updater process.
#include "install/TemporaryFiles.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "plugin/UpdateCallbacks.h"
#include "support/InstallTestUtil.h"

using namespace UpdateNew;

namespace {

class TemporaryFilesTest : public RecordingFixture {};

TEST_F(TemporaryFilesTest, DirectoriesAreListedOnceFilesAsOftenAsGiven) {
    CTemporaryFiles t;
    t.addDir(L"/a");
    t.addDir(L"/b");
    t.addDir(L"/a");
    t.addFile(L"/f");
    t.addFile(L"/f");
    EXPECT_EQ((std::vector<std::wstring>{L"/a", L"/b"}), t.dirs());
    EXPECT_EQ((std::vector<std::wstring>{L"/f", L"/f"}), t.files());
}

TEST_F(TemporaryFilesTest, CleanupOffersFilesInOrderThenDirectoriesInReverse) {
    const std::string tmp = m_dir.Path("tmp");
    ASSERT_EQ(0, mkdir(tmp.c_str(), 0755));
    ASSERT_EQ(0, mkdir((tmp + "/sub").c_str(), 0755));
    ScratchDir::Write(tmp + "/one", "1");
    ScratchDir::Write(tmp + "/sub/two", "2");
    ScratchDir::Write(tmp + "/sub/left", "stays until the directory goes");

    UpdateCallbacks cb;
    cb.LoadLib(RecordingPluginPath());
    CTemporaryFiles t;
    t.addDir(W(tmp));
    t.addDir(W(tmp + "/sub"));
    t.addFile(W(tmp + "/one"));
    t.addFile(W(tmp + "/missing"));
    t.addFile(W(tmp + "/sub/two"));
    t.cleanup(cb);

    EXPECT_FALSE(ScratchDir::Exists(tmp));
    EXPECT_TRUE(t.files().empty());
    EXPECT_TRUE(t.dirs().empty());
    const std::vector<std::string> expected = {
        "LIB DeleteFile(\"" + tmp + "/one\")", "LIB DeleteFile(\"" + tmp + "/missing\")",
        "LIB DeleteFile(\"" + tmp + "/sub/two\")", "LIB DeleteDir(\"" + tmp + "/sub\")",
        "LIB DeleteDir(\"" + tmp + "\")"};
    EXPECT_EQ(expected, Record());
}

TEST_F(TemporaryFilesTest, PluginThatDeletesKeepsTheUpdaterFromDeleting) {
    const std::string file = m_dir.Path("kept");
    const std::string dir = m_dir.Path("keptdir");
    ScratchDir::Write(file, "x");
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    setenv("UPD_REC_ANSWERS", "DeleteFile=0,DeleteDir=0", 1);
    UpdateCallbacks cb;
    cb.LoadLib(RecordingPluginPath());
    CTemporaryFiles t;
    t.addFile(W(file));
    t.addDir(W(dir));
    t.cleanup(cb);
    EXPECT_TRUE(ScratchDir::Exists(file));
    EXPECT_TRUE(ScratchDir::Exists(dir));
}

TEST_F(TemporaryFilesTest, FailingPluginNeitherStopsNorEscapesTheCleanup) {
    const std::string a = m_dir.Path("a"), b = m_dir.Path("b");
    ScratchDir::Write(a, "a");
    ScratchDir::Write(b, "b");
    setenv("UPD_REC_THROW", "DeleteFile", 1);
    UpdateCallbacks cb;
    cb.LoadLib(RecordingPluginPath());
    CTemporaryFiles t;
    t.addFile(W(a));
    t.addFile(W(b));
    t.addDir(L"/");  // never removed, whatever a list says
    EXPECT_NO_THROW(t.cleanup(cb));
    EXPECT_FALSE(ScratchDir::Exists(a));
    EXPECT_FALSE(ScratchDir::Exists(b));
}

TEST_F(TemporaryFilesTest, ParentListedAfterChildIsRemovedFirstWithEverything) {
    const std::string parent = m_dir.Path("p"), child = parent + "/c";
    ASSERT_EQ(0, mkdir(parent.c_str(), 0755));
    ASSERT_EQ(0, mkdir(child.c_str(), 0755));
    ScratchDir::Write(child + "/f", "f");
    const std::string list = m_dir.Path("list.txt");
    ScratchDir::Write(list, "Dir=" + child + "\nDir=" + parent + "\n");
    UpdateCallbacks cb;
    cb.LoadLib(RecordingPluginPath());
    CTemporaryFiles t;
    ASSERT_TRUE(t.readListFile(W(list)));
    t.cleanup(cb);
    EXPECT_FALSE(ScratchDir::Exists(parent));
    EXPECT_EQ((std::vector<std::string>{"LIB DeleteDir(\"" + parent + "\")",
                                        "LIB DeleteDir(\"" + child + "\")"}),
              Record());
}

TEST_F(TemporaryFilesTest, ListFileRoundTrip) {
    CTemporaryFiles first;
    first.addFile(L"/t/a.gz");
    first.addFile(L"/t/a");
    first.addDir(L"/t");
    first.addDir(L"/t/mod dir");
    const std::wstring list = m_dir.WPath("ToRemove.txt");
    ASSERT_TRUE(first.writeListFile(list));

    EXPECT_EQ(
        (std::vector<std::string>{"File=/t/a.gz", "File=/t/a", "File=" + m_dir.Path("ToRemove.txt"),
                                  "Dir=/t", "Dir=/t/mod dir"}),
        ReadTextLines(m_dir.Path("ToRemove.txt")));
    EXPECT_FALSE(ScratchDir::Exists(m_dir.Path("ToRemove.txt.new")));

    CTemporaryFiles next;
    next.addDir(L"/t");  // already known: not listed twice
    ASSERT_TRUE(next.readListFile(list));
    EXPECT_EQ(first.files(), next.files());
    EXPECT_EQ(first.dirs(), next.dirs());
}

TEST_F(TemporaryFilesTest, ListFilePathsWithEqualSignsRoundTrip) {
    CTemporaryFiles first;
    first.addFile(L"/t/a=b.gz");
    first.addFile(L"/t/==");
    first.addFile(L"/t/x=File=/etc");
    first.addDir(L"/t/k=v");
    first.addDir(L"/t/Dir=");
    const std::wstring list = m_dir.WPath("ToRemove.txt");
    ASSERT_TRUE(first.writeListFile(list));
    EXPECT_EQ((std::vector<std::string>{"File=/t/a=b.gz", "File=/t/==", "File=/t/x=File=/etc",
                                        "File=" + m_dir.Path("ToRemove.txt"), "Dir=/t/k=v",
                                        "Dir=/t/Dir="}),
              ReadTextLines(m_dir.Path("ToRemove.txt")));

    CTemporaryFiles next;
    ASSERT_TRUE(next.readListFile(list));
    EXPECT_EQ(first.files(), next.files());
    EXPECT_EQ(first.dirs(), next.dirs());
}

TEST_F(TemporaryFilesTest, PathsThatWouldReadBackAsOthersAreLeftOutOfTheListFile) {
    // A line end in a path would make the next process read a line of its own ("Dir=/"
    // after it); surrounding blanks would be trimmed away, naming another file.
    const std::string victim = m_dir.Path("victim");
    ScratchDir::Write(victim, "not a temporary file");
    CTemporaryFiles first;
    first.addFile(L"/t/evil\nFile=" + W(victim));
    first.addFile(W(victim) + L" ");
    first.addFile(L"\t" + W(victim));
    first.addFile(L"/t/" + std::wstring(1200, L'l'));
    first.addFile(L"/t/kept");
    first.addDir(L"/t/d\r\nDir=" + W(m_dir.Path()));
    const std::wstring list = m_dir.WPath("ToRemove.txt");
    ASSERT_TRUE(first.writeListFile(list));

    CTemporaryFiles next;
    ASSERT_TRUE(next.readListFile(list));
    EXPECT_EQ((std::vector<std::wstring>{L"/t/kept", list}), next.files());
    EXPECT_TRUE(next.dirs().empty());
    UpdateCallbacks cb;
    next.cleanup(cb);
    EXPECT_TRUE(ScratchDir::Exists(victim));
}

TEST_F(TemporaryFilesTest, ListFileLinesThatAreNotAKeyAndAPathAreIgnored) {
    // Lines written by earlier versions read as before; the path is everything after the
    // first "=", so a path may hold "=" itself.
    const std::string list = m_dir.Path("list.txt");
    ScratchDir::Write(list,
                      "  File=/x/one  \r\n"
                      "File\n"
                      "File=/x=y\n"
                      "Other=/x/other\n"
                      "File =/x/spaced\n"
                      "Dir=\n"
                      "=/x/nokey\n"
                      "\tDir=/x/d\n"
                      "File=/" +
                          std::string(1200, 'l') +
                          "\n"
                          "File=/x/two\n");
    CTemporaryFiles t;
    ASSERT_TRUE(t.readListFile(W(list)));
    EXPECT_EQ((std::vector<std::wstring>{L"/x/one", L"/x=y", L"/x/two"}), t.files());
    EXPECT_EQ((std::vector<std::wstring>{L"/x/d"}), t.dirs());
}

TEST_F(TemporaryFilesTest, MissingOrUnwritableListFileIsNoError) {
    CTemporaryFiles t;
    EXPECT_FALSE(t.readListFile(m_dir.WPath("absent.txt")));
    EXPECT_TRUE(t.files().empty());
    EXPECT_FALSE(t.writeListFile(m_dir.WPath("no/such/dir/ToRemove.txt")));
}

// The temporary and backup directories: one found in place keeps what the run did not
// put there; one holding the owner marker (created by this run or by a killed one) goes
// whole. The plug-in is offered each directory all the same.
TEST_F(TemporaryFilesTest, RunDirectoryFoundInPlaceKeepsTheUsersFiles) {
    const std::string dir = m_dir.Path("users");
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ASSERT_EQ(0, mkdir((dir + "/own").c_str(), 0755));
    ScratchDir::Write(dir + "/notes.txt", "the user's");
    ScratchDir::Write(dir + "/download.gz", "the run's");
    ScratchDir::Write(dir + "/own/file", "the run's");

    UpdateCallbacks cb;
    cb.LoadLib(RecordingPluginPath());
    CTemporaryFiles t;
    t.addRunDir(W(dir + "/"));
    t.addDir(W(dir + "/own"));
    t.addFile(W(dir + "/download.gz"));
    t.addFile(W(dir + "/own/file"));
    t.cleanup(cb);

    EXPECT_EQ("the user's", ScratchDir::Read(dir + "/notes.txt"));
    EXPECT_FALSE(ScratchDir::Exists(dir + "/download.gz"));
    EXPECT_FALSE(ScratchDir::Exists(dir + "/own"));
    EXPECT_EQ((std::vector<std::string>{"LIB DeleteDir(\"" + dir + "/own\")",
                                        "LIB DeleteDir(\"" + dir + "/\")"}),
              RecordOf("LIB DeleteDir"));
}

TEST_F(TemporaryFilesTest, EmptyRunDirectoryFoundInPlaceIsRemoved) {
    const std::string dir = m_dir.Path("empty");
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ScratchDir::Write(dir + "/download.gz", "the run's");
    UpdateCallbacks cb;
    CTemporaryFiles t;
    t.addRunDir(W(dir));
    t.addFile(W(dir + "/download.gz"));
    t.cleanup(cb);
    EXPECT_FALSE(ScratchDir::Exists(dir));
}

TEST_F(TemporaryFilesTest, MarkedRunDirectoryGoesWholeAlsoFromAListFile) {
    // Left by a killed run: marked, with files no list names any more.
    const std::string dir = m_dir.Path("left");
    ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
    ASSERT_EQ(0, mkdir((dir + "/sub").c_str(), 0755));
    ScratchDir::Write(dir + "/sub/orphan", "x");
    ASSERT_FALSE(CTemporaryFiles::IsOwned(W(dir)));
    ASSERT_TRUE(CTemporaryFiles::MarkOwned(W(dir + "/")));
    EXPECT_TRUE(CTemporaryFiles::IsOwned(W(dir)));
    EXPECT_TRUE(ScratchDir::Exists(dir + "/.updater-owned"));

    // The restarted process lists it from the first one's list file and again itself.
    ScratchDir::Write(m_dir.Path("list.txt"), "Dir=" + dir + "/\n");
    UpdateCallbacks cb;
    CTemporaryFiles t;
    ASSERT_TRUE(t.readListFile(m_dir.WPath("list.txt")));
    t.addRunDir(W(dir + "/"));
    // A listed file goes with the tree only when its path is spelled below it.
    ScratchDir::Write(m_dir.Path("beside.gz"), "x");
    t.addFile(W(dir + "/sub/orphan"));
    t.addFile(W(dir + "/sub/../../beside.gz"));
    t.cleanup(cb);
    EXPECT_FALSE(ScratchDir::Exists(dir));
    EXPECT_FALSE(ScratchDir::Exists(m_dir.Path("beside.gz")));
}

TEST_F(TemporaryFilesTest, MarkerThatCannotBeWrittenIsReported) {
    EXPECT_FALSE(CTemporaryFiles::MarkOwned(m_dir.WPath("no/such/dir")));
    EXPECT_FALSE(CTemporaryFiles::IsOwned(m_dir.WPath("no/such/dir")));
}

}  // namespace
