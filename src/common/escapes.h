#pragma once
// Command texts of the serial meters are kept in the configuration file as plain text in
// which a backslash introduces an escape: "\\" is one backslash, a backslash and three
// decimal digits is the byte with that code, so control bytes (STX, ETX, CR) can be written.

#include <string>
#include <string_view>

namespace kv {

// Decodes the escapes. A backslash with three characters that are not a number from 0 to
// 255 is dropped together with them (fewer than three left: dropped to the end).
std::string decodeEscapes(std::string_view text);

}  // namespace kv
