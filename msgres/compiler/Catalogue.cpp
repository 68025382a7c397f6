#include "Catalogue.h"

#include <algorithm>
#include <map>

namespace msgc {
namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not a valid,
// shortest-form encoding of a Unicode scalar value.
std::size_t Utf8SequenceLength(const std::string& s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c < 0x80) return 1;
    std::size_t len;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

// Parses one message text; returns an empty string or the problem.
std::string ParseText(const std::string& raw, Message& m) {
    std::uint32_t used = 0;  // bit k set: placeholder %k+1 appears
    for (std::size_t i = 0; i < raw.size();) {
        const unsigned char c = static_cast<unsigned char>(raw[i]);
        if (c == '%') {
            if (i + 1 >= raw.size())
                return "a lone \"%\" ends the text (write \"%%\" for a literal \"%\")";
            const char next = raw[i + 1];
            if (next == '%') {
                m.text += '%';
                ++m.wideLength;
            } else if (next >= '1' && next <= '4') {
                const std::uint32_t n = static_cast<std::uint32_t>(next - '0');
                m.placeholders.push_back({n, static_cast<std::uint32_t>(m.text.size())});
                used |= 1u << (n - 1);
                m.params = std::max(m.params, n);
            } else {
                return std::string("malformed placeholder \"%") + next +
                       "\": use %1 to %4, or \"%%\" for a literal \"%\"";
            }
            i += 2;
            continue;
        }
        if (c < 0x20 && c != '\t') return "control character in the text";
        const std::size_t len = Utf8SequenceLength(raw, i);
        if (len == 0) return "the text is not valid UTF-8";
        m.text.append(raw, i, len);
        ++m.wideLength;
        i += len;
    }
    for (std::uint32_t k = 1; k < m.params; ++k) {
        if (!(used & (1u << (k - 1))))
            return "placeholder %" + std::to_string(m.params) + " is used but %" +
                   std::to_string(k) + " is not";
    }
    return std::string();
}

}  // namespace

bool ParseCatalogue(const std::string& content, const std::string& name,
                    std::vector<Message>& messages, std::vector<std::string>& errors) {
    std::map<std::uint32_t, int> seen;  // number -> line of its first definition
    int lineNo = 0;
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(start, end - start);
        start = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;

        const auto fail = [&](const std::string& what) {
            errors.push_back(name + ":" + std::to_string(lineNo) + ": " + what);
        };
        const std::size_t tab = line.find('\t');
        const std::string digits = line.substr(0, tab);
        if (tab == std::string::npos || digits.empty() ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            fail("expected a message number, a TAB and the text");
            continue;
        }
        if (digits.size() > 5 || std::stoul(digits) > kMaxNumber) {
            fail("message number " + digits + " is above " + std::to_string(kMaxNumber));
            continue;
        }
        Message m;
        m.number = static_cast<std::uint32_t>(std::stoul(digits));
        m.line = lineNo;
        const auto previous = seen.find(m.number);
        if (previous != seen.end()) {
            fail("duplicate message number " + digits + " (first defined at line " +
                 std::to_string(previous->second) + ")");
            continue;
        }
        seen.emplace(m.number, lineNo);
        const std::string problem = ParseText(line.substr(tab + 1), m);
        if (!problem.empty()) {
            fail("message " + digits + ": " + problem);
            continue;
        }
        messages.push_back(std::move(m));
    }
    if (errors.empty() && messages.empty()) errors.push_back(name + ": no messages");
    std::sort(messages.begin(), messages.end(),
              [](const Message& a, const Message& b) { return a.number < b.number; });
    return errors.empty();
}

}  // namespace msgc
