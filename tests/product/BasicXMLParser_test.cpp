#include "product/BasicXMLParser.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Interrupts.h"

using namespace UpdateNew;

namespace {

// Records every handler call as one line.
class Recorder : public BasicXMLParser {
public:
    std::vector<std::wstring> calls;
    void attributeHandler(const std::wstring& n, const std::wstring& v, int d) override {
        calls.push_back(L"attr " + std::to_wstring(d) + L" " + n + L"=" + v);
    }
    void startElementHandler(int d, const std::wstring& n) override {
        calls.push_back(L"leaf " + std::to_wstring(d) + L" " + n);
    }
    void textHandler(int d, const std::wstring& n, const std::wstring& t) override {
        calls.push_back(L"text " + std::to_wstring(d) + L" " + n + L" [" + t + L"]");
    }
    void startNodeHandler(int d, const std::wstring& n) override {
        calls.push_back(L"node " + std::to_wstring(d) + L" " + n);
    }
    void endNodeHandler(int d, const std::wstring& n) override {
        calls.push_back(L"/node " + std::to_wstring(d) + L" " + n);
    }
    void endElementHandler(int d, const std::wstring& n) override {
        calls.push_back(L"/leaf " + std::to_wstring(d) + L" " + n);
    }
};

std::wstring WriteTemp(const std::string& text) {
    char name[] = "/tmp/basicxml_test_XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(static_cast<ssize_t>(text.size()), write(fd, text.data(), text.size()));
    close(fd);
    return FromMultibyte(name);
}

}  // namespace

TEST(BasicXMLParser, WalksDepthFirstWithAttributesThenTextThenChildren) {
    const std::wstring path = WriteTemp(
        "<R a=\"1\">\n  <N b=\"2\" c=\"3\">head<L>t\xc3\xa9xt</L>\n  </N>\n  <E/>\n</R>\n");
    Recorder r;
    r.parse(path);
    unlink(ToMultibyte(path).c_str());
    const std::vector<std::wstring> expected = {
        L"node 0 R",   L"attr 0 a=1",      L"node 1 N", L"attr 1 b=2",
        L"attr 1 c=3", L"text 1 N [head]", L"leaf 2 L", L"text 2 L [t\u00e9xt]",
        L"/leaf 2 L",  L"/node 1 N",       L"leaf 1 E", L"/leaf 1 E",
        L"/node 0 R"};
    EXPECT_EQ(expected, r.calls);
}

TEST(BasicXMLParser, TextAfterChildrenIsReportedBeforeThem) {
    const std::wstring path = WriteTemp("<R><A/> tail <B>x</B>\n end</R>\n");
    Recorder r;
    r.parse(path);
    unlink(ToMultibyte(path).c_str());
    const std::vector<std::wstring> expected = {
        L"node 0 R", L"text 0 R [tail \n end]", L"leaf 1 A",  L"/leaf 1 A",
        L"leaf 1 B", L"text 1 B [x]",           L"/leaf 1 B", L"/node 0 R"};
    EXPECT_EQ(expected, r.calls);
}

TEST(BasicXMLParser, AStopEndsTheReadingAsItEndsTheRun) {
    // A product info of hundreds of MB is read for seconds: a SIGTERM is taken between
    // its blocks, as the critical failure every stop of a run is.
    const std::wstring path = WriteTemp("<R><A/></R>\n");
    Recorder r;
    g_sigtermReceived = 1;
    EXPECT_THROW(r.parse(path), CUpdateCriticalException);
    g_sigtermReceived = 0;
    EXPECT_TRUE(r.calls.empty());
    unlink(ToMultibyte(path).c_str());
}

TEST(BasicXMLParser, LoadFailuresAreNonCriticalWithCodeMinusOne) {
    Recorder r;
    const std::wstring broken = WriteTemp("<R>\n<A></B>\n</R>\n");
    try {
        r.parse(broken);
        ADD_FAILURE() << "no exception";
    } catch (const CUpdateCriticalException&) {
        ADD_FAILURE() << "must not be critical";
    } catch (const Exception& e) {
        EXPECT_EQ(-1, e.code());
        const std::wstring text = e.twhat();
        EXPECT_NE(std::wstring::npos, text.find(broken)) << text;
        EXPECT_NE(std::wstring::npos, text.find(L"line 2")) << text;
        EXPECT_NE(std::wstring::npos, text.find(L"column 6")) << text;
    }
    unlink(ToMultibyte(broken).c_str());
    EXPECT_TRUE(r.calls.empty());  // nothing is walked from a broken document

    try {
        r.parse(L"/nonexistent/x.xml");
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(-1, e.code());
        EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(L"/nonexistent/x.xml"));
        EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(L"No such file"));
    }
}

// One reading: the same walk as parse(); text after a child makes it inexact; a handler's
// error waits until the document proved well formed, and a syntax error wins over it.
class ThrowingRecorder : public Recorder {
public:
    bool checked = false;
    void startElementHandler(int d, const std::wstring& n) override {
        Recorder::startElementHandler(d, n);
        if (n == L"X") throw std::runtime_error("handler");
    }
    void wellFormedHandler() override { checked = true; }
};

TEST(BasicXMLParser, OneReadingWalksAlikeOrSaysItCannot) {
    const std::wstring same = WriteTemp("<R a=\"1\">\n  <N b=\"2\">head<L>t</L>\n  </N>\n</R>\n");
    Recorder once, twice;
    EXPECT_TRUE(once.parseOnce(same));
    twice.parse(same);
    EXPECT_EQ(twice.calls, once.calls);
    const std::wstring late = WriteTemp("<R><A/> tail </R>\n");
    EXPECT_FALSE(Recorder().parseOnce(late));

    const std::wstring good = WriteTemp("<R><X/><Y/></R>\n");
    const std::wstring bad = WriteTemp("<R><X/><Y></R>\n");
    ThrowingRecorder t;
    EXPECT_THROW(t.parseOnce(good), std::runtime_error);
    EXPECT_TRUE(t.checked);
    EXPECT_EQ(2u, t.calls.size());  // nothing after the failing handler
    ThrowingRecorder b;
    EXPECT_THROW(b.parseOnce(bad), Exception);
    EXPECT_FALSE(b.checked);
    for (const std::wstring& p : {same, late, good, bad}) unlink(ToMultibyte(p).c_str());
}
