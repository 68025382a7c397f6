// PathList keeps a long list of paths compactly: all of them in a few byte buffers, each
// ASCII character as one byte and any other character as an escape byte and its four
// bytes, plus the end offset of each path. A run may list hundreds of thousands of
// temporary files; as wide strings, each would cost several hundred bytes. Reading a path
// gives back the very wide string that was added, whatever the locale.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace UpdateNew {

class PathList {
public:
    // Iterates the paths in list order; dereferencing builds the path (a value).
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::wstring;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = std::wstring;

        const_iterator(const PathList* list, size_t index) : m_list(list), m_index(index) {}
        std::wstring operator*() const { return (*m_list)[m_index]; }
        const_iterator& operator++() {
            ++m_index;
            return *this;
        }
        bool operator==(const const_iterator& other) const { return m_index == other.m_index; }
        bool operator!=(const const_iterator& other) const { return m_index != other.m_index; }

    private:
        const PathList* m_list;
        size_t m_index;
    };

    // A path in the list's byte form, and back: a compact key for maps of many paths.
    static std::string Pack(const std::wstring& path);
    static std::wstring Unpack(const std::string& bytes);

    void push_back(const std::wstring& path);
    std::wstring operator[](size_t index) const;
    size_t size() const { return m_ends.size(); }
    bool empty() const { return m_ends.empty(); }
    // Empties the list and gives its memory back.
    void clear();
    // Appends the paths of `other` and empties it; an empty list takes them over without
    // a copy.
    void splice(PathList& other);

    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, m_ends.size()); }
    std::vector<std::wstring> ToVector() const { return {begin(), end()}; }

private:
    // The bytes are kept in chunks of this size, which are never reallocated: a list of
    // tens of MB grows without a copy of itself and without spare capacity beyond one chunk.
    static constexpr size_t kChunkBytes = 256 * 1024;
    // Per path: its chunk and the offset after its last byte there; it begins where the
    // path before it ends, or at the chunk's start.
    struct End {
        uint32_t chunk;
        uint32_t offset;
    };

    void pushPacked(const std::string& bytes);

    std::vector<std::string> m_chunks;
    std::vector<End> m_ends;
};

}  // namespace UpdateNew
