#include "base/TrustedDirectory.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/Messages.h"
#include "support/ScratchDir.h"

using namespace UpdateNew;

TEST(DirectoryTrustFault, RefusesLinksAndDirectoriesOthersMayChange) {
    ScratchDir dir;
    ::mkdir(dir.Path("open").c_str(), 0700);
    ::chmod(dir.Path("open").c_str(), 0777);
    ASSERT_EQ(0, CreatePrivateDirectory(dir.WPath("open/own")));
    ::symlink("open/own", dir.Path("link").c_str());
    EXPECT_EQ(Msg<816>(dir.WPath("link")), DirectoryTrustFault(dir.WPath("link")));
    EXPECT_EQ(Msg<820>(dir.WPath("open")), DirectoryTrustFault(dir.WPath("open/own")));
}
