#include "product/UpdateXMLParser.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "base/Conv.h"
#include "base/Exception.h"
#include "codec/FileDigest.h"
#include "plugin/UpdateCallbacks.h"

using namespace UpdateNew;

namespace {

const char kDigestA[] = "0123456789abcdef0123456789abcdef";
const char kDigestB[] = "fedcba9876543210fedcba9876543210";

// One FILE entry with all seven counted children; `extra` goes inside it too.
std::string FileEntry(const std::string& name, const std::string& os = "UNIX",
                      const std::string& extra = "") {
    return "    <FILE>\n"
           "      <NAME>" +
           name +
           "</NAME>\n"
           "      <FILEMD5 value=\"" +
           kDigestA +
           "\"/>\n"
           "      <FILESIZE value=\"1234\"/>\n"
           "      <ZIPMD5 value=\"" +
           kDigestB +
           "\"/>\n"
           "      <ZIPSIZE>567</ZIPSIZE>\n"
           "      <OS value=\"" +
           os +
           "\"/>\n"
           "      <PEFILEMD5 value=\"" +
           kDigestA + "\"/>\n" + extra + "    </FILE>\n";
}

class UpdateXMLParserTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/xmlparser_test_XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(pattern));
        m_dir = pattern;
        m_callbacks.LoadLib(L"");
        m_callbacks.LoadGuiLib(L"");
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + m_dir + "'";
        ASSERT_EQ(0, std::system(cmd.c_str()));
    }

    // Writes a product info document around `body` (the elements inside UPDATE) with a
    // correct checksum line, and returns its path.
    std::wstring Write(const std::string& body, const std::string& name = "product.info") {
        const std::string head =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<UPDATE>\n"
            "  <VERSION value=\"7.1\"/>\n  <NAME value=\"Prod\"/>\n" +
            body;
        const std::string tail = "</UPDATE>\n";
        const std::string whole = head + tail;
        const std::string md5 = ToMultibyte(GetDataMD5(whole.data(), whole.size()));
        return WriteRaw(head + "<MD5 value=\"" + md5 + "\"/>\n" + tail, name);
    }
    std::wstring WriteRaw(const std::string& text, const std::string& name = "product.info") {
        const std::string path = m_dir + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return FromMultibyte(path);
    }

    void Parse(const std::wstring& path, bool merge = false, bool mirror = false) {
        UpdateXMLParser parser(&m_info, merge, &m_callbacks, mirror);
        parser.parseFile(path);
    }
    // Runs the parse and gives the exception it must raise.
    template <typename E = CUpdateCriticalException>
    E ParseFails(const std::wstring& path, bool merge = false, bool mirror = false) {
        try {
            Parse(path, merge, mirror);
        } catch (const E& e) {
            return e;
        }
        ADD_FAILURE() << "no exception";
        return E(L"");
    }

    std::string m_dir;
    UpdateCallbacks m_callbacks;
    UpdateInfo m_info;
};

const char kModule[] =
    "  <MODULE NAME=\"core\">\n"
    "    <PRE value=\"pre.sh;OS=UNIX\"/>\n"
    "    <PRE value=\"setup.exe;OS=WINNT\"/>\n"
    "    <POST value=\"post.sh --now\"/>\n"
    "    <UNPOST value=\"undo.sh;OS=all\"/>\n"
    "    <SOURCE value=\".\\bin\"/>\n"
    "    <DESTINATION value=\"%INSTALL_DIR%/bin\"/>\n"
    "    <DEPEND value=\"libs, tools\"/>\n"
    "    <INCLUDE value=\"extra.info\"/>\n";

}  // namespace

TEST_F(UpdateXMLParserTest, ReadsProductModulesAndFiles) {
    Parse(Write(std::string(kModule) + FileEntry("sub/a.bin opt") +
                FileEntry("b.txt", "WIN95,unix",
                          "      <VERSION value=\"1.2.3.4\"/>\n"
                          "      <ZIPMD5 value=\"" +
                              std::string(kDigestA) + "ffff\"/>\n") +
                "  </MODULE>\n"
                "  <MODULE NAME=\"libs\">\n    <SOURCE value=\"lib\"/>\n  </MODULE>\n"));
    EXPECT_EQ(L"7.1", m_info.version);
    EXPECT_EQ(L"Prod", m_info.name);
    EXPECT_EQ(32u, m_info.md5.size());
    ASSERT_EQ(2, m_info.moduleCount());
    const UpdateModuleInfo& core = m_info.cGetModuleByIndex(0);
    EXPECT_EQ(L"core", core.name);
    EXPECT_EQ(0, core.position);
    EXPECT_EQ(L"pre.sh", core.pre);  // the WINNT entry that follows is ignored here
    EXPECT_EQ(L"post.sh --now", core.post);
    EXPECT_EQ(L"undo.sh", core.unpost);
    EXPECT_EQ(L"bin", core.source);
    EXPECT_EQ(L"%INSTALL_DIR%/bin", core.destination);
    EXPECT_EQ(L"libs, tools", core.depend);
    EXPECT_EQ((std::list<std::wstring>{L"extra.info"}), m_info.includes);
    ASSERT_EQ(2u, core.files.size());
    const FileRecord& a = core.files[0];
    EXPECT_EQ(L"sub/a.bin opt", a.name);
    EXPECT_EQ(1234u, a.filesize);
    EXPECT_EQ(567u, a.zipsize);  // given as text
    EXPECT_EQ(L"0123456789abcdef0123456789abcdef", a.filemd5.wide());
    EXPECT_EQ(L"fedcba9876543210fedcba9876543210", a.zipmd5.wide());
    EXPECT_EQ(L"0123456789abcdef0123456789abcdef", a.pefilemd5.wide());
    EXPECT_EQ(L"UNIX", a.os);
    EXPECT_EQ(L"", a.version);
    EXPECT_FALSE(a.needsupdate);
    const FileRecord& b = core.files[1];
    EXPECT_EQ(L"1.2.3.4", b.version);
    EXPECT_EQ(L"0123456789abcdef0123456789abcdef",
              b.zipmd5.wide());  // the later, longer value, cut
    EXPECT_EQ(L"lib", m_info.cGetModuleByIndex(1).source);
    EXPECT_EQ(1, m_info.cGetModuleByIndex(1).position);
}

TEST_F(UpdateXMLParserTest, VersionDoesNotLeakIntoTheNextFile) {
    Parse(Write("  <MODULE NAME=\"m\">\n" +
                FileEntry("a", "UNIX", "      <VERSION value=\"2.0\"/>\n") + FileEntry("b") +
                "  </MODULE>\n"));
    ASSERT_EQ(2u, m_info.cGetModuleByIndex(0).files.size());
    EXPECT_EQ(L"2.0", m_info.cGetModuleByIndex(0).files[0].version);
    EXPECT_EQ(L"", m_info.cGetModuleByIndex(0).files[1].version);
}

TEST_F(UpdateXMLParserTest, FirstFileNeedsSevenCountedChildren) {
    const std::string six =
        "    <FILE>\n      <NAME value=\"a\"/>\n      <FILEMD5 value=\"x\"/>\n"
        "      <FILESIZE value=\"1\"/>\n      <ZIPMD5 value=\"y\"/>\n"
        "      <ZIPSIZE value=\"1\"/>\n      <OS value=\"UNIX\"/>\n"
        "      <VERSION value=\"1.0\"/>\n    </FILE>\n";
    CUpdateCriticalException e =
        ParseFails(Write("  <MODULE NAME=\"m\">\n" + six + "  </MODULE>\n"));
    EXPECT_EQ(ERR_XML, e.code());
    // VERSION is optional: a first entry with the seven others is enough; the counter is
    // not reset, so a later entry that lacks PEFILEMD5 passes.
    m_info = UpdateInfo();
    Parse(Write("  <MODULE NAME=\"m\">\n" + FileEntry("first") + six + "  </MODULE>\n"));
    EXPECT_EQ(2u, m_info.cGetModuleByIndex(0).files.size());
}

TEST_F(UpdateXMLParserTest, FilesForOtherSystemsAreLeftOutUnlessMirroring) {
    const std::string body = std::string(kModule) + FileEntry("win.dll", "WINXP") +
                             FileEntry("unix.so", "ALL") + "  </MODULE>\n";
    Parse(Write(body));
    ASSERT_EQ(1u, m_info.cGetModuleByIndex(0).files.size());
    EXPECT_EQ(L"unix.so", m_info.cGetModuleByIndex(0).files[0].name);

    m_info = UpdateInfo();
    Parse(Write(body), false, true);
    const UpdateModuleInfo& mirrored = m_info.cGetModuleByIndex(0);
    ASSERT_EQ(2u, mirrored.files.size());
    EXPECT_EQ(L"win.dll", mirrored.files[0].name);
    EXPECT_EQ(L"", mirrored.destination);   // a mirror run installs nothing
    EXPECT_EQ(L"setup.exe", mirrored.pre);  // no OS filtering in a mirror run
}

TEST_F(UpdateXMLParserTest, MalformedOsSuffixIsRefused) {
    CUpdateCriticalException e =
        ParseFails(Write("  <MODULE NAME=\"m\">\n    <POST value=\"run;OS=MAC\"/>\n  </MODULE>\n"));
    EXPECT_EQ(ERR_XML, e.code());
    EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(L"run;OS=MAC")) << e.twhat();
}

TEST_F(UpdateXMLParserTest, MergeRequiresAgreeingValuesAndKnownModules) {
    Parse(Write(std::string(kModule) + FileEntry("a") + "  </MODULE>\n"));
    // The same values again, with one more file: accepted, the file is added.
    Parse(Write(std::string(kModule) + FileEntry("b") + "  </MODULE>\n", "second.info"), true);
    EXPECT_EQ(2u, m_info.cGetModuleByIndex(0).files.size());

    CUpdateCriticalException conflict = ParseFails(
        Write("  <MODULE NAME=\"core\">\n    <DESTINATION value=\"/elsewhere\"/>\n  </MODULE>\n",
              "third.info"),
        true);
    EXPECT_EQ(ERR_XML, conflict.code());
    EXPECT_NE(std::wstring::npos, std::wstring(conflict.twhat()).find(L"/elsewhere"));
    EXPECT_NE(std::wstring::npos, std::wstring(conflict.twhat()).find(L"%INSTALL_DIR%/bin"));

    CUpdateCriticalException unknown =
        ParseFails(Write("  <MODULE NAME=\"newcomer\"/>\n", "fourth.info"), true);
    EXPECT_EQ(ERR_XML, unknown.code());
    EXPECT_NE(std::wstring::npos, std::wstring(unknown.twhat()).find(L"newcomer"));
}

TEST_F(UpdateXMLParserTest, UnknownElementsAreIgnoredWithTheirContent) {
    Parse(
        Write("  <COMMENT value=\"x\"><NAME value=\"no\"/></COMMENT>\n"
              "  <MODULE NAME=\"m\">\n"
              "    <COMMENT value=\"ignored\" NAME=\"x\">\n"
              "      <NAME value=\"not a file\"/>\n      <SOURCE value=\"/etc\"/>\n"
              "    </COMMENT>\n"
              "    <SOURCE value=\"src\" other=\"attribute\"/>\n" +
              FileEntry("f", "UNIX", "      <COLOR value=\"red\"/>\n") +
              "  </MODULE>\n"
              "  <FILE>\n    <NAME value=\"stray\"/>\n  </FILE>\n"));
    ASSERT_EQ(1, m_info.moduleCount());
    EXPECT_EQ(L"Prod", m_info.name);
    EXPECT_EQ(L"src", m_info.cGetModuleByIndex(0).source);
    ASSERT_EQ(1u, m_info.cGetModuleByIndex(0).files.size());
    EXPECT_EQ(L"f", m_info.cGetModuleByIndex(0).files[0].name);
}

TEST_F(UpdateXMLParserTest, SyntaxErrorNamesFileLineAndColumn) {
    const std::wstring path = WriteRaw("<UPDATE>\n  <MODULE NAME=\"m\">\n</UPDATE>\n");
    EXPECT_THROW(
        try { Parse(path); } catch (const CUpdateCriticalException&) {
            ADD_FAILURE() << "a load failure is not critical";
        },
        Exception);
    Exception e = ParseFails<Exception>(path);
    EXPECT_EQ(-1, e.code());
    const std::wstring text = e.twhat();
    EXPECT_NE(std::wstring::npos, text.find(path)) << text;
    EXPECT_NE(std::wstring::npos, text.find(L"line 3")) << text;
    EXPECT_NE(std::wstring::npos, text.find(L"column 3")) << text;

    Exception missing = ParseFails<Exception>(L"/nonexistent/product.info");
    EXPECT_EQ(-1, missing.code());
    EXPECT_NE(std::wstring::npos, std::wstring(missing.twhat()).find(L"/nonexistent/product.info"));
}

TEST_F(UpdateXMLParserTest, ChecksumMustMatchTheDocument) {
    const std::wstring good = Write(std::string(kModule) + FileEntry("a") + "  </MODULE>\n");
    std::ifstream in(ToMultibyte(good), std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // One changed byte in the body.
    std::string damaged = text;
    damaged.replace(damaged.find("1234"), 4, "1235");
    CUpdateCriticalException e = ParseFails(WriteRaw(damaged, "damaged.info"));
    EXPECT_EQ(ERR_FILE_READ, e.code());
    EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(L"damaged.info"));
    struct stat st;
    EXPECT_NE(0, stat((m_dir + "/damaged.info.tmp").c_str(), &st));  // the copy is gone

    // The digest must be written in lower case.
    std::string upper = text;
    const size_t at = upper.find("<MD5 value=\"") + 12;
    for (size_t i = at; i < at + 32; ++i) upper[i] = static_cast<char>(toupper(upper[i]));
    m_info = UpdateInfo();
    EXPECT_EQ(ERR_FILE_READ, ParseFails(WriteRaw(upper, "upper.info")).code());

    m_info = UpdateInfo();
    Parse(good);
    EXPECT_NE(0, stat((m_dir + "/product.info.tmp").c_str(), &st));
}

TEST_F(UpdateXMLParserTest, ChecksumIsTakenWithoutACopyBesideTheFile) {
    const std::wstring path = Write(std::string(kModule) + "  </MODULE>\n");
    // Whatever holds the name of a copy is neither needed nor touched.
    ASSERT_EQ(0, mkdir((m_dir + "/product.info.tmp").c_str(), 0755));
    Parse(path);
    struct stat st;
    EXPECT_EQ(0, stat((m_dir + "/product.info.tmp").c_str(), &st));
}

TEST_F(UpdateXMLParserTest, PathsThatLeaveTheirDirectoryAreRefused) {
    const char* const names[] = {"../x",     "/etc/passwd", "a/../../b",
                                 "a\\..\\b", "a/.. opt",    "\\abs"};
    for (const char* name : names) {
        m_info = UpdateInfo();
        CUpdateCriticalException e =
            ParseFails(Write("  <MODULE NAME=\"m\">\n" + FileEntry(name) + "  </MODULE>\n"));
        EXPECT_EQ(ERR_XML, e.code()) << name;
        EXPECT_NE(std::wstring::npos, std::wstring(e.twhat()).find(FromMultibyte(name)))
            << e.twhat();
    }
    const char* const sources[] = {"..", ".\\..\\up", "/srv/x", "bin/../../etc"};
    for (const char* source : sources) {
        m_info = UpdateInfo();
        CUpdateCriticalException e =
            ParseFails(Write(std::string("  <MODULE NAME=\"m\">\n    <SOURCE value=\"") + source +
                             "\"/>\n  </MODULE>\n"));
        EXPECT_EQ(ERR_XML, e.code()) << source;
    }
    m_info = UpdateInfo();
    EXPECT_EQ(ERR_XML,
              ParseFails(Write("  <MODULE NAME=\"m\">\n    <INCLUDE value=\"../../x.info\"/>\n"
                               "  </MODULE>\n"))
                  .code());
    // Names that merely contain dots stay allowed.
    m_info = UpdateInfo();
    Parse(Write("  <MODULE NAME=\"m\">\n    <SOURCE value=\"./a..b\"/>\n" +
                FileEntry("x/..y/.../z..") + "  </MODULE>\n"));
    EXPECT_EQ(L"x/..y/.../z..", m_info.cGetModuleByIndex(0).files[0].name);
}

TEST_F(UpdateXMLParserTest, EachKeptFileEntryIsHandedToTheLibraryPlugin) {
    const std::string record = m_dir + "/calls.txt";
    setenv("UPD_REC_FILE", record.c_str(), 1);
    m_callbacks.LoadLib(L"" UPDATER_BUILD_DIR "/plugins/librecording.so");
    Parse(Write("  <MODULE NAME=\"m\">\n" + FileEntry("a.txt") + FileEntry("skip.dll", "WINXP") +
                "  </MODULE>\n"));
    std::ifstream in(record);
    std::string calls((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = calls.find("LIB notifyProductInfoFileContent(\"m\", \"a.txt\", [");
    ASSERT_NE(std::string::npos, at) << calls;
    const std::string line = calls.substr(at, calls.find('\n', at) - at);
    // The entry's pairs in document order, the text form included.
    EXPECT_NE(std::string::npos, line.find("(\"NAME\", \"a.txt\"), (\"FILEMD5\", \"")) << line;
    EXPECT_NE(std::string::npos, line.find("(\"ZIPSIZE\", \"567\"), (\"OS\", \"UNIX\")")) << line;
    EXPECT_EQ(std::string::npos, calls.find("skip.dll")) << calls;

    // An answer outside the library rule ends the parse with 612.
    setenv("UPD_REC_ANSWERS", "notifyProductInfoFileContent=5", 1);
    m_info = UpdateInfo();
    EXPECT_EQ(
        ERR_LIB_PLUGIN_INVALID_RESULT,
        ParseFails(Write("  <MODULE NAME=\"m\">\n" + FileEntry("a.txt") + "  </MODULE>\n")).code());
    unsetenv("UPD_REC_ANSWERS");
    unsetenv("UPD_REC_FILE");
    m_callbacks.LoadLib(L"");
}

TEST_F(UpdateXMLParserTest, ChecksumLineMayCloseTheDocument) {
    // The checksum line may carry the closing tag too; it is left out of the checksum whole.
    const std::string body =
        "<?xml version=\"1.0\"?>\n<UPDATE>\n  <NAME value=\"P\"/>\n"
        "<DATE value=\"2024-01-31\"/>\n";
    const std::string md5 = ToMultibyte(GetDataMD5(body.data(), body.size()));
    Parse(WriteRaw(body + "<MD5 value=\"" + md5 + "\"/></UPDATE>\n"));
    EXPECT_EQ(L"P", m_info.name);
}

TEST_F(UpdateXMLParserTest, ChecksumLineIsFoundWhereverItFallsInTheFile) {
    // The file is read in large blocks: the checksum line, and a line that only begins like
    // it, may cross a block boundary, after a line shorter than the marker or not; a last
    // line without a line end is digested too.
    const size_t kBoundary = 64 * 1024;
    const std::string head = "<?xml version=\"1.0\"?>\n<UPDATE>\n  <NAME value=\"P\"/>\n";
    const std::string lookalike = "<MD5 valuX=\"1\"/>\n";
    const std::string tail = "  <VERSION value=\"2\"/>\n</UPDATE>";
    for (const std::string& first : {std::string(), lookalike, std::string("<!---->\n")}) {
        for (size_t before : {0, 1, 5, 10, 11, 12, 40}) {
            SCOPED_TRACE(testing::Message() << "before=" << before << " first=" << first);
            // A comment line that ends `before` bytes ahead of the block boundary.
            const std::string filler =
                "<!--" + std::string(kBoundary - before - head.size() - 8, 'x') + "-->\n";
            const std::string second = first == lookalike ? std::string() : lookalike;
            const std::string digested = head + filler + first + second + tail;
            const std::string md5 = ToMultibyte(GetDataMD5(digested.data(), digested.size()));
            m_info = UpdateInfo();
            Parse(
                WriteRaw(head + filler + first + "<MD5 value=\"" + md5 + "\"/>\n" + second + tail));
            EXPECT_EQ(L"2", m_info.version);
        }
    }
}

TEST_F(UpdateXMLParserTest, PatchesOfAFileAreKeptOnlyWhenComplete) {
    const std::string sha(64, 'a'), patch = "      <PATCH BASEMD5=\"" + std::string(kDigestB);
    // The second lacks its SIZE, the third has an upper-case digest: both left out.
    Parse(Write("  <MODULE NAME=\"m\">\n" +
                FileEntry("a.bin", "UNIX",
                          patch + "\" SIZE=\"99\" SHA256=\"" + sha + "\"/>\n" + patch +
                              "\" SHA256=\"" + sha + "\"/>\n" + patch + "\" SIZE=\"9\" SHA256=\"" +
                              std::string(64, 'A') + "\"/>\n") +
                "  </MODULE>\n"));
    const auto& patches = m_info.cGetModuleByIndex(0).patches.at(L"a.bin");
    ASSERT_EQ(1u, patches.size());
    EXPECT_EQ(99u, patches[0].size);
    EXPECT_EQ(sha, patches[0].sha256);
}

// Records keep their digests narrow; a value with other characters than ASCII keeps the
// whole characters of its first 32 that fit in 32 bytes, and the plug-in form shows that.
TEST(FileRecordTest, DigestTextsKeepWhatTheInterfaceShows) {
    FileRecord record;
    record.pefilemd5.assign(std::wstring(40, L'a'));
    EXPECT_EQ(std::wstring(32, L'a'), record.pefilemd5.wide());
    EXPECT_TRUE(std::wstring(32, L'a') == record.pefilemd5);
    EXPECT_FALSE(std::wstring(33, L'a') == record.pefilemd5);
    record.zipmd5.assign(std::wstring(20, L'\u00e9'));  // 2 bytes each: 16 fit
    EXPECT_EQ(std::wstring(16, L'\u00e9'), record.zipmd5.wide());
    EXPECT_TRUE(std::wstring(16, L'\u00e9') == record.zipmd5);
    UpdateFileInfo info;
    record.toPluginInfo(info);
    EXPECT_EQ(std::wstring(32, L'a'), info.pefilemd5);
    EXPECT_EQ(std::wstring(16, L'\u00e9'), info.zipmd5);
    EXPECT_EQ(L"", std::wstring(info.filemd5));
}
