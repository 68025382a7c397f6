// A scratch directory for tests that work on real files: created empty under /tmp, removed
// with everything in it when the object goes away. Helpers write and read whole files.
#pragma once

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

class ScratchDir {
public:
    ScratchDir() {
        char tmpl[] = "/tmp/updater-test-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
        m_path = tmpl;
    }
    ~ScratchDir() {
        ::nftw(
            m_path.c_str(),
            [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // The path of `name` inside the directory, narrow and wide.
    std::string Path(const std::string& name = std::string()) const {
        return name.empty() ? m_path : m_path + "/" + name;
    }
    std::wstring WPath(const std::string& name = std::string()) const {
        std::string p = Path(name);
        return std::wstring(p.begin(), p.end());
    }

    static void Write(const std::string& path, const std::string& content) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) throw std::runtime_error("cannot write " + path);
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    static bool Exists(const std::string& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0;
    }

private:
    std::string m_path;
};

// Deterministic pseudo-random bytes, so failures reproduce.
inline std::string PseudoRandomBytes(size_t n, unsigned seed = 1) {
    std::string out(n, '\0');
    unsigned long x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; ++i) {
        x = x * 6364136223846793005ull + 1442695040888963407ull;
        out[i] = static_cast<char>(x >> 33);
    }
    return out;
}
