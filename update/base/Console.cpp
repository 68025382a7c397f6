#include "base/Console.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

#include "base/Conv.h"
#include "base/FileUtils.h"
#include "base/FormatConverter.h"
#include "base/Messages.h"

namespace UpdateNew {

namespace {

std::atomic<bool> g_silenced{false};
// Whether the program was started without a standard output.
bool g_stdoutClosed = false;
// Whether the last byte written ended a line (or nothing was written yet).
bool g_atLineStart = true;

// Standard output and standard error are one terminal that understands cursor control.
bool SharesTerminalWithStatusLine() {
    if (isatty(STDOUT_FILENO) != 1 || isatty(STDERR_FILENO) != 1) return false;
    const char* term = std::getenv("TERM");
    if (term && std::strcmp(term, "dumb") == 0) return false;
    struct stat out, err;
    if (fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0) return false;
    return out.st_rdev == err.st_rdev;
}

}  // namespace

bool ConsoleWrite(const std::string& bytes) {
    if (g_silenced.load()) return false;
    if (bytes.empty()) return true;
    static const bool clearStatusLine = SharesTerminalWithStatusLine();
    bool written;
    if (clearStatusLine && g_atLineStart) {
        written = WriteAll(STDOUT_FILENO, "\r\033[K" + bytes);
    } else {
        written = WriteAll(STDOUT_FILENO, bytes);
    }
    if (!written) {
        g_silenced.store(true);
        return false;
    }
    g_atLineStart = bytes.back() == '\n';
    return true;
}

bool ConsoleSilenced() {
    return g_silenced.load();
}

void OpenStandardDescriptors() {
    for (int fd = 0; fd < 3; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free number: `fd` itself, as the ones below it are open.
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
        if (fd == STDOUT_FILENO) {
            g_silenced.store(true);
            g_stdoutClosed = true;
        }
    }
}

bool StdoutFlushed(int& error) {
    if (g_stdoutClosed) {
        error = EBADF;
        return false;
    }
    // A write that failed before left its reason in errno, unless something changed it.
    if (!std::ferror(stdout)) errno = 0;
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return true;
    error = errno ? errno : EIO;
    return false;
}

bool AnswerWritten(const std::wstring& what) {
    int error = 0;
    if (StdoutFlushed(error)) return true;
    std::fprintf(stderr, "%s\n", ToMultibyte(Msg<1213>(what, SystemErrorText(error))).c_str());
    return false;
}

void ConsolePrintf(const wchar_t* format, ...) {
    UpdateNew::FormatConverter converted(format);
    std::vector<wchar_t> buf(512);
    for (int attempt = 0; attempt < 8; ++attempt) {
        va_list args;
        va_start(args, format);
        int n = std::vswprintf(buf.data(), buf.size(), converted.c_str(), args);
        va_end(args);
        if (n >= 0) {
            ConsoleWrite(ToMultibyte(std::wstring(buf.data(), static_cast<size_t>(n))));
            return;
        }
        buf.resize(buf.size() * 4);  // too long (or unconvertible): grow, a bounded number of times
    }
}

}  // namespace UpdateNew
