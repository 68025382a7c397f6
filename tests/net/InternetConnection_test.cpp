// The libcurl connection against real servers on 127.0.0.1.
#include "net/InternetConnection.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cwchar>

#include "net/InternetConnectionCurl.h"
#include "support/SilentListener.h"
#include "support/TestServers.h"

using namespace UpdateNew;

using namespace TestServers;

namespace {

size_t Collect(char* data, size_t size, size_t count, void* context) {
    static_cast<std::string*>(context)->append(data, size * count);
    return size * count;
}

std::wstring W(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

class Connection : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(m_www.file("a.txt"), "alpha");
        ASSERT_EQ(0u, m_c.Initialize(nullptr));
        ASSERT_EQ(0u, m_c.SetPointerOption(ConnectionOptions::WRITE_FUNCTION,
                                           reinterpret_cast<void*>(&Collect)));
        ASSERT_EQ(0u, m_c.SetPointerOption(ConnectionOptions::WRITE_DATA, &m_body));
    }
    unsigned Get(const std::string& url) {
        m_body.clear();
        EXPECT_EQ(0u, m_c.SetStringOption(ConnectionOptions::URL, W(url)));
        return m_c.Perform();
    }
    long Status() {
        long status = -1;
        EXPECT_EQ(0u, m_c.GetResponseCode(&status));
        return status;
    }

    TempDir m_www;
    InternetConnection m_c;
    std::string m_body;
};

}  // namespace

TEST_F(Connection, FetchesAndReportsHttpErrorsAs100612) {
    Nginx nginx({m_www.path()});
    EXPECT_EQ(0u, Get(nginx.url() + "/a.txt"));
    EXPECT_EQ("alpha", m_body);
    EXPECT_EQ(200, Status());

    EXPECT_EQ(100612u, Get(nginx.url() + "/missing.txt"));
    EXPECT_EQ(404, Status());
    EXPECT_FALSE(m_c.LastErrorText().empty());

    EXPECT_EQ(100612u, Get(nginx.url() + "/unavailable/a.txt"));
    EXPECT_EQ(503, Status());

    // A failed transfer leaves the store as it was: the next one works.
    EXPECT_EQ(0u, Get(nginx.url() + "/a.txt"));
    EXPECT_TRUE(m_c.LastErrorText().empty());
}

TEST_F(Connection, FollowsRedirectsButNotForever) {
    Nginx nginx({m_www.path()});
    EXPECT_EQ(0u, Get(nginx.url() + "/moved/a.txt"));
    EXPECT_EQ("alpha", m_body);
    EXPECT_EQ(static_cast<unsigned>(CURLE_TOO_MANY_REDIRECTS), Get(nginx.url() + "/loop/x"));
}

TEST_F(Connection, SendsServerCredentialsAndUserAgent) {
    Nginx nginx({m_www.path()});
    EXPECT_EQ(100612u, Get(nginx.url() + "/private/a.txt"));
    EXPECT_EQ(401, Status());
    ASSERT_EQ(0u, m_c.SetStringOption(ConnectionOptions::USER_PASS, L"user:secret"));
    ASSERT_EQ(0u, m_c.SetStringOption(ConnectionOptions::USER_AGENT, L"Probe 9"));
    EXPECT_EQ(0u, Get(nginx.url() + "/private/a.txt"));
    EXPECT_EQ("alpha", m_body);
    nginx.Stop();
    EXPECT_NE(std::string::npos, ReadFile(nginx.accessLog()).find("\"Probe 9\""));
}

TEST_F(Connection, EmptyStoreStillRunsAndFailsForWantOfAUrl) {
    InternetConnection bare;
    ASSERT_EQ(0u, bare.Initialize(nullptr));
    testing::internal::CaptureStdout();
    unsigned rc = bare.Perform();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(static_cast<unsigned>(CURLE_URL_MALFORMAT), rc);
    EXPECT_EQ("", out);  // a transfer failure is only a code
}

TEST_F(Connection, ProxyTypeOneSelectsSocks5AndOtherValuesHttp) {
    Nginx nginx({m_www.path()});
    MicroSocks socks;
    TinyProxy http;
    const std::wstring socksHost = W("127.0.0.1:" + std::to_string(socks.port()));
    const std::wstring httpHost = W("127.0.0.1:" + std::to_string(http.port()));

    ASSERT_EQ(0u, m_c.SetStringOption(ConnectionOptions::PROXY_HOST_PORT, socksHost));
    ASSERT_EQ(0u, m_c.SetLongOption(ConnectionOptions::PROXY_TYPE, 1));
    EXPECT_EQ(0u, Get(nginx.url() + "/a.txt"));
    EXPECT_EQ("alpha", m_body);
    EXPECT_NE(std::string::npos, ReadFile(socks.logFile()).find("connected to 127.0.0.1"));

    for (long type : {0L, 2L, 5L}) {
        ASSERT_EQ(0u, m_c.SetLongOption(ConnectionOptions::PROXY_TYPE, type));
        ASSERT_EQ(0u, m_c.SetStringOption(ConnectionOptions::PROXY_HOST_PORT, httpHost));
        EXPECT_EQ(0u, Get(nginx.url() + "/a.txt")) << type;
        // Speaking HTTP to the SOCKS server fails.
        ASSERT_EQ(0u, m_c.SetStringOption(ConnectionOptions::PROXY_HOST_PORT, socksHost));
        EXPECT_NE(0u, Get(nginx.url() + "/a.txt")) << type;
    }
}

TEST_F(Connection, SchemePrefixOfTheProxyHostSelectsSocks5) {
    Nginx nginx({m_www.path()});
    MicroSocks socks;
    for (const char* scheme : {"socks5://", "socks5h://"}) {
        ASSERT_EQ(0u, m_c.SetStringOption(
                          ConnectionOptions::PROXY_HOST_PORT,
                          W(scheme + std::string("127.0.0.1:") + std::to_string(socks.port()))));
        EXPECT_EQ(0u, Get("http://localhost:" + std::to_string(nginx.port()) + "/a.txt")) << scheme;
        EXPECT_EQ("alpha", m_body);
    }
    // socks5h lets the proxy resolve the name: microsocks logs the name it was given.
    EXPECT_NE(std::string::npos, ReadFile(socks.logFile()).find("connected to localhost"));
}

TEST_F(Connection, HttpsVerifiesTheServerCertificate) {
    Nginx nginx({m_www.path(), true});
    // The test CA is not in the system's trust store.
    EXPECT_EQ(static_cast<unsigned>(CURLE_PEER_FAILED_VERIFICATION),
              Get(nginx.tlsUrl() + "/a.txt"));
    ASSERT_EQ(0u, m_c.SetStringOption(ConnectionOptions::CA_FILE, W(Nginx::caFile())));
    EXPECT_EQ(0u, Get(nginx.tlsUrl() + "/a.txt"));
    EXPECT_EQ("alpha", m_body);
    EXPECT_EQ(0u, Get("https://localhost:" + std::to_string(nginx.tlsPort()) + "/a.txt"));
}

TEST_F(Connection, TimeoutEndsAStalledTransfer) {
    // A socket that accepts connections (the kernel's backlog) but never answers.
    SilentListener stalled;
    ASSERT_EQ(0u, m_c.SetLongOption(ConnectionOptions::TIMEOUT, 1));
    auto start = std::chrono::steady_clock::now();
    unsigned rc = Get("http://127.0.0.1:" + std::to_string(stalled.port()) + "/x");
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(static_cast<unsigned>(CURLE_OPERATION_TIMEDOUT), rc);
    EXPECT_LT(elapsed, std::chrono::seconds(10));
}

TEST_F(Connection, FileUrlsAreServed) {
    EXPECT_EQ(0u, Get("file://" + m_www.file("a.txt")));
    EXPECT_EQ("alpha", m_body);
    EXPECT_EQ(static_cast<unsigned>(CURLE_FILE_COULDNT_READ_FILE),
              Get("file://" + m_www.file("none.txt")));
}

TEST(ConnectionHolder, EveryCallBeforeInitializePrintsAndReturns5) {
    InternetConnection c;
    long code = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(5u, c.SetStringOption(ConnectionOptions::URL, L"http://x/"));
    EXPECT_EQ(5u, c.SetLongOption(ConnectionOptions::VERBOSE, 1));
    EXPECT_EQ(5u, c.SetPointerOption(ConnectionOptions::WRITE_DATA, nullptr));
    EXPECT_EQ(5u, c.Perform());
    EXPECT_EQ(5u, c.GetResponseCode(&code));
    EXPECT_EQ(5u, c.Uninitialize());
    std::string out = testing::internal::GetCapturedStdout();
    std::string expected;
    for (int i = 0; i < 6; ++i) expected += "Object not initialized\n";
    EXPECT_EQ(expected, out);
}

TEST(ConnectionHolder, DiagnosticsLeaveTheOrientationOfStdoutAlone) {
    // Other output (narrow printf, the logger, wide wprintf) keeps working after one.
    const int before = std::fwide(stdout, 0);
    InternetConnection c;
    testing::internal::CaptureStdout();
    c.Perform();
    EXPECT_EQ("Object not initialized\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(before, std::fwide(stdout, 0));
}

TEST(ConnectionHolder, UninitializeTwiceReports5) {
    InternetConnection c;
    ASSERT_EQ(0u, c.Initialize(nullptr));
    EXPECT_EQ(0u, c.Uninitialize());
    testing::internal::CaptureStdout();
    EXPECT_EQ(5u, c.Uninitialize());
    EXPECT_EQ("Object not initialized\n", testing::internal::GetCapturedStdout());
}

TEST(ConnectionHolder, UnconvertibleTextKeepsTheOldValue) {
    ConnectionOptions store;
    InternetConnection c;
    ASSERT_EQ(0u, c.Initialize(&store));  // the caller's store is used, not copied
    ASSERT_EQ(0u, c.SetStringOption(ConnectionOptions::USER_AGENT, L"Old"));
    std::wstring bad(1, static_cast<wchar_t>(-1));
    testing::internal::CaptureStdout();
    EXPECT_EQ(2u, c.SetStringOption(ConnectionOptions::USER_AGENT, bad));
    EXPECT_EQ("Can not convert wide char string to utf8 string\n",
              testing::internal::GetCapturedStdout());
    std::string value;
    EXPECT_EQ(0u, store.GetBytes(ConnectionOptions::USER_AGENT, value));
    EXPECT_EQ("Old", value);
}

TEST(ConnectionCurl, ConnectionsMayEndInAnyOrder) {
    // Each connection holds its own reference on libcurl's global state: ending the
    // first one must not break the second.
    TempDir www;
    WriteFile(www.file("a.txt"), "alpha");
    Nginx nginx({www.path()});
    UpdateNew::InternetConnectionCurl first, second;
    ASSERT_EQ(0u, first.Initialize(nullptr));
    ASSERT_EQ(0u, second.Initialize(nullptr));
    ASSERT_EQ(0u, first.Uninitialize());
    std::string body;
    second.Options()->SetPointer(ConnectionOptions::WRITE_FUNCTION,
                                 reinterpret_cast<void*>(&Collect));
    second.Options()->SetPointer(ConnectionOptions::WRITE_DATA, &body);
    ASSERT_EQ(0u, second.SetStringOption(ConnectionOptions::URL, W(nginx.url() + "/a.txt")));
    EXPECT_EQ(0u, second.Perform());
    EXPECT_EQ("alpha", body);
    EXPECT_EQ(0u, second.Uninitialize());
    // Not initialized again: the destructor has nothing to release.
}

TEST(ConnectionCurl, ResponseCodeWithoutHandleIsLibcurlsError) {
    UpdateNew::InternetConnectionCurl c;
    long code = 0;
    EXPECT_NE(0u, c.GetResponseCode(&code));
}
