// The download operations of the file processor against a real nginx on 127.0.0.1: a
// product tree with compressed module files and a checked master index, fetched through
// the real downloader, with the recording plug-in as both plug-ins to see the calls.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Interrupts.h"
#include "codec/CheckedTextFile.h"
#include "codec/FileDigest.h"
#include "codec/GzFile.h"
#include "config/UpdateConfig.h"
#include "download/FileDownloader.h"
#include "product/UpdateInfo.h"
#include "run/FileProcessor.h"
#include "support/RecordingLog.h"
#include "support/TestArgv.h"
#include "support/TestRunOptions.h"
#include "support/TestServers.h"

using namespace UpdateNew;

using TestServers::Nginx;
using TestServers::NginxConfig;
using TestServers::ReadFile;
using TestServers::TempDir;
using TestServers::WriteFile;
using TestSupport::CallsStartingWith;
using TestSupport::InitAndPrepare;
using TestSupport::ReadLines;
using TestSupport::RecordingPluginEnv;
using TestSupport::TestRunOptions;

namespace {

std::wstring W(const std::string& s) {
    return FromMultibyte(s);
}

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

int CriticalCode(const std::function<void()>& f) {
    try {
        f();
    } catch (const CUpdateCriticalException& e) {
        return e.code();
    }
    return 0;
}

// A published product: module "base" with SOURCE "bin" holding "a.txt" and "sub/b.bin",
// below the update root "prod" of the server, and the master index "prod/master.idx".
class DownloadTest : public ::testing::Test {
protected:
    DownloadTest() : www(root.file("www")), env(root.file("events.txt")) {
        WriteFile(www + "/.keep", "");
        nginx.reset(new Nginx(NginxConfig{www}));
        AddFile("a.txt", "alpha content\n");
        AddFile("sub/b.bin", std::string(70000, 'b') + "end");
        WriteIndex({"version 1", "files 2"});
    }

    // Publishes `name` of module "base" and adds its record (marked for update).
    void AddFile(const std::string& name, const std::string& content) {
        const std::string plain = root.file("plain/" + name);
        WriteFile(plain, content);
        const std::string gz = www + "/prod/bin/" + name + ".gz";
        WriteFile(gz, "");
        EXPECT_EQ(0, GzipFile(W(plain), W(gz)));
        FileRecord f;
        f.name = W(name);
        f.filesize = static_cast<uint32_t>(content.size());
        f.filemd5.assign(GetFileMD5(W(plain)));
        f.zipsize = static_cast<uint32_t>(ReadFile(gz).size());
        f.zipmd5.assign(GetFileMD5(W(gz)));
        f.needsupdate = true;
        if (product.modules.empty()) {
            product.addModule(L"base");
            product.modules[0].source = L"bin";
            product.modules[0].needsupdate = true;
        }
        product.modules[0].files.push_back(f);
    }

    void WriteIndex(const std::vector<std::string>& lines) {
        WriteFile(www + "/prod/master.idx", "");
        ASSERT_EQ(0, WriteCheckedTextFile(W(www + "/prod/master.idx"), lines));
    }

    // Prepares the configuration (with any further options) and the processor.
    FileProcessor& Processor(std::vector<std::wstring> extra = {}) {
        std::vector<std::wstring> args =
            TestRunOptions(L"prod/master.idx", W(nginx->url()), L"product.txt", root.path());
        args.insert(args.end(), extra.begin(), extra.end());
        InitAndPrepare(config, args);
        fp.reset(new FileProcessor(&config, &product));
        return *fp;
    }

    // The names of the entries of a directory (none when it does not exist).
    static std::vector<std::string> FilesBelow(const std::string& dir) {
        std::vector<std::string> names;
        if (DIR* d = ::opendir(dir.c_str())) {
            while (dirent* e = ::readdir(d))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    names.push_back(e->d_name);
            ::closedir(d);
        }
        return names;
    }

    // The body bytes nginx logged for the first request of `path`, waiting up to five
    // seconds for the line (nginx writes it when the transfer ended); -1 without one.
    long long BytesSentFor(const std::string& path) const {
        for (int i = 0; i < 500; ++i) {
            for (const std::string& line : ReadLines(nginx->accessLog())) {
                const size_t at = line.find(" " + path + " HTTP/");
                if (at == std::string::npos) continue;
                const size_t status = line.find("\" ", at);
                if (status == std::string::npos) continue;
                long long code = 0, bytes = -1;
                if (std::sscanf(line.c_str() + status + 2, "%lld %lld", &code, &bytes) == 2)
                    return bytes;
            }
            ::usleep(10000);
        }
        return -1;
    }

    std::wstring Base() const { return W(nginx->url() + "/prod"); }
    std::string Tmp(const std::string& name) const { return root.file("tmp/" + name); }
    std::string Events() const { return root.file("events.txt"); }
    size_t Fetches() const { return CallsStartingWith(Events(), "LIB downloadFile(").size(); }

    TempDir root;
    std::string www;
    RecordingPluginEnv env;
    std::unique_ptr<Nginx> nginx;
    UpdateInfo product;
    UpdateConfig config;
    std::unique_ptr<FileProcessor> fp;
};

}  // namespace

// ---- module files -------------------------------------------------------------------------

TEST_F(DownloadTest, FetchesVerifiesAndDecompressesEveryMarkedFile) {
    FileProcessor& p = Processor();
    p.DownloadFiles(Base(), L"prod");

    EXPECT_EQ(W(Tmp("prod")), p.downloadDir());
    EXPECT_EQ("alpha content\n", ReadFile(Tmp("prod/bin/a.txt")));
    EXPECT_EQ(std::string(70000, 'b') + "end", ReadFile(Tmp("prod/bin/sub/b.bin")));
    EXPECT_TRUE(Exists(Tmp("prod/bin/a.txt.gz")));
    // Registered in the order created: each ".gz" before its decompressed file.
    const std::vector<std::wstring> expected = {
        W(Tmp("prod/bin/a.txt.gz")), W(Tmp("prod/bin/a.txt")), W(Tmp("prod/bin/sub/b.bin.gz")),
        W(Tmp("prod/bin/sub/b.bin"))};
    EXPECT_EQ(expected, p.tempFiles());

    const std::vector<std::string> events = ReadLines(Events());
    std::vector<std::string> order;
    for (const std::string& e : events)
        for (const char* name : {"GUI onStartDownloadFiles(", "LIB downloadFile(",
                                 "LIB disconnectServer(", "GUI onFinishDownloadFiles("})
            if (e.rfind(name, 0) == 0) order.push_back(name);
    EXPECT_EQ((std::vector<std::string>{"GUI onStartDownloadFiles(", "LIB downloadFile(",
                                        "LIB downloadFile(", "LIB disconnectServer(",
                                        "GUI onFinishDownloadFiles("}),
              order);
    EXPECT_EQ(1u,
              CallsStartingWith(Events(), "GUI onStartDownloadFiles(\"" + nginx->url() + "/prod\"")
                  .size());
    EXPECT_EQ(1u, CallsStartingWith(
                      Events(), "LIB downloadFile(\"" + nginx->url() + "/prod/bin/sub/b.bin.gz\"")
                      .size());
}

TEST_F(DownloadTest, NothingMarkedStillBracketsTheStep) {
    product.modules[0].needsupdate = false;
    FileProcessor& p = Processor();
    p.DownloadFiles(Base(), L"prod");
    EXPECT_EQ(0u, Fetches());
    EXPECT_EQ(1u, CallsStartingWith(Events(), "GUI onStartDownloadFiles(").size());
    EXPECT_EQ(1u, CallsStartingWith(Events(), "GUI onFinishDownloadFiles(").size());
    EXPECT_TRUE(p.tempFiles().empty());
}

TEST_F(DownloadTest, UnmarkedFilesAreNotFetched) {
    product.modules[0].files[0].needsupdate = false;
    FileProcessor& p = Processor();
    p.DownloadFiles(Base(), L"prod");
    EXPECT_EQ(1u, Fetches());
    EXPECT_FALSE(Exists(Tmp("prod/bin/a.txt.gz")));
    EXPECT_TRUE(Exists(Tmp("prod/bin/sub/b.bin")));
}

TEST_F(DownloadTest, GoodCompressedCopyIsReusedAndBadOneFetchedAgain) {
    // What an earlier run left: a good "a.txt.gz" and a "b.bin.gz" of the right size but
    // with other bytes.
    const std::string goodA = ReadFile(www + "/prod/bin/a.txt.gz");
    std::string badB = ReadFile(www + "/prod/bin/sub/b.bin.gz");
    badB[badB.size() / 2] ^= 0x55;
    WriteFile(Tmp("prod/bin/a.txt.gz"), goodA);
    WriteFile(Tmp("prod/bin/sub/b.bin.gz"), badB);

    FileProcessor& p = Processor();
    p.DownloadFiles(Base(), L"prod");
    EXPECT_EQ(1u, Fetches());
    EXPECT_EQ(1u, CallsStartingWith(
                      Events(), "LIB downloadFile(\"" + nginx->url() + "/prod/bin/sub/b.bin.gz\"")
                      .size());
    EXPECT_EQ(ReadFile(www + "/prod/bin/sub/b.bin.gz"), ReadFile(Tmp("prod/bin/sub/b.bin.gz")));
    EXPECT_EQ("alpha content\n", ReadFile(Tmp("prod/bin/a.txt")));
    EXPECT_EQ(std::string(70000, 'b') + "end", ReadFile(Tmp("prod/bin/sub/b.bin")));
}

TEST_F(DownloadTest, EachVerificationFailureHasItsCode) {
    struct Case {
        const char* what;
        std::function<void(FileRecord&)> spoil;
        int code;
    };
    const std::vector<Case> cases = {
        {"ZIPSIZE", [](FileRecord& f) { f.zipsize += 1; }, 625},
        {"ZIPMD5", [](FileRecord& f) { f.zipmd5.assign(std::wstring(32, L'0')); }, 625},
        {"FILESIZE", [](FileRecord& f) { f.filesize -= 1; }, 625},
        {"FILEMD5", [](FileRecord& f) { f.filemd5.assign(std::wstring(32, L'0')); }, 625},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UpdateInfo spoiled = product;
        c.spoil(spoiled.modules[0].files[1]);
        UpdateConfig cfg;
        Argv a({L"--masteridx=prod/master.idx", L"--defaultsrv=" + W(nginx->url()),
                L"--productfile=p", L"--install-path=" + W(root.file("inst")),
                L"--tmpdir=" + W(root.file(std::string("tmp-") + c.what)),
                L"--logfile=" + W(root.file("log.txt"))});
        ASSERT_TRUE(cfg.init(a.argc(), a.argv()));
        cfg.prepare();
        FileProcessor p(&cfg, &spoiled);
        EXPECT_EQ(c.code, CriticalCode([&] { p.DownloadFiles(Base(), L"prod"); }));
    }
}

TEST_F(DownloadTest, CompressedFileThatDecompressesWrongIsRefused) {
    // The server's "a.txt.gz" holds other content of the same compressed size and digest
    // as its record says: the compressed checks pass, the decompressed ones do not.
    const std::string other = root.file("other");
    WriteFile(other, "ALPHA CONTENT\n");
    const std::string gz = www + "/prod/bin/a.txt.gz";
    ASSERT_EQ(0, GzipFile(W(other), W(gz)));
    FileRecord& f = product.modules[0].files[0];
    f.zipsize = static_cast<uint32_t>(ReadFile(gz).size());
    f.zipmd5.assign(GetFileMD5(W(gz)));
    FileProcessor& p = Processor();
    EXPECT_EQ(625, CriticalCode([&] { p.DownloadFiles(Base(), L"prod"); }));
    EXPECT_EQ(0u, CallsStartingWith(Events(), "GUI onFinishDownloadFiles(").size());
}

TEST_F(DownloadTest, FileMissingOnTheServerIsATransportError) {
    ::unlink((www + "/prod/bin/a.txt.gz").c_str());
    FileProcessor& p = Processor();
    try {
        p.DownloadFiles(Base(), L"prod");
        FAIL() << "no exception";
    } catch (const CUpdateCriticalException&) {
        FAIL() << "a transport failure lets the run try another server";
    } catch (const Exception& e) {
        EXPECT_EQ(-1, e.code());
    }
}

TEST_F(DownloadTest, MirrorModeKeepsTheCompressedFilesOnly) {
    FileProcessor& p = Processor({L"--mirror=1"});
    product.modules[0].files[1].filesize = 1;  // not looked at in mirror mode
    p.DownloadFiles(Base(), L"prod");
    EXPECT_EQ(ReadFile(www + "/prod/bin/a.txt.gz"), ReadFile(Tmp("prod/bin/a.txt.gz")));
    EXPECT_TRUE(Exists(Tmp("prod/bin/sub/b.bin.gz")));
    EXPECT_FALSE(Exists(Tmp("prod/bin/a.txt")));
    EXPECT_FALSE(Exists(Tmp("prod/bin/sub/b.bin")));
    EXPECT_EQ(2u, p.tempFiles().size());
}

TEST_F(DownloadTest, StopFlagEndsTheStepBeforeTheNextFetch) {
    FileProcessor& p = Processor();
    g_sigtermReceived = 1;
    const int code = CriticalCode([&] { p.DownloadFiles(Base(), L"prod"); });
    g_sigtermReceived = 0;
    EXPECT_EQ(-1, code);
    EXPECT_EQ(0u, Fetches());
}

TEST_F(DownloadTest, AfterASelfUpdateTheDownloadDirectoriesAreRegistered) {
    FileProcessor& p = Processor({L"--noselfupdate"});
    p.DownloadFiles(Base(), L"prod");
    const UpdStringList& dirs = p.tempDirs();
    for (const char* d : {"prod", "prod/bin", "prod/bin/sub"})
        EXPECT_NE(dirs.end(), std::find(dirs.begin(), dirs.end(), W(Tmp(d)))) << d;
}

// ---- product info file ----------------------------------------------------------------

TEST_F(DownloadTest, ProductInfoNamingRules) {
    WriteFile(www + "/prod/product.info.gz", "default");
    WriteFile(www + "/prod/other.info.gz", "other");
    FileProcessor& p = Processor();
    const std::wstring def = Base() + L"/product.info.gz";

    std::wstring local = p.DownloadProductInfoFile(def, L"");
    EXPECT_EQ(W(Tmp("prod/product.info.gz")), local);
    EXPECT_EQ("default", ReadFile(Tmp("prod/product.info.gz")));

    ::unlink(Tmp("prod/other.info.gz").c_str());
    EXPECT_EQ(W(Tmp("prod/other.info.gz")), p.DownloadProductInfoFile(def, L"other.UPD"));
    EXPECT_EQ("other", ReadFile(Tmp("prod/other.info.gz")));
    ::unlink(Tmp("prod/other.info.gz").c_str());
    EXPECT_EQ(W(Tmp("prod/other.info.gz")), p.DownloadProductInfoFile(def, L"other.info"));
    EXPECT_EQ("other", ReadFile(Tmp("prod/other.info.gz")));

    const UpdStringList& files = p.tempFiles();
    EXPECT_NE(files.end(), std::find(files.begin(), files.end(), local));
}

// ---- master index -------------------------------------------------------------------------

TEST_F(DownloadTest, MasterIndexFirstUnchangedChangedIgnored) {
    FileProcessor& p = Processor();
    const std::wstring address = Base() + L"/master.idx";
    const std::string kept = root.file("inst/prod/master.idx");

    // No kept copy: a change; the index is kept and its lines go to the plug-in.
    EXPECT_TRUE(p.DownloadMasterIdx(address, W(kept)));
    EXPECT_EQ(ReadFile(www + "/prod/master.idx"), ReadFile(kept));
    EXPECT_EQ(
        (std::vector<std::string>{"LIB notifyMasterIdxContent([\"version 1\", \"files 2\"])"}),
        CallsStartingWith(Events(), "LIB notifyMasterIdxContent("));
    EXPECT_EQ(1u, CallsStartingWith(Events(), "LIB changeMasterIdxUrl(").size());
    // Until the run ends well, a marker says the update is unfinished.
    EXPECT_TRUE(Exists(kept + ".pending"));
    EXPECT_TRUE(p.DownloadMasterIdx(address, W(kept)));
    p.FinishMasterIdx();
    // It goes last of all, after the run's own directories.
    EXPECT_TRUE(Exists(kept + ".pending"));

    // Same index again (the finished update's marker gone first): nothing changed, nothing
    // handed on.
    EXPECT_FALSE(p.DownloadMasterIdx(address, W(kept)));
    EXPECT_FALSE(Exists(kept + ".pending"));
    EXPECT_EQ(2u, CallsStartingWith(Events(), "LIB notifyMasterIdxContent(").size());

    // A new index: a change, and the kept copy is replaced.
    WriteIndex({"version 2"});
    EXPECT_TRUE(p.DownloadMasterIdx(address, W(kept)));
    EXPECT_EQ(ReadFile(www + "/prod/master.idx"), ReadFile(kept));
    EXPECT_FALSE(Exists(kept + ".new"));
}

TEST_F(DownloadTest, MasterIndexIgnoredFlagAlwaysReportsAChange) {
    FileProcessor& p = Processor({L"--IgnoreMasterIDX=1"});
    const std::wstring address = Base() + L"/master.idx";
    const std::string kept = root.file("inst/kept.idx");
    WriteFile(kept, ReadFile(www + "/prod/master.idx"));
    EXPECT_TRUE(p.DownloadMasterIdx(address, W(kept)));
    EXPECT_EQ(1u, CallsStartingWith(Events(), "LIB notifyMasterIdxContent(").size());
}

TEST_F(DownloadTest, DamagedMasterIndexIsFetchedTwiceThenRefused) {
    std::string damaged = ReadFile(www + "/prod/master.idx");
    damaged[0] = 'X';
    WriteFile(www + "/prod/master.idx", damaged);
    FileProcessor& p = Processor();
    try {
        p.DownloadMasterIdx(Base() + L"/master.idx", W(root.file("inst/kept.idx")));
        FAIL() << "no exception";
    } catch (const CUpdateCriticalException&) {
        FAIL() << "a damaged index lets the run try another server";
    } catch (const Exception& e) {
        EXPECT_EQ(636, e.code());
    }
    EXPECT_EQ(2u, Fetches());
    EXPECT_FALSE(Exists(root.file("inst/kept.idx")));
}

TEST_F(DownloadTest, EndlessMasterIndexIsCutOffAtTheCheckedTextLimit) {
    // One line without end, far longer than any index: a sparse file nginx serves at once.
    const std::string index = www + "/prod/master.idx";
    const off_t huge = 512LL * 1024 * 1024;
    ASSERT_EQ(0, ::truncate(index.c_str(), huge));
    FileProcessor& p = Processor();
    try {
        p.DownloadMasterIdx(Base() + L"/master.idx", W(root.file("inst/kept.idx")));
        FAIL() << "no exception";
    } catch (const CUpdateCriticalException&) {
        FAIL() << "an oversized index lets the run try another server";
    } catch (const Exception& e) {
        EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(L"master.idx")) << e.what();
        EXPECT_NE(std::wstring::npos, e.details().find(std::to_wstring(kCheckedTextMaxFileBytes)))
            << e.details();
    }
    // Refused in transfer, not after it: no second fetch, nothing kept, nothing left.
    EXPECT_EQ(1u, Fetches());
    EXPECT_FALSE(Exists(root.file("inst/kept.idx")));
    EXPECT_FALSE(Exists(Tmp("prod/master.idx")));
    EXPECT_EQ(std::vector<std::string>{}, FilesBelow(Tmp("prod")));
    // nginx logs what it sent once the updater hung up: a fraction of the file.
    const long long sent = BytesSentFor("/prod/master.idx");
    EXPECT_GT(sent, 0);
    EXPECT_LT(sent, static_cast<long long>(kCheckedTextMaxFileBytes) + 32LL * 1024 * 1024);
}

TEST_F(DownloadTest, MirrorModeCopiesTheIndexIntoTheMirrorTree) {
    FileProcessor& p = Processor({L"--mirror=1"});
    const std::string kept = root.file("inst/kept.idx");
    EXPECT_TRUE(p.DownloadMasterIdx(Base() + L"/master.idx", W(kept)));
    // The index goes into the tree when the run ends well, after the files it names.
    EXPECT_FALSE(Exists(root.file("inst/prod/master.idx")));
    p.FinishMasterIdx();
    EXPECT_EQ(ReadFile(www + "/prod/master.idx"), ReadFile(root.file("inst/prod/master.idx")));
    EXPECT_EQ(ReadFile(www + "/prod/master.idx"), ReadFile(kept));
    // The mirror tree is no temporary directory.
    const UpdStringList& dirs = p.tempDirs();
    EXPECT_EQ(dirs.end(), std::find(dirs.begin(), dirs.end(), W(root.file("inst/prod"))));
}

TEST_F(DownloadTest, PluginMayTakeTheKeptCopyOver) {
    env.set("UPD_REC_ANSWERS", "copyFile=0");
    FileProcessor& p = Processor();
    const std::string kept = root.file("inst/kept.idx");
    EXPECT_TRUE(p.DownloadMasterIdx(Base() + L"/master.idx", W(kept)));
    EXPECT_FALSE(Exists(kept));
    EXPECT_EQ(1u, CallsStartingWith(Events(), "LIB copyFile(").size());
}
