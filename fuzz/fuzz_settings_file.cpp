// The settings file reader (key=value lines kept in the connection options store).
#include "FuzzInput.h"
#include "base/Exception.h"
#include "config/UpdateConfig.h"
#include "net/ConnectionOptions.h"

using namespace UpdateNew;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring path = fuzz::WriteInput("settings.conf", data, size);
    ConnectionOptions store;
    store.SetWide(UpdateConfig::kSettingsFileName, path, true);
    store.SetWide(UpdateConfig::kSettingTempDir, L"/tmp", true);
    UpdateConfig config;
    try {
        config.initSettings(&store);
    } catch (const Exception&) {
    }
    return 0;
}
