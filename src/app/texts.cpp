#include "app/texts.h"

#include <fstream>

#include "common/strutil.h"

namespace kv {

namespace {
// A language file is a few hundred short lines; a longer line is not a text entry.
constexpr size_t kMaxLineBytes = 64 * 1024;
}  // namespace

int LanguageTexts::loadFromText(std::string_view content) {
    entries_.clear();
    size_t pos = 0;
    while (pos < content.size() && static_cast<int>(entries_.size()) < kMaxEntries) {
        size_t end = content.find('\n', pos);
        if (end == std::string_view::npos) end = content.size();
        std::string_view raw = content.substr(pos, end - pos);
        pos = end + 1;
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        if (raw.empty() || raw.front() == ';' || raw.size() > kMaxLineBytes) continue;
        const std::string line = decodeLegacyLine(raw);
        std::string_view l = line;
        Entry e;
        const auto bs = l.find('\\');
        if (bs == std::string_view::npos) {
            e.section = trimmed(l);
        } else {
            e.section = trimmed(l.substr(0, bs));
            const std::string_view rest = l.substr(bs + 1);
            const auto assign = rest.find(":=");
            if (assign == std::string_view::npos) {
                e.key = trimmed(rest);
            } else {
                e.key = trimmed(rest.substr(0, assign));
                e.text = trimmed(rest.substr(assign + 2));
            }
        }
        entries_.push_back(std::move(e));
    }
    return count();
}

int LanguageTexts::load(const std::string& fileName) {
    std::ifstream in(fileName, std::ios::binary);
    if (!in) {
        entries_.clear();
        return 0;
    }
    // Read at most what 600 entries of sensible length can occupy; a huge or binary file
    // must not exhaust memory.
    std::string content;
    constexpr size_t kMaxFileBytes = 8 * 1024 * 1024;
    content.resize(kMaxFileBytes);
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    content.resize(static_cast<size_t>(in.gcount()));
    // A zero byte cannot be part of a text; treat it as a line end.
    for (char& c : content)
        if (c == '\0') c = '\n';
    return loadFromText(content);
}

std::string LanguageTexts::get(std::string_view section, std::string_view key,
                               std::string_view def) const {
    const bool anySection = section == "*";
    for (const auto& e : entries_) {
        if ((anySection || iequals(e.section, section)) && iequals(e.key, key)) return e.text;
    }
    return std::string(def);
}

std::string replaceFirstPercentS(std::string text, std::string_view arg) {
    const auto pos = text.find("%s");
    if (pos != std::string::npos) text.replace(pos, 2, arg);
    return text;
}

std::string LanguageTexts::getFmt(std::string_view section, std::string_view key,
                                  std::string_view def, std::string_view a1, std::string_view a2,
                                  std::string_view a3, std::string_view a4) const {
    std::string t = get(section, key, def);
    for (std::string_view a : {a1, a2, a3, a4}) t = replaceFirstPercentS(std::move(t), a);
    return t;
}

LanguageTexts& languageTexts() {
    static LanguageTexts table;
    return table;
}

std::string GetText(std::string_view section, std::string_view key, std::string_view def) {
    return languageTexts().get(section, key, def);
}

std::string GetTextFmt(std::string_view section, std::string_view key, std::string_view def,
                       std::string_view a1, std::string_view a2, std::string_view a3,
                       std::string_view a4) {
    return languageTexts().getFmt(section, key, def, a1, a2, a3, a4);
}

}  // namespace kv
