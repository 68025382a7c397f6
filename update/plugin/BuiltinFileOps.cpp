#include "plugin/BuiltinFileOps.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Messages.h"
#include "base/UniqueFd.h"

namespace UpdateNew {

namespace {

const size_t kCopyPiece = 1023;

int OpenTarget(const std::string& target, mode_t mode) {
    int fd;
    do {
        fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A target that cannot be written in place for now: access is denied (a protected file,
// or one that a program holds), or a program is running from it.
bool IsBusy(int error) {
    return error == EACCES || error == ETXTBSY;
}

[[noreturn]] void ThrowTargetError(const std::wstring& target, int error) {
    THROW_ERROR(MsgLib<26>(target, SystemErrorText(error)), error);
}

}  // namespace

std::wstring SetAsidePath(const std::wstring& target) {
    return target + L".tmp";
}

bool CopyFileBuiltin(const std::wstring& source, const std::wstring& target, bool bMayDefer,
                     bool& bDeferred) {
    bDeferred = false;
    std::string src, dst;
    if (!WideToMultibyte(source, src))
        THROW_ERROR(MsgLib<2>(source, SystemErrorText(EILSEQ)), EILSEQ);
    if (!WideToMultibyte(target, dst)) ThrowTargetError(target, EILSEQ);

    UniqueFd in(::open(src.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        const int error = errno;
        THROW_ERROR(MsgLib<2>(source, SystemErrorText(error)), error);
    }

    UniqueFd out(OpenTarget(dst, 0644));
    if (out.get() < 0 && IsBusy(errno)) {
        sleep(1);
        out.reset(OpenTarget(dst, 0644));
    }
    if (out.get() < 0) {
        const int error = errno;
        if (!IsBusy(error) || !bMayDefer) ThrowTargetError(target, error);
        // The target is busy or protected while its directory is writable: move it aside
        // and write the new file in its place. A program running from the old file keeps
        // it; the caller deletes the moved file once the run is over.
        const std::string aside = ToMultibyte(SetAsidePath(target));
        ::unlink(aside.c_str());
        // A target that is not there cannot be moved aside: the reason is the first one
        // (a directory that takes no new files), not the rename's "no such file".
        if (::rename(dst.c_str(), aside.c_str()) != 0)
            ThrowTargetError(target, errno == ENOENT ? error : errno);
        bDeferred = true;
        out.reset(OpenTarget(dst, 0600));
        if (out.get() < 0) ThrowTargetError(target, errno);
    }

    char piece[kCopyPiece];
    for (;;) {
        const ssize_t n = ::read(in.get(), piece, sizeof piece);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            THROW_ERROR(MsgLib<4>(source, SystemErrorText(error)), error);
        }
        if (!WriteAll(out.get(), piece, static_cast<size_t>(n))) {
            const int error = errno;
            THROW_ERROR(MsgLib<5>(target, SystemErrorText(error)), error);
        }
    }
    in.close();
    if (::fchmod(out.get(), 0755) != 0) {
        const int error = errno;
        THROW_ERROR(MsgLib<13>(target, SystemErrorText(error)), error);
    }
    // A close that fails (a delayed write error) means the content may not be there.
    if (out.close() != 0) {
        const int error = errno;
        THROW_ERROR(MsgLib<5>(target, SystemErrorText(error)), error);
    }
    return true;
}

}  // namespace UpdateNew
