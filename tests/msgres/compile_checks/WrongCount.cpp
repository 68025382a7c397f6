// Must not compile: message 151 takes one parameter, not two.
#include "base/Messages.h"

using namespace UpdateNew;

std::wstring UseWrongCount() {
    return Msg<151>(L"a", L"b");
}
