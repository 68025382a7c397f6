#include "ProductResolver.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "base/Conv.h"
#include "base/Exception.h"
#include "support/TestServers.h"

using namespace UpdateNew;

using TestServers::TempDir;
using TestServers::WriteFile;

namespace {

const std::string kProduct =
    "[product]\nNAME=P\nVERSION=1\nUPDATEROOT=root\nPRODUCTINFO=p.info.gz\nMASTERIDX=master.idx\n";

// A product directory with a few files and a subdirectory.
class ProductResolver : public ::testing::Test {
protected:
    void SetUp() override {
        WriteFile(m_dir.file("build/bin/tool"), "tool");
        WriteFile(m_dir.file("build/bin/helper"), "helper");
        WriteFile(m_dir.file("build/lib/libb.so"), "b");
        WriteFile(m_dir.file("build/lib/liba.so"), "a");
        WriteFile(m_dir.file("build/lib/tool"), "another tool");
        mkdir(m_dir.file("build/lib/plugins.so").c_str(), 0755);  // a directory a glob meets
        WriteFile(m_dir.file("docs/README"), "read me");
    }

    std::vector<ResolvedModule> Resolve(const std::string& modules) {
        m_product = ParseProductDescription(kProduct + modules, L"desc");
        return ResolveProduct(m_product, FromMultibyte(m_dir.path()));
    }

    std::string ErrorOf(const std::string& modules) {
        try {
            Resolve(modules);
        } catch (const Exception& e) {
            return e.what();
        }
        return "";
    }

    TempDir m_dir{"publish-resolver"};
    ProductDesc m_product;
};

}  // namespace

TEST_F(ProductResolver, ExpandsPathsAndPatternsRelativeToTheBase) {
    std::vector<ResolvedModule> modules = Resolve(
        "[module]\nNAME=core\nSOURCE=core\nDESTINATION=/opt/p\nBASE=build\n"
        "FILE=bin/tool VERSION=1.0\nFILE=lib/*.so OS=UNIX,WINXP\n"
        "[module]\nNAME=docs\nSOURCE=docs\nDESTINATION=/opt/p/doc\nFILE=docs/*\n");
    ASSERT_EQ(2u, modules.size());
    const std::vector<ResolvedFile>& core = modules[0].files;
    ASSERT_EQ(3u, core.size());  // the directory lib/plugins.so is not a file
    EXPECT_EQ(L"bin/tool", core[0].name);
    EXPECT_EQ(FromMultibyte(m_dir.file("build/bin/tool")), core[0].path);
    EXPECT_EQ(L"1.0", core[0].version);
    EXPECT_EQ(4, core[0].size);
    EXPECT_EQ(L"lib/liba.so", core[1].name);  // in byte order, whatever the directory order
    EXPECT_EQ(L"lib/libb.so", core[2].name);
    EXPECT_EQ(L"UNIX,WINXP", core[2].os);
    EXPECT_EQ(13, core[2].at.line);
    ASSERT_EQ(1u, modules[1].files.size());
    EXPECT_EQ(L"docs/README", modules[1].files[0].name);
    EXPECT_EQ(&m_product.modules[1], modules[1].desc);
}

TEST_F(ProductResolver, MissingFilesAreErrorsOfTheirLine) {
    const std::string m = "[module]\nNAME=m\nSOURCE=m\nDESTINATION=/d\n";  // lines 7-10
    std::string dir = m_dir.path();
    EXPECT_EQ("desc:11: cannot publish " + dir + "/nothere: No such file or directory",
              ErrorOf(m + "FILE=nothere\n"));
    EXPECT_EQ("desc:12: the pattern \"" + dir + "/build/*.exe\" matches no file",
              ErrorOf(m + "FILE=docs/README\nFILE=build/*.exe\n"));
    EXPECT_EQ("desc:11: " + dir + "/build is not a regular file", ErrorOf(m + "FILE=build\n"));
    EXPECT_EQ("desc:12: cannot publish " + dir + "/none/x: No such file or directory",
              ErrorOf(m + "BASE=none\nFILE=x\n"));
}

TEST_F(ProductResolver, RefusesFilesThatWouldCollide) {
    const std::string m = "[module]\nNAME=m\nSOURCE=s\nDESTINATION=/d\nBASE=build\n";  // 7-11
    EXPECT_EQ("desc:13: file \"bin/tool\" is listed twice in module \"m\" (also at desc:12)",
              ErrorOf(m + "FILE=bin/tool\nFILE=bin/*\n"));
    // Every file is installed under its base name in the module's destination.
    EXPECT_EQ(
        "desc:13: files \"bin/tool\" and \"lib/tool\" of module \"m\" would both be "
        "installed as \"tool\"",
        ErrorOf(m + "FILE=bin/tool\nFILE=lib/tool\n"));
    // ... unless only one of them is installed on this system.
    EXPECT_EQ("", ErrorOf(m + "FILE=bin/tool\nFILE=lib/tool OS=WINXP\n"));
    // Two modules may share a SOURCE but not a file in it.
    EXPECT_EQ("desc:18: file \"s/bin/tool\" on the server is published twice (also at desc:12)",
              ErrorOf(m + "FILE=bin/tool\n[module]\nNAME=n\nSOURCE=s\nDESTINATION=/e\nBASE=build\n"
                          "FILE=bin/tool\n"));
    EXPECT_EQ("", ErrorOf(m + "FILE=bin/tool\n[module]\nNAME=n\nSOURCE=s\nDESTINATION=/e\n"
                              "BASE=build\nFILE=bin/helper\n"));
}

TEST_F(ProductResolver, FileNamesTheUpdaterCannotUseAreRefused) {
    WriteFile(m_dir.file("odd/two words"), "x");
    EXPECT_EQ(
        "desc:12: file name \"two words\" contains a blank; the updater cuts file names at "
        "the first blank",
        ErrorOf("[module]\nNAME=m\nSOURCE=m\nDESTINATION=/d\nBASE=odd\nFILE=t*\n"));
    WriteFile(m_dir.file("odd/x%HOME%y"), "x");
    EXPECT_EQ(
        "desc:12: file name \"x%HOME%y\" must not contain \"%\": the updater expands path "
        "variables in it",
        ErrorOf("[module]\nNAME=m\nSOURCE=m\nDESTINATION=/d\nBASE=odd\nFILE=x*\n"));
}

TEST_F(ProductResolver, ModuleNamesAndDependencies) {
    auto module = [](const std::string& name, const std::string& depend) {
        return "[module]\nNAME=" + name + "\nSOURCE=" + name + "\nDESTINATION=/d\n" +
               (depend.empty() ? "" : "DEPEND=" + depend + "\n");
    };
    EXPECT_EQ("desc:11: module \"CORE\" is described twice (first at desc:7)",
              ErrorOf(module("core", "") + module("CORE", "")));
    EXPECT_EQ("desc:11: DEPEND names \"lib\", which is not a module of this product",
              ErrorOf(module("core", "lib")));
    EXPECT_EQ("desc:11: module \"core\" depends on itself", ErrorOf(module("core", "Core")));
    EXPECT_EQ("desc:11: DEPEND has an empty module name", ErrorOf(module("core", ",x")));
    // Names match without regard to case, blanks around them do not count.
    EXPECT_EQ("", ErrorOf(module("a", " B ,c") + module("b", "C") + module("c", "")));
    std::string cycle = ErrorOf(module("a", "b") + module("b", "c") + module("c", "a"));
    EXPECT_NE(std::string::npos,
              cycle.find("modules depend on each other in a cycle: a -> b -> c -> a"))
        << cycle;
    EXPECT_EQ(0u, cycle.find("desc:11: ")) << cycle;
}
