/* A full file system below one directory, for fault-injection tests.

   Loaded with LD_PRELOAD into a program, this library lets the program write a fixed
   number of bytes in total into files below one directory; every write beyond that fails
   with ENOSPC ("No space left on device"), as on a file system that has filled up. Files
   elsewhere are not affected, nor is reading, creating, renaming or deleting files.

     ENOSPC_DIR    the directory (absolute path); without it the library does nothing
     ENOSPC_AFTER  the bytes that may still be written below it (decimal, default 0)

   The budget belongs to one process: a child process starts with the full budget again.
   A write that does not fit writes the part that fits and reports the short count; the
   next one fails, as write(2) does on a full disk.

   Which calls are watched: the descriptor of a file opened for writing below the
   directory is remembered when it is opened (open, openat, creat, their 64-bit and
   fortified forms, fopen, mkstemp and its relatives) and forgotten when it is closed
   (close, fclose). Writes through such a descriptor are counted and cut: write, pwrite,
   writev, pwritev, copy_file_range, sendfile, fallocate and posix_fallocate, and the
   stream functions fwrite, fputs, fputc and putc (their C library internals do not call
   write through the dynamic linker, so they are watched themselves). zlib's gzwrite and
   the C++ streams call write and are caught there.

   The library is built without sanitizers: with an instrumented program it is loaded
   ahead of the sanitizer's runtime (run with ASAN_OPTIONS=verify_asan_link_order=0) and
   passes every call on to the runtime's own interceptors. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))
#define MAX_TRACKED_FD 65536

static int g_state; /* 0: not read yet, 1: active, -1: off */
static char g_dir[PATH_MAX];
static size_t g_dirLength;
static unsigned long long g_budget;
static unsigned char g_tracked[MAX_TRACKED_FD];

/* The next definition of a C library function (the sanitizer's interceptor or libc). */
#define REAL(name, type)                 \
    static __typeof__(type) real_##name; \
    if (!real_##name) real_##name = (type)dlsym(RTLD_NEXT, #name)

/* Rewrites an absolute path in place without "//", "/./" and "/../" (lexically). */
static void Normalise(char* path) {
    char* out = path;
    const char* in = path;
    while (*in) {
        while (*in == '/') ++in;
        if (!*in) break;
        const char* end = in;
        while (*end && *end != '/') ++end;
        const size_t n = (size_t)(end - in);
        if (n == 1 && in[0] == '.') {
            /* nothing */
        } else if (n == 2 && in[0] == '.' && in[1] == '.') {
            while (out > path && *--out != '/') {
            }
        } else {
            *out++ = '/';
            memmove(out, in, n);
            out += n;
        }
        in = end;
    }
    if (out == path) *out++ = '/';
    *out = '\0';
}

static int Active(void) {
    if (g_state != 0) return g_state > 0;
    const char* dir = getenv("ENOSPC_DIR");
    if (!dir || dir[0] != '/' || strlen(dir) >= sizeof g_dir) {
        g_state = -1;
        return 0;
    }
    strcpy(g_dir, dir);
    Normalise(g_dir);
    g_dirLength = strlen(g_dir);
    if (g_dirLength == 1) g_dirLength = 0; /* "/": every absolute path is below it */
    const char* after = getenv("ENOSPC_AFTER");
    g_budget = after ? strtoull(after, NULL, 10) : 0;
    g_state = 1;
    return 1;
}

/* Whether `path`, relative to `dirfd` when it is relative, lies below the directory. */
static int Below(int dirfd, const char* path) {
    if (!path || !Active()) return 0;
    char full[PATH_MAX * 2];
    if (path[0] == '/') {
        if (strlen(path) >= sizeof full) return 0;
        strcpy(full, path);
    } else {
        size_t n;
        if (dirfd == AT_FDCWD) {
            if (!getcwd(full, PATH_MAX)) return 0;
            n = strlen(full);
        } else {
            char link[64];
            snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
            ssize_t r = readlink(link, full, PATH_MAX - 1);
            if (r < 0) return 0;
            n = (size_t)r;
        }
        if (n + 1 + strlen(path) >= sizeof full) return 0;
        full[n] = '/';
        strcpy(full + n + 1, path);
    }
    Normalise(full);
    return strncmp(full, g_dir, g_dirLength) == 0 &&
           (full[g_dirLength] == '/' || full[g_dirLength] == '\0');
}

static void Track(int fd, int dirfd, const char* path, int writes) {
    if (fd < 0 || fd >= MAX_TRACKED_FD) return;
    g_tracked[fd] = writes && Below(dirfd, path);
}

static void Forget(int fd) {
    if (fd >= 0 && fd < MAX_TRACKED_FD) g_tracked[fd] = 0;
}

static int Tracked(int fd) {
    return fd >= 0 && fd < MAX_TRACKED_FD && g_tracked[fd];
}

/* How much of `want` bytes may be written to `fd`: all of it for other files. */
static size_t Room(int fd, size_t want) {
    if (!Tracked(fd)) return want;
    return want < g_budget ? want : (size_t)g_budget;
}

static void Spend(int fd, long long written) {
    if (Tracked(fd) && written > 0) {
        g_budget =
            (unsigned long long)written < g_budget ? g_budget - (unsigned long long)written : 0;
    }
}

static int OpenWrites(int flags) {
    return (flags & O_ACCMODE) != O_RDONLY || (flags & O_CREAT) || (flags & O_TRUNC);
}

static int ModeWrites(const char* mode) {
    return mode && (strchr(mode, 'w') || strchr(mode, 'a') || strchr(mode, '+'));
}

static mode_t ModeArgument(int flags, va_list args) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? (mode_t)va_arg(args, int) : 0;
}

/* ---- opening and closing ------------------------------------------------------------- */

#define DEFINE_OPEN(name)                                          \
    EXPORT int name(const char* path, int flags, ...) {            \
        REAL(name, int (*)(const char*, int, ...));                \
        va_list args;                                              \
        va_start(args, flags);                                     \
        const mode_t mode = ModeArgument(flags, args);             \
        va_end(args);                                              \
        const int fd = real_##name(path, flags, mode);             \
        if (fd >= 0) Track(fd, AT_FDCWD, path, OpenWrites(flags)); \
        return fd;                                                 \
    }
DEFINE_OPEN(open)
DEFINE_OPEN(open64)

#define DEFINE_OPENAT(name)                                        \
    EXPORT int name(int dirfd, const char* path, int flags, ...) { \
        REAL(name, int (*)(int, const char*, int, ...));           \
        va_list args;                                              \
        va_start(args, flags);                                     \
        const mode_t mode = ModeArgument(flags, args);             \
        va_end(args);                                              \
        const int fd = real_##name(dirfd, path, flags, mode);      \
        if (fd >= 0) Track(fd, dirfd, path, OpenWrites(flags));    \
        return fd;                                                 \
    }
DEFINE_OPENAT(openat)
DEFINE_OPENAT(openat64)

/* The fortified forms, called when the mode argument is absent. */
#define DEFINE_OPEN_2(name)                                        \
    EXPORT int name(const char* path, int flags) {                 \
        REAL(name, int (*)(const char*, int));                     \
        const int fd = real_##name(path, flags);                   \
        if (fd >= 0) Track(fd, AT_FDCWD, path, OpenWrites(flags)); \
        return fd;                                                 \
    }
DEFINE_OPEN_2(__open_2)
DEFINE_OPEN_2(__open64_2)

#define DEFINE_OPENAT_2(name)                                   \
    EXPORT int name(int dirfd, const char* path, int flags) {   \
        REAL(name, int (*)(int, const char*, int));             \
        const int fd = real_##name(dirfd, path, flags);         \
        if (fd >= 0) Track(fd, dirfd, path, OpenWrites(flags)); \
        return fd;                                              \
    }
DEFINE_OPENAT_2(__openat_2)
DEFINE_OPENAT_2(__openat64_2)

#define DEFINE_CREAT(name)                           \
    EXPORT int name(const char* path, mode_t mode) { \
        REAL(name, int (*)(const char*, mode_t));    \
        const int fd = real_##name(path, mode);      \
        if (fd >= 0) Track(fd, AT_FDCWD, path, 1);   \
        return fd;                                   \
    }
DEFINE_CREAT(creat)
DEFINE_CREAT(creat64)

#define DEFINE_FOPEN(name)                                           \
    EXPORT FILE* name(const char* path, const char* mode) {          \
        REAL(name, FILE* (*)(const char*, const char*));             \
        FILE* fp = real_##name(path, mode);                          \
        if (fp) Track(fileno(fp), AT_FDCWD, path, ModeWrites(mode)); \
        return fp;                                                   \
    }
DEFINE_FOPEN(fopen)
DEFINE_FOPEN(fopen64)

/* mkstemp and its relatives fill in the template before they return. */
#define DEFINE_MKSTEMP(name)                          \
    EXPORT int name(char* pattern) {                  \
        REAL(name, int (*)(char*));                   \
        const int fd = real_##name(pattern);          \
        if (fd >= 0) Track(fd, AT_FDCWD, pattern, 1); \
        return fd;                                    \
    }
DEFINE_MKSTEMP(mkstemp)
DEFINE_MKSTEMP(mkstemp64)

#define DEFINE_MKOSTEMP(name)                         \
    EXPORT int name(char* pattern, int flags) {       \
        REAL(name, int (*)(char*, int));              \
        const int fd = real_##name(pattern, flags);   \
        if (fd >= 0) Track(fd, AT_FDCWD, pattern, 1); \
        return fd;                                    \
    }
DEFINE_MKOSTEMP(mkostemp)
DEFINE_MKOSTEMP(mkostemp64)

#define DEFINE_MKSTEMPS(name)                         \
    EXPORT int name(char* pattern, int suffix) {      \
        REAL(name, int (*)(char*, int));              \
        const int fd = real_##name(pattern, suffix);  \
        if (fd >= 0) Track(fd, AT_FDCWD, pattern, 1); \
        return fd;                                    \
    }
DEFINE_MKSTEMPS(mkstemps)
DEFINE_MKSTEMPS(mkstemps64)

#define DEFINE_MKOSTEMPS(name)                              \
    EXPORT int name(char* pattern, int suffix, int flags) { \
        REAL(name, int (*)(char*, int, int));               \
        const int fd = real_##name(pattern, suffix, flags); \
        if (fd >= 0) Track(fd, AT_FDCWD, pattern, 1);       \
        return fd;                                          \
    }
DEFINE_MKOSTEMPS(mkostemps)
DEFINE_MKOSTEMPS(mkostemps64)

EXPORT int close(int fd) {
    REAL(close, int (*)(int));
    Forget(fd);
    return real_close(fd);
}

EXPORT int fclose(FILE* fp) {
    REAL(fclose, int (*)(FILE*));
    if (fp) Forget(fileno(fp));
    return real_fclose(fp);
}

/* ---- writing through a descriptor ---------------------------------------------------- */

EXPORT ssize_t write(int fd, const void* data, size_t size) {
    REAL(write, ssize_t(*)(int, const void*, size_t));
    const size_t room = Room(fd, size);
    if (size > 0 && room == 0) {
        errno = ENOSPC;
        return -1;
    }
    const ssize_t n = real_write(fd, data, room);
    Spend(fd, n);
    return n;
}

#define DEFINE_PWRITE(name, off)                                             \
    EXPORT ssize_t name(int fd, const void* data, size_t size, off offset) { \
        REAL(name, ssize_t (*)(int, const void*, size_t, off));              \
        const size_t room = Room(fd, size);                                  \
        if (size > 0 && room == 0) {                                         \
            errno = ENOSPC;                                                  \
            return -1;                                                       \
        }                                                                    \
        const ssize_t n = real_##name(fd, data, room, offset);               \
        Spend(fd, n);                                                        \
        return n;                                                            \
    }
DEFINE_PWRITE(pwrite, off_t)
DEFINE_PWRITE(pwrite64, off64_t)

/* The vectored writes: what does not fit is cut from the end of the vector. */
static int CutVector(int fd, const struct iovec* iov, int count, struct iovec* cut) {
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += iov[i].iov_len;
    size_t room = Room(fd, total);
    if (total > 0 && room == 0) {
        errno = ENOSPC;
        return -1;
    }
    int n = 0;
    for (int i = 0; i < count && i < IOV_MAX; ++i) {
        cut[n] = iov[i];
        if (cut[n].iov_len > room) cut[n].iov_len = room;
        room -= cut[n].iov_len;
        ++n;
    }
    return n;
}

EXPORT ssize_t writev(int fd, const struct iovec* iov, int count) {
    REAL(writev, ssize_t(*)(int, const struct iovec*, int));
    if (!Tracked(fd) || count <= 0) return real_writev(fd, iov, count);
    struct iovec cut[IOV_MAX];
    const int n = CutVector(fd, iov, count, cut);
    if (n < 0) return -1;
    const ssize_t written = real_writev(fd, cut, n);
    Spend(fd, written);
    return written;
}

#define DEFINE_PWRITEV(name, off)                                                   \
    EXPORT ssize_t name(int fd, const struct iovec* iov, int count, off offset) {   \
        REAL(name, ssize_t (*)(int, const struct iovec*, int, off));                \
        if (!Tracked(fd) || count <= 0) return real_##name(fd, iov, count, offset); \
        struct iovec cut[IOV_MAX];                                                  \
        const int n = CutVector(fd, iov, count, cut);                               \
        if (n < 0) return -1;                                                       \
        const ssize_t written = real_##name(fd, cut, n, offset);                    \
        Spend(fd, written);                                                         \
        return written;                                                             \
    }
DEFINE_PWRITEV(pwritev, off_t)
DEFINE_PWRITEV(pwritev64, off64_t)

EXPORT ssize_t copy_file_range(int in, off64_t* inOffset, int out, off64_t* outOffset, size_t size,
                               unsigned flags) {
    REAL(copy_file_range, ssize_t(*)(int, off64_t*, int, off64_t*, size_t, unsigned));
    const size_t room = Room(out, size);
    if (size > 0 && room == 0) {
        errno = ENOSPC;
        return -1;
    }
    const ssize_t n = real_copy_file_range(in, inOffset, out, outOffset, room, flags);
    Spend(out, n);
    return n;
}

#define DEFINE_SENDFILE(name, off)                                   \
    EXPORT ssize_t name(int out, int in, off* offset, size_t size) { \
        REAL(name, ssize_t (*)(int, int, off*, size_t));             \
        const size_t room = Room(out, size);                         \
        if (size > 0 && room == 0) {                                 \
            errno = ENOSPC;                                          \
            return -1;                                               \
        }                                                            \
        const ssize_t n = real_##name(out, in, offset, room);        \
        Spend(out, n);                                               \
        return n;                                                    \
    }
DEFINE_SENDFILE(sendfile, off_t)
DEFINE_SENDFILE(sendfile64, off64_t)

/* Reserving space takes it from the budget; what does not fit is refused whole. */
#define DEFINE_FALLOCATE(name, off)                                           \
    EXPORT int name(int fd, int mode, off offset, off size) {                 \
        REAL(name, int (*)(int, int, off, off));                              \
        if (Tracked(fd) && size > 0 && (unsigned long long)size > g_budget) { \
            errno = ENOSPC;                                                   \
            return -1;                                                        \
        }                                                                     \
        const int rc = real_##name(fd, mode, offset, size);                   \
        if (rc == 0) Spend(fd, size);                                         \
        return rc;                                                            \
    }
DEFINE_FALLOCATE(fallocate, off_t)
DEFINE_FALLOCATE(fallocate64, off64_t)

#define DEFINE_POSIX_FALLOCATE(name, off)                                                  \
    EXPORT int name(int fd, off offset, off size) {                                        \
        REAL(name, int (*)(int, off, off));                                                \
        if (Tracked(fd) && size > 0 && (unsigned long long)size > g_budget) return ENOSPC; \
        const int rc = real_##name(fd, offset, size);                                      \
        if (rc == 0) Spend(fd, size);                                                      \
        return rc;                                                                         \
    }
DEFINE_POSIX_FALLOCATE(posix_fallocate, off_t)
DEFINE_POSIX_FALLOCATE(posix_fallocate64, off64_t)

/* ---- writing through a stream -------------------------------------------------------- */

/* The stream's buffer holds what was accepted; the count is taken when it is accepted. */
#define DEFINE_FWRITE(name)                                                                     \
    EXPORT size_t name(const void* data, size_t size, size_t count, FILE* fp) {                 \
        REAL(name, size_t (*)(const void*, size_t, size_t, FILE*));                             \
        const int fd = fileno(fp);                                                              \
        if (!Tracked(fd) || size == 0 || count == 0) return real_##name(data, size, count, fp); \
        size_t fits = Room(fd, size * count) / size;                                            \
        if (fits > count) fits = count;                                                         \
        size_t written = fits > 0 ? real_##name(data, size, fits, fp) : 0;                      \
        Spend(fd, (long long)(written * size));                                                 \
        if (written < count) errno = ENOSPC;                                                    \
        return written;                                                                         \
    }
DEFINE_FWRITE(fwrite)

EXPORT int fputs(const char* text, FILE* fp) {
    REAL(fputs, int (*)(const char*, FILE*));
    const int fd = fileno(fp);
    if (!Tracked(fd)) return real_fputs(text, fp);
    const size_t size = strlen(text);
    return fwrite(text, 1, size, fp) == size ? 1 : EOF;
}

#define DEFINE_FPUTC(name)                                \
    EXPORT int name(int c, FILE* fp) {                    \
        REAL(name, int (*)(int, FILE*));                  \
        const int fd = fileno(fp);                        \
        if (!Tracked(fd)) return real_##name(c, fp);      \
        const unsigned char byte = (unsigned char)c;      \
        return fwrite(&byte, 1, 1, fp) == 1 ? byte : EOF; \
    }
DEFINE_FPUTC(fputc)
DEFINE_FPUTC(putc)
