// Backup, installation and restore on real trees: round trips that leave the installed
// tree as it was, backup names that collide, copies that cannot be completed, a target
// that must be replaced through ".tmp", the plug-in taking modules over, mirror paths and
// the hand-over of the updater's own module.
#include "install/ModuleInstaller.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "install/TemporaryFiles.h"
#include "plugin/UpdateCallbacks.h"
#include "product/UpdateInfo.h"
#include "support/InstallTestUtil.h"

using namespace UpdateNew;

namespace {

// Every regular file below `root` with its content, keyed by the path inside it.
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> out;
    FILE* p = ::popen(("cd '" + root + "' && find . -type f | sort").c_str(), "r");
    char line[4096];
    while (p && std::fgets(line, sizeof line, p)) {
        std::string name(line);
        if (!name.empty() && name.back() == '\n') name.pop_back();
        out[name] = ScratchDir::Read(root + "/" + name);
    }
    if (p) ::pclose(p);
    return out;
}

FileRecord File(const std::wstring& name, bool changed, const std::wstring& version = L"") {
    FileRecord f;
    f.name = name;
    f.needsupdate = changed;
    f.version = version;
    return f;
}

// Runs `body` in a child process and gives its exit status (-1 when it did not exit).
template <class F>
int InChild(F body) {
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        int status = 3;
        try {
            status = body();
        } catch (...) {
            status = 4;
        }
        std::fflush(nullptr);
        ::_exit(status);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class ModuleInstallerTest : public RecordingFixture {
protected:
    void SetUp() override {
        RecordingFixture::SetUp();
        for (const char* d : {"inst", "inst/a", "inst/b", "tmp", "tmp/root", "tmp/root/srcA",
                              "tmp/root/srcB", "backup"})
            ASSERT_EQ(0, mkdir(m_dir.Path(d).c_str(), 0755));
        m_settings.installDir = m_dir.WPath("inst/");
        m_settings.tmpDir = m_dir.WPath("tmp/");
        m_settings.backupDir = m_dir.WPath("backup/");
        m_settings.selfUpdate.tmpDir = m_settings.tmpDir;
        m_settings.selfUpdate.logFile = m_dir.WPath("update.log");
        m_settings.selfUpdate.commandLine = L"/opt/u/updater --x=1 ";
        m_settings.selfUpdate.updaterPath = m_dir.WPath("bin/helper.sh");
    }

    UpdateModuleInfo Module(const std::wstring& name, const std::string& dest,
                            const std::wstring& source) {
        UpdateModuleInfo m;
        m.name = name;
        m.destination = m_dir.WPath(dest);
        m.source = source;
        m.needsupdate = true;
        return m;
    }

    // Two modules whose changed files share the base name "lib.so", plus a file new to
    // the installation and an unchanged one.
    void MakeProduct() {
        ScratchDir::Write(m_dir.Path("inst/a/lib.so"), "old A lib");
        ScratchDir::Write(m_dir.Path("inst/a/keep.txt"), "unchanged");
        ScratchDir::Write(m_dir.Path("inst/b/lib.so"), "old B lib, longer than A's");
        ScratchDir::Write(m_dir.Path("inst/b/lib.so~1"), "old B file whose name is an alternative");
        ScratchDir::Write(m_dir.Path("tmp/root/srcA/lib.so"), "new A lib");
        ScratchDir::Write(m_dir.Path("tmp/root/srcA/new.bin"), PseudoRandomBytes(5000, 3));
        ASSERT_EQ(0, mkdir(m_dir.Path("tmp/root/srcB/sub").c_str(), 0755));
        ScratchDir::Write(m_dir.Path("tmp/root/srcB/sub/lib.so"), "new B");
        ScratchDir::Write(m_dir.Path("tmp/root/srcB/lib.so~1"), PseudoRandomBytes(3000, 4));
        UpdateModuleInfo a = Module(L"A", "inst/a", L"srcA");
        a.files = {File(L"lib.so", true, L"2.0"), File(L"keep.txt", false), File(L"new.bin", true)};
        UpdateModuleInfo b = Module(L"B", "inst/b", L"srcB");
        b.files = {File(L"sub\\lib.so", true), File(L"lib.so~1", true)};
        m_product.modules = {a, b};
    }

    InstallSettings m_settings;
    UpdateInfo m_product;
    CTemporaryFiles m_temp;
};

TEST_F(ModuleInstallerTest, InstallThenRestoreGivesEveryFileBackItsOwnContent) {
    MakeProduct();
    const auto before = Snapshot(m_dir.Path("inst"));
    UpdateCallbacks cb;
    CModuleInstaller installer(cb, m_temp, m_settings);
    installer.setDownloadDir(m_dir.WPath("tmp/root"));
    for (const UpdateModuleInfo& m : m_product.modules) {
        installer.backupModule(m);
        installer.installModule(m);
    }
    EXPECT_EQ("new A lib", ScratchDir::Read(m_dir.Path("inst/a/lib.so")));
    EXPECT_EQ("new B", ScratchDir::Read(m_dir.Path("inst/b/lib.so")));
    EXPECT_EQ(PseudoRandomBytes(5000, 3), ScratchDir::Read(m_dir.Path("inst/a/new.bin")));
    EXPECT_EQ(0755u, ModeOf(m_dir.Path("inst/a/lib.so")));
    EXPECT_EQ(0755u, ModeOf(m_dir.Path("inst/b/lib.so~1")));
    // Three distinct backups for the three installed files that existed.
    EXPECT_EQ(3u, m_temp.files().size());
    EXPECT_EQ("old A lib", ScratchDir::Read(m_dir.Path("backup/lib.so")));

    for (const UpdateModuleInfo& m : m_product.modules) installer.restoreModule(m);
    auto after = Snapshot(m_dir.Path("inst"));
    // A file new in this version stays installed; everything else is as before.
    EXPECT_EQ(PseudoRandomBytes(5000, 3), after["./a/new.bin"]);
    after.erase("./a/new.bin");
    EXPECT_EQ(before, after);
}

TEST_F(ModuleInstallerTest, FileInstalledByTwoModulesGetsBackItsOriginalContent) {
    ScratchDir::Write(m_dir.Path("inst/a/shared"), "original");
    ScratchDir::Write(m_dir.Path("tmp/root/srcA/shared"), "from A");
    ScratchDir::Write(m_dir.Path("tmp/root/srcB/shared"), "from B");
    UpdateModuleInfo a = Module(L"A", "inst/a", L"srcA");
    a.files = {File(L"shared", true)};
    UpdateModuleInfo b = Module(L"B", "inst/a", L"srcB");
    b.files = {File(L"shared", true)};
    UpdateCallbacks cb;
    CModuleInstaller installer(cb, m_temp, m_settings);
    installer.setDownloadDir(m_dir.WPath("tmp/root"));
    installer.backupModule(a);
    installer.installModule(a);
    installer.backupModule(b);
    installer.installModule(b);
    EXPECT_EQ("from B", ScratchDir::Read(m_dir.Path("inst/a/shared")));
    installer.restoreModule(b);
    installer.restoreModule(a);
    EXPECT_EQ("original", ScratchDir::Read(m_dir.Path("inst/a/shared")));
}

TEST_F(ModuleInstallerTest, MovesOnlyDownloadsThatOneFileInstalls) {
    ASSERT_EQ(0, mkdir(m_dir.Path("tmp/root/src").c_str(), 0755));
    ScratchDir::Write(m_dir.Path("tmp/root/src/both"), "both");
    ScratchDir::Write(m_dir.Path("tmp/root/src/one"), "one");
    UpdateModuleInfo a = Module(L"A", "inst/a", L"src");
    a.files = {File(L"both", true), File(L"one", true)};
    UpdateModuleInfo b = Module(L"B", "inst/b", L"src");
    b.files = {File(L"both", true)};
    m_product.modules = {a, b};
    UpdateCallbacks cb;
    CModuleInstaller installer(cb, m_temp, m_settings);
    installer.setDownloadDir(m_dir.WPath("tmp/root"));
    installer.planMoves(m_product.modules);
    for (const UpdateModuleInfo& m : m_product.modules) installer.installModule(m);
    EXPECT_EQ("both", ScratchDir::Read(m_dir.Path("inst/b/both")));
    EXPECT_EQ("both", ScratchDir::Read(m_dir.Path("tmp/root/src/both")));
    EXPECT_EQ("one", ScratchDir::Read(m_dir.Path("inst/a/one")));
    EXPECT_NE(0, ::access(m_dir.Path("tmp/root/src/one").c_str(), F_OK));
}

TEST_F(ModuleInstallerTest, RestoreTakesOnlyBackupsOfThisRunOrOfThePlugin) {
    // A run killed after its backups leaves them behind; the next run installs "new.bin",
    // which is new to the installation, and then rolls back.
    MakeProduct();
    ScratchDir::Write(m_dir.Path("backup/new.bin"), "left by a killed run");
    UpdateCallbacks cb;
    CModuleInstaller installer(cb, m_temp, m_settings);
    installer.setDownloadDir(m_dir.WPath("tmp/root"));
    const UpdateModuleInfo& a = m_product.modules[0];
    installer.backupModule(a);
    installer.installModule(a);
    installer.restoreModule(a);
    EXPECT_EQ("old A lib", ScratchDir::Read(m_dir.Path("inst/a/lib.so")));
    EXPECT_EQ(PseudoRandomBytes(5000, 3), ScratchDir::Read(m_dir.Path("inst/a/new.bin")));

    // A module whose backup the plug-in made is restored from what lies there.
    setenv("UPD_REC_ANSWERS", "overrideBackupModule=0", 1);
    UpdateCallbacks withPlugin;
    withPlugin.LoadLib(RecordingPluginPath());
    CModuleInstaller second(withPlugin, m_temp, m_settings);
    second.setDownloadDir(m_dir.WPath("tmp/root"));
    second.backupModule(a);
    ScratchDir::Write(m_dir.Path("backup/lib.so"), "backed up by the plug-in");
    second.installModule(a);
    second.restoreModule(a);
    EXPECT_EQ("backed up by the plug-in", ScratchDir::Read(m_dir.Path("inst/a/lib.so")));
}

TEST_F(ModuleInstallerTest, CallbacksInOrderAndMissingInstalledCopyIsNoError) {
    MakeProduct();
    UpdateCallbacks cb;
    cb.LoadLib(RecordingPluginPath());
    cb.LoadGuiLib(RecordingPluginPath());
    CModuleInstaller installer(cb, m_temp, m_settings);
    installer.setDownloadDir(m_dir.WPath("tmp/root"));
    const UpdateModuleInfo& a = m_product.modules[0];
    installer.backupModule(a);
    installer.installModule(a);
    const std::string inst = m_dir.Path("inst/a/"), bak = m_dir.Path("backup/");
    const std::string src = m_dir.Path("tmp/root/srcA/");
    const std::vector<std::string> expected = {
        "LIB checkCreateDirectory(\"" + m_dir.Path("backup/") + "\", [])",
        "LIB overrideBackupModule(\"A\")",
        "GUI onBackupFile(\"A\", \"" + inst + "lib.so\", \"" + bak + "lib.so\")",
        "LIB copyFile(\"" + inst + "lib.so\", \"" + bak + "lib.so\")",
        "GUI onBackupFile(\"A\", \"" + inst + "new.bin\", \"" + bak + "new.bin\")",
        "LIB overrideInstallModule(\"A\")",
        "GUI onInstallFile(\"" + src + "lib.so\", \"" + inst + "lib.so\")",
        "LIB copyFile(\"" + src + "lib.so\", \"" + inst + "lib.so\")",
        "GUI onInstallFile(\"" + src + "new.bin\", \"" + inst + "new.bin\")",
        "LIB copyFile(\"" + src + "new.bin\", \"" + inst + "new.bin\")"};
    EXPECT_EQ(expected, Record());
    EXPECT_FALSE(ScratchDir::Exists(bak + "new.bin"));
}

TEST_F(ModuleInstallerTest, PluginTakesModulesOver) {
    MakeProduct();
    setenv("UPD_REC_ANSWERS", "overrideBackupModule=0,overrideInstallModule=0", 1);
    UpdateCallbacks cb;
    cb.LoadLib(RecordingPluginPath());
    CModuleInstaller installer(cb, m_temp, m_settings);
    installer.setDownloadDir(m_dir.WPath("tmp/root"));
    installer.backupModule(m_product.modules[0]);
    installer.installModule(m_product.modules[0]);
    EXPECT_EQ("old A lib", ScratchDir::Read(m_dir.Path("inst/a/lib.so")));
    EXPECT_FALSE(ScratchDir::Exists(m_dir.Path("backup/lib.so")));
    EXPECT_TRUE(RecordOf("LIB copyFile").empty());
}

TEST_F(ModuleInstallerTest, ShortWriteFailsTheInstallAndRestoreRepairsIt) {
    ScratchDir::Write(m_dir.Path("inst/a/big"), "small old content");
    ScratchDir::Write(m_dir.Path("tmp/root/srcA/big"), PseudoRandomBytes(20000, 5));
    UpdateModuleInfo a = Module(L"A", "inst/a", L"srcA");
    a.files = {File(L"big", true)};
    const int status = InChild([&] {
        UpdateCallbacks cb;
        CModuleInstaller installer(cb, m_temp, m_settings);
        installer.setDownloadDir(m_dir.WPath("tmp/root"));
        installer.backupModule(a);
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {8192, 8192};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) return 5;
        try {
            installer.installModule(a);
            return 1;  // a truncated file reported as installed
        } catch (const Exception& e) {
            if (std::wstring(e.twhat()).find(L"big") == std::wstring::npos) return 2;
        }
        installer.restoreModule(a);
        return 0;
    });
    EXPECT_EQ(0, status);
    EXPECT_EQ("small old content", ScratchDir::Read(m_dir.Path("inst/a/big")));
}

TEST_F(ModuleInstallerTest, ProtectedTargetIsReplacedThroughTmpAndReported) {
    // As another user than the files' owner, so that permission bits count.
    ASSERT_EQ(0, chmod(m_dir.Path().c_str(), 0777));
    for (const char* d : {"inst", "inst/a", "tmp", "tmp/root", "tmp/root/srcA", "backup"})
        ASSERT_EQ(0, chmod(m_dir.Path(d).c_str(), 0777));
    ScratchDir::Write(m_dir.Path("inst/a/busy"), "old busy");
    ASSERT_EQ(0, chmod(m_dir.Path("inst/a/busy").c_str(), 0444));
    ScratchDir::Write(m_dir.Path("tmp/root/srcA/busy"), "new busy");
    ScratchDir::Write(m_record, "");
    ASSERT_EQ(0, chmod(m_record.c_str(), 0666));
    UpdateModuleInfo a = Module(L"A", "inst/a", L"srcA");
    a.files = {File(L"busy", true)};
    const int status = InChild([&] {
        if (::getuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) return 5;
        UpdateCallbacks cb;
        cb.LoadLib(RecordingPluginPath());
        CModuleInstaller installer(cb, m_temp, m_settings);
        installer.setDownloadDir(m_dir.WPath("tmp/root"));
        installer.installModule(a);
        // The moved file goes with the run's clean-up.
        const std::vector<std::wstring>& files = m_temp.files();
        if (std::find(files.begin(), files.end(), m_dir.WPath("inst/a/busy.tmp")) == files.end())
            return 6;
        return 0;
    });
    ASSERT_EQ(0, status);
    EXPECT_EQ("new busy", ScratchDir::Read(m_dir.Path("inst/a/busy")));
    EXPECT_EQ("old busy", ScratchDir::Read(m_dir.Path("inst/a/busy.tmp")));
    EXPECT_EQ(0755u, ModeOf(m_dir.Path("inst/a/busy")));
    EXPECT_EQ((std::vector<std::string>{"LIB copyFileNeedRestart(\"" + m_dir.Path("inst/a/busy") +
                                        "\")"}),
              RecordOf("LIB copyFileNeedRestart"));
}

TEST_F(ModuleInstallerTest, DestinationThatCannotBeCreatedIsReportedWithItsReason) {
    // A regular file stands where the module's directory would go.
    ScratchDir::Write(m_dir.Path("inst/blocked"), "a file");
    ScratchDir::Write(m_dir.Path("tmp/root/srcA/x.bin"), "new");
    UpdateModuleInfo a = Module(L"A", "inst/blocked/a", L"srcA");
    a.files = {File(L"x.bin", true)};
    UpdateCallbacks cb;
    CModuleInstaller installer(cb, m_temp, m_settings);
    installer.setDownloadDir(m_dir.WPath("tmp/root"));
    try {
        installer.installModule(a);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(ENOTDIR, e.code());
        EXPECT_EQ(MsgLib<10>(m_dir.WPath("inst/blocked/a"), FromMultibyte(std::strerror(ENOTDIR))),
                  e.twhat());
    }
    EXPECT_EQ("a file", ScratchDir::Read(m_dir.Path("inst/blocked")));
}

TEST_F(ModuleInstallerTest, MirrorModeKeepsTheServerLayout) {
    m_settings.mirror = true;
    ASSERT_EQ(0, mkdir(m_dir.Path("tmp/root/srcA/d").c_str(), 0755));
    ScratchDir::Write(m_dir.Path("tmp/root/srcA/d/f.txt.gz"), "gz bytes");
    UpdateModuleInfo self = Module(L"SelfUpdate", "inst/a", L"srcA");
    self.files = {File(L"d\\f.txt", true)};
    UpdateCallbacks cb;
    CModuleInstaller installer(cb, m_temp, m_settings);
    installer.setDownloadDir(m_dir.WPath("tmp/root"));
    installer.setProductRoot(L"prod");
    EXPECT_FALSE(installer.isSelfUpdateModule(self));
    installer.backupModule(self);
    installer.installModule(self);
    EXPECT_EQ("gz bytes", ScratchDir::Read(m_dir.Path("inst/prod/srcA/d/f.txt.gz")));
    ScratchDir::Write(m_dir.Path("tmp/root/srcA/d/f.txt.gz"), "gz bytes 2");
    installer.backupModule(self);
    installer.installModule(self);
    EXPECT_EQ("gz bytes", ScratchDir::Read(m_dir.Path("backup/prod/srcA/d/f.txt.gz")));
    installer.restoreModule(self);
    EXPECT_EQ("gz bytes", ScratchDir::Read(m_dir.Path("inst/prod/srcA/d/f.txt.gz")));
}

TEST_F(ModuleInstallerTest, SelfUpdateAfterASelfUpdateIsRefused) {
    m_settings.selfUpdateDone = true;
    UpdateModuleInfo self = Module(L"selfUPDATE", "inst/a", L"srcA");
    self.files = {File(L"x", true)};
    UpdateCallbacks cb;
    CModuleInstaller installer(cb, m_temp, m_settings);
    try {
        installer.installModule(self);
        ADD_FAILURE() << "629 expected";
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(629, e.code());
    }
}

// The updater's own module: its files go to the side directory, the helper copy starts
// and this process ends with status 0; nothing is installed by the process itself.
TEST_F(ModuleInstallerTest, SelfUpdateModuleIsHandedToTheHelperAndTheProcessEnds) {
    const std::string marker = m_dir.Path("helper-ran");
    ScratchDir::Write(m_dir.Path("inst/a/helper.sh"), "old helper");
    ScratchDir::Write(m_dir.Path("inst/a/data"), "old data");
    ScratchDir::Write(m_dir.Path("inst/a/same"), "same");
    // The helper says it took over, then that the run succeeded, through the descriptor it
    // was handed.
    ScratchDir::Write(m_dir.Path("tmp/root/srcA/helper.sh"),
                      "#!/bin/sh\necho \"$0\" > '" + marker + ".tmp' && mv '" + marker + ".tmp' '" +
                          marker +
                          "'\neval \"printf '\\001\\002' >&$UPDATER_SELFUPDATE_HANDOVER_FD\"\n");
    ScratchDir::Write(m_dir.Path("tmp/root/srcA/data"), "new data");
    UpdateModuleInfo self = Module(L"SelfUpdate", "inst/a", L"srcA");
    self.files = {File(L"helper.sh", true), File(L"same", false), File(L"data", true)};
    m_temp.addFile(m_dir.WPath("tmp/earlier.gz"));

    const int status = InChild([&] {
        UpdateCallbacks cb;
        CModuleInstaller installer(cb, m_temp, m_settings);
        installer.setDownloadDir(m_dir.WPath("tmp/root"));
        installer.installModule(self);
        return 1;  // must not come back
    });
    EXPECT_EQ(0, status);
    for (int i = 0; i < 100 && !ScratchDir::Exists(marker); ++i) ::usleep(50000);
    EXPECT_EQ(m_dir.Path("tmp/SelfUpdateTemp/helper.sh") + "\n", ScratchDir::Read(marker));
    EXPECT_EQ("old data", ScratchDir::Read(m_dir.Path("inst/a/data")));
    EXPECT_EQ("new data", ScratchDir::Read(m_dir.Path("tmp/SelfUpdateTemp/data")));
    EXPECT_EQ("same", ScratchDir::Read(m_dir.Path("tmp/SelfUpdateTemp/same")));

    const std::string list = m_dir.Path("tmp/ToRemove.txt");
    EXPECT_EQ((std::vector<std::string>{"File=" + m_dir.Path("tmp/earlier.gz"), "File=" + list}),
              ReadTextLines(list));
    const std::vector<std::string> conf =
        ReadTextLines(m_dir.Path("tmp/SelfUpdateTemp/update.conf"));
    ASSERT_EQ(7u, conf.size());
    EXPECT_EQ("CopyAction=" + m_dir.Path("tmp/root/srcA/helper.sh") + "|" +
                  m_dir.Path("inst/a/helper.sh"),
              conf[1]);
    EXPECT_EQ("CopyAction=" + m_dir.Path("tmp/root/srcA/data") + "|" + m_dir.Path("inst/a/data"),
              conf[2]);
    // "/opt/u/updater" as typed is no file here: the updater's own path replaces it.
    EXPECT_EQ("ExecAction=" + m_dir.Path("bin/helper.sh") + " --x=1  --NoSelfUpdate \"--TmpDir=" +
                  m_dir.Path("tmp/") + "\" \"--LogFile=" + m_dir.Path("update.log") +
                  "\" \"--TmpFilesList=" + list + "\"",
              conf[3]);
}

// The restore of the updater's own module copies the backups back through a helper that
// only copies (no restart line); the process waits for it and goes on.
TEST_F(ModuleInstallerTest, SelfUpdateModuleRestoreRunsTheHelperWithoutRestart) {
    const std::string marker = m_dir.Path("helper-ran");
    const std::string script = "#!/bin/sh\necho restored > '" + marker + "'\n";
    ScratchDir::Write(m_dir.Path("inst/a/helper.sh"), script);
    UpdateModuleInfo self = Module(L"selfupdate", "inst/a", L"srcA");
    self.files = {File(L"helper.sh", true), File(L"gone", true)};
    UpdateCallbacks cb;
    cb.LoadLib(RecordingPluginPath());
    CModuleInstaller installer(cb, m_temp, m_settings);
    installer.setDownloadDir(m_dir.WPath("tmp/root"));
    installer.backupModule(self);
    installer.restoreModule(self);
    EXPECT_EQ("restored\n", ScratchDir::Read(marker));
    const std::vector<std::string> conf =
        ReadTextLines(m_dir.Path("tmp/SelfUpdateTemp/update.conf"));
    EXPECT_EQ(
        (std::vector<std::string>{
            "[selfupdate]",
            "CopyAction=" + m_dir.Path("backup/helper.sh") + "|" + m_dir.Path("inst/a/helper.sh"),
            "[product]", "masteridx=/idx/master.idx", "Logfile=" + m_dir.Path("update.log")}),
        conf);
    // Its side directory goes with this run's clean-up.
    EXPECT_EQ(m_dir.WPath("tmp/SelfUpdateTemp"), m_temp.dirs().back());
}

TEST(BackupNames, FlatWhereFreeDistinctWhereTaken) {
    CBackupNames names;
    EXPECT_EQ(L"/b/x", names.assign(L"/b/", L"/i/1/x"));
    EXPECT_EQ(L"/b/x~1", names.assign(L"/b/", L"/i/2/x"));
    EXPECT_EQ(L"/b/x~1~1", names.assign(L"/b/", L"/i/3/x~1"));
    EXPECT_EQ(L"/b/y", names.assign(L"/b/", L"/i/1/y"));
    EXPECT_EQ(L"/b/x", names.assign(L"/b/", L"/i/1/x"));
    EXPECT_EQ(L"/b/x~1", names.lookup(L"/b/", L"/i/2/x"));
    EXPECT_EQ(L"", names.lookup(L"/b/", L"/i/9/x"));
    EXPECT_EQ(L"/b/z", names.lookup(L"/b/", L"/i/9/z"));
}

}  // namespace
