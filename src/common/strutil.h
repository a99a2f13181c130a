#pragma once
// Small text helpers shared by every module.

#include <string>
#include <string_view>
#include <vector>

namespace kv {

// Trims blanks, tabs and line ends.
std::string_view trim(std::string_view s);
std::string trimmed(std::string_view s);
// The parts are views into s: s must outlive them. Splitting a temporary string would leave
// them dangling, so that overload does not exist.
std::vector<std::string_view> split(std::string_view s, char sep);
std::vector<std::string_view> split(std::string&& s, char sep) = delete;
inline std::vector<std::string_view> split(const char* s, char sep) {
    return split(std::string_view(s), sep);
}
// Fields of a comma list, each trimmed; used by configuration values.
std::vector<std::string> splitList(std::string_view s, char sep = ',');
std::string join(const std::vector<std::string>& parts, std::string_view sep);

// ASCII case folding: configuration keys, sections and language keys compare this way.
std::string toLowerAscii(std::string_view s);
bool iequals(std::string_view a, std::string_view b);
bool startsWith(std::string_view s, std::string_view prefix);
bool istartsWith(std::string_view s, std::string_view prefix);
std::string replaceAll(std::string s, std::string_view from, std::string_view to);

// Files written by the original Windows program are in the ANSI code page. A line that is
// valid UTF-8 is kept; any other line is decoded as Windows-1252.
bool isValidUtf8(std::string_view s);
std::string cp1252ToUtf8(std::string_view s);
std::string decodeLegacyLine(std::string_view s);

// One UTF-8 character from a code point (for the degree sign, the fill character, ...).
std::string utf8FromCodePoint(unsigned cp);
// The first character of a UTF-8 text (whole sequence), or "" for an empty text.
std::string firstUtf8Char(std::string_view s);
// Number of code points; display widths of the log's category column count characters.
size_t utf8Length(std::string_view s);

}  // namespace kv
