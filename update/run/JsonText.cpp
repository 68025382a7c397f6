#include "run/JsonText.h"

#include <cstdio>
#include <ctime>

#include "base/Conv.h"

namespace UpdateNew {

std::string JsonString(const std::wstring& text) {
    const std::string utf8 = WideToUtf8(text);
    std::string out = "\"";
    for (const char c : utf8) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (u < 0x20 || u == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string JsonStrings(const std::vector<std::wstring>& texts) {
    std::string out = "[";
    for (size_t i = 0; i < texts.size(); ++i) out += (i ? ", " : "") + JsonString(texts[i]);
    return out + "]";
}

std::string UtcTimeText(long long seconds) {
    if (seconds == 0) return std::string();
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc{};
    if (::gmtime_r(&t, &utc) == nullptr) return std::string();
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

}  // namespace UpdateNew
