// Must compile: the same header accepts a number and count the catalogue has, so the
// two failing checks fail for their own reason and not for a broken set-up.
#include "base/Messages.h"

using namespace UpdateNew;

std::wstring UseRightCount() {
    return Msg<151>(L"a") + MsgLib<2>(L"path", L"reason");
}
