// The one way the updater creates, replaces and removes files. The updater runs as root in
// directories that other users may write to (the system's temporary directory, a
// world-writable folder inside an installation), so a name it writes to may be a symbolic
// link, a directory, a FIFO or a file somebody holds open. These services therefore
//   - look a path up one component at a time from directory descriptors, following a
//     symbolic link only when it belongs to root or to the effective user (so an
//     administrator's "data -> /srv/data" works, a link planted by another user does not);
//     a path without any link is looked up in one call that refuses every link (openat2
//     with RESOLVE_NO_SYMLINKS), which reaches the same directory;
//   - never follow a link in the last component: a link there is replaced or removed as
//     the name it is;
//   - create every new file with O_EXCL after removing what stood at its name, so no
//     descriptor somebody opened before can reach the new content;
//   - write into an existing file only when it is a regular file with one name, and
//     refuse anything else (a directory, a device, a FIFO) with an error.
// Paths are multibyte (the system's form). Every service gives 0 or an error number and
// never throws; kUntrustedLink is the error of a link refused by the rule above, which
// SystemErrorText (FileUtils) turns into a text naming that link, and kNotPlainFile the error
// of a name that must be a regular file of one name and is not. Every descriptor they open
// is close-on-exec. Thread-safe: no state but the calling thread's last refused link.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "base/UniqueFd.h"

namespace UpdateNew {

// The error of a symbolic link in a path that belongs to neither root nor the effective
// user (errno values are small; this one is not one of them).
constexpr int kUntrustedLink = 0x10000;
// The error of a device, FIFO, socket or many-named file where only a regular file of one
// name may be written.
constexpr int kNotPlainFile = 0x10001;
// FollowLinksAt: the chain leads to one of the process's own descriptors (/dev/stdout,
// /dev/fd/3), whose number is left in `name`.
constexpr int kDescriptorLink = 0x10002;
// The errors of an output that nothing reads (a FIFO without a reader), and of one whose
// reader stopped taking bytes.
constexpr int kNoReader = 0x10003;
constexpr int kReaderStalled = 0x10004;

// The text of kUntrustedLink: the link this thread was last refused, and its owner.
std::wstring RefusedLinkText();

// Whether what `owner` owns may be trusted by the updater: root's or the effective user's.
bool TrustedOwner(uid_t owner);

// Whether the file whose status is `st` is a regular file that only root and the effective
// user can write (a group write bit counts only for root's group): nobody else can change
// or shorten it while the updater reads it, also through a mapping.
bool OnlyTrustedMayWrite(const struct stat& st);

// Opens the directory `path` (absolute, or relative to the working directory) with every
// component looked up as described above. With `create`, missing directories are made
// with `mode` and appended to `created` (when given), parents first, without a trailing
// "/". ENOTDIR when a component is something else than a directory.
int OpenDirectory(const std::string& path, UniqueFd& dir, bool create = false, mode_t mode = 0755,
                  std::vector<std::string>* created = nullptr);

// Opens the directory that holds `path` (as OpenDirectory, without creating) and gives the
// last component in `name`. EINVAL for a path that names no file ("", "/", "x/").
int OpenParent(const std::string& path, UniqueFd& dir, std::string& name);

// Follows the chain of symbolic links that the name `name` in `dir` starts, each looked up
// and trusted as a link inside a path is (kUntrustedLink for one of another user, read so
// that a link swapped meanwhile is never taken for the one looked at), and leaves `dir` and
// `name` at the name the chain ends in, `st` at its status. A name that is no link is left
// as it is. ENOENT (with `dir` and `name` set) when the chain ends in a free name; EISDIR
// when a link names a directory by its trailing "/". `shown` is the path of `name`, for the
// text of a refused link. Opens nothing but directories and links. A link of the process's
// own descriptor directory is not followed (its text is no path): kDescriptorLink.
int FollowLinksAt(UniqueFd& dir, std::string& name, struct stat& st, const std::string& shown);

// Creates the file `name` in `dir` for writing: what stands at the name (a file, a link,
// a FIFO) is removed, and the file is made with O_EXCL and `mode`. A directory at
// the name is refused (EISDIR), and so is a device (EINVAL): only root makes those, and
// a name like /dev/full given by mistake must not take the device away from the machine.
// `access` is O_WRONLY, or O_RDWR for a file also read back.
int CreateFileAt(int dir, const std::string& name, mode_t mode, UniqueFd& file,
                 int access = O_WRONLY);

// Opens the existing file `name` in `dir` with `flags` (O_WRONLY or O_RDWR, optionally
// O_APPEND or O_TRUNC) without following a link; only a regular file with one name is
// accepted (ELOOP for a link, EISDIR for a directory, EINVAL for anything else or a file
// with more names).
int OpenExistingAt(int dir, const std::string& name, int flags, UniqueFd& file);

// Opens `name` in `dir` for reading when it is a regular file, and gives its status in `st`
// when asked. Nothing else is ever opened: a FIFO, a socket or a device at the name, or at
// the end of the links it is, could hold the run or act on being opened. The last
// component may be a link (an administrator's link to a shared file is read through) when
// it belongs to root or to the effective user; the chain it starts is looked at without
// opening anything, and the regular file it ends in is then opened as that very inode.
// EISDIR for a directory, EINVAL for anything else that is not a regular file,
// kUntrustedLink for a link of another user. Costs no system call more than a plain open
// and fstat unless the name is a link.
int OpenRegularAt(int dir, const char* name, UniqueFd& file, struct stat* st = nullptr);
int OpenRegular(const std::string& path, UniqueFd& file, struct stat* st = nullptr);
// OpenRegular through stdio: `stream` ("r") owns the descriptor and is the caller's to
// fclose; null on failure.
int OpenRegularStream(const std::string& path, FILE*& stream);

// Path forms of the two above; `path`'s directory is opened as OpenParent does.
int CreateFile(const std::string& path, mode_t mode, UniqueFd& file);
int OpenExisting(const std::string& path, int flags, UniqueFd& file);

// CreateFile for writing through stdio: `stream` ("wb") owns the new file's descriptor and
// is the caller's to fclose. On failure `stream` is null and no file is left.
int CreateFileStream(const std::string& path, mode_t mode, FILE*& stream);

// Renames `from` to `to` (both full paths) with renameat between their directories; a link
// at either name is renamed or replaced as the name it is.
int RenameFile(const std::string& from, const std::string& to);

// Removes the name `path` (a file, a link, a FIFO; never a directory and never what a
// link points at). A missing name is no error.
int RemoveFile(const std::string& path);
// Removes each path that `next` gives (it returns false after the last) as RemoveFile
// does, errors aside; the directory shared by consecutive paths is looked up once for all
// of them. One path at a time: a list of 200,000 is not copied.
void RemoveFiles(const std::function<bool(std::string& path)>& next);

// Flushes the directory that holds `path`, so that names created or renamed in it last
// through a power cut.
int SyncParent(const std::string& path);

// Flushes every file system that holds one of the directories `dirs`, each once (one
// syncfs per file system): what was written and renamed there, by this process or another,
// is on disk when it returns. A directory that cannot be opened is skipped (nothing was
// installed into it). 0, or the first syncfs error.
int SyncFileSystems(const std::vector<std::string>& dirs);

// Replaces the file `path` with `bytes`: written to a new "<path>.new" (made as CreateFile
// makes files, with `mode`), flushed, then renamed over `path`, so that a reader finds the
// old file or the whole new one. With `syncDirectory` the directory is flushed too. The
// ".new" file does not outlive a failure.
enum class ReplaceStep { kOpen, kWrite, kRename };
int ReplaceFile(const std::string& path, const std::string& bytes, mode_t mode = 0644,
                ReplaceStep* failed = nullptr, bool syncDirectory = false);

}  // namespace UpdateNew
