// Digests computed ahead on worker threads come back in list order, whatever order the
// workers finish in, and a prefetch dropped early stops without waiting for the rest.
#include "codec/DigestPrefetch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ScratchDir.h"

using namespace UpdateNew;

TEST(DigestPrefetch, ResultsComeInListOrderAndAnEarlyEndStopsTheWorkers) {
    ScratchDir dir;
    std::vector<std::wstring> paths;
    for (int i = 0; i < 60; ++i) {
        const std::string name = "f" + std::to_string(i);
        // Large and small files mixed, so that workers finish out of order; some missing.
        if (i % 7 != 3)
            ScratchDir::Write(dir.Path(name), PseudoRandomBytes(i % 5 == 0 ? 300000 : i, i));
        paths.push_back(dir.WPath(name));
    }
    DigestPrefetch prefetch(paths, 3, 4);
    for (const std::wstring& path : paths) {
        ASSERT_TRUE(prefetch.nextIs(path));
        const FileDigest expected = GetFileSizeAndMD5(path), got = prefetch.take();
        EXPECT_EQ(expected.exists, got.exists);
        EXPECT_EQ(expected.size, got.size);
        EXPECT_EQ(expected.digest, got.digest);
    }
    EXPECT_FALSE(prefetch.nextIs(paths[0]));

    DigestPrefetch dropped(paths, 2, 2);
    EXPECT_EQ(GetFileSizeAndMD5(paths[0]).digest, dropped.take().digest);
}

TEST(DigestPrefetch, PathsAddedWhileTheWorkersRunComeInOrder) {
    ScratchDir dir;
    DigestPrefetch prefetch(1, 3, 8);
    std::vector<std::wstring> paths;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "g" + std::to_string(i);
        ScratchDir::Write(dir.Path(name), PseudoRandomBytes(i % 4 == 0 ? 200000 : i, i));
        paths.push_back(dir.WPath(name));
        prefetch.add(paths.back());
    }
    prefetch.close();  // two more workers from here on
    for (const std::wstring& path : paths) {
        ASSERT_TRUE(prefetch.nextIs(path));
        EXPECT_EQ(GetFileSizeAndMD5(path).digest, prefetch.take().digest);
    }
}
