// UnpackedFile is a decompressed module file made ahead of the download loop (see
// UnpackAhead), with the size and MD5 digest text of its content, computed while it was
// written. It owns the file: unless the loop takes it (Take), the file goes with the
// object. Movable, not copyable.
#pragma once

#include <string>

namespace UpdateNew {

class UnpackedFile {
public:
    UnpackedFile() = default;
    UnpackedFile(std::string path, unsigned long long size, std::wstring md5)
        : m_path(std::move(path)), m_size(size), m_md5(std::move(md5)) {}
    UnpackedFile(UnpackedFile&& other) noexcept { *this = std::move(other); }
    UnpackedFile& operator=(UnpackedFile&& other) noexcept;
    UnpackedFile(const UnpackedFile&) = delete;
    UnpackedFile& operator=(const UnpackedFile&) = delete;
    ~UnpackedFile() { Drop(); }

    bool empty() const { return m_path.empty(); }
    unsigned long long size() const { return m_size; }
    const std::wstring& md5() const { return m_md5; }
    // Renames the file to `target`; false (and the file is gone) when that cannot be done,
    // for one on another file system.
    bool Take(const std::string& target);
    // Removes the file.
    void Drop();

private:
    std::string m_path;
    unsigned long long m_size = 0;
    std::wstring m_md5;
};

}  // namespace UpdateNew
