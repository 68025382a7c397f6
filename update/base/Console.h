// Short English diagnostics on standard output (the layers that return numeric codes
// print these), in the program's format convention ("%s" takes a wide string). Written at
// the descriptor, so they never fight the C streams over wide or narrow orientation.
#pragma once

namespace UpdateNew {

void ConsolePrintf(const wchar_t* format, ...);

}  // namespace UpdateNew
