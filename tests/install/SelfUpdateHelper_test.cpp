// The self-update helper: the configuration file it writes for the updater copy, line by
// line, and its failures.
#include "install/SelfUpdateHelper.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "base/Exception.h"
#include "base/Messages.h"
#include "plugin/UpdateCallbacks.h"
#include "support/InstallTestUtil.h"

using namespace UpdateNew;

namespace {

SelfUpdateSettings Settings(const std::wstring& tmp) {
    SelfUpdateSettings s;
    s.tmpDir = tmp;
    s.logFile = L"/var/log/upd.log";
    s.commandLine = L"/opt/product/updater --url=http://127.0.0.1:8080/ --x=\"a b\" ";
    s.updaterPath = L"/opt/product/updater";
    return s;
}

std::vector<std::wstring> Lines(const std::wstring& text) {
    std::vector<std::wstring> out;
    size_t start = 0;
    for (size_t nl; (nl = text.find(L'\n', start)) != std::wstring::npos; start = nl + 1)
        out.push_back(text.substr(start, nl - start));
    EXPECT_EQ(text.size(), start) << "the text must end with a line end";
    return out;
}

TEST(SelfUpdateConfig, UpdateWritesCopiesRestartAndProductLines) {
    UpdateCallbacks cb;
    CSelfUpdateHelper helper(cb, Settings(L"/t/tmp/"), false);
    helper.AddChangedFile(L"/t/tmp/root/su/updater", L"/opt/product/updater");
    helper.AddFile(L"/t/tmp/root/su/unchanged.so", L"/opt/product/unchanged.so");
    helper.AddChangedFile(L"/t/tmp/root/su/b\u00e9.so", L"/opt/product/b\u00e9.so");
    EXPECT_EQ(L"/t/tmp/SelfUpdateTemp", helper.SideDir());
    EXPECT_EQ(L"/t/tmp/SelfUpdateTemp/updater", helper.HelperProgram());
    const std::vector<std::wstring> expected = {
        L"[selfupdate]",
        L"CopyAction=/t/tmp/root/su/updater|/opt/product/updater",
        L"CopyAction=/t/tmp/root/su/b\u00e9.so|/opt/product/b\u00e9.so",
        L"ExecAction=/opt/product/updater --url=http://127.0.0.1:8080/ --x=\"a b\"  --NoSelfUpdate "
        L"\"--TmpDir=/t/tmp/\" \"--LogFile=/var/log/upd.log\" "
        L"\"--TmpFilesList=/t/tmp/ToRemove.txt\"",
        L"[product]",
        L"masteridx=/idx/master.idx",
        L"Logfile=/var/log/upd.log"};
    EXPECT_EQ(expected, Lines(helper.ConfigText(L"/t/tmp/ToRemove.txt")));
    // A path its reader would cut at ";" (a comment) is refused (Execute asks this first).
    helper.AddChangedFile(L"/t/tmp/root/su/x", L"/opt/p;x/updater");
    EXPECT_THROW(helper.ConfigText(L"/t/tmp/ToRemove.txt"), CUpdateCriticalException);
}

TEST(SelfUpdateConfig, PluginLibraryNotAmongTheModuleFilesStaysWhereItIs) {
    UpdateCallbacks cb;
    SelfUpdateSettings s = Settings(L"/t/tmp/");
    s.updateLib = L"/opt/product/plugins/libfn.so";
    CSelfUpdateHelper helper(cb, s, false);
    const std::vector<std::wstring> lines = Lines(helper.ConfigText(L"/l"));
    ASSERT_EQ(7u, lines.size());
    EXPECT_EQ(L"[update]", lines[2]);
    EXPECT_EQ(L"UpdateLib=/opt/product/plugins/libfn.so", lines[3]);
    EXPECT_EQ(L"[product]", lines[4]);
}

TEST(SelfUpdateConfig, RestoreModeOnlyCopies) {
    UpdateCallbacks cb;
    CSelfUpdateHelper helper(cb, Settings(L"/t/tmp/"), true);
    helper.AddChangedFile(L"/t/backup/updater", L"/opt/product/updater");
    EXPECT_EQ((std::vector<std::wstring>{
                  L"[selfupdate]", L"CopyAction=/t/backup/updater|/opt/product/updater",
                  L"[product]", L"masteridx=/idx/master.idx", L"Logfile=/var/log/upd.log"}),
              Lines(helper.ConfigText(L"/t/tmp/ToRemove.txt")));
}

TEST(SelfUpdateExecute, ConfigurationThatCannotBeWrittenIs630) {
    ScratchDir dir;
    ASSERT_EQ(0, mkdir(dir.Path("SelfUpdateTemp").c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir.Path("SelfUpdateTemp/update.conf").c_str(), 0755));
    UpdateCallbacks cb;
    CSelfUpdateHelper helper(cb, Settings(dir.WPath("")), false);
    try {
        helper.Execute(L"/x");
        ADD_FAILURE() << "630 expected";
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(630, e.code());
        EXPECT_EQ(Msg<243>(dir.WPath("SelfUpdateTemp/update.conf")), e.twhat());
    }
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("SelfUpdateTemp/update.conf.new")));
}

TEST(SelfUpdateExecute, SideDirectoryThatCannotBeMadeIs630) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("SelfUpdateTemp"), "a file in the way");
    UpdateCallbacks cb;
    CSelfUpdateHelper helper(cb, Settings(dir.WPath("")), false);
    try {
        helper.Execute(L"/x");
        ADD_FAILURE() << "630 expected";
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(630, e.code());
    }
}

}  // namespace
