#include "codec/FilePatch.h"

#include <gtest/gtest.h>

#include "support/ScratchDir.h"

using namespace UpdateNew;

namespace {

// A frame that states `content` as its size and a window of 2^windowLog, holding the
// content in raw blocks: valid apart from what the header asks for.
std::string RawFrame(const std::string& content, int windowLog) {
    std::string f = "\x28\xb5\x2f\xfd";
    f += '\x80';                                    // 4-byte content size, windowed
    f += static_cast<char>((windowLog - 10) << 3);  // window exponent, no mantissa
    for (int i = 0; i < 4; ++i) f += static_cast<char>((content.size() >> (8 * i)) & 0xff);
    for (size_t at = 0; at < content.size(); at += 65536) {
        const std::string piece = content.substr(at, 65536);
        const uint32_t block =
            (at + 65536 >= content.size() ? 1u : 0u) | static_cast<uint32_t>(piece.size() << 3);
        for (int i = 0; i < 3; ++i) f += static_cast<char>((block >> (8 * i)) & 0xff);
        f += piece;
    }
    return f;
}

}  // namespace

TEST(FilePatch, RebuildsTheTargetOnlyFromItsOwnBase) {
    ScratchDir dir;
    const std::string base = PseudoRandomBytes(200000);
    std::string target = base;
    target.replace(1000, 5, "EDIT!");
    target += "tail";
    ScratchDir::Write(dir.Path("base"), base);
    ScratchDir::Write(dir.Path("target"), target);
    std::wstring error;
    ASSERT_TRUE(CreateFilePatch(dir.WPath("base"), dir.WPath("target"), dir.WPath("p"), error));
    const std::string patch = ScratchDir::Read(dir.Path("p"));
    EXPECT_LT(patch.size(), 1000u);

    ASSERT_TRUE(
        ApplyFilePatch(dir.WPath("base"), dir.WPath("p"), dir.WPath("out"), target.size(), error))
        << std::string(error.begin(), error.end());
    EXPECT_EQ(target, ScratchDir::Read(dir.Path("out")));

    // Another base, another size, a cut patch: refused, and no output is left.
    ScratchDir::Write(dir.Path("other"), PseudoRandomBytes(200000, 7));
    EXPECT_FALSE(
        ApplyFilePatch(dir.WPath("other"), dir.WPath("p"), dir.WPath("o2"), target.size(), error));
    EXPECT_FALSE(ApplyFilePatch(dir.WPath("base"), dir.WPath("p"), dir.WPath("o2"),
                                target.size() - 1, error));
    ScratchDir::Write(dir.Path("cut"), patch.substr(0, patch.size() - 8));
    EXPECT_FALSE(
        ApplyFilePatch(dir.WPath("base"), dir.WPath("cut"), dir.WPath("o2"), target.size(), error));
    EXPECT_NE(0, ::access(dir.Path("o2").c_str(), F_OK));
}

TEST(FilePatch, AWindowBeyondTheMemoryBoundIsRefusedBeforeDecoding) {
    std::string out;
    std::wstring error;
    // Larger than one output buffer, so the decoder needs its window.
    const std::string content = PseudoRandomBytes(300000);
    const std::string fits = RawFrame(content, kPatchMaxWindowLog);
    EXPECT_TRUE(ApplyPatchData("", 0, fits.data(), fits.size(), content.size(), out, error));
    EXPECT_EQ(content, out);
    const std::string big = RawFrame(content, kPatchMaxWindowLog + 1);
    EXPECT_FALSE(ApplyPatchData("", 0, big.data(), big.size(), content.size(), out, error));
    EXPECT_NE(std::wstring::npos, error.find(L"memory")) << std::string(error.begin(), error.end());
}
