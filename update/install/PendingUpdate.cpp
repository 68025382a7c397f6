#include "install/PendingUpdate.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Messages.h"

namespace UpdateNew {

namespace {

const char kPostKey[] = "Post=";

[[noreturn]] void ThrowWriteError(int libMessage, const std::wstring& path, int error) {
    const std::wstring reason = SystemErrorText(error);
    if (libMessage == 5) THROW_ERROR(MsgLib<5>(path, reason), error);
    THROW_ERROR(MsgLib<26>(path, reason), error);
}

}  // namespace

std::wstring OwedPostsTempFile(const std::wstring& marker) {
    return marker + L".new";
}

std::vector<std::wstring> ReadOwedPosts(const std::wstring& marker) {
    std::vector<std::wstring> names;
    const int fd = ::open(ToMultibyte(marker).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return names;
    std::string text;
    char buf[4096];
    while (text.size() < kPendingRecordMaxBytes) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (text.size() > kPendingRecordMaxBytes) text.resize(kPendingRecordMaxBytes);

    // Only whole lines count: a line without its end was cut by the size limit.
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.compare(0, sizeof kPostKey - 1, kPostKey) != 0) continue;
        const std::wstring name = Utf8ToWide(line.substr(sizeof kPostKey - 1));
        if (!name.empty()) names.push_back(name);
    }
    return names;
}

void WriteOwedPosts(const std::wstring& marker, const std::vector<std::wstring>& modules) {
    std::string text;
    for (const std::wstring& name : modules) text += kPostKey + WideToUtf8(name) + "\n";

    ReplaceStep failed;
    const int error = ReplaceFileContent(ToMultibyte(marker), text, &failed);
    if (error == 0) return;
    const std::wstring temp = OwedPostsTempFile(marker);
    if (failed == ReplaceStep::kWrite) ThrowWriteError(5, temp, error);
    ThrowWriteError(26, failed == ReplaceStep::kOpen ? temp : marker, error);
}

}  // namespace UpdateNew
