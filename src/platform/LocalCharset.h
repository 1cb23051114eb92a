// Conversions between the platform's local character set and UTF-8.
//
// The local character set of this platform is UTF-8, so the conversion is
// the identity: texts are passed through byte for byte, whatever they hold.
#pragma once

#include <cstddef>
#include <string>

std::string localToUtf(const std::string& text);

// Converts a zero-terminated wide-character text to UTF-8 into out, a buffer of
// outSize bytes, always zero-terminated when outSize > 0. Returns the number
// of bytes stored before the zero, or -1 when the text does not fit (out then
// holds the characters that fit, never a partial sequence) or holds a value
// that is not a character (a surrogate or beyond 0x10FFFF).
int ConvertUnicodeToUtf8(const wchar_t* in, char* out, size_t outSize);
