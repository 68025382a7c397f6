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
#include "base/SafeFile.h"
#include "base/UniqueFd.h"

namespace UpdateNew {

namespace {

const size_t kCopyPiece = 256 * 1024;
const char kReplacementSuffix[] = ".upd-new";
const char kSetAsideSuffix[] = ".tmp";

// A target that cannot be written in place for now: access is denied (a protected file),
// or a program is running from it.
bool IsBusy(int error) {
    return error == EACCES || error == ETXTBSY;
}

// EINVAL is the safe primitives' answer for a file that is not written into: a device, a
// FIFO, a socket or a file with further names.
[[noreturn]] void ThrowTargetError(const std::wstring& target, int error) {
    THROW_ERROR(MsgLib<26>(target, error == EINVAL ? MsgLib<35>() : SystemErrorText(error)), error);
}

// The installed file a copy replaces: the directory it is in (opened once; every later
// step names the file relative to it), its name there and what stood at the name when
// the copy began.
struct Target {
    explicit Target(const std::wstring& wide) : shown(wide) {}
    std::wstring shown;
    UniqueFd dir;
    std::string name;
    struct stat old = {};
    // A regular file stands at the name (a symbolic link there is replaced as the name it
    // is, like a missing file).
    bool exists = false;
    // The directory is writable by group or others, or belongs to another user and stands
    // in a directory every user may write (so anyone may have made it), so whatever stands
    // in it may have been put there by another user.
    bool shared = false;
};

// Opens the directory of `dst` and looks at what stands at its name. A directory, a
// device, a FIFO or a socket is refused: the copy writes regular files only.
void OpenTarget(const std::string& dst, Target& target) {
    struct stat dir;
    int error = OpenParent(dst, target.dir, target.name);
    if (error == 0 && ::fstat(target.dir.get(), &dir) != 0) error = errno;
    if (error != 0) ThrowTargetError(target.shown, error);
    target.shared = (dir.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    struct stat above;
    if (!target.shared && !TrustedOwner(dir.st_uid))
        target.shared =
            ::fstatat(target.dir.get(), "..", &above, 0) != 0 || (above.st_mode & S_IWOTH) != 0;
    if (::fstatat(target.dir.get(), target.name.c_str(), &target.old, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) ThrowTargetError(target.shown, errno);
        return;
    }
    if (S_ISDIR(target.old.st_mode)) ThrowTargetError(target.shown, EISDIR);
    if (!S_ISREG(target.old.st_mode) && !S_ISLNK(target.old.st_mode))
        ThrowTargetError(target.shown, EINVAL);
    target.exists = S_ISREG(target.old.st_mode);
}

// The permission bits the new content of `target` (open as `fd`) must get, after giving it
// an owner and group where the process may set them and nobody else could have put the
// file it takes after there (a directory neither group nor others may write): with
// mode.likePath a regular file there, its bits, owner and group; with mode.fromSource the
// source's (`sourceFd`); else the given bits and the owner and group of the file replaced.
mode_t ApplyOwnerGiveBits(int fd, int sourceFd, const FileMode& mode, const Target& target) {
    struct stat st;
    const bool own = !target.shared;
    if (!mode.likePath.empty() && ::lstat(mode.likePath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        if (own) (void)!::fchown(fd, st.st_uid, st.st_gid);
        return st.st_mode & 0777;
    }
    if (mode.fromSource && ::fstat(sourceFd, &st) == 0) {
        if (own) (void)!::fchown(fd, st.st_uid, st.st_gid);
        return st.st_mode & 0777;
    }
    if (target.exists && own) (void)!::fchown(fd, target.old.st_uid, target.old.st_gid);
    return static_cast<mode_t>(mode.bits & 0777);
}

// Opens the source for reading: a link in its last component is not followed, and only a
// regular file is read (a FIFO would block the run, a device is no file to install).
// Throws library message 2 naming the source.
UniqueFd OpenSource(const std::string& src, const std::wstring& source) {
    UniqueFd dir;
    std::string name;
    int error = OpenParent(src, dir, name);
    UniqueFd in(error == 0 ? ::openat(dir.get(), name.c_str(),
                                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)
                           : -1);
    struct stat st;
    if (error == 0 && (in.get() < 0 || ::fstat(in.get(), &st) != 0)) error = errno;
    if (error == 0 && !S_ISREG(st.st_mode)) error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (error != 0) THROW_ERROR(MsgLib<2>(source, SystemErrorText(error)), error);
    (void)::fcntl(in.get(), F_SETFL, ::fcntl(in.get(), F_GETFL) & ~O_NONBLOCK);
    return UniqueFd(in.release());
}

// Whether the installed file may not be opened for writing (a protected file: EACCES),
// asked once more after a second. A program running from the file does not count: the
// new file takes its name while the program keeps the old one.
bool IsProtected(const Target& target) {
    if (!target.exists) return false;
    for (int attempt = 0;; ++attempt) {
        if (::faccessat(target.dir.get(), target.name.c_str(), W_OK,
                        AT_EACCESS | AT_SYMLINK_NOFOLLOW) == 0 ||
            errno != EACCES)
            return false;
        if (attempt == 1) return true;
        sleep(1);
    }
}

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

// Opens the target itself for the copy into it. A regular file is written into only where
// nobody else could have put it there; otherwise, and where nothing or a link stands at the
// name, the file is made anew (belonging to the effective user).
int OpenInPlace(const Target& target, UniqueFd& out) {
    if (target.exists && !target.shared)
        return OpenExistingAt(target.dir.get(), target.name, O_WRONLY | O_TRUNC, out);
    return CreateFileAt(target.dir.get(), target.name, 0644, out);
}

// The copy into the target itself: where no file can be made beside the target (a
// directory the updater may not write to, a name too long for a suffix, a directory in the
// way), the target is truncated and written as it is. A busy target that may be deferred is
// renamed aside and written anew.
void CopyInPlace(int in, const Target& target, const std::wstring& source, bool bMayDefer,
                 bool& bDeferred, const FileMode& mode) {
    UniqueFd out;
    int error = OpenInPlace(target, out);
    if (error != 0 && IsBusy(error)) {
        sleep(1);
        error = OpenInPlace(target, out);
    }
    if (error != 0) {
        if (!IsBusy(error) || !bMayDefer) ThrowTargetError(target.shown, error);
        const std::string aside = target.name + kSetAsideSuffix;
        ::unlinkat(target.dir.get(), aside.c_str(), 0);
        // A target that is not there cannot be moved aside: the reason is the first one
        // (a directory that takes no new files), not the rename's "no such file".
        if (::renameat(target.dir.get(), target.name.c_str(), target.dir.get(), aside.c_str()) != 0)
            ThrowTargetError(target.shown, errno == ENOENT ? error : errno);
        bDeferred = true;
        if (int rc = CreateFileAt(target.dir.get(), target.name, 0600, out))
            ThrowTargetError(target.shown, rc);
    }
    CopyContent(in, out.get(), source, target.shown);
    if (::fchmod(out.get(), ApplyOwnerGiveBits(out.get(), in, mode, target)) != 0) {
        const int e = errno;
        THROW_ERROR(MsgLib<13>(target.shown, SystemErrorText(e)), e);
    }
    // A close that fails (a delayed write error) means the content may not be there.
    if (out.close() != 0) {
        const int e = errno;
        THROW_ERROR(MsgLib<5>(target.shown, SystemErrorText(e)), e);
    }
}

// Removes the replacement file on every way out unless it was renamed into place.
class ReplacementGuard {
public:
    ReplacementGuard(int dir, const std::string& name) : m_dir(dir), m_name(name) {}
    ReplacementGuard(const ReplacementGuard&) = delete;
    ReplacementGuard& operator=(const ReplacementGuard&) = delete;
    ~ReplacementGuard() {
        if (!m_name.empty()) ::unlinkat(m_dir, m_name.c_str(), 0);
    }
    void release() { m_name.clear(); }

private:
    int m_dir;
    std::string m_name;
};

// Gives the finished new content of the target (open as `fd`, copied from `sourceFd`) the
// permission bits, owner and group ApplyOwnerGiveBits decides and, where it replaces a
// file, a flush to disk, so that not even a power cut can leave the
// path with less than the old content. The old owner is kept only where nobody else could
// have put the old file there: in a directory that group or others may write, the new file
// stays the effective user's. A file new to the installation has nothing to lose and is
// left to the system's own write-back. 0, or the library message of the step that failed
// (13 for the permission bits, 5 for the flush) with `error` set.
int FinishNewFile(int fd, int sourceFd, const FileMode& mode, const Target& target, int& error) {
    const mode_t bits = ApplyOwnerGiveBits(fd, sourceFd, mode, target);
    error = 0;
    if (::fchmod(fd, bits) != 0) error = errno;
    if (error != 0) return 13;
    if (target.exists && ::fdatasync(fd) != 0) error = errno;
    return error != 0 ? 5 : 0;
}

// Renames `from` (in `fromDir`) over the target. A deferred copy first gives the protected
// target its second name target + ".tmp" (a hard link, or a rename where links are not
// possible), which goes again when the rename fails. 0, or the rename's error (the target
// is then as it was).
int RenameOver(int fromDir, const std::string& from, const Target& target, bool aside) {
    const int dir = target.dir.get();
    const std::string name = target.name + kSetAsideSuffix;
    bool linked = false;
    if (aside) {
        ::unlinkat(dir, name.c_str(), 0);
        linked = ::linkat(dir, target.name.c_str(), dir, name.c_str(), 0) == 0;
        if (!linked && ::renameat(dir, target.name.c_str(), dir, name.c_str()) != 0) return errno;
    }
    if (::renameat(fromDir, from.c_str(), dir, target.name.c_str()) == 0) return 0;
    const int error = errno;
    if (aside)
        linked ? ::unlinkat(dir, name.c_str(), 0)
               : ::renameat(dir, name.c_str(), dir, target.name.c_str());
    return error;
}

// Whether the copy must be deferred (a protected target); throws when it may not be.
bool MustDefer(const Target& target, bool bMayDefer) {
    const bool defer = IsProtected(target);
    if (defer && !bMayDefer) ThrowTargetError(target.shown, EACCES);
    return defer;
}

// The copy proper, from the open source `in` to the opened target. `known` is MustDefer's
// answer when the caller asked it already, else -1.
void CopyOpened(UniqueFd& in, Target& target, const std::wstring& source, bool bMayDefer,
                bool& bDeferred, const FileMode& mode, int known = -1) {
    // The new content is written beside the target and renamed over it once it is whole
    // and on disk: a reader of the target, or a kill at any point, finds the old file or
    // the new one, never a part. The new name is made with O_EXCL after removing what
    // stood there, so no descriptor opened before reaches the new content.
    const std::string beside = "." + target.name + kReplacementSuffix;
    UniqueFd out;
    if (CreateFileAt(target.dir.get(), beside, 0600, out) != 0) {
        CopyInPlace(in.get(), target, source, bMayDefer, bDeferred, mode);
        return;
    }
    ReplacementGuard guard(target.dir.get(), beside);
    const bool defer = known >= 0 ? known != 0 : MustDefer(target, bMayDefer);
    CopyContent(in.get(), out.get(), source, target.shown);

    int error = 0;
    const int failed = FinishNewFile(out.get(), in.get(), mode, target, error);
    in.close();
    if (failed == 13) THROW_ERROR(MsgLib<13>(target.shown, SystemErrorText(error)), error);
    if (failed != 0 || out.close() != 0) {
        if (failed == 0) error = errno;
        THROW_ERROR(MsgLib<5>(target.shown, SystemErrorText(error)), error);
    }
    error = RenameOver(target.dir.get(), beside, target, defer);
    if (error != 0) ThrowTargetError(target.shown, error);
    guard.release();
    bDeferred = defer;
}

}  // namespace

std::wstring SetAsidePath(const std::wstring& target) {
    return target + L".tmp";
}

std::wstring ReplacementPath(const std::wstring& target) {
    const size_t slash = target.rfind(L'/');
    const size_t base = slash == std::wstring::npos ? 0 : slash + 1;
    return target.substr(0, base) + L"." + target.substr(base) + FromMultibyte(kReplacementSuffix);
}

bool CopyFileBuiltin(const std::wstring& source, const std::wstring& target, bool bMayDefer,
                     bool& bDeferred, const FileMode& mode) {
    bDeferred = false;
    std::string src, dst;
    if (!WideToMultibyte(source, src))
        THROW_ERROR(MsgLib<2>(source, SystemErrorText(EILSEQ)), EILSEQ);
    if (!WideToMultibyte(target, dst)) ThrowTargetError(target, EILSEQ);
    UniqueFd in(OpenSource(src, source));
    Target place(target);
    OpenTarget(dst, place);
    CopyOpened(in, place, source, bMayDefer, bDeferred, mode);
    return true;
}

bool MoveFileBuiltin(const std::wstring& source, const std::wstring& target, bool bMayDefer,
                     bool& bDeferred, const FileMode& mode) {
    bDeferred = false;
    std::string src, dst;
    if (!WideToMultibyte(source, src) || !WideToMultibyte(target, dst))
        return CopyFileBuiltin(source, target, bMayDefer, bDeferred, mode);
    UniqueFd in(OpenSource(src, source));
    Target place(target);
    OpenTarget(dst, place);
    const bool defer = MustDefer(place, bMayDefer);
    // The source becomes the installed file: it gets what a copy would, and is on disk
    // before its name changes. Where that cannot be done (a source with further names,
    // of another owner, on another file system, in a directory that takes no new names),
    // the copy does what can be done there.
    UniqueFd fromDir;
    std::string from;
    struct stat st;
    int error = 0;
    if (::fstat(in.get(), &st) == 0 && st.st_nlink == 1 &&
        FinishNewFile(in.get(), in.get(), mode, place, error) == 0 &&
        OpenParent(src, fromDir, from) == 0 && RenameOver(fromDir.get(), from, place, defer) == 0) {
        bDeferred = defer;
        return true;
    }
    if (::lseek(in.get(), 0, SEEK_SET) != 0) {
        error = errno;
        THROW_ERROR(MsgLib<4>(source, SystemErrorText(error)), error);
    }
    CopyOpened(in, place, source, bMayDefer, bDeferred, mode, defer ? 1 : 0);
    return true;
}

}  // namespace UpdateNew
