// The module commands of the file processor with real child processes: scripts in the
// installation directory write marker files, the recording plug-in shows the callbacks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "base/Conv.h"
#include "config/UpdateConfig.h"
#include "product/UpdateInfo.h"
#include "run/FileProcessor.h"
#include "support/RecordingLog.h"
#include "support/TestRunOptions.h"
#include "support/TestServers.h"

using namespace UpdateNew;

using TestServers::ReadFile;
using TestServers::TempDir;
using TestServers::WriteFile;
using TestSupport::InitAndPrepare;
using TestSupport::ReadLines;
using TestSupport::RecordingPluginEnv;
using TestSupport::TestRunOptions;

namespace {

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// A script that appends its name and arguments to `marker`.
void WriteScript(const std::string& path, const std::string& marker) {
    WriteFile(path, "#!/bin/sh\necho \"$0 $*\" >> '" + marker + "'\n");
    ::chmod(path.c_str(), 0755);
}

class CommandTest : public ::testing::Test {
protected:
    CommandTest() : env(Events()) {
        WriteFile(root.file("inst/.keep"), "");
        product.addModule(L"base");
    }

    FileProcessor& Processor(std::vector<std::wstring> extra = {}) {
        std::vector<std::wstring> args =
            TestRunOptions(L"m", L"http://127.0.0.1:1", L"p", root.path());
        args.insert(args.end(), extra.begin(), extra.end());
        InitAndPrepare(config, args);
        fp.reset(new FileProcessor(&config, &product));
        return *fp;
    }
    UpdateModuleInfo& Module() { return product.modules[0]; }
    std::string Events() const { return root.file("events.txt"); }
    std::string Marker() const { return root.file("marker"); }
    // The recorded calls other than the plug-ins' start-up.
    std::vector<std::string> CommandCalls() const {
        std::vector<std::string> out;
        for (const std::string& l : ReadLines(Events()))
            for (const char* n : {"overridePre(", "overridePost(", "overrideUnPost(",
                                  "beforeUnpost(", "afterUnpost("})
                if (l.find(n) != std::string::npos) out.push_back(l);
        return out;
    }

    TempDir root;
    RecordingPluginEnv env;
    UpdateInfo product;
    UpdateConfig config;
    std::unique_ptr<FileProcessor> fp;
};

}  // namespace

TEST_F(CommandTest, PreRunsTheScriptOfThatNameInTheInstallPath) {
    WriteScript(root.file("inst/setup.sh"), Marker());
    Module().pre = L"setup.sh --first";
    Processor().RunPre(0);
    EXPECT_EQ(root.file("inst/setup.sh") + " --first\n", ReadFile(Marker()));
    EXPECT_EQ((std::vector<std::string>{"LIB overridePre(\"base\")"}), CommandCalls());
}

TEST_F(CommandTest, ProgramWordWithADirectoryIsLookedUpByItsLastComponent) {
    WriteScript(root.file("inst/post.sh"), Marker());
    Module().post = L"/somewhere/else/post.sh a b";
    Processor().RunPost(0);
    EXPECT_EQ(root.file("inst/post.sh") + " a b\n", ReadFile(Marker()));
}

TEST_F(CommandTest, WithoutTheFileInTheInstallPathTheBareNameRuns) {
    // The bare name is taken as it is, relative to the working directory.
    WriteScript(root.file("cwd/tool.sh"), Marker());
    char old[4096];
    ASSERT_NE(nullptr, getcwd(old, sizeof old));
    ASSERT_EQ(0, chdir(root.file("cwd").c_str()));
    Module().pre = L"bin/tool.sh x";
    FileProcessor& p = Processor();
    p.RunPre(0);
    Module().post = L"tool.sh y";
    p.RunPost(0);
    ASSERT_EQ(0, chdir(old));
    EXPECT_EQ("tool.sh x\ntool.sh y\n", ReadFile(Marker()));
}

TEST_F(CommandTest, UnpostUsesTheInstallPathWithoutLooking) {
    WriteScript(root.file("inst/undo.sh"), Marker());
    Module().unpost = L"undo.sh now";
    Processor().RunUnPost(0);
    EXPECT_EQ(root.file("inst/undo.sh") + " now\n", ReadFile(Marker()));
    EXPECT_EQ((std::vector<std::string>{"GUI beforeUnpost(\"base\", \"undo.sh now\")",
                                        "LIB overrideUnPost(\"base\")",
                                        "GUI afterUnpost(\"base\", \"undo.sh now\")"}),
              CommandCalls());
}

TEST_F(CommandTest, EmptyCommands) {
    FileProcessor& p = Processor();
    p.RunPre(0);
    p.RunPost(0);
    p.RunUnPost(0);
    // PRE and POST are still offered to the plug-in; an empty UNPOST causes no call at all.
    EXPECT_EQ((std::vector<std::string>{"LIB overridePre(\"base\")", "LIB overridePost(\"base\")"}),
              CommandCalls());
    EXPECT_FALSE(Exists(Marker()));
}

TEST_F(CommandTest, PluginThatTakesTheCommandOverRunsItInstead) {
    env.set("UPD_REC_ANSWERS", "overridePre=0,overridePost=0,overrideUnPost=0");
    WriteScript(root.file("inst/cmd.sh"), Marker());
    Module().pre = Module().post = Module().unpost = L"cmd.sh";
    FileProcessor& p = Processor();
    p.RunPre(0);
    p.RunPost(0);
    p.RunUnPost(0);
    EXPECT_FALSE(Exists(Marker()));
    EXPECT_EQ(5u, CommandCalls().size());  // the three overrides and the UNPOST bracket
}

TEST_F(CommandTest, MirrorModeRunsNothingAndCallsNoPlugin) {
    WriteScript(root.file("inst/cmd.sh"), Marker());
    Module().pre = Module().post = Module().unpost = L"cmd.sh";
    FileProcessor& p = Processor({L"--mirror=1"});
    p.RunPre(0);
    p.RunPost(0);
    p.RunUnPost(0);
    EXPECT_FALSE(Exists(Marker()));
    EXPECT_TRUE(CommandCalls().empty());
}

TEST_F(CommandTest, QuickCommandReturnsWellUnderASecond) {
    WriteScript(root.file("inst/quick.sh"), Marker());
    Module().post = L"quick.sh";
    FileProcessor& p = Processor();
    const auto start = std::chrono::steady_clock::now();
    p.RunPost(0);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 1.0);
    EXPECT_TRUE(Exists(Marker()));
}
