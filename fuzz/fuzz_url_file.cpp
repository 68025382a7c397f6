// The URL file reader: one server address per line, each parsed into its parts.
#include "FuzzInput.h"
#include "base/Exception.h"
#include "config/UpdateConfig.h"

using namespace UpdateNew;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring path = fuzz::WriteInput("urls.txt", data, size);
    UpdateConfig config;
    try {
        config.readUrlFile(path);
    } catch (const Exception&) {
    }
    return 0;
}
