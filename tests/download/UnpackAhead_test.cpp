#include "download/UnpackAhead.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "base/Conv.h"
#include "codec/GzFile.h"
#include "support/TestServers.h"

using namespace UpdateNew;

TEST(UnpackAhead, WaitsDropsAndEndsWithJobsQueued) {
    TestServers::TempDir dir("unpack");
    TestServers::WriteFile(dir.file("plain"), std::string(100000, 'a'));
    ASSERT_EQ(0, GzipFile(FromMultibyte(dir.file("plain")), FromMultibyte(dir.file("f.gz"))));
    auto job = [&](const std::string& out) {
        const int fd = ::open(dir.file("f.gz").c_str(), O_RDONLY | O_CLOEXEC);
        return std::make_shared<UnpackAhead::Job>(fd, ::lseek(fd, 0, SEEK_END), dir.file(out),
                                                  100000u);
    };
    UnpackAhead unpack;
    auto done = job("done"), never = job("never"), dropped = job("dropped");
    unpack.Add(done);
    EXPECT_EQ(100000u, unpack.Wait(done).size());
    // A job never queued has no output, and giving it up does not wait for a thread.
    EXPECT_TRUE(unpack.Wait(never).empty());
    unpack.Drop(never);
    unpack.Add(dropped);
    unpack.Drop(dropped);
    EXPECT_NE(0, ::access(dir.file("dropped").c_str(), F_OK));
    for (int i = 0; i < 8; ++i) unpack.Add(job("left" + std::to_string(i)));  // left queued
}
