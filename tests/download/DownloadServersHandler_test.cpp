// Server choice, the product file and the addresses, with real files, real shares and a
// real HTTP server on 127.0.0.1.
#include "download/DownloadServersHandler.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <string>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Logger.h"
#include "codec/FileDigest.h"
#include "config/UpdateConfig.h"
#include "config/UpdateUri.h"
#include "download/FileDownloader.h"
#include "plugin/UpdateCallbacks.h"
#include "support/TestServers.h"

using namespace UpdateNew;

using TestServers::TempDir;
using TestServers::WriteFile;

namespace {

// A checked text file: the lines, then "<" and the digest of everything before it.
std::string Checked(const std::string& lines) {
    return lines + "<" + ToMultibyte(GetDataMD5(lines.data(), lines.size())) + "\n";
}

std::wstring W(const std::string& text) {
    return FromMultibyte(text);
}

class ServersTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_config.cCallbacks().LoadLib(L"");
        m_config.cCallbacks().LoadGuiLib(L"");
        m_config.setInstallPath(W(m_dir.file("install")));
        m_config.setTempDir(W(m_dir.file("tmp")));
        mkdir(m_dir.file("install").c_str(), 0755);
        mkdir(m_dir.file("tmp").c_str(), 0755);
        m_config.setMasterIdx(L"idx/master.idx");
        m_config.setProductFile(L"prod/product.txt");
    }

    // A default-server handler over a product file with these lines (not yet parsed).
    std::wstring ProductFile(const std::string& content) {
        const std::string path = m_dir.file("product.txt");
        WriteFile(path, content);
        return W(path);
    }

    template <typename E = CUpdateCriticalException>
    E Fails(const std::function<void()>& action) {
        try {
            action();
        } catch (const E& e) {
            return e;
        }
        ADD_FAILURE() << "no exception";
        return E(L"");
    }

    // The exception the action throws, with whether it is critical.
    Exception Throws(const std::function<void()>& action, bool& critical) {
        critical = false;
        try {
            action();
        } catch (const CUpdateCriticalException& e) {
            critical = true;
            return e;
        } catch (const Exception& e) {
            return e;
        }
        ADD_FAILURE() << "no exception";
        return Exception(L"");
    }

    TempDir m_dir{"servers-test"};
    UpdateConfig m_config;
};

const char kGoodProductFile[] =
    "; product file\n"
    "<!-- markup lines are skipped -->\n"
    "  servers =  http://127.0.0.1:1/a , file:///srv/b  ,http://127.0.0.1:2/c ; three of them\n"
    "updateroot=root/v7\n"
    "productinfo = info/product.info.gz\n"
    "productinfohash=product.info,0123456789abcdef0123456789abcdef\n"
    "productinfohash=product.info,ffffffffffffffffffffffffffffffff\n"
    "productinfohash = other.info , abcd\n"
    "crdate=2024-01-31\n"
    "unknownkey=whatever\n"
    "\n";

}  // namespace

TEST_F(ServersTest, ProductFileGivesServersRootInfoAndHashes) {
    m_config.setDefaultServer(L"/nowhere");
    CDownloadServersHandler handler(&m_config, nullptr);
    handler.ParseProductFile(ProductFile(kGoodProductFile));
    const UpdateConfig::ServerMap& servers = m_config.servers();
    ASSERT_EQ(3u, servers.size());
    EXPECT_EQ(1u, servers.count(L"http://127.0.0.1:1/a"));
    EXPECT_EQ(1u, servers.count(L"file:///srv/b"));
    EXPECT_EQ(1u, servers.count(L"http://127.0.0.1:2/c"));
    EXPECT_EQ(L"root/v7", handler.GetUpdateRoot());
    EXPECT_EQ(L"info/product.info.gz", handler.GetProductInfo());
    ASSERT_EQ(2u, handler.GetProductInfoHashes().size());
    EXPECT_EQ(L"0123456789abcdef0123456789abcdef",
              handler.GetProductInfoHashes().at(L"product.info"));  // the first one stays
    EXPECT_EQ(L"abcd", handler.GetProductInfoHashes().at(L"other.info"));
}

TEST_F(ServersTest, ProductFileValuesHaveTheirVariablesExpanded) {
    m_config.setDefaultServer(L"/nowhere");
    m_config.setVariable(L"VER", L"7.1");
    CDownloadServersHandler handler(&m_config, nullptr);
    handler.ParseProductFile(
        ProductFile("servers=http://127.0.0.1:1/x\nupdateroot=r/%VER%\nproductinfo=p.info\n"));
    EXPECT_EQ(L"r/7.1", handler.GetUpdateRoot());
}

TEST_F(ServersTest, BrokenProductFilesEndTheRunWith627) {
    m_config.setDefaultServer(L"/nowhere");
    struct Case {
        const char* content;
        const wchar_t* expected;
    };
    const Case cases[] = {
        {"servers=http://h/x\nupdateroot=r\njustakey\nproductinfo=p\n", L"justakey"},
        {"servers=http://h/x\n = value\n", L"= value"},
        {"servers=http://h/x\nupdateroot=  ; nothing\n", L"updateroot="},
        {"servers=http://h/x\nupdateroot=r\n", L"productinfo"},
        {"servers=http://h/x\nproductinfo=p\n", L"updateroot"},
        {"updateroot=r\nproductinfo=p\n", L"servers"},
        {"servers=http://h/x\nupdateroot=r\nproductinfo=p\nproductinfohash=a,b,c\n", L"a,b,c"},
        {"servers=http://h/x\nupdateroot=r\nproductinfo=p\nproductinfohash=onlyname\n",
         L"onlyname"},
    };
    for (const Case& c : cases) {
        m_config.servers().clear();
        CDownloadServersHandler handler(&m_config, nullptr);
        const std::wstring path = ProductFile(c.content);
        CUpdateCriticalException e = Fails([&] { handler.ParseProductFile(path); });
        EXPECT_EQ(ERR_SERVER_LIST, e.code()) << c.content;
        EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(c.expected))
            << c.content << " -> " << e.what();
    }
    CDownloadServersHandler handler(&m_config, nullptr);
    CUpdateCriticalException missing =
        Fails([&] { handler.ParseProductFile(W(m_dir.file("absent.txt"))); });
    EXPECT_EQ(ERR_SERVER_LIST, missing.code());
    EXPECT_NE(std::wstring::npos, std::wstring(missing.twhat()).find(L"absent.txt"));
}

TEST_F(ServersTest, IgnoringTheServerListUsesTheDefaultServers) {
    m_config.setDefaultServer(L"http://127.0.0.1:7/one, http://127.0.0.1:8/two");
    m_config.setIgnoreServerList(true);
    CDownloadServersHandler handler(&m_config, nullptr);
    handler.ParseProductFile(ProductFile(kGoodProductFile));
    ASSERT_EQ(2u, m_config.servers().size());
    EXPECT_EQ(1u, m_config.servers().count(L"http://127.0.0.1:7/one"));
    EXPECT_EQ(1u, m_config.servers().count(L"http://127.0.0.1:8/two"));
}

TEST_F(ServersTest, LocalMasterIndexPath) {
    m_config.addServerUrl(L"http://127.0.0.1:1/srv");
    CDownloadServersHandler handler(&m_config, nullptr);
    const std::wstring install = W(m_dir.file("install"));
    EXPECT_EQ(install + L"/idx/master.idx", handler.GetLocalMasterIdxPath());
    m_config.setIdxLocalName(L"keep/local.idx");
    EXPECT_EQ(install + L"/keep/local.idx", handler.GetLocalMasterIdxPath());
    m_config.setIdxLocalName(L"C:\\data\\master.idx");
    EXPECT_EQ(L"C:\\data\\master.idx", handler.GetLocalMasterIdxPath());
}

TEST_F(ServersTest, DirectModeUsesTheConfiguredRootsWithoutAProductFile) {
    m_config.addServerUrl(L"http://127.0.0.1:1/srv");
    m_config.setProductRoot(L"bin/root");
    m_config.setProductInfoFile(L"info/p.info.gz");
    // No downloader: fetching a product file here would crash the test.
    CDownloadServersHandler handler(&m_config, nullptr);
    EXPECT_FALSE(handler.IsDefaultServerMode());
    std::wstring name;
    const UpdateUri* server = handler.GetDownloadServer(name);
    ASSERT_NE(nullptr, server);
    EXPECT_EQ(L"http://127.0.0.1:1/srv", name);
    EXPECT_TRUE(handler.IsUrlServer());
    EXPECT_EQ(L"bin/root", handler.GetUpdateRoot());
    EXPECT_EQ(L"http://127.0.0.1:1/srv/bin/root", handler.GetUpdateRootAddress());
    EXPECT_EQ(L"http://127.0.0.1:1/srv/info/p.info.gz", handler.GetProductInfoAddress());
    EXPECT_EQ(L"http://127.0.0.1:1/srv/idx/master.idx", handler.GetMasterIdxAddress());
}

TEST_F(ServersTest, EveryDownloadServerIsTriedOnceThen628) {
    m_config.addServerUrl(L"http://127.0.0.1:1/a");
    m_config.addServerUrl(L"http://127.0.0.1:2/b");
    m_config.addServerUrl(L"http://127.0.0.1:3/c");
    CDownloadServersHandler handler(&m_config, nullptr);
    std::set<std::wstring> tried;
    std::wstring name;
    handler.GetDownloadServer(name);
    tried.insert(name);
    handler.ServerFailed();
    handler.GetDownloadServer(name);
    tried.insert(name);
    handler.ServerFailed();
    handler.GetDownloadServer(name);
    tried.insert(name);
    EXPECT_EQ(3u, tried.size());
    CUpdateCriticalException e = Fails([&] { handler.ServerFailed(); });
    EXPECT_EQ(ERR_NO_MORE_SERVERS, e.code());
    EXPECT_TRUE(m_config.servers().empty());
}

TEST_F(ServersTest, FailedServerThatIsNoLongerListedGives625) {
    m_config.addServerUrl(L"http://127.0.0.1:1/a");
    m_config.addServerUrl(L"http://127.0.0.1:2/b");
    CDownloadServersHandler handler(&m_config, nullptr);
    std::wstring name;
    handler.GetDownloadServer(name);
    m_config.servers().erase(name);
    CUpdateCriticalException e = Fails([&] { handler.ServerFailed(); });
    EXPECT_EQ(ERR_DOWNLOAD_SERVER, e.code());
    EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(name));
}

TEST_F(ServersTest, NoDefaultServerGives628AtOnce) {
    m_config.setDefaultServer(L" , ");
    CUpdateCriticalException e =
        Fails([&] { CDownloadServersHandler handler(&m_config, nullptr); });
    EXPECT_EQ(ERR_NO_MORE_SERVERS, e.code());
}

TEST_F(ServersTest, EveryDefaultServerIsTriedOnceThen628) {
    // Three shared folders without a product file: each fetch fails.
    const std::string a = m_dir.file("a"), b = m_dir.file("b"), c = m_dir.file("c");
    m_config.setDefaultServer(W(a + ", " + b + " ,  " + c));
    FileDownloader downloader(m_config, m_config.cCallbacks());
    CDownloadServersHandler handler(&m_config, &downloader);
    EXPECT_TRUE(handler.IsDefaultServerMode());
    std::set<std::wstring> tried;
    for (int attempt = 0; attempt < 3; ++attempt) {
        tried.insert(handler.GetCurrentDefaultServer());
        std::wstring name;
        bool critical = true;
        Throws([&] { handler.GetDownloadServer(name); }, critical);
        EXPECT_FALSE(critical);  // a transport failure: the next server may do
        if (attempt < 2) handler.ServerFailed();
    }
    EXPECT_EQ((std::set<std::wstring>{W(a), W(b), W(c)}), tried);
    EXPECT_EQ(ERR_NO_MORE_SERVERS, Fails([&] { handler.ServerFailed(); }).code());
}

TEST_F(ServersTest, ProductFileFetchedOverHttpNamesTheDownloadServers) {
    const std::string root = m_dir.file("www");
    WriteFile(root + "/prod/product.txt",
              Checked("servers=http://127.0.0.1:9/files\nupdateroot=root\nproductinfo=p.info\n"));
    TestServers::Nginx nginx({root});
    m_config.setDefaultServer(W(nginx.url()));
    m_config.setMirror(true);
    FileDownloader downloader(m_config, m_config.cCallbacks());
    CDownloadServersHandler handler(&m_config, &downloader);
    std::wstring name;
    const UpdateUri* server = handler.GetDownloadServer(name);
    ASSERT_NE(nullptr, server);
    EXPECT_EQ(L"http://127.0.0.1:9/files", name);
    EXPECT_EQ(L"http://127.0.0.1:9/files/root", handler.GetUpdateRootAddress());
    // The master index lives on the default server in this mode.
    EXPECT_EQ(W(nginx.url()) + L"/idx/master.idx", handler.GetMasterIdxAddress());
    // The local copy is gone; the mirror tree holds the product file.
    struct stat st;
    EXPECT_NE(0, stat(m_dir.file("tmp/product.txt").c_str(), &st));
    EXPECT_EQ(Checked("servers=http://127.0.0.1:9/files\nupdateroot=root\nproductinfo=p.info\n"),
              TestServers::ReadFile(m_dir.file("install/prod/product.txt")));
}

TEST_F(ServersTest, DamagedProductFileIsFetchedTwiceThenRefusedWith636) {
    // Captures what the handler logs.
    struct Capture : UpdateNew::LoggerAppender {
        Capture() : LoggerAppender(UpdateNew::LOG_TRACE, L"${MSG}") {}
        bool Append(int, const std::wstring& message, const std::wstring&) override {
            text += message;
            return true;
        }
        std::wstring text;
    } capture;
    UpdateNew::Logger logger(L"test");
    logger.AddAppender(&capture);
    UpdateNew::Logger* previous = UpdateNew::SetLogger(&logger);

    const std::string root = m_dir.file("www");
    WriteFile(root + "/prod/product.txt",
              "servers=http://127.0.0.1:9/x\nupdateroot=r\nproductinfo=p\n<0000\n");
    TestServers::Nginx nginx({root});
    m_config.setDefaultServer(W(nginx.url()));
    FileDownloader downloader(m_config, m_config.cCallbacks());
    CDownloadServersHandler handler(&m_config, &downloader);
    std::wstring name;
    bool critical = true;
    Exception e = Throws([&] { handler.GetDownloadServer(name); }, critical);
    UpdateNew::SetLogger(previous);

    EXPECT_EQ(ERR_FILE_READ, e.code());
    EXPECT_FALSE(critical);
    EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(L"product.txt"));
    EXPECT_TRUE(m_config.servers().empty());  // nothing of it was used
    struct stat st;
    EXPECT_EQ(0, stat(m_dir.file("tmp/product.txt").c_str(), &st));  // kept for inspection
    // Fetched exactly twice, then its content went to the log.
    // nginx writes its log line after the response; give it a bounded moment.
    std::string access;
    size_t fetches = 0;
    for (int wait = 0; wait < 60 && fetches < 2; ++wait) {
        if (wait) usleep(50 * 1000);
        access = TestServers::ReadFile(nginx.accessLog());
        fetches = 0;
        for (size_t at = access.find("/prod/product.txt"); at != std::string::npos;
             at = access.find("/prod/product.txt", at + 1)) {
            ++fetches;
        }
    }
    EXPECT_EQ(2u, fetches) << access;
    EXPECT_NE(std::wstring::npos, capture.text.find(L"updateroot=r\n")) << capture.text;
    EXPECT_NE(std::wstring::npos, capture.text.find(L"<0000\n")) << capture.text;
}

TEST_F(ServersTest, OnlyTheBeginningOfADamagedProductFileGoesToTheLog) {
    struct Capture : UpdateNew::LoggerAppender {
        Capture() : LoggerAppender(UpdateNew::LOG_TRACE, L"${MSG}") {}
        bool Append(int, const std::wstring& message, const std::wstring&) override {
            text += message;
            return true;
        }
        std::wstring text;
    } capture;
    UpdateNew::Logger logger(L"test");
    logger.AddAppender(&capture);
    UpdateNew::Logger* previous = UpdateNew::SetLogger(&logger);

    // Many lines and no digest line: refused, and a server cannot flood the log with it.
    std::string content;
    for (int i = 0; i < 5000; ++i) content += "line " + std::to_string(i) + "\n";
    const std::string root = m_dir.file("www");
    WriteFile(root + "/prod/product.txt", content);
    TestServers::Nginx nginx({root});
    m_config.setDefaultServer(W(nginx.url()));
    FileDownloader downloader(m_config, m_config.cCallbacks());
    CDownloadServersHandler handler(&m_config, &downloader);
    std::wstring name;
    bool critical = true;
    Exception e = Throws([&] { handler.GetDownloadServer(name); }, critical);
    UpdateNew::SetLogger(previous);

    EXPECT_EQ(ERR_FILE_READ, e.code());
    EXPECT_NE(std::wstring::npos, capture.text.find(L"\nline 0\n")) << capture.text;
    EXPECT_NE(std::wstring::npos, capture.text.find(L"\nline 199\n"));
    EXPECT_EQ(std::wstring::npos, capture.text.find(L"\nline 200\n"));
    EXPECT_NE(std::wstring::npos, capture.text.find(L"(the rest of "));
}

TEST_F(ServersTest, LibraryPluginMayMoveTheProductFileAndTheProductLocation) {
    // The default server holds no product file; the plug-in points at one elsewhere and
    // changes the product info path and the update root it names.
    const std::string elsewhere = m_dir.file("elsewhere/product.txt");
    WriteFile(elsewhere, Checked("servers=http://127.0.0.1:9/x\nupdateroot=r\nproductinfo=p\n"));
    setenv("UPD_REC_SET_changeProductFileUrl", elsewhere.c_str(), 1);
    setenv("UPD_REC_SET_changeProductLocationUrl", "info/other.info|other/root", 1);
    m_config.cCallbacks().LoadLib(L"" UPDATER_BUILD_DIR "/plugins/librecording.so");
    m_config.setDefaultServer(W(m_dir.file("empty-share")));
    {
        FileDownloader downloader(m_config, m_config.cCallbacks());
        CDownloadServersHandler handler(&m_config, &downloader);
        std::wstring name;
        handler.GetDownloadServer(name);
        EXPECT_EQ(L"http://127.0.0.1:9/x", name);
        EXPECT_EQ(L"other/root", handler.GetUpdateRoot());
        EXPECT_EQ(L"info/other.info", handler.GetProductInfo());
    }
    m_config.cCallbacks().LoadLib(L"");
    unsetenv("UPD_REC_SET_changeProductFileUrl");
    unsetenv("UPD_REC_SET_changeProductLocationUrl");
}
