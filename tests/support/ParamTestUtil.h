// Shared helpers of the option-table tests: the argument vector (support/TestArgv.h), the
// check that a call fails with a given critical exception text and code, and output
// captured from a real stream.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "support/TestArgv.h"

using namespace UpdateNew;

// Runs `fn`, which must throw CUpdateCriticalException with exactly `text` and `code`.
inline void ExpectCritical(const std::function<void()>& fn, const std::wstring& text, int code) {
    try {
        fn();
        ADD_FAILURE() << "no exception; expected: " << ToMultibyte(text);
    } catch (const CUpdateCriticalException& e) {
        EXPECT_EQ(text, std::wstring(e.twhat()));
        EXPECT_EQ(code, e.code());
    }
}

// Everything `fn` wrote to a fresh stream (a real file, so that wide and narrow output
// both go through the C library as they would to standard output), read back as bytes.
inline std::string Captured(const std::function<void(FILE*)>& fn) {
    char path[] = "/tmp/params_test_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        ADD_FAILURE() << "mkstemp failed";
        return {};
    }
    FILE* f = fdopen(fd, "w");
    fn(f);
    std::fclose(f);
    std::ifstream in(path, std::ios::binary);
    std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);
    return out;
}
