// The message file loader and formatter: a damaged or hostile update_msg.lqr must be
// refused or formatted within its bounds, with every parameter type.
#include <cstdlib>

#include "FuzzInput.h"
#include "msgres/MsgRes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = ToMultibyte(fuzz::WriteInput("messages.lqr", data, size));
    void* handle = nullptr;
    if (MsgResOpen(path.c_str(), &handle) != MSGRES_OK) return 0;
    // The first messages with a full set of parameters, too few and too many, into an
    // allocated result and into a small caller's buffer.
    for (unsigned number = 0; number < 64; ++number) {
        wchar_t* text = nullptr;
        if (MsgResFormat(handle, number, 4, &text, 0, 7, L"wide", 6, "narrow", 1, -5, 3,
                         4000000000UL) >= MSGRES_OK ||
            text) {
            std::free(text);
        }
        text = nullptr;
        MsgResFormat(handle, number, 0, &text, 0);
        std::free(text);
        text = nullptr;
        MsgResFormat(handle, number, 3, &text, 0, 4, 'c', 5, L'w', 2, 123456789L);
        std::free(text);
        wchar_t small[8];
        wchar_t* buffer = small;
        MsgResFormat(handle, number, 1, &buffer, sizeof small, 7, L"a longer parameter text");
    }
    MsgResClose(handle);
    return 0;
}
