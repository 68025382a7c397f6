// Test plug-in (libnoentry.so) without any entry point: loading it as either plug-in kind
// must fail with 634 (message 127), because InitializeLibA / InitializeGuiLibA are missing.
#include "update/UpdateCallbackTypes.h"

extern "C" __attribute__((visibility("default"))) int NotAnEntryPoint() {
    return 0;
}
