#include "ProductDescription.h"

#include <gtest/gtest.h>

#include <string>

#include "CandidatePublication.h"
#include "base/Conv.h"
#include "base/Exception.h"

using namespace UpdateNew;

namespace {

const char kComplete[] =
    "; A complete description\r\n"
    "[Product]\r\n"
    "name = Example Suite   ; the product name\n"
    "VERSION=2.1.0\n"
    "UpdateRoot = example/2.1\n"
    "PRODUCTINFO = example/example.info.gz\n"
    "MASTERIDX = example/master.idx\n"
    "\n"
    "[productfile]\n"
    "PATH = example/product.txt\n"
    "SERVERS = http://127.0.0.1:8080/, https://mirror.invalid/x\n"
    "SERVERS = file:///srv/updates\n"
    "[module]\n"
    "NAME = core\n"
    "SOURCE = core/bin\n"
    "BASE = build/bin\n"
    "DESTINATION = %INSTALL_PATH%/bin\n"
    "DESTINATION[win95, winnt] = %INSTALL_PATH%\\bin\n"
    "PRE = %INSTALL_PATH%/bin/stop.sh --now\n"
    "POST[unix] = %INSTALL_PATH%/bin/start.sh\n"
    "UNPOST = %INSTALL_PATH%/bin/start.sh\n"
    "DEPEND = base\n"
    "depend = extras\n"
    "INCLUDE = more.info\n"
    "FILE = tool\n"
    "FILE = lib/*.so  VERSION=1.2.3.4  os=unix,WIN95\n"
    "[module]\n"
    "NAME = base\n"
    "SOURCE = base\n"
    "DESTINATION = %INSTALL_PATH%\n";

// Parses `text` as "desc" and gives the error text, or "" when it parsed.
std::string ErrorOf(const std::string& text) {
    try {
        ParseProductDescription(text, L"desc");
    } catch (const Exception& e) {
        return e.what();
    }
    return "";
}

const std::string kProduct =
    "[product]\nNAME=P\nVERSION=1\nUPDATEROOT=root\nPRODUCTINFO=p.info.gz\nMASTERIDX=master.idx\n";
const std::string kModule = "[module]\nNAME=m\nSOURCE=m\nDESTINATION=/opt/m\n";  // lines 7-10

}  // namespace

TEST(ProductDescription, ReadsEveryKeyOfACompleteDescription) {
    ProductDesc d = ParseProductDescription(kComplete, L"example.desc");
    EXPECT_EQ(L"Example Suite", d.name);
    EXPECT_EQ(L"2.1.0", d.version);
    EXPECT_EQ(L"example/2.1", d.updateRoot);
    EXPECT_EQ(L"example/example.info.gz", d.productInfo);
    EXPECT_EQ(L"example/master.idx", d.masterIdx);
    EXPECT_EQ(2, d.at.line);
    ASSERT_TRUE(d.hasProductFile);
    EXPECT_EQ(L"example/product.txt", d.productFile);
    ASSERT_EQ(3u, d.servers.size());
    EXPECT_EQ(L"http://127.0.0.1:8080/", d.servers[0]);
    EXPECT_EQ(L"https://mirror.invalid/x", d.servers[1]);
    EXPECT_EQ(L"file:///srv/updates", d.servers[2]);

    ASSERT_EQ(2u, d.modules.size());
    const ModuleDesc& core = d.modules[0];
    EXPECT_EQ(L"core", core.name);
    EXPECT_EQ(13, core.at.line);
    EXPECT_EQ(L"example.desc:13", core.at.text());
    EXPECT_EQ(L"core/bin", core.source);
    EXPECT_EQ(L"build/bin", core.base);
    ASSERT_EQ(2u, core.destination.size());
    EXPECT_EQ(L"%INSTALL_PATH%/bin", core.destination[0].value);
    EXPECT_EQ(L"", core.destination[0].os);
    EXPECT_EQ(L"%INSTALL_PATH%\\bin", core.destination[1].value);
    EXPECT_EQ(L"WIN95,WINNT", core.destination[1].os);
    ASSERT_EQ(1u, core.pre.size());
    EXPECT_EQ(L"%INSTALL_PATH%/bin/stop.sh --now", core.pre[0].value);
    ASSERT_EQ(1u, core.post.size());
    EXPECT_EQ(L"UNIX", core.post[0].os);
    ASSERT_EQ(1u, core.unpost.size());
    EXPECT_EQ(L"base,extras", core.depend);
    EXPECT_EQ(22, core.dependAt.line);
    ASSERT_EQ(1u, core.include.size());
    EXPECT_EQ(L"more.info", core.include[0].value);
    ASSERT_EQ(2u, core.files.size());
    EXPECT_EQ(L"tool", core.files[0].pattern);
    EXPECT_EQ(L"UNIX", core.files[0].os);
    EXPECT_EQ(L"", core.files[0].version);
    EXPECT_EQ(L"lib/*.so", core.files[1].pattern);
    EXPECT_EQ(L"1.2.3.4", core.files[1].version);
    EXPECT_EQ(L"UNIX,WIN95", core.files[1].os);
    EXPECT_EQ(26, core.files[1].at.line);

    EXPECT_EQ(L"base", d.modules[1].name);
    EXPECT_TRUE(d.modules[1].files.empty());
}

TEST(ProductDescription, NonAsciiTextIsReadAsUtf8) {
    ProductDesc d = ParseProductDescription(
        "[product]\nNAME=Caf\xc3\xa9\nVERSION=1\nUPDATEROOT=r\nPRODUCTINFO=p.info.gz\nMASTERIDX="
        "m\n",
        L"desc");
    EXPECT_EQ(L"Caf\u00e9", d.name);
    EXPECT_NE(std::string::npos, ErrorOf(kProduct + "[module]\nNAME=\xff\n").find("desc:8: "));
}

TEST(ProductDescription, SyntaxErrorsNameTheLine) {
    struct Case {
        std::string text;
        const char* where;
        const char* what;
    } cases[] = {
        {"NAME=x\n", "desc:1: ", "before the first [section]"},
        {"[products]\n", "desc:1: ", "unknown section"},
        {"[product\n", "desc:1: ", "[name]"},
        {kProduct + "VERSION 2\n", "desc:7: ", "KEY = value"},
        {kProduct + " = 2\n", "desc:7: ", "no key"},
        {kProduct + "VERSION=2\n", "desc:7: ", "first on line 3"},
        {kProduct + "COLOUR=red\n", "desc:7: ", "unknown key COLOUR"},
        {kProduct + kModule + "PRE=\n", "desc:11: ", "empty value"},
        {kProduct + kModule + "SOURCE[UNIX]=x\n", "desc:11: ", "no operating-system list"},
        {kProduct + kModule + "PRE[MAC]=x\n", "desc:11: ", "unknown operating-system name \"MAC\""},
        {kProduct + kModule + "PRE[UNIX,]=x\n", "desc:11: ", "empty operating-system name"},
        {kProduct + kModule + "POST=run.sh;OS=UNIX\n", "desc:11: ", "POST[UNIX] = value"},
        {kProduct + kModule + "FILE=a b\n", "desc:11: ", "unexpected \"b\""},
        {kProduct + kModule + "FILE=a VERSION=1.x\n", "desc:11: ", "VERSION \"1.x\""},
        {kProduct + kModule + "FILE=a VERSION=1.2.3.4.5\n", "desc:11: ", "four dot-separated"},
        {kProduct + kModule + "FILE=a OS=BEOS\n", "desc:11: ", "\"BEOS\""},
        {kProduct + kModule + "FILE=a OS=UNIX OS=ALL\n", "desc:11: ", "unexpected \"OS=ALL\""},
        {kProduct + kModule + "INCLUDE=dir/more.info\n", "desc:11: ", "ending in \".info\""},
        {kProduct + kModule + "INCLUDE=more.xml\n", "desc:11: ", "ending in \".info\""},
        {kProduct + "[module]\nNAME=a,b\n", "desc:8: ", "must not contain \",\""},
        {kProduct + "[productfile]\nPATH=p\nSERVERS=127.0.0.1\n", "desc:9: ", "must be a URL"},
        {kProduct + "[productfile]\nPATH=p\nSERVERS=gopher://x/\n", "desc:9: ", "must be a URL"},
        {kProduct + "[product]\n", "desc:7: ", "a second [product]"},
        {kProduct + "[productfile]\nPATH=p\nSERVERS=http://h/a%20b/\n",
         "desc:9: ", "SERVERS \"http://h/a%20b/\" must not contain \"%\""},
    };
    for (const Case& c : cases) {
        std::string error = ErrorOf(c.text);
        EXPECT_EQ(0u, error.find(c.where)) << c.text << " gave: " << error;
        EXPECT_NE(std::string::npos, error.find(c.what)) << c.text << " gave: " << error;
    }
}

TEST(ProductDescription, PathsMustStayInsideTheirTree) {
    for (const char* bad : {"/abs", "a/../b", "..", "./a", "a//b", "a/", "a\\b"}) {
        EXPECT_FALSE(IsSafeRelativePath(FromMultibyte(bad))) << bad;
        std::string error = ErrorOf(kProduct + "[module]\nNAME=m\nSOURCE=" + bad + "\n");
        EXPECT_EQ(0u, error.find("desc:9: SOURCE")) << error;
        error = ErrorOf(kProduct + kModule + "FILE=" + bad + "\n");
        EXPECT_EQ(0u, error.find("desc:11: FILE")) << error;
    }
    for (const char* good : {"a", "a/b.c", "..a/b..", "lib/*.so"})
        EXPECT_TRUE(IsSafeRelativePath(FromMultibyte(good))) << good;
    EXPECT_NE(std::string::npos,
              ErrorOf("[product]\nUPDATEROOT=/srv\n").find("desc:2: UPDATEROOT \"/srv\""));
    EXPECT_NE(std::string::npos,
              ErrorOf("[product]\nMASTERIDX=%ROOT%/m\n").find("must not contain \"%\""));
    EXPECT_NE(std::string::npos,
              ErrorOf("[product]\nPRODUCTINFO=p.info\n").find("ending in \".info.gz\""));
    EXPECT_NE(std::string::npos,
              ErrorOf("[product]\nPRODUCTINFO=dir/.info.gz\n").find("ending in \".info.gz\""));
}

TEST(ProductDescription, NothingMayLieWhereACandidateCan) {
    for (const char* bad : {"r/candidate/p.info.gz/core/x.gz", "r/candidate/a/p.info.gz",
                            "r/notes.candidate.info.gz"})
        EXPECT_TRUE(LiesAmongCandidates(FromMultibyte(bad), true)) << bad;
    for (const char* good :
         {"r/web/candidate/page.html.gz", "r/candidate/x.gz", "r/p.info.gz/candidate/x.gz"})
        EXPECT_FALSE(LiesAmongCandidates(FromMultibyte(good), true)) << good;
    EXPECT_FALSE(LiesAmongCandidates(L"r/x.candidate.info.gz", false));
    EXPECT_NE(std::string::npos,
              ErrorOf("[product]\nUPDATEROOT=r/candidate/p.info.gz\n").find("desc:2: UPDATEROOT"));
}

TEST(ProductDescription, MissingPiecesNameTheirSection) {
    EXPECT_EQ("desc: the description has no [product] section", ErrorOf("; empty\n"));
    EXPECT_EQ("desc:2: [product] lacks MASTERIDX",
              ErrorOf("\n[product]\nNAME=P\nVERSION=1\nUPDATEROOT=r\nPRODUCTINFO=p.info.gz\n"));
    EXPECT_EQ("desc:7: [module] lacks NAME", ErrorOf(kProduct + "[module]\nSOURCE=s\n"));
    EXPECT_EQ("desc:7: module \"m\" lacks DESTINATION",
              ErrorOf(kProduct + "[module]\nNAME=m\nSOURCE=s\n[module]\n"));
    EXPECT_EQ("desc:7: [productfile] lacks SERVERS", ErrorOf(kProduct + "[productfile]\nPATH=p\n"));
    EXPECT_EQ("", ErrorOf(kProduct + kModule));
}

TEST(ProductDescription, UnreadableFileNamesThePath) {
    try {
        ReadProductDescription(L"/nonexistent/dir/product.desc");
        FAIL() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(std::string("cannot open the description /nonexistent/dir/product.desc: "
                              "No such file or directory"),
                  e.what());
    }
}
