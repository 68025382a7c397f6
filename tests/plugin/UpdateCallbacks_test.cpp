// The callback dispatcher against real plug-in libraries (build/plugins/*.so, loaded with
// dlopen): loading and its failures, the guarded call and its reports, the current-call
// text, and the file steps a plug-in may take over.
#include "plugin/UpdateCallbacks.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "plugin/LibraryInfo.h"

using namespace UpdateNew;

namespace {

std::wstring PluginPath(const char* name) {
    return FromMultibyte(std::string(UPDATER_BUILD_DIR) + "/plugins/lib" + name + ".so");
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool Contains(const std::wstring& text, const std::wstring& part) {
    return text.find(part) != std::wstring::npos;
}

// Runs `body` and gives the critical exception it must throw.
template <class F>
CUpdateCriticalException ExpectCritical(F body) {
    try {
        body();
    } catch (const CUpdateCriticalException& e) {
        return e;
    }
    ADD_FAILURE() << "no CUpdateCriticalException";
    return CUpdateCriticalException(L"", 0);
}

// A scratch directory and the recording plug-in's environment, cleaned up afterwards.
class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/updcb-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_dir = pattern;
        m_record = m_dir + "/record.txt";
        setenv("UPD_REC_FILE", m_record.c_str(), 1);
        ClearPluginEnv();
    }
    void TearDown() override {
        ClearPluginEnv();
        unsetenv("UPD_REC_FILE");
        std::string command = "rm -rf '" + m_dir + "'";
        ASSERT_EQ(0, system(command.c_str()));
    }
    // Every UPD_REC_ variable but the record file, so no test sees another's settings.
    static void ClearPluginEnv() {
        std::vector<std::string> names;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            const std::string name = entry.substr(0, entry.find('='));
            if (name.compare(0, 8, "UPD_REC_") == 0 && name != "UPD_REC_FILE")
                names.push_back(name);
        }
        for (const std::string& name : names) unsetenv(name.c_str());
    }
    std::vector<std::string> Record() const { return ReadLines(m_record); }
    std::wstring Dir(const std::string& name = "") const {
        return FromMultibyte(name.empty() ? m_dir : m_dir + "/" + name);
    }

    std::string m_dir;
    std::string m_record;
};

}  // namespace

// ---- default tables ---------------------------------------------------------------------

TEST_F(Dispatcher, DefaultTablesLeaveEveryStepToTheUpdater) {
    UpdateCallbacks cb;
    EXPECT_FALSE(cb.IsGuiLibLoaded());
    EXPECT_FALSE(cb.IsLibLoaded());
    std::wstring src = L"http://127.0.0.1/a.gz", dest = L"/tmp/a.gz";
    EXPECT_FALSE(cb.callLib(L"downloadFile(cSourceFileSimpl, cDestFileSimpl)",
                            &CUpdateLibCallbacks::downloadFile, src, dest));
    EXPECT_EQ(-1, UpdateCallbacks::LastResult());
    EXPECT_FALSE(cb.callLib(L"globalPre()", &CUpdateLibCallbacks::globalPre));
    cb.callGui(L"onUpdateStart()", &CUpdateGuiCallbacks::onUpdateStart);
    EXPECT_EQ(0, UpdateCallbacks::LastResult());
    cb.NotifyPlugins();
    cb.notifyVersionInfo();
    EXPECT_TRUE(cb.notifyConfigFile(L"update.conf"));
    EXPECT_EQ(L"", UpdateCallbacks::CurrentCallText());
}

TEST_F(Dispatcher, EmptyPathInstallsTheDefaultTable) {
    UpdateCallbacks cb;
    cb.LoadLib(PluginPath("recording"));
    EXPECT_TRUE(cb.IsLibLoaded());
    cb.LoadLib(L"");
    EXPECT_FALSE(cb.IsLibLoaded());
    EXPECT_FALSE(cb.callLib(L"globalPost()", &CUpdateLibCallbacks::globalPost));
    const std::vector<std::string> lines = Record();
    ASSERT_EQ(3u, lines.size());
    EXPECT_EQ("LIB UninitializeLibA()", lines[2]);  // the plug-in was handed its table back
}

// ---- loading and unloading --------------------------------------------------------------

TEST_F(Dispatcher, BothPluginsLoadLearnOfEachOtherAndUnloadGuiFirst) {
    {
        UpdateCallbacks cb;
        cb.LoadGuiLib(PluginPath("recording"));
        cb.LoadLib(PluginPath("recording"));
        cb.NotifyPlugins();
        cb.notifyVersionInfo();
        cb.configFileData()[L"server"] = L"http://127.0.0.1:8080/";
        cb.configFileData()[L"guilib"] = L"x.so";
        cb.notifyConfigFile(L"/etc/update.conf");
    }
    std::wstring version;
    ASSERT_TRUE(CLibraryInfo().GetProductVersion(version));
    const std::string v = WideToUtf8(version);
    const std::vector<std::string> expected = {
        "GUI InitializeGuiLibA()",
        "GUI onLoad()",
        "LIB InitializeLibA()",
        "LIB onLoad()",
        "LIB notifyGuiPlugin(table)",
        "GUI notifyLibPlugin(table)",
        "LIB notifyVersionInfo(\"" + v + "\")",
        "GUI notifyVersionInfo(\"" + v + "\")",
        "LIB notifyConfigFile(\"/etc/update.conf\", {\"guilib\": \"x.so\", \"server\": "
        "\"http://127.0.0.1:8080/\"})",
        "GUI notifyConfigFile(\"/etc/update.conf\", {\"guilib\": \"x.so\", \"server\": "
        "\"http://127.0.0.1:8080/\"})",
        "GUI UninitializeGuiLibA()",
        "LIB UninitializeLibA()",
    };
    EXPECT_EQ(expected, Record());
}

TEST_F(Dispatcher, WithoutTheOtherPluginEachIsToldNull) {
    UpdateCallbacks cb;
    cb.LoadLib(PluginPath("recording"));
    cb.NotifyPlugins();
    UpdateCallbacks gui;
    gui.LoadGuiLib(PluginPath("recording"));
    gui.NotifyPlugins();
    const std::vector<std::string> lines = Record();
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ("LIB notifyGuiPlugin(NULL)", lines[2]);
    EXPECT_EQ("GUI notifyLibPlugin(NULL)", lines[5]);
}

TEST_F(Dispatcher, MissingLibraryFailsWith634AndItsPath) {
    UpdateCallbacks cb;
    const std::wstring path = Dir("missing.so");
    CUpdateCriticalException e = ExpectCritical([&] { cb.LoadLib(path); });
    EXPECT_EQ(ERR_PLUGIN_LOAD, e.code());
    EXPECT_EQ(Msg<126>(path), e.twhat());
    EXPECT_TRUE(cb.bLoadFailed());
    e = ExpectCritical([&] { cb.LoadGuiLib(path); });
    EXPECT_EQ(ERR_PLUGIN_LOAD, e.code());
    // Whoever goes on after the failure reaches the default tables.
    EXPECT_FALSE(cb.callLib(L"globalPre()", &CUpdateLibCallbacks::globalPre));
    cb.callGui(L"onUpdateStart()", &CUpdateGuiCallbacks::onUpdateStart);
}

TEST_F(Dispatcher, LibraryWithoutEntryPointFailsWith634Message127) {
    UpdateCallbacks cb;
    const std::wstring path = PluginPath("noentry");
    CUpdateCriticalException e = ExpectCritical([&] { cb.LoadLib(path); });
    EXPECT_EQ(ERR_PLUGIN_LOAD, e.code());
    EXPECT_EQ(Msg<127>(path), e.twhat());
    EXPECT_FALSE(cb.IsLibLoaded());
    EXPECT_FALSE(cb.callLib(L"globalPre()", &CUpdateLibCallbacks::globalPre));
    e = ExpectCritical([&] { cb.LoadGuiLib(path); });
    EXPECT_EQ(Msg<127>(path), e.twhat());
    EXPECT_FALSE(cb.IsGuiLibLoaded());
}

TEST_F(Dispatcher, FirstCallbackDecidesWhetherThePluginStarts) {
    setenv("UPD_REC_ANSWERS", "onLoad=-1", 1);
    {
        UpdateCallbacks cb;
        cb.LoadLib(PluginPath("recording"));  // "not done" is an acceptable first answer
        EXPECT_TRUE(cb.IsLibLoaded());
        CUpdateCriticalException e =
            ExpectCritical([&] { cb.LoadGuiLib(PluginPath("recording")); });
        EXPECT_EQ(ERR_PLUGIN_REFUSED, e.code());
        EXPECT_EQ(Msg<664>(PluginPath("recording"), -1), e.twhat());
        // The refusing plug-in got its table back and gets no further call.
        EXPECT_FALSE(cb.IsGuiLibLoaded());
        EXPECT_EQ("GUI UninitializeGuiLibA()", Record().back());
        cb.callGui(L"onUpdateStart()", &CUpdateGuiCallbacks::onUpdateStart);
        EXPECT_EQ("GUI UninitializeGuiLibA()", Record().back());
    }
    setenv("UPD_REC_ANSWERS", "lib.onLoad=1", 1);
    UpdateCallbacks cb;
    EXPECT_EQ(ERR_PLUGIN_REFUSED,
              ExpectCritical([&] { cb.LoadLib(PluginPath("recording")); }).code());
    cb.LoadGuiLib(PluginPath("recording"));
}

TEST_F(Dispatcher, LibraryWithoutUninitializeWorksButFailsAtUnload) {
    UpdateCallbacks cb;
    cb.LoadLib(PluginPath("nouninit"));
    cb.LoadGuiLib(PluginPath("nouninit"));
    std::wstring name = L"base";
    EXPECT_FALSE(cb.callLib(L"overridePre(m.name)", &CUpdateLibCallbacks::overridePre, name));
    cb.callGui(L"onUpdateStart()", &CUpdateGuiCallbacks::onUpdateStart);

    CUpdateCriticalException e = ExpectCritical([&] { cb.UnloadLib(); });
    EXPECT_EQ(ERR_PLUGIN_LOAD, e.code());
    EXPECT_EQ(Msg<129>(), e.twhat());
    EXPECT_FALSE(cb.IsLibLoaded());  // closed all the same
    e = ExpectCritical([&] { cb.UnloadGuiLib(); });
    EXPECT_EQ(Msg<128>(), e.twhat());
    // Nothing is held any more: unloading again is quiet, using the table fails.
    cb.UnloadLib();
    EXPECT_EQ(Msg<131>(), ExpectCritical([&] { cb.LibCallbacks(); }).twhat());
}

TEST_F(Dispatcher, DestructorReportsAMissingUninitializeWithoutThrowing) {
    EXPECT_NO_THROW({
        UpdateCallbacks cb;
        cb.LoadLib(PluginPath("nouninit"));
    });
}

TEST_F(Dispatcher, NullTableFailsAtFirstUse) {
    UpdateCallbacks cb;
    cb.LoadLib(PluginPath("nulltable"));
    cb.LoadGuiLib(PluginPath("nulltable"));
    CUpdateCriticalException e =
        ExpectCritical([&] { cb.callLib(L"globalPre()", &CUpdateLibCallbacks::globalPre); });
    EXPECT_EQ(ERR_PLUGIN_LOAD, e.code());
    EXPECT_EQ(Msg<131>(), e.twhat());
    e = ExpectCritical(
        [&] { cb.callGui(L"onUpdateStart()", &CUpdateGuiCallbacks::onUpdateStart); });
    EXPECT_EQ(Msg<130>(), e.twhat());
    EXPECT_EQ(L"", UpdateCallbacks::CurrentCallText());
}

// ---- the guarded call -------------------------------------------------------------------

TEST_F(Dispatcher, LibraryAnswerOutsideZeroAndMinusOneGives612WithTheExpression) {
    setenv("UPD_REC_ANSWERS", "downloadFile=5,overrideInstall=0", 1);
    UpdateCallbacks cb;
    cb.LoadLib(PluginPath("recording"));
    EXPECT_TRUE(cb.callLib(L"overrideInstall()", &CUpdateLibCallbacks::overrideInstall));
    std::wstring src = L"http://127.0.0.1/x.gz", dest = L"/tmp/x.gz";
    const wchar_t* expression = L"downloadFile(cSourceFileSimpl, cDestFileSimpl)";
    CUpdateCriticalException e = ExpectCritical(
        [&] { cb.callLib(expression, &CUpdateLibCallbacks::downloadFile, src, dest); });
    EXPECT_EQ(ERR_LIB_PLUGIN_INVALID_RESULT, e.code());
    EXPECT_TRUE(Contains(e.twhat(), expression)) << e.what();
    EXPECT_TRUE(Contains(e.twhat(), L" 5")) << e.what();
    EXPECT_FALSE(Contains(e.twhat(), L"%d")) << e.what();
    EXPECT_EQ(5, UpdateCallbacks::LastResult());
    EXPECT_EQ(L"", UpdateCallbacks::CurrentCallText());  // the call itself returned
    EXPECT_EQ("LIB downloadFile(\"http://127.0.0.1/x.gz\", \"/tmp/x.gz\")", Record().back());
}

TEST_F(Dispatcher, GuiAnswerOtherThanZeroGives611WithTheExpression) {
    setenv("UPD_REC_ANSWERS", "onCheckFile=-1", 1);
    UpdateCallbacks cb;
    cb.LoadGuiLib(PluginPath("recording"));
    UpdateFileInfo f;
    f.name = L"bin/tool";
    f.filesize = 12;
    CUpdateCriticalException e = ExpectCritical(
        [&] { cb.callGui(L"onCheckFile(f)", &CUpdateGuiCallbacks::onCheckFile, f); });
    EXPECT_EQ(ERR_GUI_PLUGIN_INVALID_RESULT, e.code());
    EXPECT_TRUE(Contains(e.twhat(), L"onCheckFile(f)")) << e.what();
    EXPECT_TRUE(Contains(e.twhat(), L"-1")) << e.what();
    EXPECT_EQ(
        "GUI onCheckFile({name=\"bin/tool\", filesize=12, pefilemd5=\"\", zipsize=0, "
        "zipmd5=\"\", filemd5=\"\", version=\"\", os=\"\", needsupdate=false})",
        Record().back());
}

TEST_F(Dispatcher, ReferenceArgumentsCarryThePluginsChanges) {
    setenv("UPD_REC_SET_checkCreateDirectory", "/a|/a/b", 1);
    setenv("UPD_REC_ANSWERS", "checkCreateDirectory=0", 1);
    UpdateCallbacks cb;
    cb.LoadLib(PluginPath("recording"));
    UpdStringList created;
    EXPECT_TRUE(cb.checkCreateDirectory(Dir("never/made"), created));
    EXPECT_EQ((UpdStringList{L"/a", L"/a/b"}), created);
    struct stat st;
    EXPECT_NE(0, stat((m_dir + "/never").c_str(), &st));  // the plug-in took the step
}

TEST_F(Dispatcher, ExceptionOutOfACallbackLeavesTheCurrentCallText) {
    setenv("UPD_REC_THROW", "downloadFile,globalPre=std", 1);
    UpdateCallbacks cb;
    cb.LoadLib(PluginPath("recording"));
    std::wstring src = L"http://127.0.0.1/x.gz", dest = L"/tmp/x.gz";
    const wchar_t* expression = L"downloadFile(cSourceFileSimpl, cDestFileSimpl)";
    try {
        cb.callLib(expression, &CUpdateLibCallbacks::downloadFile, src, dest);
        ADD_FAILURE() << "no CPluginException";
    } catch (const CPluginException& e) {
        EXPECT_EQ(L"recording plug-in: downloadFile failed", e.twhat());
    }
    EXPECT_EQ(Msg<657>(expression), UpdateCallbacks::CurrentCallText());

    // The next outermost call replaces the stale text and clears it when it returns.
    cb.callGui(L"onUpdateStart()", &CUpdateGuiCallbacks::onUpdateStart);
    EXPECT_EQ(L"", UpdateCallbacks::CurrentCallText());

    EXPECT_THROW(cb.callLib(L"globalPre()", &CUpdateLibCallbacks::globalPre), std::runtime_error);
    EXPECT_EQ(Msg<657>(L"globalPre()"), UpdateCallbacks::CurrentCallText());
    cb.callLib(L"globalPost()", &CUpdateLibCallbacks::globalPost);
}

namespace {

// Tables of the test itself that call back into the dispatcher from inside a callback.
struct InnerGui : CUpdateGuiCallbacks {
    std::wstring seen;
    int onUpdateStart() override {
        seen = UpdateCallbacks::CurrentCallText();
        return 0;
    }
};

struct OuterLib : CUpdateLibCallbacks {
    UpdateCallbacks* cb = nullptr;
    InnerGui inner;
    std::wstring afterInner;
    int globalPre() override {
        cb->callGui(L"onSelfUpdateStart()", &CUpdateGuiCallbacks::onSelfUpdateStart);
        GuardedCall(EPluginKind::Gui, L"onUpdateStart()", &inner,
                    &CUpdateGuiCallbacks::onUpdateStart);
        afterInner = UpdateCallbacks::CurrentCallText();
        return 0;
    }
};

}  // namespace

TEST_F(Dispatcher, NestedCallsKeepTheOutermostText) {
    UpdateCallbacks cb;
    cb.LoadGuiLib(PluginPath("recording"));
    OuterLib outer;
    outer.cb = &cb;
    EXPECT_EQ(
        0, GuardedCall(EPluginKind::Lib, L"globalPre()", &outer, &CUpdateLibCallbacks::globalPre));
    EXPECT_EQ(Msg<657>(L"globalPre()"), outer.inner.seen);
    EXPECT_EQ(Msg<657>(L"globalPre()"), outer.afterInner);
    EXPECT_EQ(L"", UpdateCallbacks::CurrentCallText());
    EXPECT_EQ("GUI onSelfUpdateStart()", Record().back());
}

TEST(FailureText, OnlyTheResultPlaceholderIsReplaced) {
    EXPECT_EQ(L"call f(x) returned 5",
              UpdateCallbacks::FormatFailureText(L"call f(x) returned %d", 5));
    EXPECT_EQ(L"100% sure: -1, %d", UpdateCallbacks::FormatFailureText(L"100%% sure: %i, %d", -1));
    EXPECT_EQ(L"g(%s) bad (7)", UpdateCallbacks::FormatFailureText(L"g(%s) bad", 7));
    EXPECT_EQ(L"2147483647", UpdateCallbacks::FormatFailureText(L"%d", 2147483647));
    EXPECT_TRUE(UpdateCallbacks::CheckLibResult(0, L"%d"));
    EXPECT_FALSE(UpdateCallbacks::CheckLibResult(-1, L"%d"));
    EXPECT_NO_THROW(UpdateCallbacks::CheckGuiResult(0, L"%d"));
    try {
        UpdateCallbacks::CheckGuiResult(-2, L"bad %d");
        ADD_FAILURE();
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(611, e.code());
        EXPECT_STREQ(L"bad -2", e.twhat());
    }
}

// ---- the run counters -------------------------------------------------------------------

TEST(DispatcherCounters, AddUpAndReset) {
    UpdateCallbacks cb;
    cb.addDownloadSize(5000000000UL);
    cb.addDownloadSize(7);
    cb.addFilesTotal();
    cb.addFilesTotal(2);
    EXPECT_EQ(5000000007UL, cb.ulGetDownloadSize());
    EXPECT_EQ(3UL, cb.filesTotal());
    cb.resetRunCounters();
    EXPECT_EQ(0UL, cb.ulGetDownloadSize());
    EXPECT_EQ(0UL, cb.filesTotal());
}

// ---- every slot across the library boundary ---------------------------------------------

namespace {

// Calls one slot through the dispatcher with value-initialised arguments.
template <class... P>
void CallLibDefault(UpdateCallbacks& cb, const wchar_t* name,
                    int (CUpdateLibCallbacks::*slot)(P...)) {
    std::tuple<std::remove_cv_t<std::remove_reference_t<P>>...> args{};
    std::apply([&](auto&... a) { cb.callLib(name, slot, a...); }, args);
}
template <class... P>
void CallGuiDefault(UpdateCallbacks& cb, const wchar_t* name,
                    int (CUpdateGuiCallbacks::*slot)(P...)) {
    std::tuple<std::remove_cv_t<std::remove_reference_t<P>>...> args{};
    std::apply([&](auto&... a) { cb.callGui(name, slot, a...); }, args);
}

std::vector<std::string> SlotNames(const std::vector<std::string>& lines,
                                   const std::string& table) {
    std::vector<std::string> names;
    for (const std::string& line : lines) {
        if (line.compare(0, table.size() + 1, table + " ") != 0) continue;
        names.push_back(line.substr(table.size() + 1, line.find('(') - table.size() - 1));
    }
    return names;
}

}  // namespace

// A plug-in built separately (hidden visibility, only the entry points exported) receives
// each call in the slot the updater meant: the recorded names follow the call order.
TEST_F(Dispatcher, EverySlotReachesThePluginUnderItsName) {
    std::vector<std::string> libNames, guiNames;
    {
        UpdateCallbacks cb;
        cb.LoadLib(PluginPath("recording"));
        cb.LoadGuiLib(PluginPath("recording"));
#define LIB_SLOT(name)                                               \
    CallLibDefault(cb, L## #name L"()", &CUpdateLibCallbacks::name); \
    libNames.push_back(#name)
#define GUI_SLOT(name)                                               \
    CallGuiDefault(cb, L## #name L"()", &CUpdateGuiCallbacks::name); \
    guiNames.push_back(#name)
        LIB_SLOT(reserved);
        LIB_SLOT(notifyIsSelfUpdate);
        LIB_SLOT(notifySelfUpdateExecuted);
        LIB_SLOT(notifyGuiPlugin);
        LIB_SLOT(notifyVersionInfo);
        LIB_SLOT(changeLogFileName);
        LIB_SLOT(changeTempDir);
        LIB_SLOT(notifyConfigFile);
        LIB_SLOT(modifyConfiguration);
        LIB_SLOT(notifyUpdateStart);
        LIB_SLOT(notifyUpdateCriticalError);
        LIB_SLOT(notifyUpdateNonCriticalError);
        LIB_SLOT(beforeDownloadFiles);
        LIB_SLOT(changeMasterIdxUrl);
        LIB_SLOT(notifyMasterIdxContent);
        LIB_SLOT(connectServer);
        LIB_SLOT(changeProductFileUrl);
        LIB_SLOT(changeProductLocationUrl);
        LIB_SLOT(downloadNothingChanged);
        LIB_SLOT(downloadFile);
        LIB_SLOT(disconnectServer);
        LIB_SLOT(getSpecialDownloadFilesFirst);
        LIB_SLOT(onSpecialDownloadFileFirst);
        LIB_SLOT(onSpecialDownloadFilesFirstDone);
        LIB_SLOT(notifyProductInfoFileContent);
        LIB_SLOT(notifyProductInfoFile);
        LIB_SLOT(getSpecialDownloadFilesSecond);
        LIB_SLOT(onSpecialDownloadFileSecond);
        LIB_SLOT(onSpecialDownloadFilesSecondDone);
        LIB_SLOT(onSpecialDownloadFileError);
        LIB_SLOT(afterDownloadFiles);
        LIB_SLOT(setTidy);
        LIB_SLOT(notifyModuleFileList);
        LIB_SLOT(notifyModuleFileListDone);
        LIB_SLOT(globalPre);
        LIB_SLOT(globalAfterSelfupdatePre);
        LIB_SLOT(overrideInstall);
        LIB_SLOT(overrideBackupModule);
        LIB_SLOT(overrideInstallModule);
        LIB_SLOT(overridePre);
        LIB_SLOT(overridePost);
        LIB_SLOT(overrideUnPost);
        LIB_SLOT(copyFile);
        LIB_SLOT(copyFileNeedRestart);
        LIB_SLOT(checkCreateDirectory);
        LIB_SLOT(DeleteFile);
        LIB_SLOT(DeleteDir);
        LIB_SLOT(beforeRollback);
        LIB_SLOT(overrideRollback);
        LIB_SLOT(afterRollback);
        LIB_SLOT(NotifySelfUpdateRollback);
        LIB_SLOT(globalPost);

        GUI_SLOT(reserved);
        GUI_SLOT(notifyLibPlugin);
        GUI_SLOT(notifyVersionInfo);
        GUI_SLOT(onUpdateCriticalError);
        GUI_SLOT(onUpdateNonCriticalError);
        GUI_SLOT(beforeRestoreModuleStartup);
        GUI_SLOT(onModuleRestoreFile);
        GUI_SLOT(afterRestoreModuleCompletion);
        GUI_SLOT(onUpdateStart);
        GUI_SLOT(onSelfUpdateStart);
        GUI_SLOT(notifyLogFile);
        GUI_SLOT(notifyConfigFile);
        GUI_SLOT(onCheckMainIdx);
        GUI_SLOT(onCheckFile);
        GUI_SLOT(onCheckFileIsDirty);
        GUI_SLOT(onCheckFilesDone);
        GUI_SLOT(onStartDownloadFiles);
        GUI_SLOT(onDownloadFile);
        GUI_SLOT(onFinishDownloadFiles);
        GUI_SLOT(notifyModuleFileList);
        GUI_SLOT(notifyModuleFileListDone);
        GUI_SLOT(BeforeUpdateModule);
        GUI_SLOT(beforeBackup);
        GUI_SLOT(onBackupFile);
        GUI_SLOT(afterBackup);
        GUI_SLOT(beforePre);
        GUI_SLOT(afterPre);
        GUI_SLOT(beforeInstallModule);
        GUI_SLOT(onInstallFile);
        GUI_SLOT(afterInstallModule);
        GUI_SLOT(beforePost);
        GUI_SLOT(afterPost);
        GUI_SLOT(beforeUnpost);
        GUI_SLOT(afterUnpost);
        GUI_SLOT(AfterUpdateModule);
        GUI_SLOT(onUpdateFinish);
        GUI_SLOT(onSelfUpdateFinish);
#undef LIB_SLOT
#undef GUI_SLOT
    }
    libNames.insert(libNames.begin(), {"InitializeLibA", "onLoad"});
    libNames.push_back("UninitializeLibA");
    guiNames.insert(guiNames.begin(), {"InitializeGuiLibA", "onLoad"});
    guiNames.push_back("UninitializeGuiLibA");
    EXPECT_EQ(52u + 3u, libNames.size());  // slots 3 to 54, entry points, onLoad
    EXPECT_EQ(37u + 3u, guiNames.size());  // slots 3 to 39, entry points, onLoad
    EXPECT_EQ(libNames, SlotNames(Record(), "LIB"));
    EXPECT_EQ(guiNames, SlotNames(Record(), "GUI"));
}

// The recording plug-in is what other tests observe runs with: its values and its lines
// must be exactly what its documentation promises.
TEST_F(Dispatcher, RecordingPluginHandsBackConfiguredValues) {
    setenv("UPD_REC_SET_changeTempDir", "/var/tmp/upd", 1);
    setenv("UPD_REC_SET_changeProductLocationUrl", "info.xml|root/", 1);
    setenv("UPD_REC_SET_modifyConfiguration", "tmpdir=/x|retries=3", 1);
    setenv("UPD_REC_SET_getSpecialDownloadFilesFirst", "a.txt|b.txt", 1);
    setenv("UPD_REC_SET_onSpecialDownloadFileError", "true", 1);
    setenv("UPD_REC_ANSWERS", "lib.*=0,gui.onUpdateStart=0", 1);
    UpdateCallbacks cb;
    cb.LoadLib(PluginPath("recording"));

    std::wstring cTempVar = L"/tmp";
    EXPECT_TRUE(
        cb.callLib(L"changeTempDir(cTempVar)", &CUpdateLibCallbacks::changeTempDir, cTempVar));
    EXPECT_EQ(L"/var/tmp/upd", cTempVar);
    std::wstring info = L"p.xml", root = L"r";
    cb.callLib(L"changeProductLocationUrl(mcCurRelUpdateProductInfo, mcCurRelUpdateRoot)",
               &CUpdateLibCallbacks::changeProductLocationUrl, info, root);
    EXPECT_EQ(L"info.xml", info);
    EXPECT_EQ(L"root/", root);
    UpdStringPairList cNewConfigData;
    cb.callLib(L"modifyConfiguration(cNewConfigData)", &CUpdateLibCallbacks::modifyConfiguration,
               cNewConfigData);
    EXPECT_EQ((UpdStringPairList{{L"tmpdir", L"/x"}, {L"retries", L"3"}}), cNewConfigData);
    UpdStringList cAdditionalFiles;
    cb.callLib(L"getSpecialDownloadFilesFirst(cAdditionalFiles)",
               &CUpdateLibCallbacks::getSpecialDownloadFilesFirst, cAdditionalFiles);
    EXPECT_EQ((UpdStringList{L"a.txt", L"b.txt"}), cAdditionalFiles);
    bool bIgnoreError = false;
    std::wstring entry = L"a.txt";
    cb.callLib(L"onSpecialDownloadFileError(*cAdditionalFilesIterator, bIgnoreError)",
               &CUpdateLibCallbacks::onSpecialDownloadFileError, entry, bIgnoreError);
    EXPECT_TRUE(bIgnoreError);

    const std::vector<std::string> lines = Record();
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ("LIB changeTempDir(\"/tmp\")", lines[2]);  // the value it received
    EXPECT_EQ("LIB modifyConfiguration([])", lines[4]);
    EXPECT_EQ("LIB onSpecialDownloadFileError(\"a.txt\", false)", lines[6]);
}

TEST_F(Dispatcher, RecordingPluginEscapesTextsAndWritesUtf8) {
    UpdateCallbacks cb;
    cb.LoadGuiLib(PluginPath("recording"));
    std::wstring name = L"m\"o\\d\u00e9\u4e2d", command = L"a\tb\nc";
    cb.callGui(L"beforePost(ri->name, ri->post)", &CUpdateGuiCallbacks::beforePost, name, command);
    UpdStringList all = {L"/opt/a", L"/opt/b"}, dirty = {L"/opt/b"};
    cb.callGui(
        L"notifyModuleFileList(cCurModule.name, cCurModule.needsupdate, cAllModuleFiles, "
        L"cDirtyFiles, cCurModule.destination)",
        &CUpdateGuiCallbacks::notifyModuleFileList, name, true, all, dirty, std::wstring(L"/opt"));
    cb.callGui(L"onUpdateCriticalError(cPluginException.twhat(), ERR_PLUGIN_INVALID_EXIT_CODE)",
               &CUpdateGuiCallbacks::onUpdateCriticalError, L"bad", ERR_PLUGIN_INVALID_EXIT_CODE);
    const std::vector<std::string> lines = Record();
    ASSERT_EQ(5u, lines.size());
    EXPECT_EQ("GUI beforePost(\"m\\\"o\\\\d\xc3\xa9\xe4\xb8\xad\", \"a\\tb\\nc\")", lines[2]);
    EXPECT_EQ(
        "GUI notifyModuleFileList(\"m\\\"o\\\\d\xc3\xa9\xe4\xb8\xad\", true, [\"/opt/a\", "
        "\"/opt/b\"], [\"/opt/b\"], \"/opt\")",
        lines[3]);
    EXPECT_EQ("GUI onUpdateCriticalError(\"bad\", 639)", lines[4]);
}
