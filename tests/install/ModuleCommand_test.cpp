#include "install/ModuleCommand.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "base/Exception.h"
#include "support/ScratchDir.h"

using namespace UpdateNew;

TEST(SplitModuleCommand, CutAtTheFirstBlankOnly) {
    ModuleCommandLine c = SplitModuleCommand(L"setup.sh --quiet \"a b\"");
    EXPECT_EQ(L"setup.sh", c.program);
    EXPECT_EQ(L"--quiet \"a b\"", c.arguments);
    c = SplitModuleCommand(L"setup.sh");
    EXPECT_EQ(L"setup.sh", c.program);
    EXPECT_EQ(L"", c.arguments);
    c = SplitModuleCommand(L"setup.sh ");
    EXPECT_EQ(L"setup.sh", c.program);
    EXPECT_EQ(L"", c.arguments);
    // "%INSTALL_PATH%/setup.sh" of an installation path with a blank.
    c = SplitModuleCommand(L"/opt/my app/setup.sh post", L"/opt/my app/");
    EXPECT_EQ(L"/opt/my app/setup.sh", c.program);
    EXPECT_EQ(L"post", c.arguments);
}

TEST(ModuleProgramPath, LastComponentInTheInstallPath) {
    EXPECT_EQ(L"/opt/p/setup.sh", ModuleProgramPath(L"/opt/p/", L"setup.sh"));
    EXPECT_EQ(L"/opt/p/setup.sh", ModuleProgramPath(L"/opt/p", L"/usr/lib/x/setup.sh"));
    EXPECT_EQ(L"/opt/p/setup.sh", ModuleProgramPath(L"/opt/p", L"scripts\\setup.sh"));
    EXPECT_EQ(L"setup.sh", ModuleProgramName(L"a/b/setup.sh"));
}

namespace {

// A script that writes its arguments into `marker`.
void WriteScript(const std::string& path, const std::string& body) {
    ScratchDir::Write(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
}

}  // namespace

TEST(RunModuleCommand, RunsTheProgramWithItsArguments) {
    ScratchDir dir;
    WriteScript(dir.Path("cmd.sh"), "echo \"$@\" > " + dir.Path("marker"));
    RunModuleCommand(L"base", dir.WPath("cmd.sh"), L"one \"two words\"");
    EXPECT_EQ("one two words\n", ScratchDir::Read(dir.Path("marker")));
}

TEST(RunModuleCommand, AnyExitStatusCountsAsRun) {
    ScratchDir dir;
    WriteScript(dir.Path("fail.sh"), "exit 3");
    EXPECT_NO_THROW(RunModuleCommand(L"base", dir.WPath("fail.sh"), L""));
    // A program that does not exist: the child reports and ends; the command counts as run.
    EXPECT_NO_THROW(RunModuleCommand(L"base", dir.WPath("missing"), L""));
}

TEST(RunModuleCommand, QuickCommandReturnsAtOnce) {
    ScratchDir dir;
    WriteScript(dir.Path("quick.sh"), "exit 0");
    const auto start = std::chrono::steady_clock::now();
    RunModuleCommand(L"base", dir.WPath("quick.sh"), L"");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(seconds, 5.0);  // far below the 30-second command time-out
}

TEST(RunModuleCommand, LateCommandIsTerminatedAndCountsAsRun) {
    ScratchDir dir;
    WriteScript(dir.Path("slow.sh"), "sleep 10; echo late > " + dir.Path("marker"));
    EXPECT_NO_THROW(RunModuleCommand(L"base", dir.WPath("slow.sh"), L"", 1));
    EXPECT_FALSE(ScratchDir::Exists(dir.Path("marker")));
}

TEST(RunModuleCommand, UnsplittableCommandLineIsTheChildLayersError) {
    try {
        RunModuleCommand(L"base", L"/bin/true", L"\"unclosed");
        FAIL() << "no exception";
    } catch (const CUpdateCriticalException&) {
        FAIL() << "must not be critical";
    } catch (const Exception& e) {
        EXPECT_EQ(100602, e.code());
    }
}
