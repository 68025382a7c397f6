// Pieces of JSON text for the documents the updater prints and writes (the installation's
// state, the run's report): strings quoted and escaped as UTF-8, lists of strings, times.
// Pure functions; thread-safe.
#pragma once

#include <string>
#include <vector>

namespace UpdateNew {

// `text` as a JSON string, quotes included; control characters as \u escapes.
std::string JsonString(const std::wstring& text);
// A JSON array of strings, on one line.
std::string JsonStrings(const std::vector<std::wstring>& texts);
// Seconds since the epoch as a UTC time text ("2024-05-01T10:00:00Z"); "" for 0.
std::string UtcTimeText(long long seconds);

}  // namespace UpdateNew
