#include "codec/FileInfo.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Messages.h"
#include "codec/FileDigest.h"

namespace UpdateNew {

// A broken precondition cannot be answered sensibly: end with a diagnostic, in every build.
#define SIMPLEFILE_REQUIRE(cond)                                                                 \
    do {                                                                                         \
        if (!(cond)) {                                                                           \
            std::fprintf(stderr, "%s:%d: precondition failed: %s\n", __FILE__, __LINE__, #cond); \
            std::fflush(stderr);                                                                 \
            std::abort();                                                                        \
        }                                                                                        \
    } while (0)

namespace {

bool StatPath(const std::wstring& path, struct stat& st) {
    std::string name = ToMultibyte(path);
    return !name.empty() && ::stat(name.c_str(), &st) == 0;
}

}  // namespace

bool FileInfo::SetPath(const std::wstring& path) {
    m_path = path;
    struct stat st;
    m_exists = StatPath(path, st);
    m_size = m_exists ? st.st_size : 0;
    m_atime = m_exists ? st.st_atime : 0;
    m_mtime = m_exists ? st.st_mtime : 0;
    m_ctime = m_exists ? st.st_ctime : 0;
    return m_exists;
}

std::wstring FileInfo::GetMD5(bool /*skipPEAreas*/) const {
    // No PE areas are found on this platform: the whole file is digested.
    return GetFileMD5(m_path);
}

bool CompareFilesByMD5(const FileInfo& a, const FileInfo& b) {
    if (&a == &b) return true;
    struct stat st;
    if (!StatPath(a.GetPath(), st) || !StatPath(b.GetPath(), st)) return false;
    std::wstring da = a.GetMD5();
    if (da.empty()) return false;
    return da == b.GetMD5();
}

CSimpleFile::~CSimpleFile() {
    if (m_fp != nullptr) std::fclose(m_fp);
}

void CSimpleFile::Open(const std::wstring& path, const std::wstring& mode) {
    SIMPLEFILE_REQUIRE(m_fp == nullptr);
    std::string name, narrowMode;
    errno = EILSEQ;
    if (WideToMultibyte(path, name) && WideToMultibyte(mode, narrowMode))
        m_fp = std::fopen(name.c_str(), (narrowMode + "e").c_str());  // close-on-exec
    if (m_fp == nullptr) {
        const int error = errno;
        THROW_ERROR(MsgLib<2>(path, SystemErrorText(error)), error);
    }
    m_path = path;
}

void CSimpleFile::Close() {
    SIMPLEFILE_REQUIRE(m_fp != nullptr);
    FILE* fp = m_fp;
    m_fp = nullptr;
    if (std::fclose(fp) != 0) {
        const int error = errno;
        THROW_ERROR(MsgLib<3>(m_path, SystemErrorText(error)), error);
    }
}

int CSimpleFile::Read(char* pchData, int nNum) {
    SIMPLEFILE_REQUIRE(m_fp != nullptr);
    SIMPLEFILE_REQUIRE(pchData != nullptr);
    SIMPLEFILE_REQUIRE(nNum > 0);
    size_t n = std::fread(pchData, 1, static_cast<size_t>(nNum), m_fp);
    if (n < static_cast<size_t>(nNum) && std::ferror(m_fp)) {
        const int error = errno;
        std::clearerr(m_fp);
        THROW_ERROR(MsgLib<4>(m_path, SystemErrorText(error)), error);
    }
    return static_cast<int>(n);
}

bool CSimpleFile::ReadLine(std::wstring& line) {
    SIMPLEFILE_REQUIRE(m_fp != nullptr);
    char* buf = nullptr;
    size_t capacity = 0;
    ssize_t len = ::getline(&buf, &capacity, m_fp);
    if (len < 0) {
        const int error = errno;
        std::free(buf);
        if (std::ferror(m_fp)) {
            std::clearerr(m_fp);
            THROW_ERROR(MsgLib<4>(m_path, SystemErrorText(error)), error);
        }
        return false;
    }
    std::string text(buf, static_cast<size_t>(len));
    std::free(buf);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    // Text that is not valid in the locale still comes through, as UTF-8 or replacement.
    if (!MultibyteToWide(text, line)) line = Utf8ToWide(text);
    return true;
}

void CSimpleFile::Write(const char* pchData, int nNum) {
    SIMPLEFILE_REQUIRE(m_fp != nullptr);
    SIMPLEFILE_REQUIRE(nNum >= 0);
    SIMPLEFILE_REQUIRE(pchData != nullptr || nNum == 0);
    if (nNum == 0) return;
    if (std::fwrite(pchData, 1, static_cast<size_t>(nNum), m_fp) != static_cast<size_t>(nNum)) {
        const int error = errno;
        std::clearerr(m_fp);
        THROW_ERROR(MsgLib<5>(m_path, SystemErrorText(error)), error);
    }
}

void CSimpleFile::WriteLine(const std::wstring& line) {
    SIMPLEFILE_REQUIRE(m_fp != nullptr);
    std::string text;
    if (!WideToMultibyte(line, text))
        THROW_ERROR(MsgLib<5>(m_path, SystemErrorText(EILSEQ)), EILSEQ);
    text.push_back('\n');
    Write(text.data(), static_cast<int>(text.size()));
}

void CSimpleFile::Seek(long offset, int whence) {
    SIMPLEFILE_REQUIRE(m_fp != nullptr);
    if (std::fseek(m_fp, offset, whence) != 0) {
        const int error = errno;
        THROW_ERROR(MsgLib<6>(m_path, SystemErrorText(error)), error);
    }
}

void CSimpleFile::SetStartPos() {
    Seek(0, SEEK_SET);
}
void CSimpleFile::SetEndPos() {
    Seek(0, SEEK_END);
}
void CSimpleFile::SetPos(long offset) {
    Seek(offset, SEEK_SET);
}

}  // namespace UpdateNew
