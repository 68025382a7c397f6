// The file processor's backup, installation, rollback and clean-up on a prepared
// configuration: the directory check, a run's passes undone by a rollback with real
// module commands, and the clean-up when the processor ends.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "base/Messages.h"
#include "base/ProgramInfo.h"
#include "config/UpdateConfig.h"
#include "product/UpdateInfo.h"
#include "run/FileProcessor.h"
#include "support/InstallTestUtil.h"

using namespace UpdateNew;

namespace {

// The names in `dir`, sorted, without "." and "..".
std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class FileProcessorInstallTest : public RecordingFixture {
protected:
    // A configuration prepared like the updater's: install path, temporary directory,
    // backup directory below the install path, the recording plug-in as library.
    void Prepare(const std::vector<std::wstring>& extra = {}) {
        std::vector<std::wstring> args = {L"updater",
                                          L"--masteridx=idx/master.idx",
                                          L"--defaultsrv=http://127.0.0.1:1/",
                                          L"--productfile=product.txt",
                                          L"--install-path=" + m_dir.WPath("inst"),
                                          L"--tmpdir=" + m_dir.WPath("tmp"),
                                          L"--logfile=" + m_dir.WPath("update.log"),
                                          L"--updatelib=" + RecordingPluginPath()};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<const wchar_t*> argv;
        for (const std::wstring& a : args) argv.push_back(a.c_str());
        ASSERT_TRUE(m_config.init(static_cast<int>(argv.size()), argv.data()));
        m_config.prepare();
    }

    UpdateModuleInfo& Module(const std::wstring& name, const std::string& dest) {
        UpdateModuleInfo& m = m_info.cGetModuleByIndex(m_info.addModule(name));
        m.destination = m_dir.WPath(dest);
        m.source = name;
        m.needsupdate = true;
        m.pre = L"mark.sh pre-" + name;
        m.post = L"mark.sh post-" + name;
        m.unpost = L"mark.sh unpost-" + name;
        FileRecord f;
        f.name = L"file";
        f.needsupdate = true;
        m.files.push_back(f);
        return m;
    }

    UpdateConfig m_config;
    UpdateInfo m_info;
};

TEST(FileProcessorDirectories, UnpreparedDirectoriesAre607) {
    UpdateConfig config;
    UpdateInfo info;
    FileProcessor processor(&config, &info);
    try {
        processor.PrepareRun();
        ADD_FAILURE() << "607 expected";
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(607, e.code());
        EXPECT_EQ(Msg<249>(), e.twhat());
    }
}

// A failure in the post pass at the second of two modules: the unpost commands run
// backwards, the pre commands forwards, every module's files come back, and the post
// commands run backwards; the processor's end removes the temporary and backup
// directories and nothing else.
TEST_F(FileProcessorInstallTest, PostPhaseRollbackRunsCommandsAndRestoresTheTree) {
    Prepare();
    const std::string marker = m_dir.Path("marker.txt");
    ScratchDir::Write(m_dir.Path("inst/mark.sh"), "#!/bin/sh\necho \"$1\" >> '" + marker + "'\n");
    ASSERT_EQ(0, chmod(m_dir.Path("inst/mark.sh").c_str(), 0755));
    for (const char* d : {"inst/a", "inst/b", "tmp/A", "tmp/B"})
        ASSERT_EQ(0, mkdir(m_dir.Path(d).c_str(), 0755));
    ScratchDir::Write(m_dir.Path("inst/a/file"), "old a");
    ScratchDir::Write(m_dir.Path("inst/b/file"), "old b");
    ScratchDir::Write(m_dir.Path("tmp/A/file"), "new a");
    ScratchDir::Write(m_dir.Path("tmp/B/file"), "new b");
    Module(L"A", "inst/a");
    Module(L"B", "inst/b");
    {
        FileProcessor processor(&m_config, &m_info);
        processor.PrepareRun();
        for (int i = 0; i < 2; ++i) processor.RunPre(i);
        for (int i = 0; i < 2; ++i) {
            processor.BackupModule(i);
            processor.InstallModule(i);
        }
        EXPECT_EQ("new a", ScratchDir::Read(m_dir.Path("inst/a/file")));
        EXPECT_EQ("new b", ScratchDir::Read(m_dir.Path("inst/b/file")));
        processor.RunPost(1);
        processor.RollBack(1, 1);
        EXPECT_EQ("old a", ScratchDir::Read(m_dir.Path("inst/a/file")));
        EXPECT_EQ("old b", ScratchDir::Read(m_dir.Path("inst/b/file")));
    }
    EXPECT_EQ((std::vector<std::string>{"pre-A", "pre-B", "post-B", "unpost-B", "unpost-A", "pre-A",
                                        "pre-B", "post-B", "post-A"}),
              ReadTextLines(marker));
    EXPECT_EQ(8u, RecordOf("LIB overrideRollback").size());
    EXPECT_FALSE(ScratchDir::Exists(m_dir.Path("tmp")));
    EXPECT_FALSE(ScratchDir::Exists(m_dir.Path("inst/backup")));
    EXPECT_TRUE(ScratchDir::Exists(m_dir.Path("inst/mark.sh")));
}

TEST_F(FileProcessorInstallTest, ListFileOfAnEarlierProcessIsCleanedUpWithThisRun) {
    Prepare();
    const std::string left = m_dir.Path("left-by-first-process");
    ScratchDir::Write(left, "x");
    ScratchDir::Write(m_dir.Path("list.txt"), "File=" + left + "\n");
    {
        FileProcessor processor(&m_config, &m_info);
        processor.ReadTmpFilesList(m_dir.WPath("list.txt"));
    }
    EXPECT_FALSE(ScratchDir::Exists(left));
}

// A command line holding a "%" that names no variable (an escaped address) is repeated as
// given; it must not make the backup fail.
TEST_F(FileProcessorInstallTest, UnexpandableCommandLineDoesNotFailTheBackup) {
    Prepare();
    const std::wstring saved = GetCommandLineText();
    SetCommandLineText(L"updater --url=http://127.0.0.1/a%20b%2Fc ");
    ASSERT_EQ(0, mkdir(m_dir.Path("inst/a").c_str(), 0755));
    ScratchDir::Write(m_dir.Path("inst/a/file"), "old a");
    Module(L"A", "inst/a");
    FileProcessor processor(&m_config, &m_info);
    processor.PrepareRun();
    EXPECT_NO_THROW(processor.BackupModule(0));
    SetCommandLineText(saved);
}

// Directories given on the command line that already held the user's files keep them;
// those the run created are removed whole, unlisted leftovers included.
TEST_F(FileProcessorInstallTest, DirectoriesFoundInPlaceKeepTheUsersFiles) {
    for (const char* d : {"tmp", "bak"}) ASSERT_EQ(0, mkdir(m_dir.Path(d).c_str(), 0755));
    ScratchDir::Write(m_dir.Path("tmp/mine"), "user tmp");
    ScratchDir::Write(m_dir.Path("bak/mine"), "user backup");
    Prepare({L"--backup-dir=" + m_dir.WPath("bak")});
    EXPECT_FALSE(m_config.tmpDirCreated());
    EXPECT_FALSE(m_config.backupDirCreated());
    ASSERT_EQ(0, mkdir(m_dir.Path("inst/a").c_str(), 0755));
    ScratchDir::Write(m_dir.Path("inst/a/file"), "old a");
    Module(L"A", "inst/a");
    {
        FileProcessor processor(&m_config, &m_info);
        processor.PrepareRun();
        EXPECT_FALSE(ScratchDir::Exists(m_dir.Path("tmp/.updater-owned")));
        EXPECT_FALSE(ScratchDir::Exists(m_dir.Path("bak/.updater-owned")));
        processor.BackupModule(0);
    }
    EXPECT_EQ((std::vector<std::string>{"mine"}), ListDir(m_dir.Path("tmp")));
    EXPECT_EQ((std::vector<std::string>{"mine"}), ListDir(m_dir.Path("bak")));
    EXPECT_EQ("user tmp", ScratchDir::Read(m_dir.Path("tmp/mine")));
    EXPECT_EQ("user backup", ScratchDir::Read(m_dir.Path("bak/mine")));
    EXPECT_EQ("old a", ScratchDir::Read(m_dir.Path("inst/a/file")));
}

TEST_F(FileProcessorInstallTest, DirectoriesTheRunCreatedGoWhole) {
    Prepare({L"--backup-dir=" + m_dir.WPath("new/bak")});
    EXPECT_TRUE(m_config.tmpDirCreated());
    EXPECT_TRUE(m_config.backupDirCreated());
    {
        FileProcessor processor(&m_config, &m_info);
        processor.PrepareRun();
        EXPECT_TRUE(ScratchDir::Exists(m_dir.Path("tmp/.updater-owned")));
        EXPECT_TRUE(ScratchDir::Exists(m_dir.Path("new/bak/.updater-owned")));
        ScratchDir::Write(m_dir.Path("tmp/unlisted"), "x");
    }
    EXPECT_FALSE(ScratchDir::Exists(m_dir.Path("tmp")));
    EXPECT_FALSE(ScratchDir::Exists(m_dir.Path("new/bak")));
}

// The installation is never marked, not even when it is the temporary directory; a backup
// directory the run made inside it is, so that a killed run's copies there go too.
TEST_F(FileProcessorInstallTest, InstallationIsNeverMarkedNorRemoved) {
    Prepare({L"--tmpdir=" + m_dir.WPath("inst"), L"--backup-dir=" + m_dir.WPath("inst/bak")});
    EXPECT_FALSE(m_config.tmpDirCreated());
    EXPECT_TRUE(m_config.backupDirCreated());
    ScratchDir::Write(m_dir.Path("inst/product"), "installed");
    {
        FileProcessor processor(&m_config, &m_info);
        processor.PrepareRun();
        EXPECT_FALSE(ScratchDir::Exists(m_dir.Path("inst/.updater-owned")));
        EXPECT_TRUE(ScratchDir::Exists(m_dir.Path("inst/bak/.updater-owned")));
        ScratchDir::Write(m_dir.Path("inst/bak/left-by-a-killed-run"), "x");
    }
    EXPECT_EQ((std::vector<std::string>{"product"}), ListDir(m_dir.Path("inst")));
}

}  // namespace
