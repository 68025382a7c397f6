#include "base/ProgramInfo.h"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>

#include "base/Conv.h"

namespace UpdateNew {

namespace {

constexpr size_t kPathBuffer = 4096;

std::wstring g_commandLine;

}  // namespace

std::string ReadRawExecutablePath(const std::string& procLink) {
    char buffer[kPathBuffer] = {};
    ssize_t n = readlink(procLink.c_str(), buffer, sizeof buffer - 1);
    if (n > 0) return std::string(buffer, static_cast<size_t>(n));
    if (const char* env = std::getenv("EXE_NAME")) {
        return std::string(env).substr(0, kPathBuffer - 1);
    }
    return std::string();
}

std::wstring GetUpdaterPath() {
    // Resolved once per process, at start-up: EXE_NAME only matters then, and a
    // self-update may replace (or a command remove) the file later, while the restart
    // still needs the path the updater was started from.
    static const std::wstring path = [] {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/%lu/exe", static_cast<unsigned long>(getpid()));
        const std::string raw = ReadRawExecutablePath(link);
        char resolved[PATH_MAX];
        if (raw.empty() || !realpath(raw.c_str(), resolved)) return std::wstring();
        return FromMultibyte(resolved);
    }();
    return path;
}

std::wstring GetUpdaterDir() {
    std::wstring path = GetUpdaterPath();
    size_t slash = path.rfind(L'/');
    if (slash == std::wstring::npos) return std::wstring();
    return path.substr(0, slash + 1);
}

std::wstring BuildCommandLineText(int argc, const wchar_t* const* argv, bool hidePasswords) {
    std::wstring text;
    for (int i = 0; i < argc; ++i) {
        std::wstring argument = argv[i];
        if (hidePasswords) {
            // A password with blanks is one argument here: all of it goes.
            const std::wstring hidden = HidePasswords(argument);
            if (hidden != argument) argument = hidden.substr(0, hidden.find(L"***") + 3);
        }
        // An argument with blanks is quoted, so that the text splits back into the same
        // arguments (the self-update restarts the updater from it).
        const bool quote = argument.find_first_of(L" \t") != std::wstring::npos &&
                           argument.find(L'"') == std::wstring::npos;
        text += quote ? L'"' + argument + L'"' : argument;
        text += L' ';
    }
    return text;
}

void SetCommandLineText(const std::wstring& text) {
    g_commandLine = text;
}

const std::wstring& GetCommandLineText() {
    return g_commandLine;
}

std::wstring HidePasswords(const std::wstring& text) {
    static const std::wstring kKey = L"userpass=";
    std::wstring out = text;
    size_t at = 0;
    for (;;) {
        auto found = std::search(
            out.begin() + static_cast<std::ptrdiff_t>(at), out.end(), kKey.begin(), kKey.end(),
            [](wchar_t a, wchar_t b) { return static_cast<wchar_t>(std::towlower(a)) == b; });
        if (found == out.end()) return out;
        const size_t value = static_cast<size_t>(found - out.begin()) + kKey.size();
        // The value ends where the argument does: at the quote that closes a quoted one,
        // else at a blank.
        const size_t token = out.find_last_of(L' ', value);
        const bool quoted = out[token == std::wstring::npos ? 0 : token + 1] == L'"';
        size_t end = value;
        while (end < out.size() && out[end] != L'"' && (quoted || out[end] != L' ')) ++end;
        out.replace(value, end - value, L"***");
        at = value + 3;
    }
}

bool HideUrlPasswords(std::string& text) {
    // Nearly every text has no address with a user in it.
    if (text.find('@') == std::string::npos) return false;
    bool hidden = false;
    size_t at = 0;
    while ((at = text.find("://", at)) != std::string::npos) {
        // The user part ends at the first "@" of the address's host part.
        const size_t start = at + 3;
        size_t end = start;
        while (end < text.size() && !std::strchr("/@ \t\n\"'<>", text[end])) ++end;
        const size_t colon = text.find(':', start);
        if (end < text.size() && text[end] == '@' && colon < end &&
            text.compare(colon + 1, end - colon - 1, "***") != 0) {
            text.replace(colon + 1, end - colon - 1, "***");
            hidden = true;
            end = colon + 4;
        }
        at = end;
    }
    return hidden;
}

}  // namespace UpdateNew
