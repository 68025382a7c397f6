// Counts and sizes as the run's lines show them, in one style everywhere: a count with its
// noun in the right number ("1 file", "4 files") and a byte size scaled like the progress
// display's ("59 B", "1.50 KiB", "12.3 MiB"). Texts come from the message catalogue.
#pragma once

#include <string>

namespace UpdateNew {

std::wstring FileCountText(unsigned long long count);
std::wstring ModuleCountText(unsigned long long count);
std::wstring ByteSizeText(unsigned long long bytes);

}  // namespace UpdateNew
