// The callback tables are a binary interface: a plug-in built elsewhere calls slot N of the
// virtual table. These tests pin every slot index (Itanium C++ ABI: a pointer to a virtual
// member holds 1 + the slot's byte offset in the table) and every default answer.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>

#include "update/UpdateGuiCallbacks.h"
#include "update/UpdateLibCallbacks.h"

namespace {

template <class T, class F>
long SlotOf(F T::*member) {
    struct Rep {
        uintptr_t ptr;
        ptrdiff_t adj;
    } rep;
    static_assert(sizeof(member) == sizeof(Rep), "unexpected member pointer layout");
    std::memcpy(&rep, &member, sizeof rep);
    if ((rep.ptr & 1) == 0) return -1;  // not virtual
    return static_cast<long>((rep.ptr - 1) / sizeof(void*));
}

// Calls a slot with value-initialised arguments (empty texts and lists, false, null, 0).
template <class T, class... P>
int CallWithDefaults(T& table, int (T::*member)(P...)) {
    std::tuple<std::remove_cv_t<std::remove_reference_t<P>>...> args{};
    return std::apply([&](auto&... a) { return (table.*member)(a...); }, args);
}

#define EXPECT_SLOT(Class, name, index, answer)                            \
    do {                                                                   \
        Class table;                                                       \
        EXPECT_EQ(index, SlotOf(&Class::name)) << #name;                   \
        EXPECT_EQ(answer, CallWithDefaults(table, &Class::name)) << #name; \
    } while (0)

}  // namespace

TEST(CallbackTables, LibrarySlotsAndDefaultAnswers) {
    EXPECT_TRUE(std::has_virtual_destructor<CUpdateLibCallbacks>::value);
    EXPECT_EQ(sizeof(void*), sizeof(CUpdateLibCallbacks));  // the table pointer only
    EXPECT_SLOT(CUpdateLibCallbacks, onLoad, 2, 0);
    EXPECT_SLOT(CUpdateLibCallbacks, notifyIsSelfUpdate, 3, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, notifySelfUpdateExecuted, 4, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, reserved, 5, 0);
    EXPECT_SLOT(CUpdateLibCallbacks, notifyGuiPlugin, 6, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, notifyVersionInfo, 7, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, changeLogFileName, 8, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, changeTempDir, 9, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, notifyConfigFile, 10, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, modifyConfiguration, 11, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, notifyUpdateStart, 12, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, notifyUpdateCriticalError, 13, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, notifyUpdateNonCriticalError, 14, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, beforeDownloadFiles, 15, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, changeMasterIdxUrl, 16, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, notifyMasterIdxContent, 17, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, connectServer, 18, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, changeProductFileUrl, 19, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, changeProductLocationUrl, 20, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, downloadNothingChanged, 21, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, downloadFile, 22, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, disconnectServer, 23, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, getSpecialDownloadFilesFirst, 24, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, onSpecialDownloadFileFirst, 25, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, onSpecialDownloadFilesFirstDone, 26, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, notifyProductInfoFileContent, 27, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, notifyProductInfoFile, 28, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, getSpecialDownloadFilesSecond, 29, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, onSpecialDownloadFileSecond, 30, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, onSpecialDownloadFilesSecondDone, 31, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, onSpecialDownloadFileError, 32, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, afterDownloadFiles, 33, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, setTidy, 34, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, notifyModuleFileList, 35, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, notifyModuleFileListDone, 36, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, globalPre, 37, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, globalAfterSelfupdatePre, 38, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, overrideInstall, 39, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, overrideBackupModule, 40, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, overrideInstallModule, 41, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, overridePre, 42, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, overridePost, 43, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, overrideUnPost, 44, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, copyFile, 45, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, copyFileNeedRestart, 46, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, checkCreateDirectory, 47, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, DeleteFile, 48, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, DeleteDir, 49, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, beforeRollback, 50, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, overrideRollback, 51, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, afterRollback, 52, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, NotifySelfUpdateRollback, 53, -1);
    EXPECT_SLOT(CUpdateLibCallbacks, globalPost, 54, -1);
}

TEST(CallbackTables, GuiSlotsAndDefaultAnswers) {
    EXPECT_TRUE(std::has_virtual_destructor<CUpdateGuiCallbacks>::value);
    EXPECT_EQ(sizeof(void*), sizeof(CUpdateGuiCallbacks));
    EXPECT_SLOT(CUpdateGuiCallbacks, onLoad, 2, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, reserved, 3, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, notifyLibPlugin, 4, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, notifyVersionInfo, 5, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onUpdateCriticalError, 6, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onUpdateNonCriticalError, 7, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, beforeRestoreModuleStartup, 8, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onModuleRestoreFile, 9, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, afterRestoreModuleCompletion, 10, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onUpdateStart, 11, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onSelfUpdateStart, 12, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, notifyLogFile, 13, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, notifyConfigFile, 14, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onCheckMainIdx, 15, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onCheckFile, 16, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onCheckFileIsDirty, 17, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onCheckFilesDone, 18, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onStartDownloadFiles, 19, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onDownloadFile, 20, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onFinishDownloadFiles, 21, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, notifyModuleFileList, 22, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, notifyModuleFileListDone, 23, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, BeforeUpdateModule, 24, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, beforeBackup, 25, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onBackupFile, 26, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, afterBackup, 27, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, beforePre, 28, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, afterPre, 29, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, beforeInstallModule, 30, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onInstallFile, 31, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, afterInstallModule, 32, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, beforePost, 33, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, afterPost, 34, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, beforeUnpost, 35, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, afterUnpost, 36, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, AfterUpdateModule, 37, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onUpdateFinish, 38, 0);
    EXPECT_SLOT(CUpdateGuiCallbacks, onSelfUpdateFinish, 39, 0);
}
