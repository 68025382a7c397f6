#include "Publisher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "PublishCipher.h"
#include "base/Conv.h"
#include "base/Exception.h"
#include "base/Interrupts.h"
#include "codec/CheckedTextFile.h"
#include "codec/FileDigest.h"
#include "codec/GzFile.h"
#include "codec/PasswordScramble.h"
#include "codec/ProductInfoDecode.h"
#include "codec/Secrets.h"
#include "download/DownloadNames.h"
#include "plugin/UpdateCallbacks.h"
#include "product/UpdateInfo.h"
#include "product/UpdateXMLParser.h"
#include "product/XmlTree.h"
#include "support/TestServers.h"

using namespace UpdateNew;

using TestServers::ReadFile;
using TestServers::TempDir;
using TestServers::WriteFile;

namespace {

const char kDescription[] =
    "[product]\nNAME=Demo\nVERSION=1.0\nUPDATEROOT=demo/files\nPRODUCTINFO=demo/demo.info.gz\n"
    "MASTERIDX=demo/master.idx\n"
    "[productfile]\nPATH=demo/product.txt\nSERVERS=http://127.0.0.1:1/, file:///srv/x\n"
    "[module]\nNAME=core\nSOURCE=core\nDESTINATION=%INSTALL_PATH%/bin\nBASE=build\n"
    "FILE=bin/tool\nFILE=lib/*.so\n"
    "[module]\nNAME=docs\nSOURCE=docs\nDESTINATION=%INSTALL_PATH%/doc\nDEPEND=core\n"
    "FILE=README VERSION=1.0.0.1\n";

std::wstring W(const std::string& s) {
    return FromMultibyte(s);
}

ino_t Inode(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// The attribute "value" of every child of a FILE element, keyed by element name.
std::map<std::string, std::string> FileFields(const XmlElement& file) {
    std::map<std::string, std::string> fields;
    for (const auto& child : file.children)
        for (const auto& attribute : child->attributes)
            if (attribute.first == "value") fields[child->name] = attribute.second;
    return fields;
}

class Publisher : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(m_dir.file("prod/build/bin/tool"), "#!/bin/sh\necho tool\n");
        WriteFile(m_dir.file("prod/build/lib/liba.so"), std::string(100000, 'a'));
        WriteFile(m_dir.file("prod/build/lib/libb.so"), "");
        WriteFile(m_dir.file("prod/README"), "read me\n");
        m_options.date = L"2026-01-02T03:04:05Z";
    }

    PublishReport Run(const std::string& out, const PublishOptions& options) {
        m_product = ParseProductDescription(kDescription, L"desc");
        m_modules = ResolveProduct(m_product, W(m_dir.file("prod")));
        return Publish(m_product, m_modules, W(m_dir.file(out)), options);
    }
    PublishReport Run(const std::string& out = "server") { return Run(out, m_options); }

    // Decodes the published product info file as the updater does; gives the XML path.
    std::wstring DecodedInfo(const std::string& out = "server") {
        std::string copy = m_dir.file("decoded/demo.info.gz");
        WriteFile(copy, ReadFile(m_dir.file(out + "/demo/demo.info.gz")));
        return DecodeProductInfoFile(W(copy));
    }

    TempDir m_dir{"publish"};
    PublishOptions m_options;
    ProductDesc m_product;
    std::vector<ResolvedModule> m_modules;
};

}  // namespace

TEST_F(Publisher, TheTreeReadsBackWithTheUpdatersOwnReaders) {
    PublishReport report = Run();
    EXPECT_EQ(7u, report.written.size());
    EXPECT_TRUE(report.unchanged.empty());
    EXPECT_EQ(L"2026-01-02T03:04:05Z", report.date);

    // The product info file: its checksum line states the digest of the document without
    // that line; the info-file digest leaves out the DATE line as well.
    std::wstring info = DecodedInfo();
    EXPECT_FALSE(IsEncipheredProductInfo(info));
    std::string xml = ReadFile(ToMultibyte(info));
    size_t md5Line = xml.find("\n<MD5 value=\"") + 1;
    std::string withoutMd5 = xml.substr(0, md5Line) + xml.substr(xml.find('\n', md5Line) + 1);
    EXPECT_EQ(GetDataMD5(withoutMd5.data(), withoutMd5.size()), W(xml.substr(md5Line + 12, 32)));
    EXPECT_EQ(report.infoDigest, GetInfoFileMD5(info));

    XmlDocument doc;
    XmlLoadError error;
    ASSERT_TRUE(doc.loadFile(info, error)) << ToMultibyte(error.text);
    std::map<std::string, std::map<std::string, std::string>> files;  // server path -> fields
    std::string module;
    for (const auto& child : doc.root()->children) {
        if (child->name != "MODULE") continue;
        std::string source;
        for (const auto& entry : child->children) {
            if (entry->name == "SOURCE") source = entry->attributes[0].second;
            if (entry->name == "FILE") {
                auto fields = FileFields(*entry);
                files["demo/files/" + source + "/" + fields["NAME"]] = fields;
            }
        }
    }
    ASSERT_EQ(4u, files.size());
    mkdir(m_dir.file("unpacked").c_str(), 0755);
    const std::map<std::string, std::string> sources = {
        {"demo/files/core/bin/tool", "prod/build/bin/tool"},
        {"demo/files/core/lib/liba.so", "prod/build/lib/liba.so"},
        {"demo/files/core/lib/libb.so", "prod/build/lib/libb.so"},
        {"demo/files/docs/README", "prod/README"},
    };
    for (const auto& file : sources) {
        const auto& fields = files[file.first];
        std::string gz = m_dir.file("server/" + file.first + ".gz");
        std::string content = ReadFile(m_dir.file(file.second));
        EXPECT_EQ(std::to_string(content.size()), fields.at("FILESIZE")) << file.first;
        EXPECT_EQ(ToMultibyte(GetFileMD5(W(m_dir.file(file.second)))), fields.at("FILEMD5"));
        EXPECT_EQ(fields.at("FILEMD5"), fields.at("PEFILEMD5"));
        EXPECT_EQ(std::to_string(ReadFile(gz).size()), fields.at("ZIPSIZE"));
        EXPECT_EQ(ToMultibyte(GetFileMD5(W(gz))), fields.at("ZIPMD5"));
        EXPECT_EQ("UNIX", fields.at("OS"));
        ASSERT_EQ(0, GunzipFile(W(gz), W(m_dir.file("unpacked"))));
        EXPECT_EQ(content,
                  ReadFile(m_dir.file("unpacked/" + file.first.substr(file.first.rfind('/') + 1))));
    }
    EXPECT_EQ("1.0.0.1", files["demo/files/docs/README"].at("VERSION"));
    EXPECT_EQ(0u, files["demo/files/core/bin/tool"].count("VERSION"));

    // The master index and the product file are checked text files.
    std::vector<std::string> lines;
    EXPECT_EQ(4, ReadCheckedTextFile(W(m_dir.file("server/demo/master.idx")), lines));
    EXPECT_EQ("productinfohash=" + ToMultibyte(report.infoDigest), lines[3]);
    ASSERT_EQ(5, ReadCheckedTextFile(W(m_dir.file("server/demo/product.txt")), lines));
    EXPECT_EQ("servers=http://127.0.0.1:1/,file:///srv/x", lines[0]);
    EXPECT_EQ("updateroot=demo/files", lines[1]);
    EXPECT_EQ("productinfo=demo/demo.info.gz", lines[2]);
    EXPECT_EQ("productinfohash=demo.info," + ToMultibyte(GetInfoFileMD5(info)), lines[3]);
    EXPECT_EQ("crdate=2026-01-02T03:04:05Z", lines[4]);
}

TEST_F(Publisher, TheUpdatersProductInfoReaderAcceptsTheDocument) {
    PublishOptions options = m_options;
    options.encrypt = true;
    Run("server", options);
    std::wstring info = DecodedInfo();
    UpdateCallbacks callbacks;
    UpdateInfo product;
    UpdateXMLParser(&product, false, &callbacks, false).parseFile(info);  // checksum included
    EXPECT_EQ(L"Demo", product.name);
    EXPECT_EQ(L"1.0", product.version);
    ASSERT_EQ(2, product.moduleCount());
    const UpdateModuleInfo& core = product.cGetModuleByIndex(0);
    EXPECT_EQ(L"core", core.name);
    EXPECT_EQ(L"core", core.source);
    EXPECT_EQ(L"%INSTALL_PATH%/bin", core.destination);
    ASSERT_EQ(3u, core.files.size());
    const FileRecord& tool = core.files[0];
    EXPECT_EQ(L"bin/tool", tool.name);
    std::string gz = m_dir.file("server/demo/files/core/bin/tool.gz");
    EXPECT_EQ(ReadFile(gz).size(), tool.zipsize);
    EXPECT_EQ(GetFileMD5(W(gz)), tool.zipmd5.wide());
    EXPECT_EQ(ReadFile(m_dir.file("prod/build/bin/tool")).size(), tool.filesize);
    EXPECT_EQ(GetFileMD5(W(m_dir.file("prod/build/bin/tool"))), tool.filemd5.wide());
    EXPECT_EQ(tool.filemd5.wide(), tool.pefilemd5.wide());
    // Every file is where the download step looks for it, with the digest it expects.
    std::wstring base = W(m_dir.file("server/demo/files"));
    for (const UpdateModuleInfo& module : product.modules)
        for (const FileRecord& file : module.files)
            EXPECT_EQ(file.zipmd5.wide(),
                      GetFileMD5(ModuleFileRemoteName(base, module.source, file.name)))
                << ToMultibyte(file.name);
    // An INCLUDE name ending in ".info" is fetched as ".info.gz" beside the product info file.
    EXPECT_EQ(W(m_dir.file("server/demo/more.info.gz")),
              ProductInfoRemoteName(W(m_dir.file("server/demo/demo.info.gz")), L"more.info"));
    const UpdateModuleInfo& docs = product.cGetModuleByIndex(1);
    EXPECT_EQ(L"core", docs.depend);
    ASSERT_EQ(1u, docs.files.size());
    EXPECT_EQ(L"1.0.0.1", docs.files[0].version);

    // A changed digest in the document is caught by its checksum.
    std::string xml = ReadFile(ToMultibyte(info));
    size_t at = xml.find("<FILEMD5 value=\"") + 16;
    xml[at] = xml[at] == '0' ? '1' : '0';
    WriteFile(ToMultibyte(info), xml);
    UpdateInfo damaged;
    try {
        UpdateXMLParser(&damaged, false, &callbacks, false).parseFile(info);
        ADD_FAILURE() << "no exception";
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(636, e.code());
    }
}

TEST_F(Publisher, EncipheredProductInfoDecodesToTheSameDocument) {
    Run("plain");
    std::string plainXml = ReadFile(ToMultibyte(DecodedInfo("plain")));
    PublishOptions options = m_options;
    options.encrypt = true;
    Run("secret", options);
    std::string gz = m_dir.file("secret/demo/demo.info.gz");
    mkdir(m_dir.file("raw").c_str(), 0755);
    mkdir(m_dir.file("ownraw").c_str(), 0755);
    ASSERT_EQ(0, GunzipFile(W(gz), W(m_dir.file("raw"))));
    EXPECT_TRUE(IsEncipheredProductInfo(W(m_dir.file("raw/demo.info"))));
    EXPECT_EQ(plainXml, ReadFile(ToMultibyte(DecodedInfo("secret"))));
    // The master index does not depend on the encoding of the product info file.
    EXPECT_EQ(ReadFile(m_dir.file("plain/demo/master.idx")),
              ReadFile(m_dir.file("secret/demo/master.idx")));
    // An own key gives another cipher text that the build's key does not read back.
    options.key = L"another key";
    Run("own", options);
    EXPECT_NE(ReadFile(gz), ReadFile(m_dir.file("own/demo/demo.info.gz")));
    std::wstring decoded = W(m_dir.file("own.xml"));
    ASSERT_EQ(0, GunzipFile(W(m_dir.file("own/demo/demo.info.gz")), W(m_dir.file("ownraw"))));
    DecipherInfoFile(W(m_dir.file("ownraw/demo.info")), decoded, L"another key");
    EXPECT_EQ(plainXml, ReadFile(ToMultibyte(decoded)));
}

TEST_F(Publisher, RepublishingRewritesOnlyWhatChanged) {
    Run();
    std::string index = ReadFile(m_dir.file("server/demo/master.idx"));
    std::map<std::string, ino_t> inodes;
    for (const char* f : {"demo/files/core/bin/tool.gz", "demo/files/core/lib/liba.so.gz",
                          "demo/files/docs/README.gz", "demo/demo.info.gz", "demo/master.idx"})
        inodes[f] = Inode(m_dir.file(std::string("server/") + f));

    // The same input again, even with another date: nothing is written, the DATE stays.
    PublishOptions later = m_options;
    later.date = L"2027-01-01T00:00:00Z";
    PublishReport same = Run("server", later);
    EXPECT_TRUE(same.written.empty());
    EXPECT_EQ(L"2026-01-02T03:04:05Z", same.date);
    for (const auto& f : inodes)
        EXPECT_EQ(f.second, Inode(m_dir.file("server/" + f.first))) << f.first;

    // One changed file: its .gz, the product info file, the product file and the index.
    WriteFile(m_dir.file("prod/build/bin/tool"), "#!/bin/sh\necho tool 2\n");
    PublishReport changed = Run("server", later);
    EXPECT_EQ((std::vector<std::wstring>{L"demo/files/core/bin/tool.gz", L"demo/demo.info.gz",
                                         L"demo/product.txt", L"demo/master.idx"}),
              changed.written);
    EXPECT_EQ(L"2027-01-01T00:00:00Z", changed.date);
    EXPECT_NE(index, ReadFile(m_dir.file("server/demo/master.idx")));
    EXPECT_EQ(inodes["demo/files/core/lib/liba.so.gz"],
              Inode(m_dir.file("server/demo/files/core/lib/liba.so.gz")));
}

TEST_F(Publisher, SameInputGivesTheSameBytes) {
    Run("one");
    Run("two");
    for (const char* f : {"demo/files/core/bin/tool.gz", "demo/files/core/lib/liba.so.gz",
                          "demo/files/core/lib/libb.so.gz", "demo/files/docs/README.gz",
                          "demo/demo.info.gz", "demo/master.idx", "demo/product.txt"})
        EXPECT_EQ(ReadFile(m_dir.file(std::string("one/") + f)),
                  ReadFile(m_dir.file(std::string("two/") + f)))
            << f;
    // No time or name in the gzip header.
    std::string gz = ReadFile(m_dir.file("one/demo/files/core/bin/tool.gz"));
    EXPECT_EQ(std::string(4, '\0'), gz.substr(4, 4));
    EXPECT_EQ(0, gz[3] & 0x08);  // no FNAME
}

TEST_F(Publisher, AFailedPublicationLeavesTheTreeAsItWas) {
    Run();
    std::string index = ReadFile(m_dir.file("server/demo/master.idx"));
    std::string info = ReadFile(m_dir.file("server/demo/demo.info.gz"));
    WriteFile(m_dir.file("prod/build/bin/tool"), "changed");
    // The docs module's directory is in the way as a file.
    ASSERT_EQ(0, system(("rm -r " + m_dir.file("server/demo/files/docs")).c_str()));
    WriteFile(m_dir.file("server/demo/files/docs"), "in the way");
    EXPECT_THROW(Run(), Exception);
    EXPECT_EQ(index, ReadFile(m_dir.file("server/demo/master.idx")));
    EXPECT_EQ(info, ReadFile(m_dir.file("server/demo/demo.info.gz")));
    std::string listing;
    FILE* p = popen(("cd " + m_dir.file("server") + " && find . | sort").c_str(), "r");
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) listing.append(buf, n);
    pclose(p);
    EXPECT_EQ(
        ".\n./demo\n./demo/demo.info.gz\n./demo/files\n./demo/files/core\n./demo/files/core/bin\n"
        "./demo/files/core/bin/tool.gz\n./demo/files/core/lib\n./demo/files/core/lib/liba.so.gz\n"
        "./demo/files/core/lib/libb.so.gz\n./demo/files/docs\n./demo/master.idx\n"
        "./demo/product.txt\n",
        listing);
}

TEST_F(Publisher, AnInterruptStopsThePublicationBeforeAnythingIsReplaced) {
    Run();
    std::string index = ReadFile(m_dir.file("server/demo/master.idx"));
    WriteFile(m_dir.file("prod/README"), "changed");
    g_sigtermReceived = 1;
    try {
        Run();
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_STREQ("the publication was interrupted; nothing was put in place", e.what());
    }
    g_sigtermReceived = 0;
    EXPECT_EQ(index, ReadFile(m_dir.file("server/demo/master.idx")));
    EXPECT_EQ(0, system(("test -z \"$(find " + m_dir.file("server") + " -name '.*')\"").c_str()));
    EXPECT_EQ(4u, Run().written.size());  // the next run publishes the change
}

TEST_F(Publisher, OutputsMayNotOverlap) {
    auto errorOf = [this](const std::string& product) {
        try {
            ProductDesc desc = ParseProductDescription(
                product + "[module]\nNAME=m\nSOURCE=m\nDESTINATION=/d\nFILE=README\n", L"desc");
            Publish(desc, ResolveProduct(desc, W(m_dir.file("prod"))), W(m_dir.file("out")),
                    m_options);
        } catch (const Exception& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ("desc:1: the output p.info.gz is also written for desc:1",
              errorOf("[product]\nNAME=P\nVERSION=1\nUPDATEROOT=r\nPRODUCTINFO=p.info.gz\n"
                      "MASTERIDX=p.info.gz\n"));
    EXPECT_EQ("desc:1: the output r/m/README.gz is also written for desc:11",
              errorOf("[product]\nNAME=P\nVERSION=1\nUPDATEROOT=r\nPRODUCTINFO=p.info.gz\n"
                      "MASTERIDX=r/m/README.gz\n"));
    EXPECT_EQ(
        "desc:11: the output r/m/README.gz needs r/m as a directory, but desc:1 writes a "
        "file there",
        errorOf("[product]\nNAME=P\nVERSION=1\nUPDATEROOT=r\nPRODUCTINFO=p.info.gz\n"
                "MASTERIDX=r/m\n"));
    // Nothing was written for the refused descriptions.
    EXPECT_NE(0, access(m_dir.file("out").c_str(), F_OK));
    EXPECT_EQ("", errorOf("[product]\nNAME=P\nVERSION=1\nUPDATEROOT=r\nPRODUCTINFO=p.info.gz\n"
                          "MASTERIDX=m.idx\n"));
    EXPECT_EQ(0, access(m_dir.file("out/r/m/README.gz").c_str(), F_OK));
}

TEST(PublisherText, DatesAndCheckedText) {
    EXPECT_EQ(L"1970-01-01T00:00:00Z", FormatDate(0));
    EXPECT_EQ(L"2026-12-08T18:44:00Z", FormatDate(1796755440));
    EXPECT_TRUE(IsDateText(L"2026-12-08T18:44:00Z"));
    EXPECT_FALSE(IsDateText(L"2026-12-08 18:44:00"));
    EXPECT_FALSE(IsDateText(L"2026-12-08T18:44:0xZ"));
    EXPECT_EQ("a\nb\n<" + ToMultibyte(GetDataMD5("a\nb\n", 4)) + "\n", CheckedText({"a", "b"}));
}

TEST(PublisherText, PasswordsScrambleIntoTheFormTheConfigurationReads) {
    std::wstring text = ScramblePasswordText(L"s3cret");
    EXPECT_EQ(160u, text.size());
    EXPECT_EQ(L"s3cret", DescramblePassword(text, 40, PasswordSeed()));
    EXPECT_EQ(std::wstring(20, L'x'),
              DescramblePassword(ScramblePasswordText(std::wstring(20, L'x')), 40, PasswordSeed()));
    EXPECT_THROW(ScramblePasswordText(std::wstring(21, L'x')), Exception);
}
