#include "base/Exception.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace UpdateNew;

TEST(Exception, NullMessageAndFileAreEmpty) {
    Exception e(static_cast<const wchar_t*>(nullptr), 636, nullptr);
    EXPECT_STREQ(L"", e.twhat());
    EXPECT_STREQ("", e.what());
    EXPECT_EQ(L"", e.file());
    EXPECT_EQ(-1, e.line());
    EXPECT_EQ(636, e.code());
}

TEST(Exception, CarriesEveryFieldThroughCopies) {
    CUpdateCriticalException e(std::wstring(L"disk full"), ERR_ROLLBACK, L"update/run/X", 42);
    e.setDetails(L"more");
    CUpdateCriticalException copy = e;
    EXPECT_STREQ(L"disk full", copy.twhat());
    EXPECT_STREQ("disk full", copy.what());
    EXPECT_EQ(637, copy.code());
    EXPECT_EQ(L"update/run/X", copy.file());
    EXPECT_EQ(42, copy.line());
    EXPECT_EQ(L"more", copy.details());
}

TEST(Exception, WrapsStandardExceptionText) {
    Exception e(std::runtime_error("socket closed"));
    EXPECT_STREQ(L"socket closed", e.twhat());
    EXPECT_EQ(-1, e.code());
}

TEST(Exception, ClassDecidesTheReactionNotTheCode) {
    // The version option raises a critical exception with code 0: still a failure.
    try {
        THROW_CRITICAL(L"Product version", ERR_NONE);
    } catch (const Exception& e) {
        EXPECT_NE(nullptr, dynamic_cast<const CUpdateCriticalException*>(&e));
        EXPECT_EQ(0, e.code());
        EXPECT_NE(std::wstring::npos, e.file().find(L"Exception_test.cpp"));
        EXPECT_EQ(std::wstring::npos, e.file().find(L"/work/"));
    }
    EXPECT_EQ(L"plug-in says no", CPluginException(L"plug-in says no").twhat());
}
