// The downloader against real servers on 127.0.0.1, with the recording plug-in loaded as
// both plug-ins so every callback (and every byte reported) is seen.
#include "download/FileDownloader.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Messages.h"
#include "plugin/UpdateCallbacks.h"
#include "support/SilentListener.h"
#include "support/TestServers.h"

using namespace UpdateNew;

using namespace TestServers;
namespace fs = std::filesystem;

namespace {

const char* const kPlugin = UPDATER_BUILD_DIR "/plugins/librecording.so";

std::wstring W(const std::string& s) {
    return FromMultibyte(s);
}

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

// One recorded plug-in call: "GUI onDownloadFile(...)" -> table "GUI", name, raw arguments.
struct Call {
    std::string table, name, args;
};

class FileDownloaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::unsetenv("UPD_REC_ANSWERS");
        ::unsetenv("UPD_REC_THROW");
        ::unsetenv("SSL_CERT_FILE");
        ::setenv("UPD_REC_FILE", m_out.file("calls.txt").c_str(), 1);
        m_callbacks.LoadLib(W(kPlugin));
        m_callbacks.LoadGuiLib(W(kPlugin));
        WriteFile(m_www.file("small.txt"), "alpha\n");
        m_big = RandomBytes(300 * 1024 + 17, 7);
        WriteFile(m_www.file("dir/big.bin"), m_big);
    }
    void TearDown() override {
        ::unsetenv("UPD_REC_FILE");
        ::unsetenv("UPD_REC_ANSWERS");
        ::unsetenv("UPD_REC_THROW");
        ::unsetenv("SSL_CERT_FILE");
    }

    std::vector<Call> Calls() const {
        std::vector<Call> calls;
        std::ifstream in(m_out.file("calls.txt"));
        std::string line;
        static const std::regex re(R"(^(LIB|GUI) (\w+)\((.*)\)$)");
        std::smatch m;
        while (std::getline(in, line))
            if (std::regex_match(line, m, re)) calls.push_back({m[1], m[2], m[3]});
        return calls;
    }
    std::vector<Call> CallsNamed(const std::string& name) const {
        std::vector<Call> out;
        for (const Call& c : Calls())
            if (c.name == name) out.push_back(c);
        return out;
    }
    // The byte counts of every onDownloadFile call, added up.
    unsigned long long ReportedBytes() const {
        unsigned long long total = 0;
        for (const Call& c : CallsNamed("onDownloadFile"))
            total += std::stoull(c.args.substr(c.args.rfind(", ") + 2));
        return total;
    }
    // Files in the output directory besides the recording.
    std::set<std::string> OutputFiles() const {
        std::set<std::string> names;
        for (const auto& e : fs::directory_iterator(m_out.path()))
            if (e.path().filename() != "calls.txt") names.insert(e.path().filename());
        return names;
    }
    // Runs the download and returns the exception it threw (fails the test when none).
    Exception DownloadFails(FileDownloader& d, const std::string& url, const std::string& dest) {
        try {
            d.downloadFile(W(url), W(dest));
        } catch (const Exception& e) {
            return e;
        }
        ADD_FAILURE() << "no exception for " << url;
        return Exception(L"none");
    }

    TempDir m_www{"www"};
    TempDir m_out{"out"};
    std::string m_big;
    ConnectionConfig m_cfg;
    UpdateCallbacks m_callbacks;
};

}  // namespace

TEST_F(FileDownloaderTest, FetchesOverHttpReportingEveryByte) {
    Nginx nginx({m_www.path()});
    FileDownloader d(m_cfg, m_callbacks);
    d.connectServer(W(nginx.url()), 1);
    const std::string dest = m_out.file("big.bin");
    EXPECT_EQ(0, d.downloadFile(W(nginx.url() + "/dir/big.bin"), W(dest)));

    EXPECT_EQ(m_big, ReadFile(dest));
    struct stat st;
    ASSERT_EQ(0, ::stat(dest.c_str(), &st));
    EXPECT_EQ(0755u, st.st_mode & 07777);
    EXPECT_EQ(m_big.size(), ReportedBytes());
    EXPECT_GT(CallsNamed("onDownloadFile").size(), 1u);  // in blocks, not at once
    EXPECT_EQ(std::set<std::string>{"big.bin"}, OutputFiles());

    auto lib = CallsNamed("downloadFile");
    ASSERT_EQ(1u, lib.size());
    EXPECT_EQ("\"" + nginx.url() + "/dir/big.bin\", \"" + dest + "\"", lib[0].args);
    auto gui = CallsNamed("onDownloadFile");
    EXPECT_EQ(0u, gui[0].args.find("\"" + nginx.url() + "/dir/big.bin\", \"" + dest + "\", "));

    d.disconnectServer();
    nginx.Stop();
    EXPECT_NE(std::string::npos,
              ReadFile(nginx.accessLog()).find("\"Update 1.0.0 [linux x86 unicode release]\""));
}

TEST_F(FileDownloaderTest, ReusesOneConnectionForManyFiles) {
    for (int i = 0; i < 20; ++i) WriteFile(m_www.file("f" + std::to_string(i)), std::to_string(i));
    Nginx nginx({m_www.path()});
    FileDownloader d(m_cfg, m_callbacks);
    for (int i = 0; i < 20; ++i)
        d.downloadFile(W(nginx.url() + "/f" + std::to_string(i)),
                       W(m_out.file("f" + std::to_string(i))));
    EXPECT_EQ("19", ReadFile(m_out.file("f19")));
    nginx.Stop();
    std::set<std::string> connections;
    std::istringstream log(ReadFile(nginx.accessLog()));
    std::string line;
    while (std::getline(log, line)) connections.insert(line.substr(line.rfind("connection=")));
    EXPECT_EQ(1u, connections.size());
}

TEST_F(FileDownloaderTest, HttpFailuresAreClassified) {
    Nginx nginx({m_www.path()});
    FileDownloader d(m_cfg, m_callbacks);
    const std::string dest = m_out.file("x");
    struct Case {
        std::string path;
        std::wstring reason;
    } cases[] = {
        {"/none.txt", Msg<677>()},
        {"/private/small.txt", Msg<678>()},  // 401
        {"/unavailable/small.txt", Msg<678>()},
        {"/loop/small.txt", Msg<678>()},
    };
    for (const Case& c : cases) {
        Exception e = DownloadFails(d, nginx.url() + c.path, dest);
        EXPECT_EQ(-1, e.code()) << c.path;
        // A failure the server did not name says the transport's reason.
        const std::wstring reason =
            c.reason == Msg<678>() ? c.reason + L": " + e.details() : c.reason;
        EXPECT_EQ(Msg<596>(W(nginx.url() + c.path), reason), e.twhat()) << c.path;
        EXPECT_FALSE(e.details().empty()) << c.path;
        EXPECT_TRUE(OutputFiles().empty()) << c.path;  // neither destination nor temporary
    }
    EXPECT_EQ(0u, ReportedBytes());
}

TEST_F(FileDownloaderTest, FollowsRedirects) {
    Nginx nginx({m_www.path()});
    FileDownloader d(m_cfg, m_callbacks);
    d.downloadFile(W(nginx.url() + "/moved/dir/big.bin"), W(m_out.file("big.bin")));
    EXPECT_EQ(m_big, ReadFile(m_out.file("big.bin")));
    EXPECT_EQ(m_big.size(), ReportedBytes());
}

TEST_F(FileDownloaderTest, FailedTransferKeepsAnEarlierFile) {
    Nginx nginx({m_www.path()});
    FileDownloader d(m_cfg, m_callbacks);
    const std::string dest = m_out.file("kept.txt");
    WriteFile(dest, "complete earlier copy");
    DownloadFails(d, nginx.url() + "/none.txt", dest);
    EXPECT_EQ("complete earlier copy", ReadFile(dest));
    EXPECT_EQ(std::set<std::string>{"kept.txt"}, OutputFiles());
}

TEST_F(FileDownloaderTest, MissingDestinationDirectoryFailsWithTheReason) {
    Nginx nginx({m_www.path()});
    FileDownloader d(m_cfg, m_callbacks);
    Exception e = DownloadFails(d, nginx.url() + "/small.txt", m_out.file("no/such/x"));
    EXPECT_EQ(Msg<596>(W(nginx.url() + "/small.txt"),
                       MsgLib<26>(W(m_out.file("no/such/x")), W(std::strerror(ENOENT)))),
              e.twhat());
    EXPECT_NE(std::wstring::npos, e.details().find(L"No such file or directory"));
}

TEST_F(FileDownloaderTest, HttpProxyWithoutAuthentication) {
    Nginx nginx({m_www.path()});
    TinyProxy proxy;
    m_cfg.setProxy(L"127.0.0.1");
    m_cfg.setProxyPort(proxy.port());
    FileDownloader d(m_cfg, m_callbacks);
    d.downloadFile(W(nginx.url() + "/dir/big.bin"), W(m_out.file("big.bin")));
    EXPECT_EQ(m_big, ReadFile(m_out.file("big.bin")));
    EXPECT_EQ(m_big.size(), ReportedBytes());
    EXPECT_NE(std::string::npos,
              ReadFile(proxy.logFile()).find("GET " + nginx.url() + "/dir/big.bin"));

    // 503 and 400 through a proxy name the proxy; 404 does not.
    const std::wstring port = std::to_wstring(proxy.port());
    Exception e = DownloadFails(d, nginx.url() + "/unavailable/x", m_out.file("x"));
    EXPECT_EQ(Msg<690>(W(nginx.url() + "/unavailable/x"), Msg<678>(), L"127.0.0.1", port),
              e.twhat());
    e = DownloadFails(d, nginx.url() + "/none", m_out.file("x"));
    EXPECT_EQ(Msg<596>(W(nginx.url() + "/none"), Msg<677>()), e.twhat());
}

TEST_F(FileDownloaderTest, HttpProxyWithAuthentication) {
    Nginx nginx({m_www.path()});
    TinyProxy proxy("puser", "ppass");
    const std::wstring url = W(nginx.url() + "/small.txt");
    m_cfg.setProxy(L"127.0.0.1");
    m_cfg.setProxyPort(proxy.port());
    {
        // No credentials: the proxy asks for them (407).
        FileDownloader d(m_cfg, m_callbacks);
        Exception e = DownloadFails(d, nginx.url() + "/small.txt", m_out.file("s"));
        EXPECT_EQ(Msg<596>(url, Msg<672>()), e.twhat());
    }
    {
        // A password alone is never sent.
        m_cfg.setProxyUserPass(L"ppass");
        FileDownloader d(m_cfg, m_callbacks);
        Exception e = DownloadFails(d, nginx.url() + "/small.txt", m_out.file("s"));
        EXPECT_EQ(Msg<596>(url, Msg<672>()), e.twhat());
    }
    {
        // Wrong credentials: this proxy answers 401 to a wrong password.
        m_cfg.setProxyUsername(L"puser");
        m_cfg.setProxyUserPass(L"wrong");
        FileDownloader d(m_cfg, m_callbacks);
        Exception e = DownloadFails(d, nginx.url() + "/small.txt", m_out.file("s"));
        EXPECT_EQ(-1, e.code());
        EXPECT_EQ(Msg<596>(url, Msg<678>() + L": " + e.details()), e.twhat());
        EXPECT_NE(std::wstring::npos, e.details().find(L"401"));
    }
    EXPECT_TRUE(OutputFiles().empty());
    m_cfg.setProxyUserPass(L"ppass");
    FileDownloader d(m_cfg, m_callbacks);
    d.downloadFile(url, W(m_out.file("s")));
    EXPECT_EQ("alpha\n", ReadFile(m_out.file("s")));
    EXPECT_EQ(6u, ReportedBytes());
}

TEST_F(FileDownloaderTest, Socks5ProxyThroughTheSchemePrefix) {
    Nginx nginx({m_www.path()});
    MicroSocks socks;
    m_cfg.setProxyPort(socks.port());
    for (const wchar_t* host : {L"socks5://127.0.0.1", L"socks5h://127.0.0.1"}) {
        m_cfg.setProxy(host);
        FileDownloader d(m_cfg, m_callbacks);
        d.downloadFile(W("http://localhost:" + std::to_string(nginx.port()) + "/dir/big.bin"),
                       W(m_out.file("big.bin")));
        EXPECT_EQ(m_big, ReadFile(m_out.file("big.bin")));
    }
    EXPECT_EQ(2 * m_big.size(), ReportedBytes());
    const std::string log = ReadFile(socks.logFile());
    EXPECT_NE(std::string::npos, log.find("connected to 127.0.0.1"));  // socks5: resolved here
    EXPECT_NE(std::string::npos, log.find("connected to localhost"));  // socks5h: by the proxy
}

TEST_F(FileDownloaderTest, Socks5ProxyWithCredentials) {
    Nginx nginx({m_www.path()});
    MicroSocks socks("suser", "spass");
    m_cfg.setProxy(L"socks5://127.0.0.1");
    m_cfg.setProxyPort(socks.port());
    {
        FileDownloader d(m_cfg, m_callbacks);
        Exception e = DownloadFails(d, nginx.url() + "/small.txt", m_out.file("s"));
        EXPECT_EQ(Msg<689>(L"socks5://127.0.0.1", std::to_wstring(socks.port())), e.twhat());
    }
    m_cfg.setProxyUsername(L"suser");
    m_cfg.setProxyUserPass(L"spass");
    FileDownloader d(m_cfg, m_callbacks);
    d.downloadFile(W(nginx.url() + "/small.txt"), W(m_out.file("s")));
    EXPECT_EQ("alpha\n", ReadFile(m_out.file("s")));
}

TEST_F(FileDownloaderTest, RefusedProxyGives689) {
    Nginx nginx({m_www.path()});
    const int port = FreePort();  // nothing listens there
    m_cfg.setProxy(L" 127.0.0.1 ");
    m_cfg.setProxyPort(port);
    FileDownloader d(m_cfg, m_callbacks);
    Exception e = DownloadFails(d, nginx.url() + "/small.txt", m_out.file("s"));
    EXPECT_EQ(-1, e.code());
    EXPECT_EQ(Msg<689>(L"127.0.0.1", std::to_wstring(port)), e.twhat());
    EXPECT_TRUE(OutputFiles().empty());
    EXPECT_EQ(0u, ReportedBytes());
}

TEST_F(FileDownloaderTest, RefusedServerWithoutProxyGives596) {
    FileDownloader d(m_cfg, m_callbacks);
    const std::string url = "http://127.0.0.1:" + std::to_string(FreePort()) + "/small.txt";
    Exception e = DownloadFails(d, url, m_out.file("s"));
    EXPECT_EQ(Msg<596>(W(url), Msg<678>() + L": " + e.details()), e.twhat());
}

TEST_F(FileDownloaderTest, SharedFolderThroughFileUrls) {
    FileDownloader d(m_cfg, m_callbacks);
    m_cfg.setShareUsername(L"shuser");
    m_cfg.setShareUserPass(L"shpass");
    d.connectServer(W(m_www.path()), 0);
    auto connect = CallsNamed("connectServer");
    ASSERT_EQ(1u, connect.size());
    EXPECT_EQ("\"file://" + m_www.path() + "\", \"shuser\", \"shpass\"", connect[0].args);

    d.downloadFile(W("file://" + m_www.path() + "/dir/big.bin"), W(m_out.file("big.bin")));
    EXPECT_EQ(m_big, ReadFile(m_out.file("big.bin")));
    EXPECT_EQ(m_big.size(), ReportedBytes());

    Exception e = DownloadFails(d, "file://" + m_www.path() + "/none", m_out.file("none"));
    EXPECT_EQ(Msg<596>(W("file://" + m_www.path() + "/none"), Msg<678>() + L": " + e.details()),
              e.twhat());
    EXPECT_EQ(std::set<std::string>{"big.bin"}, OutputFiles());
}

TEST_F(FileDownloaderTest, ConnectAndDisconnectReachThePlugin) {
    FileDownloader d(m_cfg, m_callbacks);
    EXPECT_TRUE(d.ready());
    EXPECT_EQ(1, d.serverKind());
    d.connectServer(L"http://srv/root", 1);
    EXPECT_EQ(L"http://srv/root", d.server());
    d.disconnectServer();
    EXPECT_FALSE(d.ready());
    EXPECT_EQ(L"", d.server());
    d.disconnectServer();  // nothing more happens

    auto calls = Calls();
    std::vector<std::string> seen;
    for (const Call& c : calls)
        if (c.name == "connectServer" || c.name == "disconnectServer")
            seen.push_back(c.name + "(" + c.args + ")");
    EXPECT_EQ((std::vector<std::string>{"connectServer(\"http://srv/root\", \"\", \"\")",
                                        "disconnectServer(\"http://srv/root\")"}),
              seen);

    try {
        d.connectServer(L"http://other/", 1);
        FAIL() << "a spent downloader connected";
    } catch (const Exception& e) {
        EXPECT_EQ(ERR_CONNECT, e.code());
        EXPECT_EQ(Msg<588>(L""), e.twhat());
    }
}

TEST_F(FileDownloaderTest, PluginThatFetchesTheFileItselfStopsTheTransfer) {
    ::setenv("UPD_REC_ANSWERS", "downloadFile=0", 1);
    FileDownloader d(m_cfg, m_callbacks);
    // No server listens there: only the plug-in's answer can make this succeed.
    const std::string url = "http://127.0.0.1:" + std::to_string(FreePort()) + "/x";
    EXPECT_EQ(0, d.downloadFile(W(url), W(m_out.file("x"))));
    EXPECT_EQ("", ReadFile(m_out.file("x")));  // exists, empty: the plug-in wrote nothing
    EXPECT_EQ(std::set<std::string>{"x"}, OutputFiles());
    EXPECT_TRUE(CallsNamed("onDownloadFile").empty());
}

TEST_F(FileDownloaderTest, GuiAnswerOtherThanZeroStopsTheTransferWith611) {
    Nginx nginx({m_www.path()});
    FileDownloader d(m_cfg, m_callbacks);
    ::setenv("UPD_REC_ANSWERS", "gui.onDownloadFile=7", 1);
    try {
        d.downloadFile(W(nginx.url() + "/dir/big.bin"), W(m_out.file("big.bin")));
        FAIL() << "the transfer went on";
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(ERR_GUI_PLUGIN_INVALID_RESULT, e.code());
        EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(L"onDownloadFile"));
    }
    EXPECT_EQ(1u, CallsNamed("onDownloadFile").size());  // stopped at the first block
    EXPECT_TRUE(OutputFiles().empty());

    // The downloader stays usable.
    ::unsetenv("UPD_REC_ANSWERS");
    d.downloadFile(W(nginx.url() + "/small.txt"), W(m_out.file("s")));
    EXPECT_EQ("alpha\n", ReadFile(m_out.file("s")));
}

TEST_F(FileDownloaderTest, PluginExceptionFromTheProgressCallPassesThrough) {
    Nginx nginx({m_www.path()});
    FileDownloader d(m_cfg, m_callbacks);
    ::setenv("UPD_REC_THROW", "onDownloadFile", 1);
    EXPECT_THROW(d.downloadFile(W(nginx.url() + "/small.txt"), W(m_out.file("s"))),
                 CPluginException);
    EXPECT_TRUE(OutputFiles().empty());
}

TEST_F(FileDownloaderTest, LongNamesReachTheProgressCallCut) {
    Nginx nginx({m_www.path()});
    FileDownloader d(m_cfg, m_callbacks);
    const std::string url = nginx.url() + "/small.txt?" + std::string(5000, 'q');
    d.downloadFile(W(url), W(m_out.file("s")));
    auto gui = CallsNamed("onDownloadFile");
    ASSERT_EQ(1u, gui.size());
    EXPECT_EQ(0u, gui[0].args.find("\"" + url.substr(0, 4095) + "\", "));
    auto lib = CallsNamed("downloadFile");
    EXPECT_EQ(0u, lib[0].args.find("\"" + url + "\""));  // the plug-in gets it whole
}

TEST_F(FileDownloaderTest, HttpsVerifiesCertificates) {
    Nginx nginx({m_www.path(), true});
    const std::string url = nginx.tlsUrl() + "/dir/big.bin";
    {
        FileDownloader d(m_cfg, m_callbacks);  // the test CA is not trusted
        Exception e = DownloadFails(d, url, m_out.file("big.bin"));
        EXPECT_EQ(Msg<596>(W(url), Msg<678>() + L": " + e.details()), e.twhat());
        EXPECT_NE(std::wstring::npos, e.details().find(L"certificate"));
    }
    ::setenv("SSL_CERT_FILE", Nginx::caFile().c_str(), 1);
    FileDownloader d(m_cfg, m_callbacks);
    d.downloadFile(W(url), W(m_out.file("big.bin")));
    EXPECT_EQ(m_big, ReadFile(m_out.file("big.bin")));
    EXPECT_EQ(m_big.size(), ReportedBytes());
}

// A server (or someone between) answering an https:// request with a redirect to http://
// would take the rest of the transfer out of the certificate's protection: refused, and
// nothing is written. Plain http:// addresses may still be redirected to plain http://.
TEST_F(FileDownloaderTest, RedirectFromHttpsToHttpIsRefused) {
    Nginx nginx({m_www.path(), true});
    ::setenv("SSL_CERT_FILE", Nginx::caFile().c_str(), 1);
    FileDownloader d(m_cfg, m_callbacks);
    const std::string url = nginx.tlsUrl() + "/plain/dir/big.bin";
    Exception e = DownloadFails(d, url, m_out.file("big.bin"));
    // The error names the refused target, not only a failed transfer.
    const std::string target = nginx.url() + "/dir/big.bin";
    EXPECT_EQ(Msg<596>(W(url), Msg<680>(W(target))), e.twhat());
    EXPECT_NE(std::wstring::npos, e.details().find(L"only redirected to https://"))
        << ToMultibyte(e.details());
    EXPECT_TRUE(OutputFiles().empty());
    EXPECT_EQ(0u, ReportedBytes());

    d.downloadFile(W(nginx.url() + "/plain/dir/big.bin"), W(m_out.file("big.bin")));
    EXPECT_EQ(m_big, ReadFile(m_out.file("big.bin")));
}

// A module file whose server keeps sending past the size the product info announced: the
// transfer stops once more than that arrived, the destination keeps its earlier content
// and no temporary file is left. Exactly the limit is fine.
TEST_F(FileDownloaderTest, TransferStopsOnceMoreThanTheLimitArrived) {
    Nginx nginx({m_www.path()});
    FileDownloader d(m_cfg, m_callbacks);
    const std::string url = nginx.url() + "/dir/big.bin";
    const std::string dest = m_out.file("big.bin");
    WriteFile(dest, "earlier");
    Exception e(L"none");
    try {
        d.downloadFile(W(url), W(dest), 64 * 1024);
        ADD_FAILURE() << "no exception";
    } catch (const Exception& caught) {
        e = caught;
    }
    EXPECT_EQ(Msg<596>(W(url), Msg<679>(L"65536")), e.twhat());
    EXPECT_NE(std::wstring::npos,
              std::wstring(e.twhat()).find(L"more than the expected 65536 bytes"));
    EXPECT_EQ("earlier", ReadFile(dest));
    EXPECT_EQ(std::set<std::string>{"big.bin"}, OutputFiles());
    EXPECT_LE(ReportedBytes(), 64u * 1024);

    d.downloadFile(W(url), W(dest), m_big.size());
    EXPECT_EQ(m_big, ReadFile(dest));
}

TEST_F(FileDownloaderTest, LocalWriteFailureIsNotBlamedOnTheProxy) {
    // A file size limit makes the write fail half way through a transfer that runs
    // through a proxy: the failure names the local file, not the proxy.
    Nginx nginx({m_www.path()});
    TinyProxy proxy;
    m_cfg.setProxy(L"127.0.0.1");
    m_cfg.setProxyPort(proxy.port());
    FileDownloader d(m_cfg, m_callbacks);
    ::unsetenv("UPD_REC_FILE");  // the recording would hit the limit too
    struct rlimit old;
    ASSERT_EQ(0, ::getrlimit(RLIMIT_FSIZE, &old));
    struct rlimit small = old;
    small.rlim_cur = 64 * 1024;
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_FSIZE, &small));
    std::wstring message, details;
    try {
        d.downloadFile(W(nginx.url() + "/dir/big.bin"), W(m_out.file("big.bin")));
    } catch (const Exception& e) {
        message = e.twhat();
        details = e.details();
    }
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(Msg<596>(W(nginx.url() + "/dir/big.bin"),
                       MsgLib<5>(W(m_out.file("big.bin")), W(std::strerror(EFBIG)))),
              message);
    EXPECT_NE(std::wstring::npos, details.find(L"File too large")) << ToMultibyte(details);
    EXPECT_TRUE(OutputFiles().empty());
}

TEST_F(FileDownloaderTest, ProxyPortZeroLeavesThePortToTheHostText) {
    Nginx nginx({m_www.path()});
    TinyProxy proxy;
    m_cfg.setProxy(W("127.0.0.1:" + std::to_string(proxy.port())));
    m_cfg.setProxyPort(0);
    FileDownloader d(m_cfg, m_callbacks);
    d.downloadFile(W(nginx.url() + "/small.txt"), W(m_out.file("s")));
    EXPECT_EQ("alpha\n", ReadFile(m_out.file("s")));
    EXPECT_NE(std::string::npos,
              ReadFile(proxy.logFile()).find("GET " + nginx.url() + "/small.txt"));
}

TEST_F(FileDownloaderTest, TimeoutEndsAStalledServer) {
    // The kernel accepts the connection into the backlog; nobody ever answers.
    SilentListener stalled;
    m_cfg.setTimeout(1);
    FileDownloader d(m_cfg, m_callbacks);
    const std::string url = "http://127.0.0.1:" + std::to_string(stalled.port()) + "/x";
    auto start = std::chrono::steady_clock::now();
    Exception e = DownloadFails(d, url, m_out.file("x"));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Msg<596>(W(url), Msg<678>() + L": " + e.details()), e.twhat());
    EXPECT_LT(elapsed, std::chrono::seconds(10));
    EXPECT_TRUE(OutputFiles().empty());
}
