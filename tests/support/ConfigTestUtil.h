// Helpers of the configuration tests: a scratch directory that removes itself, files
// written into it, and the check that a call fails with a given critical text and code.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "base/Conv.h"
#include "base/Exception.h"

using namespace UpdateNew;

// Runs `fn`, which must throw CUpdateCriticalException with exactly `text` and `code`.
inline void ExpectCriticalError(const std::function<void()>& fn, const std::wstring& text,
                                int code) {
    try {
        fn();
        ADD_FAILURE() << "no exception; expected: " << ToMultibyte(text);
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(ToMultibyte(text), e.what());
        EXPECT_EQ(code, e.code());
    }
}

class ConfigScratchDir {
public:
    ConfigScratchDir() {
        char pattern[] = "/tmp/updater_config_test_XXXXXX";
        const char* made = mkdtemp(pattern);
        if (!made) ADD_FAILURE() << "mkdtemp failed";
        m_path = made ? made : "/tmp";
    }
    ~ConfigScratchDir() {
        const std::string command = "rm -rf '" + m_path + "'";
        if (std::system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << m_path;
    }
    ConfigScratchDir(const ConfigScratchDir&) = delete;
    ConfigScratchDir& operator=(const ConfigScratchDir&) = delete;

    const std::string& path() const { return m_path; }
    std::wstring wpath() const { return FromMultibyte(m_path); }
    std::string file(const std::string& name) const { return m_path + "/" + name; }
    std::wstring wfile(const std::string& name) const { return FromMultibyte(file(name)); }

    // Writes `content` as bytes and returns the file's path.
    std::wstring write(const std::string& name, const std::string& content) const {
        std::ofstream out(file(name), std::ios::binary);
        out << content;
        return wfile(name);
    }

private:
    std::string m_path;
};
