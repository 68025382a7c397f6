// Rollback by phase: which steps run for which modules and in which order, as the
// function-replacing plug-in (the recording plug-in) sees them, and the plug-in taking
// steps over.
#include "install/Rollback.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Exception.h"
#include "base/Messages.h"
#include "plugin/UpdateCallbacks.h"
#include "product/UpdateInfo.h"
#include "support/InstallTestUtil.h"

using namespace UpdateNew;

namespace {

// The file processor's part of the steps, reduced to noting what it was asked to do.
class NotedOperations : public IRollbackOperations {
public:
    void runPre(int m) override { noted.push_back("PRE " + std::to_string(m)); }
    void runPost(int m) override { noted.push_back("POST " + std::to_string(m)); }
    void runUnpost(int m) override { noted.push_back("UNPOST " + std::to_string(m)); }
    void restoreModule(int m) override {
        noted.push_back("RESTORE " + std::to_string(m));
        if (m == failRestore) THROW_CRITICAL(L"restore failed", 637);
    }
    std::vector<std::string> noted;
    int failRestore = -1;
};

UpdateInfo Product(int modules, std::vector<int> notUpdated = {}) {
    UpdateInfo p;
    for (int i = 0; i < modules; ++i) {
        UpdateModuleInfo m;
        m.name = L"m" + std::to_wstring(i);
        FileRecord f;
        f.name = L"dir\\f" + std::to_wstring(i);
        f.needsupdate = true;
        m.files.push_back(f);
        FileRecord same;
        same.name = L"same";
        m.files.push_back(same);
        m.needsupdate = true;
        for (int n : notUpdated)
            if (n == i) m.needsupdate = false;
        p.modules.push_back(m);
    }
    return p;
}

std::vector<std::string> Steps(const std::vector<RollbackStep>& plan) {
    static const char* const kNames[] = {"PRE", "POST", "UNPOST", "RESTORE"};
    std::vector<std::string> out;
    for (const RollbackStep& s : plan)
        out.push_back(std::string(kNames[s.step]) + " " + std::to_string(s.module));
    return out;
}

class RollbackTest : public RecordingFixture {
protected:
    void SetUp() override {
        RecordingFixture::SetUp();
        m_cb.LoadLib(RecordingPluginPath());
    }
    UpdateCallbacks m_cb;
};

TEST(RollbackPlan, PreOrBackupPhaseRunsPostDownToZero) {
    EXPECT_EQ((std::vector<std::string>{"POST 2", "POST 1", "POST 0"}),
              Steps(PlanRollback(0, 2, 4)));
}

TEST(RollbackPlan, PostPhaseUndoesEverything) {
    EXPECT_EQ((std::vector<std::string>{"UNPOST 1", "UNPOST 0", "PRE 0", "PRE 1", "RESTORE 0",
                                        "RESTORE 1", "RESTORE 2", "POST 2", "POST 1", "POST 0"}),
              Steps(PlanRollback(1, 1, 3)));
}

TEST(RollbackPlan, InstallPhaseRestoresUpToTheFailedModule) {
    EXPECT_EQ((std::vector<std::string>{"RESTORE 0", "RESTORE 1", "POST 2", "POST 1", "POST 0"}),
              Steps(PlanRollback(4, 1, 3)));
}

TEST(RollbackPlan, OtherPhasesAndEdgesGiveNoStrayStep) {
    EXPECT_TRUE(PlanRollback(2, 1, 3).empty());
    EXPECT_TRUE(PlanRollback(3, 1, 3).empty());
    EXPECT_TRUE(PlanRollback(4, 1, 0).empty());
    EXPECT_EQ((std::vector<std::string>{"POST 1", "POST 0"}), Steps(PlanRollback(0, 9, 2)));
    EXPECT_EQ((std::vector<std::string>{"RESTORE 0", "RESTORE 1", "POST 1", "POST 0"}),
              Steps(PlanRollback(1, -1, 2)));
}

TEST(RollbackPlan, EachStepCarriesItsAnnouncement) {
    for (const RollbackStep& s : PlanRollback(1, 0, 1)) {
        switch (s.step) {
            case ROLLBACK_UNPOST:
                EXPECT_EQ(Msg<635>(), s.announcement);
                break;
            case ROLLBACK_PRE:
                EXPECT_EQ(Msg<636>(), s.announcement);
                break;
            case ROLLBACK_RESTORE:
                EXPECT_EQ(Msg<637>(), s.announcement);
                break;
            case ROLLBACK_POST:
                EXPECT_EQ(Msg<638>(), s.announcement);
                break;
        }
    }
}

TEST_F(RollbackTest, PostPhaseStepsReachPluginAndProcessorInOrderSkippingUnchangedModules) {
    UpdateInfo product = Product(3, {2});
    NotedOperations ops;
    RollBack(m_cb, product, ops, 1, 1);
    EXPECT_EQ((std::vector<std::string>{"UNPOST 1", "UNPOST 0", "PRE 0", "PRE 1", "RESTORE 0",
                                        "RESTORE 1", "POST 1", "POST 0"}),
              ops.noted);
    const std::vector<std::string> expected = {"LIB beforeRollback()",
                                               "LIB overrideRollback(2, \"m1\", [\"dir\\\\f1\"])",
                                               "LIB overrideRollback(2, \"m0\", [\"dir\\\\f0\"])",
                                               "LIB overrideRollback(0, \"m0\", [\"dir\\\\f0\"])",
                                               "LIB overrideRollback(0, \"m1\", [\"dir\\\\f1\"])",
                                               "LIB overrideRollback(3, \"m0\", [\"dir\\\\f0\"])",
                                               "LIB overrideRollback(3, \"m1\", [\"dir\\\\f1\"])",
                                               "LIB overrideRollback(1, \"m1\", [\"dir\\\\f1\"])",
                                               "LIB overrideRollback(1, \"m0\", [\"dir\\\\f0\"])",
                                               "LIB afterRollback()"};
    EXPECT_EQ(expected, Record());
}

TEST_F(RollbackTest, PreAndInstallPhases) {
    UpdateInfo product = Product(3);
    NotedOperations pre;
    RollBack(m_cb, product, pre, 0, 2);
    EXPECT_EQ((std::vector<std::string>{"POST 2", "POST 1", "POST 0"}), pre.noted);
    NotedOperations install;
    RollBack(m_cb, product, install, 4, 0);
    EXPECT_EQ((std::vector<std::string>{"RESTORE 0", "POST 2", "POST 1", "POST 0"}), install.noted);
    NotedOperations none;
    RollBack(m_cb, product, none, 3, 2);
    EXPECT_TRUE(none.noted.empty());
}

TEST_F(RollbackTest, PluginTakesStepsOver) {
    setenv("UPD_REC_ANSWERS", "overrideRollback=0", 1);
    UpdateInfo product = Product(2);
    NotedOperations ops;
    RollBack(m_cb, product, ops, 4, 1);
    EXPECT_TRUE(ops.noted.empty());
    EXPECT_EQ(6u, Record().size());  // before, 2 restores, 2 posts, after
}

TEST_F(RollbackTest, FailedStepDoesNotKeepTheOtherModulesFromBeingRestored) {
    UpdateInfo product = Product(3);
    NotedOperations ops;
    ops.failRestore = 0;
    try {
        RollBack(m_cb, product, ops, 1, 2);
        ADD_FAILURE() << "the failure of the restore must reach the run";
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(637, e.code());
    }
    EXPECT_EQ((std::vector<std::string>{"UNPOST 2", "UNPOST 1", "UNPOST 0", "PRE 0", "PRE 1",
                                        "PRE 2", "RESTORE 0", "RESTORE 1", "RESTORE 2", "POST 2",
                                        "POST 1", "POST 0"}),
              ops.noted);
    EXPECT_EQ("LIB afterRollback()", Record().back());
}

TEST_F(RollbackTest, InvalidPluginAnswerIsAFailureOfTheStep) {
    setenv("UPD_REC_ANSWERS", "overrideRollback=5", 1);
    UpdateInfo product = Product(1);
    NotedOperations ops;
    try {
        RollBack(m_cb, product, ops, 4, 0);
        ADD_FAILURE() << "612 expected";
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(612, e.code());
    }
    EXPECT_TRUE(ops.noted.empty());
}

}  // namespace
