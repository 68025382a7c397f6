// Must not compile: message 9999 is not in the catalogue.
#include "base/Messages.h"

using namespace UpdateNew;

std::wstring UseUnknownNumber() {
    return Msg<9999>();
}
