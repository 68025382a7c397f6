// The file check of the file processor against real installed trees.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <string>

#include "base/Conv.h"
#include "base/Exception.h"
#include "codec/FileDigest.h"
#include "config/UpdateConfig.h"
#include "plugin/UpdateCallbacks.h"
#include "run/FileProcessor.h"

using namespace UpdateNew;

namespace {

class FileCheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/filecheck_test_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_dir = pattern;
        m_config.cCallbacks().LoadLib(L"");
        m_config.cCallbacks().LoadGuiLib(L"");
        m_config.setVariable(L"ROOT", FromMultibyte(m_dir));
    }
    void TearDown() override {
        const std::string cmd = "rm -rf '" + m_dir + "'";
        ASSERT_EQ(0, std::system(cmd.c_str()));
    }

    // Writes a file below the test directory, creating its directories.
    std::wstring Put(const std::string& relative, const std::string& content) {
        const std::string path = m_dir + "/" + relative;
        const std::string cmd = "mkdir -p \"$(dirname '" + path + "')\"";
        EXPECT_EQ(0, std::system(cmd.c_str()));
        std::ofstream(path, std::ios::binary) << content;
        return FromMultibyte(path);
    }

    UpdateModuleInfo& Module(const std::wstring& name, const std::wstring& destination,
                             const std::wstring& depend = L"") {
        UpdateModuleInfo& m = m_info.cGetModuleByIndex(m_info.addModule(name));
        m.destination = destination;
        m.source = L"src/" + name;
        m.depend = depend;
        return m;
    }

    // A file record whose expected installed content is `content`.
    static FileRecord Record(const std::wstring& name, const std::string& content,
                             uint32_t zipsize = 10) {
        FileRecord f;
        f.name = name;
        f.filesize = static_cast<uint32_t>(content.size());
        const std::wstring digest = GetDataMD5(content.data(), content.size());
        f.pefilemd5.assign(digest);
        f.filemd5.assign(digest);
        f.zipsize = zipsize;
        f.os = L"UNIX";
        return f;
    }

    void Check() {
        FileProcessor processor(&m_config, &m_info);
        processor.CheckFiles();
        m_updated = processor.updatedFiles();
    }

    std::wstring Var(const std::wstring& name) { return m_config.getVariable(name); }
    std::wstring Path(const std::string& relative) { return FromMultibyte(m_dir + "/" + relative); }

    std::string m_dir;
    UpdateConfig m_config;
    UpdateInfo m_info;
    std::vector<std::wstring> m_updated;
};

}  // namespace

TEST_F(FileCheckTest, JudgesEachFileBySizeAndDigest) {
    Put("a/same.txt", "hello");
    Put("a/size.txt", "hello!");   // the record's digest is of "hello!" but its size is 5
    Put("a/digest.txt", "HELLO");  // same size as "hello", other digest
    Put("a/name.bin", "binary");
    UpdateModuleInfo& a = Module(L"A", L"%ROOT%/a");
    a.files.push_back(Record(L"same.txt", "hello", 1));
    a.files.push_back(Record(L"size.txt", "hello!", 2));
    a.files.back().filesize = 5;
    a.files.push_back(Record(L"digest.txt", "hello", 4));
    a.files.push_back(Record(L"missing.txt", "x", 8));
    a.files.push_back(Record(L"deep/dir/name.bin -option", "binary", 16));

    Check();
    EXPECT_FALSE(a.files[0].needsupdate);
    EXPECT_TRUE(a.files[1].needsupdate);
    EXPECT_TRUE(a.files[2].needsupdate);
    EXPECT_TRUE(a.files[3].needsupdate);
    EXPECT_FALSE(a.files[4].needsupdate);  // found under its base name, the option word ignored
    EXPECT_TRUE(a.needsupdate);
    EXPECT_EQ(2u + 4u + 8u, m_config.cCallbacks().ulGetDownloadSize());
    EXPECT_EQ(3u, m_config.cCallbacks().filesTotal());
}

TEST_F(FileCheckTest, PresentFileWithVersionIsAlwaysNewer) {
    Put("a/lib.so", "whatever is installed");
    UpdateModuleInfo& a = Module(L"A", L"%ROOT%/a");
    a.files.push_back(Record(L"lib.so", "the server's content"));
    a.files.back().version = L"9.9.9.9";
    a.files.push_back(Record(L"absent.so", "new"));
    a.files.back().version = L"1.0";
    Check();
    EXPECT_FALSE(a.files[0].needsupdate);
    EXPECT_TRUE(a.files[1].needsupdate);  // a missing file is fetched whatever its version
}

TEST_F(FileCheckTest, UnreadableInstalledFileCountsAsChanged) {
    // A directory where the file should be: it exists and has a size, but no digest.
    ASSERT_EQ(0, mkdir((m_dir + "/a").c_str(), 0755));
    ASSERT_EQ(0, mkdir((m_dir + "/a/entry").c_str(), 0755));
    struct stat st;
    ASSERT_EQ(0, stat((m_dir + "/a/entry").c_str(), &st));
    UpdateModuleInfo& a = Module(L"A", L"%ROOT%/a");
    a.files.push_back(Record(L"entry", ""));
    a.files.back().filesize = static_cast<uint32_t>(st.st_size);
    a.files.back().pefilemd5.assign(L"");  // even against an empty expected digest
    Check();
    EXPECT_TRUE(a.files[0].needsupdate);
}

TEST_F(FileCheckTest, UpdatedFilesListsModulesAndQuotedPathsInOrder) {
    Module(L"A", L"%ROOT%/a").files = {Record(L"one", "1"), Record(L"two", "2")};
    Put("s/ok", "ok");
    Module(L"Same", L"%ROOT%/s").files = {Record(L"ok", "ok")};
    Module(L"B", L"%ROOT%/b").files = {Record(L"three", "3")};
    Check();
    const std::wstring root = FromMultibyte(m_dir);
    EXPECT_EQ(L"[A] \"" + root + L"/a/one\" \"" + root + L"/a/two\" [B] \"" + root + L"/b/three\" ",
              Var(L"UPDATED_FILES"));
    EXPECT_EQ(5u, m_updated.size());
    EXPECT_FALSE(m_info.cGetModuleByIndex(1).needsupdate);
}

TEST_F(FileCheckTest, NothingChangedLeavesUpdatedFilesUnset) {
    Put("a/f", "content");
    Module(L"A", L"%ROOT%/a").files.push_back(Record(L"f", "content"));
    Check();
    EXPECT_EQ(0u, m_config.cCallbacks().ulGetDownloadSize());
    EXPECT_EQ(0u, m_config.cCallbacks().filesTotal());
    EXPECT_FALSE(m_info.cGetModuleByIndex(0).needsupdate);
    EXPECT_THROW(Var(L"UPDATED_FILES"), CUpdateCriticalException);
}

TEST_F(FileCheckTest, ModulesDependingOnAChangedModuleAreMarked) {
    // A depends on B, B on C; only C has a changed file.
    Put("a/fa", "a");
    Put("b/fb", "b");
    Module(L"A", L"%ROOT%/a", L"B").files.push_back(Record(L"fa", "a"));
    Module(L"B", L"%ROOT%/b", L"c").files.push_back(Record(L"fb", "b"));
    Module(L"C", L"%ROOT%/c").files.push_back(Record(L"fc", "c"));
    Check();
    EXPECT_TRUE(m_info.cGetModuleByIndex(0).needsupdate);
    EXPECT_TRUE(m_info.cGetModuleByIndex(1).needsupdate);
    EXPECT_TRUE(m_info.cGetModuleByIndex(2).needsupdate);
    EXPECT_FALSE(m_info.cGetModuleByIndex(0).files[0].needsupdate);
    EXPECT_EQ(1u, m_config.cCallbacks().filesTotal());
    EXPECT_EQ(L"[C] \"" + FromMultibyte(m_dir) + L"/c/fc\" ", Var(L"UPDATED_FILES"));
}

TEST_F(FileCheckTest, OnlyTheSelfUpdateModuleIsCheckedAfterAFailedPluginLoad) {
    Module(L"core", L"%ROOT%/core").files.push_back(Record(L"x", "x"));
    Module(L"SelfUpdate", L"%ROOT%/su").files.push_back(Record(L"updater", "u"));
    m_config.cCallbacks().setLoadFailed(true);
    Check();
    EXPECT_FALSE(m_info.cGetModuleByIndex(0).needsupdate);
    EXPECT_TRUE(m_info.cGetModuleByIndex(1).needsupdate);
    EXPECT_EQ(1u, m_config.cCallbacks().filesTotal());
}

TEST_F(FileCheckTest, SelfUpdateAfterRestartMarksItsDependents) {
    Put("su/updater", "u");
    Module(L"selfupdate", L"%ROOT%/su").files.push_back(Record(L"updater", "u"));
    Module(L"plugins", L"%ROOT%/p", L"SELFUPDATE");
    Module(L"other", L"%ROOT%/o");
    m_config.setSelfUpdateDone();
    Check();
    EXPECT_FALSE(m_info.cGetModuleByIndex(0).needsupdate);
    EXPECT_TRUE(m_info.cGetModuleByIndex(1).needsupdate);
    EXPECT_FALSE(m_info.cGetModuleByIndex(2).needsupdate);
}

TEST_F(FileCheckTest, MirrorModeComparesTheCompressedCopies) {
    m_config.setMirror(true);
    m_config.setInstallPath(FromMultibyte(m_dir + "/mirror"));
    m_config.setProductRoot(L"prod/root");
    const std::string good = "compressed bytes";
    Put("mirror/prod/root/src/M/dir/good.txt.gz", good);
    Put("mirror/prod/root/src/M/bad.txt.gz", "other bytes");
    UpdateModuleInfo& m = Module(L"M", L"");
    m.files.push_back(Record(L"dir/good.txt opt", "the uncompressed file"));
    const std::wstring zipDigest = GetDataMD5(good.data(), good.size());
    m.files[0].zipmd5.assign(zipDigest);
    m.files.push_back(Record(L"bad.txt", "x"));
    m.files[1].zipmd5.assign(zipDigest);
    m.files.push_back(Record(L"dir/missing.txt", "y"));
    Check();
    EXPECT_FALSE(m.files[0].needsupdate);  // sizes do not matter, the .gz digest does
    EXPECT_TRUE(m.files[1].needsupdate);
    EXPECT_TRUE(m.files[2].needsupdate);
    const std::wstring mirror = FromMultibyte(m_dir) + L"/mirror/prod/root/src/M/";
    EXPECT_EQ(L"[M] \"" + mirror + L"bad.txt.gz\" \"" + mirror + L"dir/missing.txt.gz\" ",
              Var(L"UPDATED_FILES"));
}

TEST_F(FileCheckTest, EveryFileIsReportedToTheGuiPluginChangedOnesTwice) {
    const std::string record = m_dir + "/calls.txt";
    setenv("UPD_REC_FILE", record.c_str(), 1);
    m_config.cCallbacks().LoadGuiLib(L"" UPDATER_BUILD_DIR "/plugins/librecording.so");
    Put("a/same", "same");
    UpdateModuleInfo& a = Module(L"A", L"%ROOT%/a");
    a.files.push_back(Record(L"same", "same"));
    a.files.push_back(Record(L"new", "new"));
    Check();
    m_config.cCallbacks().LoadGuiLib(L"");
    unsetenv("UPD_REC_FILE");
    std::ifstream in(record);
    // "GUI onCheckFile({name=\"same\", ...})" becomes "onCheckFile same".
    std::string line, calls;
    while (std::getline(in, line)) {
        const size_t open = line.find('(');
        const size_t name = line.find("{name=\"");
        if (line.find("onCheckFile") == std::string::npos || name == std::string::npos) continue;
        const size_t end = line.find('"', name + 7);
        calls += line.substr(4, open - 4) + " " + line.substr(name + 7, end - name - 7) + "\n";
    }
    EXPECT_EQ("onCheckFile same\nonCheckFile new\nonCheckFileIsDirty new\n", calls);
}
