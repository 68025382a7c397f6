// The record of owed post commands in the unfinished-update marker: what older markers
// (empty) mean, that a rewrite replaces the record whole, and that a failed write names
// the file.
#include "install/PendingUpdate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Exception.h"
#include "support/ScratchDir.h"

using namespace UpdateNew;

namespace {

using Names = std::vector<std::wstring>;

TEST(PendingUpdateRecord, MissingOrEmptyMarkerOwesNothing) {
    ScratchDir dir;
    EXPECT_TRUE(ReadOwedPosts(dir.WPath("master.idx.pending")).empty());
    ScratchDir::Write(dir.Path("master.idx.pending"), "");
    EXPECT_TRUE(ReadOwedPosts(dir.WPath("master.idx.pending")).empty());
}

TEST(PendingUpdateRecord, WrittenNamesReadBackInOrderAndNothingIsLeftBeside) {
    ScratchDir dir;
    const std::wstring marker = dir.WPath("master.idx.pending");
    const Names names = {L"base", L"core tools", L"d\u00e9j\u00e0=vu"};
    WriteOwedPosts(marker, names);
    EXPECT_EQ(ReadOwedPosts(marker), names);
    EXPECT_EQ(ScratchDir::Read(dir.Path("master.idx.pending")),
              "Post=base\nPost=core tools\nPost=d\xc3\xa9j\xc3\xa0=vu\n");
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("master.idx.pending.new")));

    // A rewrite replaces the record; an empty one leaves the marker in place, owing nothing.
    WriteOwedPosts(marker, {L"core tools"});
    EXPECT_EQ(ReadOwedPosts(marker), Names{L"core tools"});
    WriteOwedPosts(marker, {});
    EXPECT_TRUE(ScratchDir::Exists(dir.Path("master.idx.pending")));
    EXPECT_TRUE(ReadOwedPosts(marker).empty());
}

TEST(PendingUpdateRecord, RunDirectoriesTravelWithTheOwedPosts) {
    ScratchDir dir;
    const std::wstring marker = dir.WPath("m");
    PendingRecord record;
    record.owedPosts = {L"base"};
    record.tmpDirs = {L"/tmp/Update_1", L"/tmp/line\nbreak", L"/tmp/Update_2"};
    record.backupDirs = {L"/opt/p/backup"};
    WritePendingRecord(marker, record);
    EXPECT_EQ(ScratchDir::Read(dir.Path("m")),
              "Post=base\nTmpDir=/tmp/Update_1\nTmpDir=/tmp/Update_2\nBackupDir=/opt/p/backup\n");
    const PendingRecord read = ReadPendingRecord(marker);
    EXPECT_EQ(read.owedPosts, Names{L"base"});
    EXPECT_EQ(read.tmpDirs, (Names{L"/tmp/Update_1", L"/tmp/Update_2"}));
    EXPECT_EQ(read.backupDirs, Names{L"/opt/p/backup"});
}

TEST(PendingUpdateRecord, OtherLinesAndAnUnendedLastLineAreIgnored) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("m"), "Dir=/x\nPost=\nPost=base\npost=core\nPost=cut");
    EXPECT_EQ(ReadOwedPosts(dir.WPath("m")), Names{L"base"});
}

TEST(PendingUpdateRecord, OnlyTheFirstMegabyteIsRead) {
    ScratchDir dir;
    std::string text = "Post=first\n";
    text += std::string(kPendingRecordMaxBytes, 'x') + "\nPost=late\n";
    ScratchDir::Write(dir.Path("m"), text);
    EXPECT_EQ(ReadOwedPosts(dir.WPath("m")), Names{L"first"});
}

TEST(PendingUpdateRecord, AFailedWriteNamesTheFileAndKeepsTheOldRecord) {
    ScratchDir dir;
    const std::wstring missingDir = dir.WPath("gone/master.idx.pending");
    try {
        WriteOwedPosts(missingDir, {L"base"});
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_NE(std::wstring(e.twhat()).find(dir.WPath("gone/master.idx.pending.new")),
                  std::wstring::npos)
            << e.twhat();
    }

    // The marker's place taken by a directory: the rename fails, the record there stays.
    const std::wstring marker = dir.WPath("blocked");
    ASSERT_EQ(::mkdir(dir.Path("blocked").c_str(), 0755), 0);
    ScratchDir::Write(dir.Path("blocked/keep"), "x");
    EXPECT_THROW(WriteOwedPosts(marker, {L"base"}), Exception);
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("blocked.new")));
    EXPECT_EQ(ScratchDir::Read(dir.Path("blocked/keep")), "x");
}

}  // namespace
