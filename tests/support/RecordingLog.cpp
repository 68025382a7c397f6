#include "support/RecordingLog.h"

#include <cstdlib>
#include <fstream>

#include "base/Conv.h"

using namespace UpdateNew;

namespace TestSupport {

std::string RecordingPluginPath() {
    return UPDATER_BUILD_DIR "/plugins/librecording.so";
}

std::wstring RecordingPluginWidePath() {
    return FromMultibyte(RecordingPluginPath());
}

RecordingPluginEnv::RecordingPluginEnv(const std::string& recordFile) {
    set("UPD_REC_FILE", recordFile);
}

RecordingPluginEnv::~RecordingPluginEnv() {
    for (const std::string& name : m_names) ::unsetenv(name.c_str());
}

void RecordingPluginEnv::set(const std::string& name, const std::string& value) {
    ::setenv(name.c_str(), value.c_str(), 1);
    m_names.push_back(name);
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> CallsStartingWith(const std::string& recordFile,
                                           const std::string& prefix) {
    std::vector<std::string> calls;
    for (const std::string& line : ReadLines(recordFile))
        if (line.compare(0, prefix.size(), prefix) == 0) calls.push_back(line);
    return calls;
}

}  // namespace TestSupport
