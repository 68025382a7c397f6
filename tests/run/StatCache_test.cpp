// What an end-to-end run cannot arrange: a file changed within a second before the check.
#include "run/StatCache.h"

#include <gtest/gtest.h>

#include "support/ScratchDir.h"

using namespace UpdateNew;

TEST(StatCacheTest, AFileChangedJustBeforeTheCheckIsReadAgainByTheNext) {
    ScratchDir dir;
    ScratchDir::Write(dir.Path("file"), "one");
    const std::wstring kept = dir.WPath("master.idx");
    StatCache cache;
    cache.load(kept, false, 0);
    const FileDigest first = cache.digest(dir.WPath("file"));
    ASSERT_FALSE(first.digest.empty());
    cache.record(first, dir.WPath("file"));
    cache.save(kept);
    ASSERT_TRUE(ScratchDir::Exists(dir.Path("master.idx.stat")));

    StatCache next;
    next.load(kept, false, 0);
    const FileDigest again = next.digest(dir.WPath("file"));
    EXPECT_FALSE(again.cached);
    EXPECT_EQ(first.digest, again.digest);
}
