// The configuration file reader (updater.conf: key = value lines, sections, comments):
// any content is read or refused with a critical error, never more.
#include "FuzzInput.h"
#include "base/Exception.h"
#include "config/UpdateConfig.h"

using namespace UpdateNew;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring path = fuzz::WriteInput("updater.conf", data, size);
    UpdateConfig config;
    try {
        config.readConfigFile(path);
    } catch (const Exception&) {
    }
    return 0;
}
