// Loading message files: header checks, and refusal of files whose content would make
// formatting read outside the block.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "msgres/MsgRes.h"
#include "msgres/TestFiles.h"

namespace {

using msgtest::BuildBlock;
using msgtest::BuildFile;
using msgtest::PutU32;
using msgtest::RawMessage;
using msgtest::ScratchDir;

// Opens `bytes` as a message file; gives the result and closes a loaded table.
int OpenBytes(const std::vector<unsigned char>& bytes) {
    ScratchDir dir;
    const std::string path = msgtest::WriteFile(dir, "m.lqr", bytes);
    void* handle = reinterpret_cast<void*>(1);
    const int r = MsgResOpen(path.c_str(), &handle);
    if (r == 0) {
        EXPECT_NE(handle, nullptr);
        EXPECT_EQ(MsgResClose(handle), 0);
    } else {
        EXPECT_EQ(handle, nullptr);
    }
    return r;
}

// "hi %1!" as message 1 of 0..2.
std::vector<RawMessage> GoodMessages() {
    return {{1, "hi !", 4, 1, {{1, 3}}}};
}

TEST(MsgResOpen, AHandBuiltFileLoadsAndFormats) {
    ScratchDir dir;
    const std::string path =
        msgtest::WriteFile(dir, "m.lqr", BuildFile(2, BuildBlock(2, GoodMessages())));
    void* handle = nullptr;
    ASSERT_EQ(MsgResOpen(path.c_str(), &handle), 0);
    wchar_t* text = nullptr;
    EXPECT_EQ(MsgResFormat(handle, 1, 1, &text, 0, 7, L"you"), 0);
    EXPECT_EQ(std::wstring(text), L"hi you!");
    free(text);
    EXPECT_EQ(MsgResFormat(handle, 2, 0, &text, 0), -4);
    EXPECT_EQ(MsgResClose(handle), 0);
}

TEST(MsgResOpen, FileAndHeaderFailures) {
    ScratchDir dir;
    void* handle = nullptr;
    EXPECT_EQ(MsgResOpen((dir / "missing.lqr").c_str(), &handle), -2);
    EXPECT_EQ(MsgResOpenW(L"/nonexistent/update_msg.lqr", &handle), -2);
    EXPECT_EQ(MsgResOpen(dir.path().c_str(), &handle), -3);  // a directory reads nothing

    const std::vector<unsigned char> good = BuildFile(2, BuildBlock(2, GoodMessages()));
    EXPECT_EQ(OpenBytes(good), 0);
    EXPECT_EQ(OpenBytes(std::vector<unsigned char>(good.begin(), good.begin() + 35)), -3);
    EXPECT_EQ(OpenBytes({}), -3);

    auto badMagic = good;
    badMagic[1] = 'X';
    EXPECT_EQ(OpenBytes(badMagic), -3);
    badMagic = good;
    badMagic[0] = 'L';
    EXPECT_EQ(OpenBytes(badMagic), -3);

    // Right magic, block A offset 0: -1, not -3.
    auto noBlock = good;
    PutU32(noBlock, 12, 0);
    EXPECT_EQ(OpenBytes(noBlock), -1);
}

TEST(MsgResOpen, WidePathIsConverted) {
    ScratchDir dir;
    const std::string path =
        msgtest::WriteFile(dir, "m.lqr", BuildFile(2, BuildBlock(2, GoodMessages())));
    const std::wstring wide(path.begin(), path.end());
    void* handle = nullptr;
    ASSERT_EQ(MsgResOpenW(wide.c_str(), &handle), 0);
    EXPECT_EQ(MsgResClose(handle), 0);
}

TEST(MsgResOpen, DecompressionFailures) {
    const std::vector<unsigned char> block = BuildBlock(2, GoodMessages());
    const std::vector<unsigned char> good = BuildFile(2, block);

    auto wrongSize = good;  // decompressed size differs from the header's
    PutU32(wrongSize, 20, static_cast<std::uint32_t>(block.size() + 1));
    EXPECT_EQ(OpenBytes(wrongSize), -3);
    PutU32(wrongSize, 20, static_cast<std::uint32_t>(block.size() - 1));
    EXPECT_EQ(OpenBytes(wrongSize), -3);

    auto corrupt = good;  // damaged zlib stream
    for (std::size_t i = 40; i < corrupt.size(); ++i) corrupt[i] ^= 0x5a;
    EXPECT_EQ(OpenBytes(corrupt), -3);

    auto beyondFile = good;  // stored size reaches past the end of the file
    PutU32(beyondFile, 16, static_cast<std::uint32_t>(good.size()));
    EXPECT_EQ(OpenBytes(beyondFile), -3);
    auto offsetBeyond = good;
    PutU32(offsetBeyond, 12, 0xFFFFFFF0u);
    EXPECT_EQ(OpenBytes(offsetBeyond), -3);

    auto huge = good;  // a size no zlib stream of this length can expand to
    PutU32(huge, 20, 0xFFFFFFF0u);
    EXPECT_EQ(OpenBytes(huge), -3);
}

TEST(MsgResOpen, MalformedBlocksAreRefused) {
    // Each case would make formatting read outside the block or produce garbage.
    struct Case {
        const char* what;
        std::uint32_t last;
        std::vector<RawMessage> messages;
    };
    const std::vector<Case> cases = {
        {"no terminating placeholder entry", 2, {{1, "hi !", 4, 1, {{1, 3}}, false}}},
        {"placeholder offset beyond the text", 2, {{1, "hi !", 4, 1, {{1, 5}}}}},
        {"placeholder offsets descending", 2, {{1, "hi !", 4, 1, {{1, 3}, {1, 1}}}}},
        {"wide length larger than the text", 2, {{1, "hi !", 5, 1, {{1, 3}}}}},
        {"wide length smaller than the text", 2, {{1, "hi !", 3, 1, {{1, 3}}}}},
        {"invalid UTF-8", 2, {{1, "h\xff!", 3, 0, {}}}},
        {"placeholder inside a UTF-8 sequence", 2, {{1, "\xc3\xa9", 1, 1, {{1, 1}}}}},
        {"absurd parameter count", 2, {{1, "x", 1, 100000, {}}}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(OpenBytes(BuildFile(c.last, BuildBlock(c.last, c.messages))), -3) << c.what;

    // Entries whose offsets point outside the block.
    std::vector<unsigned char> block = BuildBlock(2, GoodMessages());
    auto outside = block;
    PutU32(outside, 16, static_cast<std::uint32_t>(block.size()));  // data offset at the end
    EXPECT_EQ(OpenBytes(BuildFile(2, outside)), -3) << "data offset at the block end";
    outside = block;
    PutU32(outside, 16 + 8, 0x7FFFFFFF);  // byte length past the end
    EXPECT_EQ(OpenBytes(BuildFile(2, outside)), -3) << "byte length past the end";
    outside = block;
    PutU32(outside, 16, 8);  // text inside the directory
    EXPECT_EQ(OpenBytes(BuildFile(2, outside)), -3) << "data offset inside the directory";
    // The last number claims more entries than the block holds.
    EXPECT_EQ(OpenBytes(BuildFile(1000, block)), -3) << "last number 1000";
    EXPECT_EQ(OpenBytes(BuildFile(0xFFFFFFFFu, block)), -3) << "last number 2^32-1";
}

}  // namespace

namespace {

// Damaged copies of the shipped catalogue: every byte flip in the decompressed block
// must either be refused at load or leave a table that formats safely (the sanitizer
// build turns any stray read into a failure).
TEST(MsgResOpen, DamagedBlocksNeverReadOutOfBounds) {
    const std::string shipped = msgtest::ReadText(UPDATER_BUILD_DIR "/update_msg.lqr");
    ASSERT_GT(shipped.size(), lqr::kHeaderSize);
    const auto* head = reinterpret_cast<const unsigned char*>(shipped.data());
    const std::uint32_t last = lqr::ReadU32(head + lqr::kOffLastNumber);
    std::vector<unsigned char> block(lqr::ReadU32(head + lqr::kOffBlockASize));
    uLongf size = block.size();
    ASSERT_EQ(uncompress(block.data(), &size, head + lqr::kHeaderSize,
                         lqr::ReadU32(head + lqr::kOffBlockAStored)),
              Z_OK);

    std::mt19937 random(20261208);
    ScratchDir dir;
    int loaded = 0;
    for (int round = 0; round < 300; ++round) {
        std::vector<unsigned char> damaged = block;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int i = 0; i < flips; ++i) {
            // Aim half of the flips at the directory, where offsets and lengths live.
            const std::size_t span = (random() % 2) ? (last + 1) * lqr::kEntrySize : damaged.size();
            damaged[random() % span] ^= static_cast<unsigned char>(1u << (random() % 8));
        }
        const std::string path = msgtest::WriteFile(dir, "m.lqr", BuildFile(last, damaged));
        void* handle = nullptr;
        const int r = MsgResOpen(path.c_str(), &handle);
        ASSERT_TRUE(r == 0 || r == -3) << r;
        if (r != 0) continue;
        ++loaded;
        for (unsigned n = 0; n <= last + 1; ++n) {
            wchar_t* text = nullptr;
            const int f = MsgResFormat(handle, n, 4, &text, 0, 7, L"a", 7, L"b", 7, L"c", 7, L"d");
            EXPECT_TRUE(f == 0 || f == -4 || f == -6) << "message " << n << ": " << f;
            free(text);
        }
        EXPECT_EQ(MsgResClose(handle), 0);
    }
    // Flips inside the texts keep most files loadable; both paths are exercised.
    EXPECT_GT(loaded, 0);
    EXPECT_LT(loaded, 300);
}

}  // namespace
