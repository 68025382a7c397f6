#include "base/PathList.h"

#include <algorithm>

namespace UpdateNew {

namespace {

// Marks a character stored as its four bytes, lowest first.
const unsigned char kWide = 0x80;

void AppendPacked(const std::wstring& path, std::string& bytes) {
    for (const wchar_t c : path) {
        const uint32_t code = static_cast<uint32_t>(c);
        if (code < kWide) {
            bytes.push_back(static_cast<char>(code));
            continue;
        }
        bytes.push_back(static_cast<char>(kWide));
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<char>((code >> shift) & 0xFF));
    }
}

std::wstring Unpacked(const char* bytes, size_t size) {
    std::wstring path;
    path.reserve(size);
    for (size_t i = 0; i < size; ++i) {
        const unsigned char byte = static_cast<unsigned char>(bytes[i]);
        if (byte != kWide) {
            path.push_back(static_cast<wchar_t>(byte));
            continue;
        }
        uint32_t code = 0;
        for (int shift = 0; shift < 32 && i + 1 < size; shift += 8)
            code |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[++i])) << shift;
        path.push_back(static_cast<wchar_t>(code));
    }
    return path;
}

}  // namespace

std::string PathList::Pack(const std::wstring& path) {
    std::string bytes;
    AppendPacked(path, bytes);
    return bytes;
}

std::wstring PathList::Unpack(const std::string& bytes) {
    return Unpacked(bytes.data(), bytes.size());
}

void PathList::push_back(const std::wstring& path) {
    pushPacked(Pack(path));
}

void PathList::pushPacked(const std::string& bytes) {
    // A path never straddles two chunks: a full chunk is left as it is and a new one
    // begins, so that the buffer grows without copying what it holds.
    if (m_chunks.empty() || m_chunks.back().size() + bytes.size() > m_chunks.back().capacity()) {
        m_chunks.emplace_back();
        m_chunks.back().reserve(std::max(kChunkBytes, bytes.size()));
    }
    m_chunks.back() += bytes;
    m_ends.push_back({static_cast<uint32_t>(m_chunks.size() - 1),
                      static_cast<uint32_t>(m_chunks.back().size())});
}

std::wstring PathList::operator[](size_t index) const {
    const End& end = m_ends[index];
    const size_t begin =
        index > 0 && m_ends[index - 1].chunk == end.chunk ? m_ends[index - 1].offset : 0;
    return Unpacked(m_chunks[end.chunk].data() + begin, end.offset - begin);
}

void PathList::splice(PathList& other) {
    if (empty()) {
        m_chunks.swap(other.m_chunks);
        m_ends.swap(other.m_ends);
    } else {
        for (size_t i = 0; i < other.size(); ++i) {
            const End& end = other.m_ends[i];
            const size_t begin =
                i > 0 && other.m_ends[i - 1].chunk == end.chunk ? other.m_ends[i - 1].offset : 0;
            pushPacked(other.m_chunks[end.chunk].substr(begin, end.offset - begin));
        }
    }
    other.clear();
}

void PathList::clear() {
    std::vector<std::string>().swap(m_chunks);
    std::vector<End>().swap(m_ends);
}

}  // namespace UpdateNew
