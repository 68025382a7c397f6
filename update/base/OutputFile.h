// Writing an output the operator named (a run's report or metrics) as root, where the name
// may lie in a directory other users can write to.
#pragma once

#include <sys/types.h>

#include <string>

namespace UpdateNew {

// Writes `bytes` to the output `path` (multibyte):
//   - a free name, a regular file, or anything another user put at the name is replaced
//     as ReplaceFile (SafeFile) does;
//   - a link that belongs to root or the effective user and leads to the run's own
//     standard output or error (/dev/stdout) gets the bytes written there, after what the
//     run wrote, never truncating what the stream was redirected to;
//   - otherwise such a link is followed while every link of its chain belongs to root or
//     the effective user (kUntrustedLink for one that does not): a regular file with one
//     name it ends in is truncated and written, as a shell redirection would;
//   - a FIFO, device or socket of root or the effective user (at the name or at the end of
//     the chain) is written into, never replaced. A FIFO nobody reads is an error (ENXIO),
//     not a wait; a reader that takes no bytes for 10 seconds (ETIMEDOUT), or a SIGINT or
//     SIGTERM (EINTR), ends the write.
// The name found is opened as the very file that was looked at (EBUSY when it changed
// meanwhile). Gives 0 or an error number; never throws. Called on the run's thread.
int WriteOutputFile(const std::string& path, const std::string& bytes, mode_t mode = 0644);

}  // namespace UpdateNew
