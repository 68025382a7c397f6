// Turning a downloaded product info file into XML: gunzip, then deciphering when the
// content is not plain text; and the file decipher alone with the built-in and a given key.
#include <unistd.h>

#include "FuzzInput.h"
#include "base/Exception.h"
#include "codec/FileCipher.h"
#include "codec/ProductInfoDecode.h"

using namespace UpdateNew;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring path = fuzz::WriteInput("product.info.gz", data, size);
    try {
        (void)DecodeProductInfoFile(path);
    } catch (const Exception&) {
    }
    unlink(fuzz::ScratchPath("product.info").c_str());

    const std::wstring source = fuzz::WriteInput("enciphered.bin", data, size);
    const std::wstring target = FromMultibyte(fuzz::ScratchPath("deciphered.bin"));
    for (const char* key : {"", "0123456789abcdef"}) {
        try {
            DecryptFile(source, target, key);
        } catch (const Exception&) {
        }
    }
    unlink(fuzz::ScratchPath("deciphered.bin").c_str());
    return 0;
}
