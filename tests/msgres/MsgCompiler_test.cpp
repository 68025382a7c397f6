// The catalogue compiler run as the build runs it: what it accepts, what it refuses and
// what it writes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "msgres/MsgRes.h"
#include "msgres/TestFiles.h"

namespace {

using msgtest::RunCompiler;
using msgtest::ScratchDir;

bool Exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// Compiles `catalogue`, which must be refused; gives the error text.
std::string Refusal(const std::string& catalogue) {
    ScratchDir dir;
    const msgtest::CompileResult r = RunCompiler(dir, catalogue);
    EXPECT_EQ(r.status, 1) << catalogue;
    EXPECT_FALSE(Exists(dir / "out.lqr")) << catalogue;
    EXPECT_FALSE(Exists(dir / "out.h")) << catalogue;
    return r.errors;
}

TEST(MsgCompiler, RefusesMalformedPlaceholdersNamingFileAndLine) {
    const std::string cat = "cat.txt:";
    for (const char* bad : {"%5", "%0", "%x", "%", "% ", "%a%1"}) {
        const std::string errors = Refusal("# c\n1\tfine %1\n\n2\ttext " + std::string(bad) + "\n");
        EXPECT_NE(errors.find(cat + "4: message 2: "), std::string::npos) << bad << ": " << errors;
    }
    EXPECT_NE(Refusal("1\t%2 without the first\n").find("%2 is used but %1 is not"),
              std::string::npos);
    EXPECT_NE(Refusal("1\t%1 %3\n").find("%3 is used but %2 is not"), std::string::npos);
}

TEST(MsgCompiler, RefusesDuplicateNumbers) {
    const std::string errors = Refusal("5\tfirst\n6\tother\n5\tsecond\n");
    EXPECT_NE(errors.find("cat.txt:3: duplicate message number 5 (first defined at line 1)"),
              std::string::npos)
        << errors;
    // Leading zeros do not make a different number.
    EXPECT_NE(Refusal("5\tfirst\n005\tsecond\n").find("duplicate message number"),
              std::string::npos);
}

TEST(MsgCompiler, RefusesMalformedLines) {
    EXPECT_NE(Refusal("12 no tab\n").find("cat.txt:1: expected a message number"),
              std::string::npos);
    EXPECT_NE(Refusal("x1\ttext\n").find("cat.txt:1: expected a message number"),
              std::string::npos);
    EXPECT_NE(Refusal("\ttext\n").find("cat.txt:1: expected a message number"), std::string::npos);
    EXPECT_NE(Refusal("100000\ttoo high\n").find("is above 99999"), std::string::npos);
    EXPECT_NE(Refusal("1\tbad \xc3\x28 bytes\n").find("not valid UTF-8"), std::string::npos);
    EXPECT_NE(Refusal("1\toverlong \xc0\xaf\n").find("not valid UTF-8"), std::string::npos);
    EXPECT_NE(Refusal("# only comments\n\n").find("no messages"), std::string::npos);
    // Every problem is reported, not only the first.
    const std::string errors = Refusal("1\t%9\n2\tok\n2\tagain\n");
    EXPECT_NE(errors.find("cat.txt:1:"), std::string::npos);
    EXPECT_NE(errors.find("cat.txt:3:"), std::string::npos);
}

TEST(MsgCompiler, MissingCatalogueIsAClearError) {
    ScratchDir dir;
    const std::string cmd = std::string("'" UPDATER_BUILD_DIR "/update-msgc' '") +
                            (dir / "none.txt") + "' '" + (dir / "o.lqr") + "' '" + (dir / "o.h") +
                            "' 2>'" + (dir / "err") + "'";
    const int raw = std::system(cmd.c_str());
    EXPECT_EQ(WEXITSTATUS(raw), 1);
    EXPECT_NE(msgtest::ReadText(dir / "err")
                  .find("cannot read " + (dir / "none.txt") + ": No such file or directory"),
              std::string::npos);
}

TEST(MsgCompiler, WritesTheMessageFileAndTheCheckingHeader) {
    ScratchDir dir;
    const msgtest::CompileResult r =
        RunCompiler(dir, "# comment\r\n\r\n2\t50%% of %1\r\n10\t%2/%1/%2\n7\tplain\n");
    ASSERT_EQ(r.status, 0) << r.errors;
    const std::string header = msgtest::ReadText(dir / "out.h");
    EXPECT_NE(header.find("case 2: return 1;"), std::string::npos);
    EXPECT_NE(header.find("case 7: return 0;"), std::string::npos);
    EXPECT_NE(header.find("case 10: return 2;"), std::string::npos);
    EXPECT_NE(header.find("default: return -1;"), std::string::npos);
    EXPECT_NE(header.find("last = 10;"), std::string::npos);
    EXPECT_NE(header.find("count = 3;"), std::string::npos);

    void* handle = nullptr;
    ASSERT_EQ(MsgResOpen((dir / "out.lqr").c_str(), &handle), 0);
    wchar_t* text = nullptr;
    EXPECT_EQ(MsgResFormat(handle, 2, 1, &text, 0, 7, L"all"), 0);
    EXPECT_EQ(std::wstring(text), L"50% of all");  // the CR is not part of the text
    free(text);
    EXPECT_EQ(MsgResFormat(handle, 10, 2, &text, 0, 7, L"a", 7, L"b"), 0);
    EXPECT_EQ(std::wstring(text), L"b/a/b");
    free(text);
    EXPECT_EQ(MsgResFormat(handle, 8, 0, &text, 0), -4);
    EXPECT_EQ(MsgResFormat(handle, 11, 0, &text, 0), -4);
    EXPECT_EQ(MsgResClose(handle), 0);
}

TEST(MsgCompiler, ChangingOnlyTextsLeavesTheHeaderAlone) {
    ScratchDir dir;
    ASSERT_EQ(RunCompiler(dir, "1\tone %1\n").status, 0);
    struct stat before, after;
    ASSERT_EQ(::stat((dir / "out.h").c_str(), &before), 0);
    ASSERT_EQ(RunCompiler(dir, "1\tanother text for %1\n").status, 0);
    ASSERT_EQ(::stat((dir / "out.h").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);  // not replaced
    ASSERT_EQ(RunCompiler(dir, "1\tnow %1 and %2\n").status, 0);
    EXPECT_NE(msgtest::ReadText(dir / "out.h").find("case 1: return 2;"), std::string::npos);
}

}  // namespace
