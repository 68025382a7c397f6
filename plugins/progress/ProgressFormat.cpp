#include "ProgressFormat.h"

#include <cwchar>

std::wstring FormatBytes(unsigned long bytes) {
    static const wchar_t* const kUnits[] = {L"B", L"KiB", L"MiB", L"GiB", L"TiB"};
    wchar_t text[32];
    if (bytes < 1024) {
        std::swprintf(text, 32, L"%lu B", bytes);
        return text;
    }
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        ++unit;
    }
    std::swprintf(text, 32,
                  value < 10.0    ? L"%.2f %ls"
                  : value < 100.0 ? L"%.1f %ls"
                                  : L"%.0f %ls",
                  value, kUnits[unit]);
    return text;
}

std::wstring FormatRate(unsigned long bytes, double seconds) {
    if (seconds <= 0.0) return L"-";
    const double rate = static_cast<double>(bytes) / seconds;
    return FormatBytes(static_cast<unsigned long>(rate + 0.5)) + L"/s";
}

std::wstring FormatSeconds(double seconds) {
    wchar_t text[48];
    if (seconds < 0.0) seconds = 0.0;
    if (seconds < 10.0) {
        std::swprintf(text, 48, L"%.1f s", seconds);
    } else if (seconds < 60.0) {
        std::swprintf(text, 48, L"%.0f s", seconds);
    } else {
        const unsigned long whole = static_cast<unsigned long>(seconds);
        std::swprintf(text, 48, L"%lu min %02lu s", whole / 60, whole % 60);
    }
    return text;
}

int Percent(unsigned long done, unsigned long total) {
    if (total == 0) return 0;
    if (done >= total) return 100;
    return static_cast<int>(static_cast<double>(done) * 100.0 / static_cast<double>(total));
}

std::wstring FormatBar(unsigned long done, unsigned long total, int width) {
    if (width < 3) width = 3;
    const int inner = width - 2;
    int filled = 0;
    if (total > 0) {
        filled =
            done >= total
                ? inner
                : static_cast<int>(static_cast<double>(done) * inner / static_cast<double>(total));
    }
    return L"[" + std::wstring(static_cast<size_t>(filled), L'#') +
           std::wstring(static_cast<size_t>(inner - filled), L'.') + L"]";
}
