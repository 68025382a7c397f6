// The outputs the operator names (the run's log, report and metrics), opened and written as
// root where the name may lie in a directory other users can write to.
#pragma once

#include <sys/types.h>

#include <string>

#include "base/UniqueFd.h"

namespace UpdateNew {

// Writes `bytes` to the output `path` (multibyte):
//   - a free name, a regular file, or anything another user put at the name is replaced
//     as ReplaceFile (SafeFile) does;
//   - a link that belongs to root or the effective user is followed as FollowLinksAt
//     (SafeFile) follows it, every link of the chain root's or the effective user's: a
//     regular file with one name it ends in is truncated and written, and a free name
//     made, as a shell redirection would;
//   - a chain that leads to one of the run's descriptors (/dev/stdout, /dev/fd/3) writes
//     to that descriptor when the run was given it (its standard output or error, or one
//     a shell passed on), after what was written there, never truncating what the stream
//     was redirected to; a descriptor of the updater's own is refused (EBADF);
//   - a device is never replaced, not even another user's (kNotPlainFile);
//   - a FIFO, device or socket of root or the effective user (at the name or at the end of
//     the chain) is written into, never replaced. A FIFO nobody reads is an error (kNoReader),
//     not a wait.
// A reader that takes no bytes for 10 seconds (kReaderStalled), or a SIGINT or SIGTERM (EINTR),
// ends a write; nothing here waits longer for a full pipe. The name found is opened as the
// very file that was looked at (EBUSY when it changed meanwhile); kNotPlainFile for a file
// of several names. Gives 0 or an error number; never throws. Called on the run's thread.
int WriteOutputFile(const std::string& path, const std::string& bytes, mode_t mode = 0644);

// Opens the log `path` (multibyte) to be written at its end, in `file` (close-on-exec):
//   - a link that belongs to root or the effective user is followed as WriteOutputFile
//     follows it; one that leads to a descriptor the run was given gives a duplicate of
//     that descriptor (`stream` set), never to be truncated;
//   - a regular file of root or the effective user with one name is opened as it is
//     (`created` and `stream` false: the caller truncates it or appends to it);
//   - a free name, and anything another user put at the name (a link, a file, a FIFO), or
//     a file of several names, is replaced by a new empty file (`created` set);
//   - a device, and a FIFO or socket of root or the effective user, is refused
//     (kNotPlainFile): a FIFO nobody reads would hold the run.
// Gives 0 or an error number. Called on the run's thread.
int OpenLogOutput(const std::string& path, UniqueFd& file, bool& created, bool& stream);

}  // namespace UpdateNew
