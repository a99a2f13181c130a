#include "sim/textparse.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

#include "common/strutil.h"

namespace kv::sim {

bool parseLong(std::string_view s, long long& out) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    if (s.empty()) return false;
    long long v = 0;
    const auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size()) return false;
    out = v;
    return true;
}

bool parseInt(std::string_view s, int& out) {
    long long v = 0;
    if (!parseLong(s, v) || v < -2147483647LL || v > 2147483647LL) return false;
    out = static_cast<int>(v);
    return true;
}

bool parseReal(std::string_view s, double& out) {
    if (s.empty() || s.size() > 64) return false;
    const std::string buf(s);
    char* end = nullptr;
    const double v = std::strtod(buf.c_str(), &end);
    if (end != buf.c_str() + buf.size() || !std::isfinite(v)) return false;
    out = v;
    return true;
}

std::vector<std::pair<std::string, std::string>> keyValueWords(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> out;
    const std::string spaced = replaceAll(std::string(text), "\t", " ");
    for (auto word : split(spaced, ' ')) {
        word = trim(word);
        if (word.empty()) continue;
        const auto eq = word.find('=');
        if (eq == std::string_view::npos) {
            out.emplace_back(toLowerAscii(word), std::string());
        } else {
            out.emplace_back(toLowerAscii(trim(word.substr(0, eq))),
                             std::string(trim(word.substr(eq + 1))));
        }
    }
    return out;
}

}  // namespace kv::sim
