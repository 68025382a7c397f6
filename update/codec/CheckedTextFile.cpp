#include "codec/CheckedTextFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

#include "base/Conv.h"
#include "base/SafeFile.h"
#include "codec/FileDigest.h"
#include "codec/Md5.h"

namespace UpdateNew {

namespace {

// Reads and checks the file, handing every digested line (with its LF, when it has one)
// to `store`, which answers false when the line does not fit.
int ReadChecked(const std::wstring& path, const std::function<bool(const char*, size_t)>& store) {
    std::string name = ToMultibyte(path);
    if (name.empty()) return -1;
    FILE* fp = nullptr;
    if (OpenRegularStream(name, fp) != 0) return -1;

    Md5 md5;
    char* line = nullptr;
    size_t capacity = 0;
    int count = 0;
    int result = -1;
    for (;;) {
        ssize_t len = ::getline(&line, &capacity, fp);
        if (len < 0) break;  // end of file (or a read error) before any digest line
        if (line[0] == '<') {
            const size_t after = static_cast<size_t>(len) - 1;
            if (after >= 33) {
                unsigned char digest[Md5::kSize];
                md5.Final(digest);
                std::wstring computed = DigestToText(digest);
                std::wstring stated(line + 1, line + 33);
                unsigned char a[16], b[16];
                if (TextToDigest(stated, a) && TextToDigest(computed, b) &&
                    std::memcmp(a, b, sizeof a) == 0) {
                    result = count;
                }
            }
            break;
        }
        if (len >= 2 && line[len - 2] == '\r' && line[len - 1] == '\n') {
            line[len - 2] = '\n';
            line[--len] = '\0';
        }
        md5.Update(line, static_cast<size_t>(len));
        if (!store(line, static_cast<size_t>(len))) break;
        ++count;
    }
    std::free(line);
    std::fclose(fp);
    return result;
}

}  // namespace

int ReadCheckedTextFile(const std::wstring& path, char* pszBuf, size_t nBufSize) {
    size_t used = 0;
    return ReadChecked(path, [&](const char* line, size_t len) {
        if (pszBuf == nullptr || len + 1 > nBufSize - used) return false;
        std::memcpy(pszBuf + used, line, len + 1);
        used += len + 1;
        return true;
    });
}

int ReadCheckedTextFile(const std::wstring& path, std::vector<std::string>& lines,
                        size_t maxBytes) {
    lines.clear();
    size_t total = 0;
    int result = ReadChecked(path, [&](const char* line, size_t len) {
        total += len;
        if (total > maxBytes) return false;
        if (len > 0 && line[len - 1] == '\n') --len;
        lines.emplace_back(line, len);
        return true;
    });
    if (result < 0) lines.clear();
    return result;
}

int ReadCheckedTextFile(const std::wstring& path) {
    return ReadChecked(path, [](const char*, size_t) { return true; });
}

int WriteCheckedTextFile(const std::wstring& path, const std::vector<std::string>& lines) {
    std::string content;
    for (const std::string& line : lines) {
        if (line.find('\n') != std::string::npos || (!line.empty() && line[0] == '<'))
            return EINVAL;
        content += line;
        content += '\n';
    }
    const std::wstring digest = GetDataMD5(content.data(), content.size());
    content += '<';
    content.append(digest.begin(), digest.end());
    content += '\n';

    std::string name;
    if (!WideToMultibyte(path, name) || name.empty()) return EILSEQ;
    // One fixed temporary name ("<name>.new"): a write cut short (a kill, a power cut)
    // leaves at most this one file, which the next write replaces, where random names would
    // pile up. It is made anew, never written through whatever was planted under that name.
    const int error = ReplaceFile(name, content, 0644);
    return error;
}

}  // namespace UpdateNew
