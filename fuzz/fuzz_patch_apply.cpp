// Applying a fetched patch: whatever its bytes, the decoder stops at the stated size and
// the memory bound, and a failed application leaves no output behind.
#include <unistd.h>

#include <string>

#include "FuzzInput.h"
#include "codec/FilePatch.h"

using namespace UpdateNew;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The first byte picks the size the record states, so short and long results both get
    // exercised; the base is a fixed text the seed patches were made against.
    if (size == 0) return 0;
    static const std::string base =
        "The installed version of the file, line one.\n"
        "Line two of the installed version.\n";
    const unsigned long long expected = data[0] * 4ULL;
    std::string out;
    std::wstring error;
    if (ApplyPatchData(base.data(), base.size(), data + 1, size - 1, expected, out, error) &&
        out.size() != expected)
        __builtin_trap();

    const std::wstring basePath =
        fuzz::WriteInput("base.bin", reinterpret_cast<const uint8_t*>(base.data()), base.size());
    const std::wstring patchPath = fuzz::WriteInput("file.patch", data + 1, size - 1);
    const std::string output = fuzz::ScratchPath("file.out");
    const bool applied =
        ApplyFilePatch(basePath, patchPath, FromMultibyte(output), expected, error);
    if (!applied && access(output.c_str(), F_OK) == 0) __builtin_trap();
    unlink(output.c_str());
    return 0;
}
