// The command-line tokenizer of module commands: tokens and quotes from the product info.
#include <string>

#include "FuzzInput.h"
#include "base/RunProcess.h"

using namespace UpdateNew;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring line = fuzz::WideText(data, size);
    int count = -1;
    std::wstring tokens[kMaxCommandTokens];
    const int rc = SplitCommandLine(line, count, tokens);
    // A line of blanks only gives no token at all; anything else at least one.
    if (rc == 0 && (count < 0 || count > kMaxCommandTokens)) __builtin_trap();
    if (rc != 0 && count != 0) __builtin_trap();
    return 0;
}
