// Test plug-in (libnouninit.so) with the initialisation entry points only: it loads and
// its default tables work, but unloading fails with 634 (message 128 for the GUI kind,
// 129 for the library kind) because UninitializeGuiLibA / UninitializeLibA are missing.
// The tables are static: nobody would ever hand them back to be released.
#include "update/UpdateGuiCallbacks.h"
#include "update/UpdateLibCallbacks.h"

namespace {
CUpdateLibCallbacks g_cLib;
CUpdateGuiCallbacks g_cGui;
}  // namespace

extern "C" {
CUpdateLibCallbacks* InitializeLibA() {
    return &g_cLib;
}
CUpdateGuiCallbacks* InitializeGuiLibA() {
    return &g_cGui;
}
}
