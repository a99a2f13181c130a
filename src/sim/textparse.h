#pragma once
// Strict number parsing and "key=value" word lists for the lab description and the
// simulated devices' command parsers.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kv::sim {

// Whole text must be a decimal integer (optional sign); no blanks.
bool parseInt(std::string_view s, int& out);
bool parseLong(std::string_view s, long long& out);
// Whole text must be a number ("." decimal point).
bool parseReal(std::string_view s, double& out);

// "a=1 b c=x" -> {a,1} {b,""} {c,x}; keys lower-cased.
std::vector<std::pair<std::string, std::string>> keyValueWords(std::string_view text);

}  // namespace kv::sim
