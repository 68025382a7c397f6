// gunzip of a downloaded file: malformed, truncated or over-long gzip data fails cleanly
// and leaves no partial output.
#include <unistd.h>

#include "FuzzInput.h"
#include "codec/GzFile.h"

using namespace UpdateNew;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring path = fuzz::WriteInput("module.bin.gz", data, size);
    const std::string output = fuzz::ScratchPath("module.bin");
    if (GunzipFile(path) != 0 && access(output.c_str(), F_OK) == 0) __builtin_trap();
    unlink(output.c_str());
    return 0;
}
