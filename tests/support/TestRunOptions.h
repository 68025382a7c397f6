// The update configuration of a test run: the command-line options that put the run's
// directories below a scratch directory with the recording plug-in as both plug-ins, and
// the initialisation and preparation of a configuration from them.
#pragma once

#include <string>
#include <vector>

namespace UpdateNew {
class UpdateConfig;
}  // namespace UpdateNew

namespace TestSupport {

// In this order: the master index, the server and the product file as given; the
// installation directory, temporary directory and log file below `root` ("inst", "tmp",
// "log.txt"); the recording plug-in as library and as GUI plug-in.
std::vector<std::wstring> TestRunOptions(const std::wstring& masterIdx, const std::wstring& server,
                                         const std::wstring& productFile, const std::string& root);

// Initialises `config` from `options` given as a command line, then prepares it. A command
// line that the initialisation refuses fails the calling test.
void InitAndPrepare(UpdateNew::UpdateConfig& config, const std::vector<std::wstring>& options);

}  // namespace TestSupport
