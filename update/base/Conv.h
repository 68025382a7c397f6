// Conversions between the program's wide strings and the outside world's bytes. Every
// boundary (files, network, libraries, child processes) converts here and nowhere else.
#pragma once

#include <string>

namespace UpdateNew {

// Sets the process locale from the environment once; every conversion calls it first.
void EnsureLocale();

// Wide to the locale's multibyte encoding; false (and `out` untouched) when a character
// has no representation.
bool WideToMultibyte(const std::wstring& in, std::string& out);
// The locale's multibyte encoding to wide; false on an invalid sequence.
bool MultibyteToWide(const std::string& in, std::wstring& out);

// Best-effort forms for paths and diagnostics: unconvertible input gives "".
std::string ToMultibyte(const std::wstring& in);
std::wstring FromMultibyte(const std::string& in);

// UTF-8 <-> wide, independent of the locale. Invalid UTF-8 bytes become U+FFFD.
std::string WideToUtf8(const std::wstring& in);
std::wstring Utf8ToWide(const std::string& in);

}  // namespace UpdateNew
