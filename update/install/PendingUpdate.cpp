#include "install/PendingUpdate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Messages.h"
#include "base/SafeFile.h"
#include "base/TrustedDirectory.h"

namespace UpdateNew {

namespace {

const char kPostKey[] = "Post=";
const char kTmpDirKey[] = "TmpDir=";
const char kBackupDirKey[] = "BackupDir=";

[[noreturn]] void ThrowWriteError(int libMessage, const std::wstring& path, int error) {
    const std::wstring reason = SystemErrorText(error);
    if (libMessage == 5) THROW_ERROR(MsgLib<5>(path, reason), error);
    THROW_ERROR(MsgLib<26>(path, reason), error);
}

}  // namespace

std::wstring OwedPostsTempFile(const std::wstring& marker) {
    return marker + L".new";
}

PendingRecord ReadPendingRecord(const std::wstring& marker) {
    PendingRecord record;
    // Not blocking: a FIFO planted there must not hold the run up.
    const int fd =
        ::open(ToMultibyte(marker).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP) record.distrust = Msg<816>(marker);
        return record;
    }
    record.distrust = FileTrustFault(fd, marker);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return record;
    }
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

    const std::pair<const char*, std::vector<std::wstring>*> keys[] = {
        {kPostKey, &record.owedPosts},
        {kTmpDirKey, &record.tmpDirs},
        {kBackupDirKey, &record.backupDirs}};
    // Only whole lines count: a line without its end was cut by the size limit.
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        for (const auto& key : keys) {
            const size_t length = std::strlen(key.first);
            if (line.compare(0, length, key.first) != 0) continue;
            const std::wstring value = Utf8ToWide(line.substr(length));
            if (!value.empty()) key.second->push_back(value);
        }
    }
    return record;
}

void WritePendingRecord(const std::wstring& marker, const PendingRecord& record) {
    std::string text;
    const auto add = [&text](const char* key, const std::vector<std::wstring>& values) {
        for (const std::wstring& value : values)
            if (value.find(L'\n') == std::wstring::npos) text += key + WideToUtf8(value) + "\n";
    };
    add(kPostKey, record.owedPosts);
    add(kTmpDirKey, record.tmpDirs);
    add(kBackupDirKey, record.backupDirs);

    ReplaceStep failed;
    // The directory is flushed too: the record must be on disk before the first file that
    // it stands for is replaced, even if a power cut follows.
    const int error = ReplaceFile(ToMultibyte(marker), text, 0644, &failed, true);
    if (error == 0) return;
    const std::wstring temp = OwedPostsTempFile(marker);
    if (failed == ReplaceStep::kWrite) ThrowWriteError(5, temp, error);
    ThrowWriteError(26, failed == ReplaceStep::kOpen ? temp : marker, error);
}

std::vector<std::wstring> ReadOwedPosts(const std::wstring& marker) {
    return ReadPendingRecord(marker).owedPosts;
}

void WriteOwedPosts(const std::wstring& marker, const std::vector<std::wstring>& modules) {
    PendingRecord record;
    record.owedPosts = modules;
    WritePendingRecord(marker, record);
}

}  // namespace UpdateNew
