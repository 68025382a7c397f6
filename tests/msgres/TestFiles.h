// Helpers for the message file tests: a scratch directory, the real catalogue compiler
// run as a child process, and hand-built message files for the malformed cases.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "msgres/LqrLayout.h"

namespace msgtest {

// A fresh directory under /tmp, removed with everything in it at the end of the test.
class ScratchDir {
public:
    ScratchDir() {
        char pattern[] = "/tmp/msgres_test_XXXXXX";
        const char* made = mkdtemp(pattern);
        if (made) m_path = made;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string operator/(const std::string& name) const { return m_path + "/" + name; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

inline void WriteText(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct CompileResult {
    int status = -1;     // exit status of update-msgc
    std::string errors;  // what it wrote on standard error
};

// Runs the build's compiler on `catalogue` (written to dir/name) producing dir/out.lqr
// and dir/out.h.
inline CompileResult RunCompiler(const ScratchDir& dir, const std::string& catalogue,
                                 const std::string& name = "cat.txt") {
    WriteText(dir / name, catalogue);
    const std::string cmd = std::string("'" UPDATER_BUILD_DIR "/update-msgc' '") + (dir / name) +
                            "' '" + (dir / "out.lqr") + "' '" + (dir / "out.h") + "' 2>'" +
                            (dir / "errors.txt") + "'";
    CompileResult r;
    const int raw = std::system(cmd.c_str());
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.errors = ReadText(dir / "errors.txt");
    return r;
}

// Compiles a catalogue that must be valid; gives the message file's path.
inline std::string Compile(const ScratchDir& dir, const std::string& catalogue) {
    const CompileResult r = RunCompiler(dir, catalogue);
    EXPECT_EQ(r.status, 0) << r.errors;
    return dir / "out.lqr";
}

inline void PutU32(std::vector<unsigned char>& v, std::size_t at, std::uint32_t value) {
    if (v.size() < at + 4) v.resize(at + 4, 0);
    lqr::WriteU32(v.data() + at, value);
}

// A message for a hand-built block: fields are written as given, so tests can lie.
struct RawMessage {
    std::uint32_t number;
    std::string utf8;
    std::uint32_t wideLength;
    std::uint32_t params;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> placeholders;  // (param, offset)
    bool terminated = true;
};

// Directory for 0..last, then each message's text and placeholder table.
inline std::vector<unsigned char> BuildBlock(std::uint32_t last,
                                             const std::vector<RawMessage>& messages) {
    std::vector<unsigned char> block((last + 1) * lqr::kEntrySize, 0);
    for (const RawMessage& m : messages) {
        const std::size_t e = m.number * lqr::kEntrySize;
        PutU32(block, e + lqr::kEntryDataOffset, static_cast<std::uint32_t>(block.size()));
        PutU32(block, e + lqr::kEntryWideLength, m.wideLength);
        PutU32(block, e + lqr::kEntryByteLength, static_cast<std::uint32_t>(m.utf8.size()));
        PutU32(block, e + lqr::kEntryParamCount, m.params);
        block.insert(block.end(), m.utf8.begin(), m.utf8.end());
        for (const auto& p : m.placeholders) {
            const std::size_t at = block.size();
            PutU32(block, at, p.first);
            PutU32(block, at + 4, p.second);
        }
        if (m.terminated) {
            const std::size_t at = block.size();
            PutU32(block, at, 0);
            PutU32(block, at + 4, 0);
        }
    }
    return block;
}

// Header + compressed block; the header fields can be overridden afterwards.
inline std::vector<unsigned char> BuildFile(std::uint32_t last,
                                            const std::vector<unsigned char>& block) {
    uLongf packed = compressBound(static_cast<uLong>(block.size()));
    std::vector<unsigned char> file(lqr::kHeaderSize + packed, 0);
    compress(file.data() + lqr::kHeaderSize, &packed, block.data(),
             static_cast<uLong>(block.size()));
    file.resize(lqr::kHeaderSize + packed);
    for (std::size_t i = 0; i < 4; ++i) file[i] = lqr::kMagic[i];
    PutU32(file, lqr::kOffLastNumber, last);
    PutU32(file, lqr::kOffBlockAOffset, static_cast<std::uint32_t>(lqr::kHeaderSize));
    PutU32(file, lqr::kOffBlockAStored, static_cast<std::uint32_t>(packed));
    PutU32(file, lqr::kOffBlockASize, static_cast<std::uint32_t>(block.size()));
    return file;
}

inline std::string WriteFile(const ScratchDir& dir, const std::string& name,
                             const std::vector<unsigned char>& bytes) {
    WriteText(dir / name, std::string(bytes.begin(), bytes.end()));
    return dir / name;
}

}  // namespace msgtest
