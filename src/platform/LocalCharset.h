// Conversions between the platform's local character set and UTF-8.
//
// The local character set of this platform is UTF-8, so the conversion is
// the identity: texts are passed through byte for byte, whatever they hold.
#pragma once

#include <string>

std::string localToUtf(const std::string& text);
