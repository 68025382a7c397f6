// The signed master index: the input as a checked text file, its lines read for the signed
// fields and checked for freshness; the same input read as a trusted state.
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "codec/CheckedTextFile.h"
#include "product/SignedIndex.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring path = fuzz::WriteInput("master.idx", data, size);
    std::vector<std::string> lines;
    if (ReadCheckedTextFile(path, lines, kSignedIndexMaxBytes) >= 0) {
        SignedIndex index;
        std::string bad;
        if (ParseSignedIndex(lines, index, bad) == SignedIndexParse::kOk) {
            const std::vector<std::string> again = index.Lines();
            SignedIndex reread;
            if (ParseSignedIndex(again, reread, bad) != SignedIndexParse::kOk) std::abort();
            (void)CheckIndexFreshness(index, std::string(64, 'a'), TrustState(), 0);
        }
    }
    TrustState state;
    (void)ReadTrustState(path, state);
    return 0;
}
