// The recording plug-in built with the tests (it serves as library and as GUI plug-in and
// writes one line per call to the file named by UPD_REC_FILE; plugins/test/README.md has
// its variables), and what tests do with it: set its environment for the length of a test
// and read back the calls it recorded.
#pragma once

#include <string>
#include <vector>

namespace TestSupport {

// The plug-in's path in the build directory.
std::string RecordingPluginPath();
std::wstring RecordingPluginWidePath();

// Sets UPD_REC_FILE to `recordFile` and, through set(), further variables of the plug-in;
// every variable set here is removed again on destruction. Not copyable.
class RecordingPluginEnv {
public:
    explicit RecordingPluginEnv(const std::string& recordFile);
    ~RecordingPluginEnv();
    RecordingPluginEnv(const RecordingPluginEnv&) = delete;
    RecordingPluginEnv& operator=(const RecordingPluginEnv&) = delete;

    void set(const std::string& name, const std::string& value);

private:
    std::vector<std::string> m_names;
};

// The lines of a text file without their line ends; none when it cannot be read.
std::vector<std::string> ReadLines(const std::string& path);
// The recorded lines that start with `prefix` ("LIB downloadFile(", "GUI onCheckFile" ...).
std::vector<std::string> CallsStartingWith(const std::string& recordFile,
                                           const std::string& prefix);

}  // namespace TestSupport
