#include "base/PathList.h"

#include <gtest/gtest.h>

using namespace UpdateNew;

TEST(PathList, GivesBackEveryPathAsAdded) {
    // Non-ASCII characters, the escape byte's own value and an empty path all come back.
    const std::vector<std::wstring> paths = {L"/tmp/a.gz", L"", L"/d\u00e9j\u00e0/\u0080x",
                                             L"/\U0001F600", std::wstring(1, wchar_t(0x7f))};
    PathList list;
    for (const std::wstring& p : paths) list.push_back(p);
    EXPECT_EQ(paths, list.ToVector());
    EXPECT_EQ(paths[2], PathList::Unpack(PathList::Pack(paths[2])));
    list.clear();
    EXPECT_TRUE(list.empty());
}
