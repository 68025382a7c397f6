// Small wide-string services shared by the engine: trimming, case mapping, replacing,
// splitting with optional double-quote grouping, and UTF-8 to the local 8-bit text.
// All functions are pure: they take their input by reference and return a new string.
#pragma once

#include <string>
#include <vector>

namespace UpdateNew {

// Which ends Trim works on; the values combine as bits.
enum ETrimSides { TRIM_LEFT = 1, TRIM_RIGHT = 2, TRIM_BOTH = TRIM_LEFT | TRIM_RIGHT };

// The characters Trim removes by default: blanks, tabs and line ends.
extern const wchar_t* const kTrimBlanks;
// Blanks, tabs, line ends, vertical tabs and form feeds, for readers that accept all of them.
extern const wchar_t* const kTrimAllSpace;

// Removes every character of `chars` from the chosen end(s) of `text`.
std::wstring Trim(const std::wstring& text, int sides = TRIM_BOTH,
                  const wchar_t* chars = kTrimBlanks);

// Case mapping character by character with the C library (towlower/towupper) under the
// current locale.
std::wstring ToLower(const std::wstring& text);
// Whether `text` ends in `tail` (case matters).
bool EndsWith(const std::wstring& text, const std::wstring& tail);
std::wstring ToUpper(const std::wstring& text);

// Replaces every occurrence of `what` by `with`, scanning left to right without rescanning
// inserted text. An empty `what` leaves the text unchanged.
std::wstring ReplaceAll(const std::wstring& text, const std::wstring& what,
                        const std::wstring& with);

// Splits `text` at any character of `separators`.
//  - honourQuotes: separators between a pair of double quotes do not split; the quotes stay
//    in the part (an unclosed quote protects the rest of the text).
//  - skipEmpty: empty parts (runs of separators, separators at either end) are dropped.
// An empty text gives one empty part, or no part with skipEmpty.
std::vector<std::wstring> Split(const std::wstring& text, const std::wstring& separators,
                                bool honourQuotes = false, bool skipEmpty = false);

// Converts UTF-8 text to the local 8-bit (multibyte) text of the current locale, character
// by character; a character the locale cannot represent, and an invalid UTF-8 sequence,
// become "?" (so does U+FFFD itself). Used by the XML reader, which hands out UTF-8.
std::string Utf8ToAscii(const std::string& utf8);

}  // namespace UpdateNew
