#include "TerminalWriter.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>

TerminalWriter::TerminalWriter(int fd) : m_fd(fd) {
    const char* term = std::getenv("TERM");
    m_terminal = isatty(fd) == 1 && !(term && std::strcmp(term, "dumb") == 0);
    const char* noColour = std::getenv("NO_COLOR");
    m_colours = m_terminal && !(noColour && *noColour);
}

int TerminalWriter::columns() const {
    struct winsize ws;
    if (ioctl(m_fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    if (const char* env = std::getenv("COLUMNS")) {
        long n = std::strtol(env, nullptr, 10);
        if (n > 0 && n < 10000) return static_cast<int>(n);
    }
    return 80;
}

void TerminalWriter::write(const std::string& bytes) {
    if (m_broken || bytes.empty()) return;

    // A reader that went away must not kill the updater with SIGPIPE: block it while
    // writing and take back a SIGPIPE this write raised (one that was already pending
    // before belongs to someone else and stays).
    sigset_t pipeOnly, previous, pending;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipeOnly, &previous);
    sigemptyset(&pending);
    sigpending(&pending);
    const bool wasPending = sigismember(&pending, SIGPIPE) == 1;

    size_t done = 0;
    bool raisedPipe = false;
    while (done < bytes.size()) {
        ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            raisedPipe = n < 0 && errno == EPIPE;
            m_broken = true;
            break;
        }
    }
    if (raisedPipe && !wasPending) {
        const struct timespec now = {0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &now) < 0 && errno == EINTR) {
        }
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

std::string ToLocale(const std::wstring& text) {
    std::string out;
    std::mbstate_t state;
    std::memset(&state, 0, sizeof(state));
    char buffer[MB_LEN_MAX];
    for (wchar_t c : text) {
        size_t n = std::wcrtomb(buffer, c, &state);
        if (n == static_cast<size_t>(-1)) {
            std::memset(&state, 0, sizeof(state));
            out += '?';
        } else {
            out.append(buffer, n);
        }
    }
    return out;
}

namespace {
int CharWidth(wchar_t c) {
    int w = ::wcwidth(c);
    return w < 0 ? 1 : w;
}
}  // namespace

int DisplayWidth(const std::wstring& text) {
    int width = 0;
    for (wchar_t c : text) width += CharWidth(c);
    return width;
}

std::wstring FitColumns(const std::wstring& text, int columns, bool keepEnd) {
    if (columns <= 0) return std::wstring();
    if (DisplayWidth(text) <= columns) return text;
    if (columns <= 3) return std::wstring(static_cast<size_t>(columns), L'.');
    const int room = columns - 3;
    std::wstring kept;
    int width = 0;
    if (keepEnd) {
        for (auto it = text.rbegin(); it != text.rend(); ++it) {
            if (width + CharWidth(*it) > room) break;
            width += CharWidth(*it);
            kept.insert(kept.begin(), *it);
        }
        return L"..." + kept;
    }
    for (wchar_t c : text) {
        if (width + CharWidth(c) > room) break;
        width += CharWidth(c);
        kept += c;
    }
    return kept + L"...";
}
