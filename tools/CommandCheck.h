// The check of module commands at publication: the updater runs a PRE, POST or UNPOST
// program from the installation root, found by the last component of the command's
// program path, so a command whose program the product does not install there cannot run.
#pragma once

#include <string>
#include <vector>

#include "ProductResolver.h"

namespace UpdateNew {

// One warning text per command (of the commands that apply on this system) whose program
// is no file that a module installs directly into the installation root (DESTINATION
// %INSTALL_PATH% or %INSTALL_DIR%).
std::vector<std::wstring> CheckModuleCommands(const std::vector<ResolvedModule>& modules);

}  // namespace UpdateNew
