#include "console/command_line.h"

#include <charconv>
#include <cmath>

#include "common/numtext.h"
#include "common/strutil.h"

namespace kv {

namespace {
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}
}  // namespace

bool splitCommandLine(std::string_view line, std::vector<std::string>& words, std::string& error) {
    words.clear();
    std::string word;
    bool inWord = false, quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                word += line[++i];
            } else if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
        } else if (isBlank(c)) {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else {
            inWord = true;
            if (c == '"')
                quoted = true;
            else
                word += c;
        }
    }
    if (quoted) {
        error = "unfinished quote";
        words.clear();
        return false;
    }
    if (inWord) words.push_back(std::move(word));
    return true;
}

std::string quoteWord(std::string_view word) {
    bool plain = !word.empty();
    for (char c : word)
        if (isBlank(c) || c == '"' || c == '\\') plain = false;
    if (plain) return std::string(word);
    std::string out = "\"";
    for (char c : word) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

bool parseInt(std::string_view text, int& value) {
    if (text.empty() || text.size() > 11) return false;
    const char* first = text.data();
    const char* last = first + text.size();
    int v = 0;
    const auto [p, ec] = std::from_chars(first, last, v);
    if (ec != std::errc() || p != last) return false;
    value = v;
    return true;
}

bool parseSpan(std::string_view text, double& value, TimeUnit& unit) {
    size_t k = 0;
    while (k < text.size() &&
           ((text[k] >= '0' && text[k] <= '9') || text[k] == '.' || text[k] == ','))
        ++k;
    const std::string_view number = text.substr(0, k);
    const std::string_view u = text.substr(k);
    if (number.empty()) return false;
    if (iequals(u, "min"))
        unit = TimeUnit::Minutes;
    else if (iequals(u, "h"))
        unit = TimeUnit::Hours;
    else if (iequals(u, "d"))
        unit = TimeUnit::Days;
    else
        return false;
    const double v = textToReal(number);
    if (isNoValue(v) || !std::isfinite(v)) return false;
    value = v;
    return true;
}

std::string spanText(double value, TimeUnit unit) {
    const char* u = unit == TimeUnit::Minutes ? "min"
                    : unit == TimeUnit::Hours ? "h"
                    : unit == TimeUnit::Days  ? "d"
                                              : "?";
    return realToText(value, 0, -5) + u;
}

bool parseCellList(std::string_view text, std::vector<int>& cells, size_t limit) {
    cells.clear();
    if (text.empty()) return false;
    for (std::string_view part : split(text, ',')) {
        int from = 0, to = 0;
        const size_t dash = part.find('-');
        if (dash == std::string_view::npos) {
            if (!parseInt(part, from)) return false;
            to = from;
        } else if (!parseInt(part.substr(0, dash), from) || !parseInt(part.substr(dash + 1), to)) {
            return false;
        }
        if (from < 1 || to < from) return false;
        if (static_cast<size_t>(to - from) + 1 > limit - std::min(limit, cells.size()))
            return false;
        for (int c = from; c <= to; ++c) cells.push_back(c);
    }
    return !cells.empty();
}

std::string cellListText(const std::vector<int>& cells) {
    std::string out;
    size_t i = 0;
    while (i < cells.size()) {
        size_t j = i;
        while (j + 1 < cells.size() && cells[j + 1] == cells[j] + 1) ++j;
        if (!out.empty()) out += ',';
        out += std::to_string(cells[i]);
        if (j > i) out += "-" + std::to_string(cells[j]);
        i = j + 1;
    }
    return out;
}

}  // namespace kv
