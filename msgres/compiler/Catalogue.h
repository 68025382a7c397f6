// The human-editable message catalogue (update_msg.txt) as the compiler reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace msgc {

struct Placeholder {
    std::uint32_t param;   // 1-based parameter number
    std::uint32_t offset;  // byte offset in the UTF-8 text where it is inserted
};

struct Message {
    std::uint32_t number = 0;
    std::string text;                       // UTF-8, placeholders removed, "%%" turned into "%"
    std::uint32_t wideLength = 0;           // code points of `text`
    std::uint32_t params = 0;               // highest placeholder number
    std::vector<Placeholder> placeholders;  // ascending by offset
    int line = 0;
};

// The highest message number the compiler accepts, so that the directory (16 bytes a
// number) stays small.
constexpr std::uint32_t kMaxNumber = 99999;

// Parses the catalogue text. On success returns true with the messages sorted by
// number; otherwise false with every problem in `errors`, each as "name:line: what".
bool ParseCatalogue(const std::string& content, const std::string& name,
                    std::vector<Message>& messages, std::vector<std::string>& errors);

}  // namespace msgc
