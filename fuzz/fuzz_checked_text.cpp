// The checked text file reader (the master index form): all three forms over one input,
// the fixed-buffer form with a buffer just too small and one large enough.
#include <string>
#include <vector>

#include "FuzzInput.h"
#include "codec/CheckedTextFile.h"

using namespace UpdateNew;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring path = fuzz::WriteInput("master.idx", data, size);
    (void)ReadCheckedTextFile(path);
    std::vector<std::string> lines;
    (void)ReadCheckedTextFile(path, lines);
    (void)ReadCheckedTextFile(path, lines, size / 2);
    // Heap buffers of exact sizes, so any write past them is caught.
    for (size_t capacity : {size_t(0), size_t(1), size / 2, size + 1}) {
        std::vector<char> buffer(capacity);
        (void)ReadCheckedTextFile(path, capacity ? buffer.data() : nullptr, capacity);
    }
    return 0;
}
