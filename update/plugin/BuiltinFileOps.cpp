#include "plugin/BuiltinFileOps.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/Conv.h"
#include "base/Exception.h"
#include "base/FileUtils.h"
#include "base/Messages.h"
#include "base/UniqueFd.h"

namespace UpdateNew {

namespace {

const size_t kCopyPiece = 256 * 1024;
const wchar_t kReplacementSuffix[] = L".upd-new";

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

// The owner and group `fd` (the new content) takes, where the process may set them, and the
// permission bits it must get: those of mode.likePath where that is a regular file, else
// the source's (`sourceFd`, owner and group included) or the given ones. `replaced` is the file at
// the target, when there is one.
mode_t ApplyOwnerGiveBits(int fd, int sourceFd, const FileMode& mode, const struct stat* replaced) {
    struct stat st;
    if (!mode.likePath.empty() && ::lstat(mode.likePath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        (void)!::fchown(fd, st.st_uid, st.st_gid);
        return st.st_mode & 0777;
    }
    if (mode.fromSource && ::fstat(sourceFd, &st) == 0) {
        (void)!::fchown(fd, st.st_uid, st.st_gid);
        return st.st_mode & 0777;
    }
    if (replaced) (void)!::fchown(fd, replaced->st_uid, replaced->st_gid);
    return static_cast<mode_t>(mode.bits & 0777);
}

}  // namespace

std::wstring SetAsidePath(const std::wstring& target) {
    return target + L".tmp";
}

namespace {

// Writes the rest of `in` to `out`; a failure throws naming the file that failed.
void CopyContent(int in, int out, const std::wstring& source, const std::wstring& target) {
    std::vector<char> piece(kCopyPiece);
    for (;;) {
        const ssize_t n = ::read(in, piece.data(), piece.size());
        if (n == 0) return;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            THROW_ERROR(MsgLib<4>(source, SystemErrorText(error)), error);
        }
        if (!WriteAll(out, piece.data(), static_cast<size_t>(n))) {
            const int error = errno;
            THROW_ERROR(MsgLib<5>(target, SystemErrorText(error)), error);
        }
    }
}

// Whether the installed file at `target` cannot be written in place for now (a program
// runs from it, or access to it is denied); the one-second second chance included. Only
// a regular file is asked, and without changing it (no truncation, no blocking open).
bool TargetIsBusy(const std::string& target, int& error) {
    struct stat st;
    if (::lstat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    for (int attempt = 0;; ++attempt) {
        const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            return false;
        }
        error = errno;
        if (!IsBusy(error)) return false;
        if (attempt == 1) return true;
        sleep(1);
    }
}

// The copy into the target itself: where no file can be made beside the target (a
// directory the updater may not write to, a name too long for a suffix), the target is
// opened, truncated and written as it is.
void CopyInPlace(int in, const std::string& dst, const std::wstring& source,
                 const std::wstring& target, bool bMayDefer, bool& bDeferred,
                 const FileMode& mode) {
    UniqueFd out(OpenTarget(dst, 0644));
    if (out.get() < 0 && IsBusy(errno)) {
        sleep(1);
        out.reset(OpenTarget(dst, 0644));
    }
    if (out.get() < 0) {
        const int error = errno;
        if (!IsBusy(error) || !bMayDefer) ThrowTargetError(target, error);
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
    CopyContent(in, out.get(), source, target);
    if (::fchmod(out.get(), ApplyOwnerGiveBits(out.get(), in, mode, nullptr)) != 0) {
        const int error = errno;
        THROW_ERROR(MsgLib<13>(target, SystemErrorText(error)), error);
    }
    // A close that fails (a delayed write error) means the content may not be there.
    if (out.close() != 0) {
        const int error = errno;
        THROW_ERROR(MsgLib<5>(target, SystemErrorText(error)), error);
    }
}

// Removes the replacement file on every way out unless it was renamed into place.
class ReplacementGuard {
public:
    explicit ReplacementGuard(const std::string& path) : m_path(path) {}
    ReplacementGuard(const ReplacementGuard&) = delete;
    ReplacementGuard& operator=(const ReplacementGuard&) = delete;
    ~ReplacementGuard() {
        if (!m_path.empty()) ::unlink(m_path.c_str());
    }
    void release() { m_path.clear(); }

private:
    std::string m_path;
};

// Gives the finished new content of `target` (open as `fd`) the owner, group and permission
// bits that `mode` says (ApplyOwnerGiveBits; `sourceFd` is what it was copied from). When it
// replaces a file, it is flushed to disk first, so that not even a power cut can leave the path
// with less than the old content; a file new to the installation has nothing to lose and is left to
// the system's own write-back (a fresh install does not wait for the disk file by file). 0, or the
// library message of the step that failed (13 for the permission bits, 5 for the flush) with
// `error` set.
int FinishNewFile(int fd, int sourceFd, const FileMode& mode, const std::string& dst, int& error) {
    struct stat old;
    const bool replaces = ::lstat(dst.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    const mode_t bits = ApplyOwnerGiveBits(fd, sourceFd, mode, replaces ? &old : nullptr);
    error = 0;
    if (::fchmod(fd, bits) != 0) error = errno;
    if (error != 0) return 13;
    if (replaces && ::fdatasync(fd) != 0) error = errno;
    return error != 0 ? 5 : 0;
}

// Renames the new file `from` over `dst`. A busy target (`aside` not empty) first gets its
// second name `aside` (a hard link, or a rename where links are not possible), which goes again
// when the rename fails. 0, or the rename's error (the target is then as it was).
int RenameOver(const std::string& from, const std::string& dst, const std::string& aside) {
    const bool busy = !aside.empty();
    bool linked = false;
    if (busy) {
        ::unlink(aside.c_str());
        linked = ::link(dst.c_str(), aside.c_str()) == 0;
        if (!linked && ::rename(dst.c_str(), aside.c_str()) != 0) return errno;
    }
    if (::rename(from.c_str(), dst.c_str()) == 0) return 0;
    const int error = errno;
    if (busy) linked ? ::unlink(aside.c_str()) : ::rename(aside.c_str(), dst.c_str());
    return error;
}

}  // namespace

namespace {

// Opens the source for reading and asks whether the target is busy (`busy`). Throws when
// the source cannot be opened (library message 2) or a busy target may not be deferred (26).
int OpenSource(const std::string& src, const std::string& dst, const std::wstring& source,
               const std::wstring& target, bool bMayDefer, bool& busy) {
    const int fd = ::open(src.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        THROW_ERROR(MsgLib<2>(source, SystemErrorText(error)), error);
    }
    int busyError = 0;
    busy = TargetIsBusy(dst, busyError);
    if (busy && !bMayDefer) {
        ::close(fd);
        ThrowTargetError(target, busyError);
    }
    return fd;
}

std::string AsideName(const std::wstring& target, bool busy) {
    return busy ? ToMultibyte(SetAsidePath(target)) : std::string();
}

}  // namespace

std::wstring ReplacementPath(const std::wstring& target) {
    const size_t slash = target.rfind(L'/');
    const size_t base = slash == std::wstring::npos ? 0 : slash + 1;
    return target.substr(0, base) + L"." + target.substr(base) + kReplacementSuffix;
}

bool CopyFileBuiltin(const std::wstring& source, const std::wstring& target, bool bMayDefer,
                     bool& bDeferred, const FileMode& mode) {
    bDeferred = false;
    std::string src, dst;
    if (!WideToMultibyte(source, src))
        THROW_ERROR(MsgLib<2>(source, SystemErrorText(EILSEQ)), EILSEQ);
    if (!WideToMultibyte(target, dst)) ThrowTargetError(target, EILSEQ);

    bool busy = false;
    UniqueFd in(OpenSource(src, dst, source, target, bMayDefer, busy));

    // The new content is written beside the target and renamed over it once it is whole
    // and on disk: a reader of the target, or a kill at any point, finds the old file or
    // the new one, never a part.
    const std::string beside = ToMultibyte(ReplacementPath(target));
    UniqueFd out(
        ::open(beside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0) {
        CopyInPlace(in.get(), dst, source, target, bMayDefer, bDeferred, mode);
        return true;
    }
    ReplacementGuard guard(beside);
    CopyContent(in.get(), out.get(), source, target);

    int error = 0;
    const int failed = FinishNewFile(out.get(), in.get(), mode, dst, error);
    in.close();
    if (failed == 13) THROW_ERROR(MsgLib<13>(target, SystemErrorText(error)), error);
    if (failed != 0 || out.close() != 0) {
        if (failed == 0) error = errno;
        THROW_ERROR(MsgLib<5>(target, SystemErrorText(error)), error);
    }
    error = RenameOver(beside, dst, AsideName(target, busy));
    if (error != 0) ThrowTargetError(target, error);
    guard.release();
    bDeferred = busy;
    return true;
}

bool MoveFileBuiltin(const std::wstring& source, const std::wstring& target, bool bMayDefer,
                     bool& bDeferred, const FileMode& mode) {
    bDeferred = false;
    std::string src, dst;
    if (!WideToMultibyte(source, src) || !WideToMultibyte(target, dst))
        return CopyFileBuiltin(source, target, bMayDefer, bDeferred, mode);
    bool busy = false;
    UniqueFd in(OpenSource(src, dst, source, target, bMayDefer, busy));
    // The source becomes the installed file: it gets what a copy would, and is on disk
    // before its name changes. Where that cannot be done (a source of another owner, on
    // another file system, in a directory that takes no new names), the copy does what
    // can be done there.
    int error = 0;
    if (FinishNewFile(in.get(), in.get(), mode, dst, error) != 0 ||
        RenameOver(src, dst, AsideName(target, busy)) != 0)
        return CopyFileBuiltin(source, target, bMayDefer, bDeferred, mode);
    bDeferred = busy;
    return true;
}

}  // namespace UpdateNew
