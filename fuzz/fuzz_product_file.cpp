// The product file parser: server list, update root, product info path and hashes as a
// default server sends them.
#include <sys/stat.h>

#include "FuzzInput.h"
#include "base/Exception.h"
#include "config/UpdateConfig.h"
#include "download/DownloadServersHandler.h"

using namespace UpdateNew;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring path = fuzz::WriteInput("product.txt", data, size);
    UpdateConfig config;
    config.cCallbacks().LoadLib(L"");
    config.cCallbacks().LoadGuiLib(L"");
    config.setInstallPath(FromMultibyte(fuzz::ScratchDir()));
    config.setTempDir(FromMultibyte(fuzz::ScratchDir()));
    config.setDefaultServer(L"/nowhere");
    config.setMasterIdx(L"idx/master.idx");
    config.setProductFile(L"prod/product.txt");
    config.setVariable(L"VER", L"7.1");
    try {
        CDownloadServersHandler handler(&config, nullptr);
        handler.ParseProductFile(path);
        (void)handler.GetUpdateRootAddress();
        (void)handler.GetProductInfoAddress();
    } catch (const Exception&) {
    }
    return 0;
}
