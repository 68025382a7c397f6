#include "install/ModulePathList.h"

#include <cstring>

namespace UpdateNew {

namespace {

// The end of the line that begins at `start` (its '\n', or the text's end).
size_t LineEnd(const std::string& text, size_t start) {
    const size_t end = text.find('\n', start);
    return end == std::string::npos ? text.size() : end;
}

}  // namespace

void ModulePathList::add(std::string_view module, std::string_view path) {
    m_starts.push_back(m_text.size());
    m_text.append(module);
    m_text += '\t';
    m_text.append(path);
    m_text += '\n';
}

void ModulePathList::assign(std::string text, size_t from) {
    m_text = std::move(text);
    m_starts.clear();
    for (size_t start = from; start < m_text.size();) {
        const size_t end = LineEnd(m_text, start);
        const void* tab = std::memchr(m_text.data() + start, '\t', end - start);
        if (tab != nullptr && static_cast<const char*>(tab) + 1 < m_text.data() + end)
            m_starts.push_back(start);
        start = end + 1;
    }
}

void ModulePathList::clear() {
    m_text.clear();
    m_starts.clear();
}

std::string_view ModulePathList::module(size_t index) const {
    const size_t start = m_starts[index];
    return std::string_view(m_text.data() + start, m_text.find('\t', start) - start);
}

std::string_view ModulePathList::path(size_t index) const {
    const size_t tab = m_text.find('\t', m_starts[index]);
    return std::string_view(m_text.data() + tab + 1, LineEnd(m_text, tab) - tab - 1);
}

}  // namespace UpdateNew
