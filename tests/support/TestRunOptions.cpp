#include "support/TestRunOptions.h"

#include <gtest/gtest.h>

#include "base/Conv.h"
#include "config/UpdateConfig.h"
#include "support/RecordingLog.h"
#include "support/TestArgv.h"

using namespace UpdateNew;

namespace TestSupport {

std::vector<std::wstring> TestRunOptions(const std::wstring& masterIdx, const std::wstring& server,
                                         const std::wstring& productFile, const std::string& root) {
    const std::wstring dir = FromMultibyte(root);
    const std::wstring plugin = RecordingPluginWidePath();
    return {L"--masteridx=" + masterIdx,     L"--defaultsrv=" + server,
            L"--productfile=" + productFile, L"--install-path=" + dir + L"/inst",
            L"--tmpdir=" + dir + L"/tmp",    L"--logfile=" + dir + L"/log.txt",
            L"--updatelib=" + plugin,        L"--guilib=" + plugin};
}

void InitAndPrepare(UpdateConfig& config, const std::vector<std::wstring>& options) {
    const Argv args(options);
    EXPECT_TRUE(config.init(args.argc(), args.argv()));
    config.prepare();
}

}  // namespace TestSupport
