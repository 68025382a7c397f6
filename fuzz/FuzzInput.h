// Helpers of the fuzz targets: readers that only take a path get the input written to a
// file in a private scratch directory (on tmpfs when there is one), rewritten per run.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/Conv.h"
#include "base/Messages.h"
#include "base/ProgramInfo.h"

using namespace UpdateNew;

namespace fuzz {

// The message tables from update_msg.lqr beside the target, as the updater loads them:
// the readers format their errors with them.
inline bool LoadMessages() {
    const std::wstring path = GetUpdaterDir() + L"update_msg.lqr";
    g_cLibMsgTable.Init(path.c_str());
    g_cMsgTable.Init(path.c_str());
    return true;
}
inline const bool kMessagesLoaded = LoadMessages();

// The scratch directory of this process, made once; removed at exit.
inline const std::string& ScratchDir() {
    static const std::string dir = [] {
        std::string pattern = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        pattern += "/updater-fuzz-XXXXXX";
        if (!mkdtemp(&pattern[0])) std::abort();
        static std::string removeCommand = "rm -rf '" + pattern + "'";
        std::atexit([] { (void)std::system(removeCommand.c_str()); });
        return pattern;
    }();
    return dir;
}

// The path of `name` in the scratch directory.
inline std::string ScratchPath(const std::string& name) {
    return ScratchDir() + "/" + name;
}

// Writes the bytes to `name` in the scratch directory and gives its wide path.
inline std::wstring WriteInput(const std::string& name, const uint8_t* data, size_t size) {
    const std::string path = ScratchPath(name);
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) std::abort();
    if (size && std::fwrite(data, 1, size, file) != size) std::abort();
    if (std::fclose(file) != 0) std::abort();
    return FromMultibyte(path);
}

// The bytes as wide text the way the readers convert their input (invalid sequences
// become replacement characters, never an error).
inline std::wstring WideText(const uint8_t* data, size_t size) {
    return Utf8ToWide(std::string(reinterpret_cast<const char*>(data), size));
}

}  // namespace fuzz
