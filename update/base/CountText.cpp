#include "base/CountText.h"

#include <cwchar>

#include "base/Messages.h"

namespace UpdateNew {

std::wstring FileCountText(unsigned long long count) {
    return count == 1 ? Msg<857>() : Msg<858>(std::to_wstring(count));
}

std::wstring ModuleCountText(unsigned long long count) {
    return count == 1 ? Msg<859>() : Msg<860>(std::to_wstring(count));
}

std::wstring ByteSizeText(unsigned long long bytes) {
    static const wchar_t* const kUnits[] = {L"B", L"KiB", L"MiB", L"GiB", L"TiB"};
    if (bytes < 1024) return std::to_wstring(bytes) + L" B";
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    // Three significant digits: "1.50 KiB", "12.3 MiB", "512 GiB".
    wchar_t text[32];
    std::swprintf(text, 32,
                  value < 10.0    ? L"%.2f %ls"
                  : value < 100.0 ? L"%.1f %ls"
                                  : L"%.0f %ls",
                  value, kUnits[unit]);
    return text;
}

}  // namespace UpdateNew
