#include "config/UpdateUri.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>

#include "base/Conv.h"

using namespace UpdateNew;

TEST(UpdateUri, UrlServerKeepsSchemeHostAndNormalisedPath) {
    UpdateUri uri = UpdateUri::parse(L"HTTP://Updates.example:8080/a\\b//c/");
    EXPECT_EQ(UpdateUri::kUrlServer, uri.kind());
    EXPECT_TRUE(uri.isUrlServer());
    EXPECT_EQ(L"http", uri.scheme());
    EXPECT_EQ(L"Updates.example:8080", uri.host());
    EXPECT_EQ(L"/a/b/c/", uri.path());
    EXPECT_EQ(L"http://Updates.example:8080/a/b/c/", uri.address());
    EXPECT_EQ(L"HTTP://Updates.example:8080/a\\b//c/", uri.text());

    EXPECT_EQ(L"https", UpdateUri::parse(L"https://h").scheme());
    EXPECT_EQ(L"", UpdateUri::parse(L"https://h").path());
    EXPECT_EQ(L"ftp://h/x", UpdateUri::parse(L"ftp://h/x").address());
}

TEST(UpdateUri, SharesAreReachedByPath) {
    for (const wchar_t* text : {L"/srv/share/product", L"file:///srv/share/product",
                                L"file://localhost/srv/share/product", L"\\srv\\share\\product"}) {
        UpdateUri uri = UpdateUri::parse(text);
        EXPECT_EQ(UpdateUri::kShare, uri.kind()) << ToMultibyte(text);
        EXPECT_EQ(L"/srv/share/product", uri.path()) << ToMultibyte(text);
        EXPECT_EQ(L"/srv/share/product", uri.address()) << ToMultibyte(text);
        EXPECT_EQ(L"file:///srv/share/product", uri.transferUrl()) << ToMultibyte(text);
        EXPECT_EQ(L"", uri.host());
    }
    EXPECT_EQ(L"file", UpdateUri::parse(L"file:///x").scheme());
    EXPECT_EQ(L"", UpdateUri::parse(L"/x").scheme());
}

TEST(UpdateUri, EmptyTextIsAnEmptyShare) {
    UpdateUri empty;
    EXPECT_EQ(0, empty.kind());
    EXPECT_EQ(L"", empty.address());
    UpdateUri parsed = UpdateUri::parse(L"");
    EXPECT_EQ(0, parsed.kind());
    EXPECT_EQ(L"", parsed.path());
}

TEST(UpdateUri, TransferUrlEncodesWhatUrlsCannotCarry) {
    EXPECT_EQ(L"file:///srv/my%20share/a%23b%25c%3F",
              UpdateUri::normalizeUrl(L"/srv/my share/a#b%c?"));
    // A URL server's "%" may already be an escape; "?" starts the query.
    EXPECT_EQ(L"http://h:1/a%20b/%41?q=1", UpdateUri::normalizeUrl(L"http://h:1/a b//%41?q=1"));
    EXPECT_EQ(L"http://h/%C3%A4", UpdateUri::normalizeUrl(L"http://h/\u00e4"));
}

TEST(UpdateUri, RelativeSharePathIsTakenFromTheWorkingDirectory) {
    char cwd[PATH_MAX];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    std::wstring expected = L"file://" + FromMultibyte(cwd);
    if (expected.back() != L'/') expected += L"/";
    EXPECT_EQ(expected + L"share/x", UpdateUri::normalizeUrl(L"share/x"));
}
