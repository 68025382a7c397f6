// Shared pieces of the backup, installation, rollback and self-update tests: the
// recording plug-in's environment around a scratch directory, and small file helpers.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "base/Conv.h"
#include "support/ScratchDir.h"

using namespace UpdateNew;

inline std::wstring RecordingPluginPath() {
    return FromMultibyte(std::string(UPDATER_BUILD_DIR) + "/plugins/librecording.so");
}

inline std::vector<std::string> ReadTextLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

inline std::wstring W(const std::string& s) {
    return FromMultibyte(s);
}

inline unsigned ModeOf(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

// A scratch directory with the recording plug-in writing to "record.txt" in it. Plug-in
// answers are set per test through UPD_REC_ANSWERS; all its variables are cleared after.
class RecordingFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ClearPluginEnv();
        m_record = m_dir.Path("record.txt");
        setenv("UPD_REC_FILE", m_record.c_str(), 1);
    }
    void TearDown() override {
        ClearPluginEnv();
        unsetenv("UPD_REC_FILE");
    }
    static void ClearPluginEnv() {
        for (const char* name :
             {"UPD_REC_ANSWERS", "UPD_REC_THROW", "UPD_REC_SET_checkCreateDirectory"})
            unsetenv(name);
    }
    // The recorded lines, without the loading lines (InitializeLibA, onLoad, ...).
    std::vector<std::string> Record() const {
        std::vector<std::string> out;
        for (const std::string& line : ReadTextLines(m_record))
            if (line.find("Initialize") == std::string::npos &&
                line.find("onLoad()") == std::string::npos)
                out.push_back(line);
        return out;
    }
    // The recorded lines that start with `prefix` (e.g. "LIB overrideRollback").
    std::vector<std::string> RecordOf(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const std::string& line : Record())
            if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
        return out;
    }

    ScratchDir m_dir;
    std::string m_record;
};
