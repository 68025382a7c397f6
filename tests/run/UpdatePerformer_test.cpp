// The exec action of a self-update action run: how the restart line of the updater copy
// is taken apart into program and arguments. Whole runs are tested end to end
// (tests/e2e/test_update_*.py).
#include "run/UpdatePerformer.h"

#include <gtest/gtest.h>

#include <string>

#include "base/Exception.h"
#include "base/Messages.h"

using namespace UpdateNew;

namespace {

struct Split {
    std::wstring program;
    std::wstring arguments;
};

Split SplitOf(const std::wstring& action) {
    Split s;
    UpdatePerformer::SplitExecAction(action, s.program, s.arguments);
    return s;
}

TEST(UpdatePerformerExecAction, UnquotedProgramEndsAtTheFirstBlank) {
    // The restart line the self-update writes: the command line ends with a blank, so two
    // blanks stand before the added options; the arguments keep them as they are.
    const Split s = SplitOf(L"/opt/app/updater --url=x  --NoSelfUpdate \"--TmpDir=/t\"");
    EXPECT_EQ(s.program, L"/opt/app/updater");
    EXPECT_EQ(s.arguments, L"--url=x  --NoSelfUpdate \"--TmpDir=/t\"");

    const Split bare = SplitOf(L"/opt/app/updater");
    EXPECT_EQ(bare.program, L"/opt/app/updater");
    EXPECT_EQ(bare.arguments, L"");
}

TEST(UpdatePerformerExecAction, QuotedProgramMayHoldBlanks) {
    const Split s = SplitOf(L"\"/opt/my app/updater\" \t --noselfupdate \t");
    EXPECT_EQ(s.program, L"/opt/my app/updater");
    EXPECT_EQ(s.arguments, L"--noselfupdate");

    const Split none = SplitOf(L"\"/opt/my app/updater\"");
    EXPECT_EQ(none.program, L"/opt/my app/updater");
    EXPECT_EQ(none.arguments, L"");
}

TEST(UpdatePerformerExecAction, MissingClosingQuoteIs629) {
    try {
        SplitOf(L"\"/opt/my app/updater --noselfupdate");
        FAIL() << "no exception";
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(e.code(), 629);
        EXPECT_EQ(std::wstring(e.twhat()), Msg<245>(L"\"/opt/my app/updater --noselfupdate"));
    }
}

}  // namespace
