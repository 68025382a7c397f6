#include "base/PathList.h"

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
    AppendPacked(path, m_bytes);
    m_ends.push_back(m_bytes.size());
}

std::wstring PathList::operator[](size_t index) const {
    const size_t begin = index == 0 ? 0 : m_ends[index - 1];
    return Unpacked(m_bytes.data() + begin, m_ends[index] - begin);
}

void PathList::splice(PathList& other) {
    if (empty()) {
        m_bytes.swap(other.m_bytes);
        m_ends.swap(other.m_ends);
    } else {
        const size_t base = m_bytes.size();
        m_bytes += other.m_bytes;
        for (const size_t end : other.m_ends) m_ends.push_back(base + end);
    }
    other.clear();
}

void PathList::clear() {
    std::string().swap(m_bytes);
    std::vector<size_t>().swap(m_ends);
}

}  // namespace UpdateNew
