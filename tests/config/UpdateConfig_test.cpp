#include "config/UpdateConfig.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "base/FileUtils.h"
#include "base/Messages.h"
#include "base/ProgramInfo.h"
#include "codec/PasswordScramble.h"
#include "codec/Secrets.h"
#include "net/ConnectionOptions.h"
#include "support/ConfigTestUtil.h"
#include "support/RecordingLog.h"
#include "support/TestArgv.h"
#include "support/TestRunOptions.h"

using namespace UpdateNew;

using TestSupport::ReadLines;
using TestSupport::RecordingPluginEnv;
using TestSupport::RecordingPluginWidePath;
using TestSupport::TestRunOptions;

namespace {

bool IsDir(const std::wstring& path) {
    struct stat st {};
    return stat(ToMultibyte(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

class UpdateConfigTest : public ::testing::Test {
protected:
    const Parameter& option(const std::wstring& name) { return *config.params().find(name); }

    ConfigScratchDir dir;
    UpdateConfig config;
};

// --- configuration file ------------------------------------------------------------------

TEST_F(UpdateConfigTest, ConfigurationFileCommentsSectionsAndNumberedKeys) {
    const std::wstring path = dir.write("update.conf",
                                        "; a comment line\r\n"
                                        "[product]\r\n"
                                        "<not an option>\n"
                                        "\n"
                                        "   Retries = 3 ; three tries\n"
                                        "url2=http://a.example/root\n"
                                        "URL7 = file:///srv/share\n"
                                        "add-var-pair12=\"MY=1=2\"\n"
                                        "SomethingElse=Value Kept\n"
                                        "masteridx=\n");
    config.readConfigFile(path);
    EXPECT_EQ(L"3", option(L"retries").getValue(0));
    EXPECT_EQ((std::vector<std::wstring>{L"http://a.example/root", L"file:///srv/share"}),
              option(L"url%d").getValues());
    EXPECT_EQ(std::vector<std::wstring>{L"\"MY=1=2\""}, option(L"add-var-pair%d").getValues());
    EXPECT_TRUE(option(L"masteridx").isSet());
    EXPECT_EQ(L"", option(L"masteridx").getValue(0));
    EXPECT_FALSE(option(L"url").isSet());

    // Every pair, known or not, is kept for the plug-ins under the key as written.
    const ConfigFileData& data = config.cCallbacks().configFileData();
    EXPECT_EQ(L"3", data.at(L"retries"));
    EXPECT_EQ(L"http://a.example/root", data.at(L"url2"));
    EXPECT_EQ(L"file:///srv/share", data.at(L"url7"));
    EXPECT_EQ(L"Value Kept", data.at(L"somethingelse"));
    EXPECT_EQ(0u, data.count(L"[product]"));
}

TEST_F(UpdateConfigTest, ConfigurationFileRefusesSwitches) {
    const std::wstring path = dir.write("update.conf", "retries=2\ncheckdirty=1\n");
    ExpectCriticalError([&] { config.readConfigFile(path); }, Msg<147>(std::wstring(L"checkdirty")),
                        ERR_CONFIG_FILE);
    EXPECT_EQ(L"2", option(L"retries").getValue(0));
}

TEST_F(UpdateConfigTest, ConfigurationFileLineWithoutEqualsFailsAfterEarlierLines) {
    const std::wstring path = dir.write("update.conf", "retries=4\njust some words\nmirror=1\n");
    ExpectCriticalError([&] { config.readConfigFile(path); }, Msg<143>(path), ERR_CONFIG_FILE);
    EXPECT_EQ(L"4", option(L"retries").getValue(0));
    EXPECT_EQ(L"0", option(L"mirror").getValue(0));
}

// A line or a file past the reader's bounds is refused with the file and the line, after
// reading no more than the bound: a file without line ends cannot take the run's memory.
TEST_F(UpdateConfigTest, ConfigurationFileLinesAndSizeAreBounded) {
    const size_t maxLine = UpdateConfig::kMaxLineBytes;
    // A line of exactly the bound is still a line.
    std::wstring path =
        dir.write("update.conf", "retries=5\nx=" + std::string(maxLine - 2, 'v') + "\n");
    config.readConfigFile(path);
    EXPECT_EQ(maxLine - 2, config.cCallbacks().configFileData().at(L"x").size());

    path = dir.write("long.conf", "retries=6\n; comment\nx=" + std::string(maxLine, 'v'));
    ExpectCriticalError([&] { config.readConfigFile(path); },
                        Msg<165>(path, 3ul, static_cast<unsigned long>(maxLine)), ERR_CONFIG_FILE);
    EXPECT_EQ(L"6", option(L"retries").getValue(0));

    // Many short lines: the file as a whole is bounded too.
    std::string lines;
    const std::string line = "x=" + std::string(maxLine - 3, 'w') + "\n";
    while (lines.size() <= UpdateConfig::kMaxFileBytes) lines += line;
    path = dir.write("big.conf", lines);
    const unsigned long refusedLine = UpdateConfig::kMaxFileBytes / line.size() + 1;
    ExpectCriticalError(
        [&] { config.readConfigFile(path); },
        Msg<166>(path, static_cast<unsigned long>(UpdateConfig::kMaxFileBytes), refusedLine),
        ERR_CONFIG_FILE);
}

TEST_F(UpdateConfigTest, EndlessConfigurationAndUrlFilesAreRefused) {
    // A device that never ends, and has no line end: refused at the first line.
    ExpectCriticalError([&] { config.readConfigFile(L"/dev/zero"); },
                        Msg<165>(std::wstring(L"/dev/zero"), 1ul,
                                 static_cast<unsigned long>(UpdateConfig::kMaxLineBytes)),
                        ERR_CONFIG_FILE);
    ExpectCriticalError([&] { config.readUrlFile(L"/dev/zero"); },
                        Msg<165>(std::wstring(L"/dev/zero"), 1ul,
                                 static_cast<unsigned long>(UpdateConfig::kMaxLineBytes)),
                        ERR_URL_FILE);
}

TEST_F(UpdateConfigTest, OnlyTheDefaultConfigurationFileMayBeMissing) {
    config.readConfigFile(GetUpdaterDir() + L"update.conf");
    EXPECT_EQ(L"1", option(L"retries").getValue(0));
    EXPECT_THROW(config.readConfigFile(dir.wfile("nothing-here.conf")), CUpdateCriticalException);
}

TEST_F(UpdateConfigTest, BareNamesAreTakenInTheUpdatersDirectory) {
    config.setConfigFileName(L"other.conf");
    EXPECT_EQ(GetUpdaterDir() + L"other.conf", config.configFileName());
    config.setConfigFileName(dir.wfile("x.conf"));
    EXPECT_EQ(dir.wfile("x.conf"), config.configFileName());
    EXPECT_EQ(L"/a/b", UpdateConfig::inDirectoryIfBare(L"/a/b", L"/dir/"));
    EXPECT_EQ(L"rel/b", UpdateConfig::inDirectoryIfBare(L"rel/b", L"/dir/"));
    EXPECT_EQ(L"/dir/b", UpdateConfig::inDirectoryIfBare(L"b", L"/dir/"));
}

// --- servers -----------------------------------------------------------------------------

TEST_F(UpdateConfigTest, UrlFileNextToTheConfigurationFile) {
    config.setConfigFileName(dir.wfile("update.conf"));
    dir.write("urls.txt",
              "#http://commented.example/\n"
              "\n"
              "x\n"
              "http://b.example/root\r\n"
              "  file:///srv/share  \n"
              "https://a.example:8443/p\n"
              "http://b.example/root\n");
    config.readUrlFile(L"urls.txt");
    std::vector<std::wstring> urls;
    for (const auto& server : config.servers()) urls.push_back(server.first);
    EXPECT_EQ((std::vector<std::wstring>{L"file:///srv/share", L"http://b.example/root",
                                         L"https://a.example:8443/p"}),
              urls);
    EXPECT_EQ(0, config.servers().at(L"file:///srv/share").kind());
    EXPECT_EQ(L"/srv/share", config.servers().at(L"file:///srv/share").address());
    EXPECT_NE(0, config.servers().at(L"https://a.example:8443/p").kind());
    EXPECT_EQ(L"http://b.example/root", config.getServerUrl(1));
}

TEST_F(UpdateConfigTest, MissingUrlFileFails) {
    config.setConfigFileName(dir.wfile("update.conf"));
    ExpectCriticalError([&] { config.readUrlFile(L"urls.txt"); }, Msg<251>(dir.wfile("urls.txt")),
                        ERR_URL_FILE);
}

TEST_F(UpdateConfigTest, ServerUrlsAreChecked) {
    ExpectCriticalError([&] { config.addServerUrl(L""); }, Msg<149>(), ERR_EMPTY_SERVER_URL);
    ExpectCriticalError([&] { config.addServerUrl(L"server/path"); },
                        Msg<160>(std::wstring(L"server/path")), ERR_URL_MALFORMED);
    ExpectCriticalError([&] { config.addServerUrl(L"gopher://h/x"); },
                        Msg<122>(std::wstring(L"gopher://h/x")), ERR_URL_SCHEME);
    for (const wchar_t* url : {L"HTTP://h/1", L"https://h/2", L"Ftp://h/3", L"FILE:///srv/4"}) {
        config.addServerUrl(url);
    }
    EXPECT_EQ(4u, config.servers().size());
    EXPECT_EQ(L"FILE:///srv/4", config.getServerUrl(0));
    ExpectCriticalError([&] { config.getServerUrl(4); }, Msg<152>(4UL), ERR_SERVER_INDEX);
}

// --- self-update actions and credentials -------------------------------------------------

TEST_F(UpdateConfigTest, CopyActions) {
    config.addCopyAction(L"/tmp/new/updater|/opt/product/updater");
    config.addCopyAction(L"a|b|c");
    ExpectCriticalError([&] { config.addCopyAction(L"a.bin"); }, Msg<244>(std::wstring(L"a.bin")),
                        ERR_ACTION);
    ASSERT_EQ(2u, config.copyActions().size());
    EXPECT_EQ(L"/tmp/new/updater", config.copyActions().front().first);
    EXPECT_EQ(L"/opt/product/updater", config.copyActions().front().second);
    EXPECT_EQ(L"b|c", config.copyActions().back().second);
}

TEST_F(UpdateConfigTest, PasswordsPlainOrDescrambled) {
    const std::wstring scrambled =
        ScramblePassword(L"s3cret", UpdateConfig::kPasswordLength, PasswordSeed());
    ASSERT_EQ(160u, scrambled.size());
    config.setProxyPassword(scrambled);
    config.setSharePassword(scrambled);
    EXPECT_EQ(L"s3cret", config.proxyUserPass());
    EXPECT_EQ(L"s3cret", config.shareUserPass());

    config.setPlainPass(true);
    config.setProxyPassword(std::wstring(100, L'p'));
    config.setSharePassword(L"plain");
    EXPECT_EQ(std::wstring(63, L'p'), config.proxyUserPass());
    EXPECT_EQ(L"plain", config.shareUserPass());
}

// --- directories -------------------------------------------------------------------------

TEST(UpdateConfigPaths, NormalisingAndJoining) {
    EXPECT_EQ(L"/a/b", UpdateConfig::normalizeDir(L"/a\\b//\\"));
    EXPECT_EQ(L"/a/b/c", UpdateConfig::normalizeDir(L"/a//b\\\\c"));
    EXPECT_EQ(L"C:\\x", UpdateConfig::normalizeDir(L"C:\\x\\"));
    EXPECT_EQ(L"", UpdateConfig::normalizeDir(L"/"));
    EXPECT_EQ(L"/a/b", UpdateConfig::joinPath(L"/a/", L"/b"));
    EXPECT_EQ(L"/a/b", UpdateConfig::joinPath(L"/a", L"b"));
    EXPECT_EQ(L"/backup", UpdateConfig::joinPath(L"", L"backup"));
}

TEST_F(UpdateConfigTest, PrepareDerivesAndCreatesTheDirectories) {
    const std::wstring root = dir.wpath();
    Argv args({L"--masteridx=idx/master.idx", L"--defaultsrv=http://d.example/",
               L"--productfile=product.txt", L"--install-path=" + root + L"/inst//",
               L"--tmpdir=" + root + L"\\work\\tmp\\", L"--logfile=" + root + L"/log.txt",
               L"--add-var-pair=MY=1"});
    ASSERT_TRUE(config.init(args.argc(), args.argv()));
    config.prepare();

    const UpdateDirs& dirs = config.updateDirs();
    EXPECT_EQ(root + L"/inst/", dirs.m_installdir);
    EXPECT_EQ(root + L"/work/tmp/", dirs.m_tmpdir);
    EXPECT_EQ(root + L"/inst/backup/", dirs.m_backupdir);
    EXPECT_EQ(root + L"/inst", config.installPath());
    EXPECT_EQ(root + L"/inst/backup", config.backupDir());
    EXPECT_TRUE(IsDir(dirs.m_installdir));
    EXPECT_TRUE(IsDir(dirs.m_tmpdir));
    EXPECT_TRUE(IsDir(dirs.m_backupdir));
    EXPECT_EQ(root + L"/log.txt", config.logFileName());
    EXPECT_EQ(root + L"/log.txt", config.getVariable(L"LOGFILE"));
    EXPECT_EQ(root + L"/inst/backup", config.getVariable(L"backup_dir"));
    EXPECT_EQ(L"1", config.getVariable(L"my"));
    EXPECT_EQ(L"none", config.getVariable(L"WINDIR"));
    EXPECT_EQ(std::to_wstring(getpid()), config.getVariable(L"PROCESSID"));
    EXPECT_EQ(L"idx/master.idx", config.masterIdx());
    EXPECT_EQ(L"http://d.example/", config.defaultServer());
    EXPECT_EQ(1, config.retries());
    EXPECT_EQ(10, config.timeout());
}

TEST_F(UpdateConfigTest, OptionValuesAreExpandedBeforeTheyAreApplied) {
    const std::wstring root = dir.wpath();
    setenv("UPD_CONFIG_TEST_ROOT", ToMultibyte(root).c_str(), 1);
    Argv args({L"--masteridx=./idx/master.idx", L"--defaultsrv=http://d.example/",
               L"--productfile=product.txt", L"--install-path=%UPD_CONFIG_TEST_ROOT%/i",
               L"--add-var-pair=\"STORE=%install_dir%/store\"", L"--backup-dir=%store%\\bk\\",
               L"--tmpdir=%INSTALL_PATH%/t", L"--logfile=%store%/log.txt",
               L"--trusted-keys=%store%/keys.pub"});
    ASSERT_TRUE(config.init(args.argc(), args.argv()));
    config.prepare();
    unsetenv("UPD_CONFIG_TEST_ROOT");
    EXPECT_EQ(L"idx/master.idx", config.masterIdx());
    EXPECT_EQ(root + L"/i", config.installPath());
    EXPECT_EQ(root + L"/i/store/bk/", config.updateDirs().m_backupdir);
    EXPECT_EQ(root + L"/i/t/", config.updateDirs().m_tmpdir);
    EXPECT_EQ(root + L"/i/store/log.txt", config.logFileName());
    EXPECT_EQ(root + L"/i/store/keys.pub", config.trustedKeys());
}

TEST_F(UpdateConfigTest, DefaultTemporaryDirectoryIsPerRun) {
    const std::wstring root = dir.wpath();
    Argv args({L"--masteridx=m", L"--defaultsrv=d", L"--productfile=p", L"--install-path=" + root});
    ASSERT_TRUE(config.init(args.argc(), args.argv()));
    config.prepare();
    const std::wstring tmp = config.updateDirs().m_tmpdir;
    // The name after date, time and process, then an ending no one can foretell.
    const std::wstring pid = L"_" + std::to_wstring(getpid()) + L"_";
    EXPECT_EQ(tmp.size() - pid.size() - 7, tmp.find(pid, tmp.rfind(L"/Update_")))
        << ToMultibyte(tmp);
    EXPECT_EQ(tmp, config.getVariable(L"UPDATE_TEMP") + L"/");
    struct stat st;
    ASSERT_EQ(0, lstat(ToMultibyte(tmp).c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode) && (st.st_mode & 0777) == 0700);
    EXPECT_EQ(0, rmdir(ToMultibyte(tmp).c_str()));
    EXPECT_EQ(root + L"/backup/", config.updateDirs().m_backupdir);
}

TEST_F(UpdateConfigTest, DirectoryThatCannotBeCreatedFails) {
    const std::wstring root = dir.wpath();
    dir.write("file", "not a directory");
    Argv args({L"--masteridx=m", L"--defaultsrv=d", L"--productfile=p",
               L"--install-path=" + root + L"/inst", L"--tmpdir=" + root + L"/file/tmp"});
    ASSERT_TRUE(config.init(args.argc(), args.argv()));
    ExpectCriticalError([&] { config.prepare(); },
                        Msg<153>(root + L"/file/tmp/") + L": Not a directory", ERR_TEMP_DIR);
}

TEST_F(UpdateConfigTest, CommandLineValuesFollowTheConfigurationFile) {
    const std::wstring path = dir.write("my.conf",
                                        "masteridx=from/file\n"
                                        "url1=http://one.example/\n"
                                        "productinfofile=info.xml\n"
                                        "productroot=root\n"
                                        "retries=5\n");
    Argv args({L"--config-file=" + path, L"--retries=7", L"--url=http://two.example/"});
    ASSERT_TRUE(config.init(args.argc(), args.argv()));
    EXPECT_EQ(path, config.configFileName());
    EXPECT_EQ(L"7", option(L"retries").getValue(0));
    EXPECT_EQ(L"from/file", option(L"masteridx").getValue(0));
}

// --- settings ----------------------------------------------------------------------------

TEST_F(UpdateConfigTest, SettingsFileFillsTheStore) {
    EXPECT_EQ(3, config.initSettings(nullptr));
    EXPECT_FALSE(config.settingsInitialised());

    const std::wstring settingsFile = dir.write("settings.conf",
                                                "# settings\n"
                                                "TempDir = /srv/tmp # the temporary directory\r\n"
                                                "InstallPath=/opt/product\n"
                                                "Other=x\n"
                                                "TempDir\n"
                                                "=no key\n");
    ConnectionOptions store;
    store.SetWide(UpdateConfig::kSettingsFileName, settingsFile);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, config.initSettings(&store));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(config.settingsInitialised());
    EXPECT_EQ(&store, config.settings());
    std::wstring value;
    EXPECT_EQ(0u, store.GetWide(UpdateConfig::kSettingTempDir, value));
    EXPECT_EQ(L"/srv/tmp", value);
    EXPECT_EQ(0u, store.GetWide(UpdateConfig::kSettingOther, value));
    EXPECT_EQ(L"/opt/product", value);
    EXPECT_EQ(
        "Invalid line (5) in config file : TempDir\n"
        "Invalid line (6) in config file : =no key\n",
        printed);
}

// The settings file stays no reason to fail the run: a line past the bound ends its reading
// with a diagnostic, and what came before it is kept.
TEST_F(UpdateConfigTest, SettingsFileStopsAtAnOverlongLine) {
    const std::wstring settingsFile = dir.write(
        "settings.conf", "TempDir = /srv/tmp\n\nOther=" +
                             std::string(UpdateConfig::kMaxLineBytes + 10, 'x') + "\nLast=y\n");
    ConnectionOptions store;
    store.SetWide(UpdateConfig::kSettingsFileName, settingsFile);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, config.initSettings(&store));
    const std::string printed = testing::internal::GetCapturedStdout();
    std::wstring value;
    EXPECT_EQ(0u, store.GetWide(UpdateConfig::kSettingTempDir, value));
    EXPECT_EQ(L"/srv/tmp", value);
    EXPECT_NE(0u, store.GetWide(UpdateConfig::kSettingOther, value));
    EXPECT_EQ("Line 3 of the settings file " + ToMultibyte(settingsFile) +
                  " is longer than 1048576 bytes: the rest of the file is not read\n",
              printed);

    // A device that never ends is refused the same way, without reading it on.
    ConnectionOptions endless;
    endless.SetWide(UpdateConfig::kSettingsFileName, L"/dev/zero");
    UpdateConfig other;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, other.initSettings(&endless));
    EXPECT_EQ(
        "Line 1 of the settings file /dev/zero is longer than 1048576 bytes: the rest of "
        "the file is not read\n",
        testing::internal::GetCapturedStdout());
}

TEST_F(UpdateConfigTest, TemporaryDirectorySettingDefaultsToTheSystems) {
    ConnectionOptions store;
    store.SetWide(UpdateConfig::kSettingsFileName, dir.wfile("missing.conf"));
    EXPECT_EQ(0, config.initSettings(&store));
    std::wstring value;
    EXPECT_EQ(0u, store.GetWide(UpdateConfig::kSettingTempDir, value));
    EXPECT_EQ(GetTempPath(), value);
}

}  // namespace

// --- plug-ins ----------------------------------------------------------------------------

namespace {

const std::wstring kRecordingPlugin = RecordingPluginWidePath();

// "LIB name(args)" lines reduced to "LIB name".
std::vector<std::string> RecordedCalls(const std::string& file) {
    std::vector<std::string> calls;
    for (const std::string& line : ReadLines(file)) calls.push_back(line.substr(0, line.find('(')));
    return calls;
}

}  // namespace

TEST_F(UpdateConfigTest, PluginsSeeThePreparationInOrder) {
    RecordingPluginEnv env(dir.file("events.txt"));
    const Argv args(TestRunOptions(L"m", L"d", L"p", dir.path()));
    ASSERT_TRUE(config.init(args.argc(), args.argv()));
    config.prepare();
    EXPECT_EQ((std::vector<std::string>{
                  "GUI InitializeGuiLibA", "GUI onLoad", "LIB InitializeLibA", "LIB onLoad",
                  "LIB notifyGuiPlugin", "GUI notifyLibPlugin", "LIB notifyVersionInfo",
                  "GUI notifyVersionInfo", "LIB modifyConfiguration", "LIB notifyConfigFile",
                  "GUI notifyConfigFile", "LIB changeLogFileName", "GUI notifyLogFile",
                  "LIB changeTempDir", "LIB checkCreateDirectory", "LIB checkCreateDirectory",
                  "LIB checkCreateDirectory"}),
              RecordedCalls(dir.file("events.txt")));
    EXPECT_EQ(kRecordingPlugin, config.updateLib());
    EXPECT_EQ(kRecordingPlugin, config.guiLib());
}

TEST_F(UpdateConfigTest, PluginChangesOptionsDirectoriesAndLogFile) {
    RecordingPluginEnv env(dir.file("events.txt"));
    const std::string root = dir.path();
    env.set("UPD_REC_ANSWERS", "modifyConfiguration=0");
    env.set("UPD_REC_SET_modifyConfiguration", "Retries=9|install-path=" + root + "/other");
    env.set("UPD_REC_SET_changeTempDir", root + "/plugin-tmp/");
    env.set("UPD_REC_SET_changeLogFileName", root + "/plugin.log");
    Argv args({L"--masteridx=m", L"--defaultsrv=d", L"--productfile=p", L"--retries=2",
               L"--install-path=" + dir.wpath() + L"/inst", L"--updatelib=" + kRecordingPlugin});
    ASSERT_TRUE(config.init(args.argc(), args.argv()));
    config.prepare();
    EXPECT_EQ(9, config.retries());
    EXPECT_EQ(dir.wpath() + L"/other/", config.updateDirs().m_installdir);
    EXPECT_EQ(dir.wpath() + L"/plugin-tmp/", config.updateDirs().m_tmpdir);
    EXPECT_TRUE(IsDir(config.updateDirs().m_tmpdir));
    EXPECT_EQ(dir.wpath() + L"/plugin.log", config.logFileName());
}

TEST_F(UpdateConfigTest, PluginChangesMustNameOptionsWithValues) {
    RecordingPluginEnv env(dir.file("events.txt"));
    env.set("UPD_REC_ANSWERS", "modifyConfiguration=0");
    Argv args({L"--masteridx=m", L"--defaultsrv=d", L"--productfile=p",
               L"--install-path=" + dir.wpath(), L"--updatelib=" + kRecordingPlugin});
    ASSERT_TRUE(config.init(args.argc(), args.argv()));
    env.set("UPD_REC_SET_modifyConfiguration", "NoSuchOption=1");
    ExpectCriticalError([&] { config.prepare(); }, Msg<158>(std::wstring(L"NoSuchOption")),
                        ERR_CONFIG_FILE);

    UpdateConfig second;
    ASSERT_TRUE(second.init(args.argc(), args.argv()));
    env.set("UPD_REC_SET_modifyConfiguration", "checkdirty=1");
    ExpectCriticalError([&] { second.prepare(); }, Msg<159>(std::wstring(L"checkdirty")),
                        ERR_CONFIG_FILE);
}

TEST_F(UpdateConfigTest, SelfUpdateRunsKeepTheirTemporaryDirectory) {
    RecordingPluginEnv env(dir.file("events.txt"));
    env.set("UPD_REC_SET_changeTempDir", dir.path() + "/not-used");
    Argv args({L"--masteridx=m", L"--copyaction=a|b", L"--install-path=" + dir.wpath(),
               L"--tmpdir=" + dir.wpath() + L"/keep", L"--updatelib=" + kRecordingPlugin});
    ASSERT_TRUE(config.init(args.argc(), args.argv()));
    config.prepare();
    EXPECT_EQ(dir.wpath() + L"/keep/", config.updateDirs().m_tmpdir);
    const std::vector<std::string> calls = RecordedCalls(dir.file("events.txt"));
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "LIB notifyIsSelfUpdate"));
    EXPECT_EQ(0, std::count(calls.begin(), calls.end(), "LIB changeTempDir"));
}
