#include "base/Console.h"

#include <unistd.h>

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "base/Conv.h"
#include "base/FormatConverter.h"

namespace UpdateNew {

void ConsolePrintf(const wchar_t* format, ...) {
    UpdateNew::FormatConverter converted(format);
    std::vector<wchar_t> buf(512);
    for (int attempt = 0; attempt < 8; ++attempt) {
        va_list args;
        va_start(args, format);
        int n = std::vswprintf(buf.data(), buf.size(), converted.c_str(), args);
        va_end(args);
        if (n >= 0) {
            std::string bytes = ToMultibyte(std::wstring(buf.data(), static_cast<size_t>(n)));
            (void)!::write(STDOUT_FILENO, bytes.data(), bytes.size());
            return;
        }
        buf.resize(buf.size() * 4);  // too long (or unconvertible): grow, a bounded number of times
    }
}

}  // namespace UpdateNew
