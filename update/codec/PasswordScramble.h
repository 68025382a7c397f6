// Passwords stored in configuration files as hexadecimal text. The stored bytes are the
// password's wide characters, 4 bytes each, least significant byte first, zero-filled to
// 2 * length bytes; the first `length` bytes are XORed with a key stream started from a
// seed that the caller holds (the configuration uses length 40 and PasswordSeed()).
// Key stream: state = seed; per byte k = state % 255 + 1, state = state / 255 + state + k
// (32-bit unsigned arithmetic), byte ^= k.
#pragma once

#include <cstdint>
#include <string>

namespace UpdateNew {

// Turns `hexText` back into the password. The text must hold exactly 4 * length
// hexadecimal digits (160 for length 40); any other text gives the empty text. The password
// ends at its first zero character (or after 2 * length bytes).
std::wstring DescramblePassword(const std::wstring& hexText, int length, uint32_t seed);

// Whether `hexText` has the scrambled form: exactly 4 * length hexadecimal digits.
bool IsScrambledPassword(const std::wstring& hexText, int length);

// The scrambling direction: the 4 * length lowercase hexadecimal digits that
// DescramblePassword turns back into `password`. The empty text when the password does
// not fit into 2 * length bytes (at most length / 2 characters) or length is not positive.
std::wstring ScramblePassword(const std::wstring& password, int length, uint32_t seed);

}  // namespace UpdateNew
