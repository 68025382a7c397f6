// Test plug-in (libnulltable.so) whose entry points return no table: it loads, and the
// first use of its table fails with 634 (message 130 for the GUI kind, 131 for the
// library kind).
#include "update/UpdateGuiCallbacks.h"
#include "update/UpdateLibCallbacks.h"

extern "C" {
CUpdateLibCallbacks* InitializeLibA() {
    return nullptr;
}
void UninitializeLibA(CUpdateLibCallbacks*) {}
CUpdateGuiCallbacks* InitializeGuiLibA() {
    return nullptr;
}
void UninitializeGuiLibA(CUpdateGuiCallbacks*) {}
}
