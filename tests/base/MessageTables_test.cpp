// Loads both process-wide message tables from the build's update_msg.lqr before any
// test runs, as the updater does at start-up, so that every unit test can format
// messages with Msg<N>(...) and MsgLib<N>(...).
#include <gtest/gtest.h>

#include "base/LQMResWrap.h"

using namespace UpdateNew;

namespace {

class MessageTablesEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        const wchar_t* path = L"" UPDATER_BUILD_DIR "/update_msg.lqr";
        g_cLibMsgTable.Init(path);
        g_cMsgTable.Init(path);
    }
};

const ::testing::Environment* const kMessageTables =
    ::testing::AddGlobalTestEnvironment(new MessageTablesEnvironment);

}  // namespace
