// Path variable expansion: definitions ("NAME=value" lines) up to the first empty line,
// then the text to expand, with and without the environment and "./" removal.
#include <string>

#include "FuzzInput.h"
#include "base/Exception.h"
#include "config/PathVariables.h"

using namespace UpdateNew;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring input = fuzz::WideText(data, size);
    const size_t split = input.find(L"\n\n");
    const std::wstring definitions = input.substr(0, split);
    const std::wstring text = split == std::wstring::npos ? input : input.substr(split + 2);
    PathVariables variables;
    try {
        size_t start = 0;
        while (start <= definitions.size()) {
            const size_t end = definitions.find(L'\n', start);
            const std::wstring pair = definitions.substr(start, end - start);
            if (!pair.empty()) variables.addVariablePair(pair);
            if (end == std::wstring::npos) break;
            start = end + 1;
        }
    } catch (const Exception&) {
    }
    for (int mode = 0; mode < 4; ++mode) {
        std::wstring expanded = text;
        try {
            variables.expandVariables(expanded, mode & 1, mode & 2);
        } catch (const Exception&) {
        }
    }
    return 0;
}
