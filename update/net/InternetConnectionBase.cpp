#include "net/InternetConnectionBase.h"

#include <cstdio>

#include "base/Console.h"
#include "base/Conv.h"

namespace UpdateNew {

void PrintConnectionDiagnostic(const wchar_t* text) {
    std::fflush(stdout);
    (void)ConsoleWrite(ToMultibyte(text));
}

InternetConnectionBase::~InternetConnectionBase() {
    if (m_ownsOptions) delete m_options;
}

}  // namespace UpdateNew
