#include "codec/FilePatch.h"

#include <gtest/gtest.h>

#include "support/ScratchDir.h"

using namespace UpdateNew;

TEST(FilePatch, RebuildsTheTargetOnlyFromItsOwnBase) {
    ScratchDir dir;
    const std::string base = PseudoRandomBytes(200000);
    std::string target = base;
    target.replace(1000, 5, "EDIT!");
    ScratchDir::Write(dir.Path("base"), base);
    ScratchDir::Write(dir.Path("target"), target + "tail");
    ScratchDir::Write(dir.Path("other"), PseudoRandomBytes(200000, 7));
    std::wstring error;
    ASSERT_TRUE(CreateFilePatch(dir.WPath("base"), dir.WPath("target"), dir.WPath("p"), error));
    const std::string patch = ScratchDir::Read(dir.Path("p"));
    EXPECT_LT(patch.size(), 1000u);
    ASSERT_TRUE(ApplyFilePatch(dir.WPath("base"), dir.WPath("p"), dir.WPath("out"),
                               target.size() + 4, error));
    EXPECT_EQ(target + "tail", ScratchDir::Read(dir.Path("out")));

    // Another base, another size, a cut patch: refused, and no output is left.
    ScratchDir::Write(dir.Path("cut"), patch.substr(0, patch.size() - 8));
    for (const auto& [b, p, size] : {std::make_tuple("other", "p", target.size() + 4),
                                     std::make_tuple("base", "p", target.size() + 3),
                                     std::make_tuple("base", "cut", target.size() + 4)}) {
        EXPECT_FALSE(ApplyFilePatch(dir.WPath(b), dir.WPath(p), dir.WPath("o2"), size, error));
        EXPECT_NE(0, ::access(dir.Path("o2").c_str(), F_OK));
    }
}
