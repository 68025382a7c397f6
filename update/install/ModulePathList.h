// A list of (module name, installed path) pairs, UTF-8, kept as the installation record's
// own text: one line "<module>\t<path>\n" per pair, and where each line begins. A product
// of hundreds of thousands of files costs its paths' bytes and one offset per file, not
// two strings per file.
// A value type, used on one thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace UpdateNew {

class ModulePathList {
public:
    // Appends a pair; neither may hold a line break, nor the module a tab (the caller
    // leaves such a pair out).
    void add(std::string_view module, std::string_view path);
    // Takes the lines of `text` from `from` on as the list; a line without a tab, or with
    // nothing after it, is left out.
    void assign(std::string text, size_t from);
    void clear();

    size_t size() const { return m_starts.size(); }
    bool empty() const { return m_starts.empty(); }
    std::string_view module(size_t index) const;
    std::string_view path(size_t index) const;
    // The lines of a list built with add(), as the record holds them.
    const std::string& text() const { return m_text; }

private:
    std::string m_text;
    std::vector<size_t> m_starts;  // where each pair's line begins in m_text
};

}  // namespace UpdateNew
