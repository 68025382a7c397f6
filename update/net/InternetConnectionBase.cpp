#include "net/InternetConnectionBase.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/Conv.h"

namespace UpdateNew {

void PrintConnectionDiagnostic(const wchar_t* text) {
    std::string bytes = ToMultibyte(text);
    std::fflush(stdout);
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
        ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to report a failing standard output
        p += n;
        left -= static_cast<size_t>(n);
    }
}

InternetConnectionBase::~InternetConnectionBase() {
    if (m_ownsOptions) delete m_options;
}

}  // namespace UpdateNew
