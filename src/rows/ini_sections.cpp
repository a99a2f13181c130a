#include "rows/ini_sections.h"

#include <fstream>
#include <iterator>

#include "common/numtext.h"
#include "common/strutil.h"

namespace kv {

namespace {

std::string unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

}  // namespace

bool IniSections::load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::string content((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    parse(content);
    return true;
}

void IniSections::parse(std::string_view content) {
    sections_.clear();
    sectionIndex_.clear();
    lines_.clear();
    Section* current = nullptr;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string_view::npos) end = content.size();
        std::string_view line = content.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines_.emplace_back(line);

        const std::string_view t = trim(line);
        if (t.empty() || t.front() == ';') continue;
        if (t.front() == '[') {
            const auto close = t.find(']');
            if (close == std::string_view::npos) continue;
            const std::string name = toLowerAscii(decodeLegacyLine(trim(t.substr(1, close - 1))));
            sections_.emplace_back();
            current = &sections_.back();
            sectionIndex_.try_emplace(name, sections_.size() - 1);
            continue;
        }
        if (current == nullptr) continue;
        const auto eq = t.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = trim(t.substr(0, eq));
        if (key.empty()) continue;
        Entry e{decodeLegacyLine(key), std::string(trim(t.substr(eq + 1)))};
        current->index.try_emplace(toLowerAscii(e.key), current->entries.size());
        current->entries.push_back(std::move(e));
    }
}

bool IniSections::hasSection(std::string_view section) const {
    return sectionIndex_.count(toLowerAscii(section)) > 0;
}

std::vector<std::string> IniSections::keys(std::string_view section) const {
    std::vector<std::string> out;
    const auto s = sectionIndex_.find(toLowerAscii(section));
    if (s == sectionIndex_.end()) return out;
    for (const Entry& e : sections_[s->second].entries) out.push_back(e.key);
    return out;
}

const IniSections::Entry* IniSections::find(std::string_view section, std::string_view key) const {
    const auto s = sectionIndex_.find(toLowerAscii(section));
    if (s == sectionIndex_.end()) return nullptr;
    const Section& sec = sections_[s->second];
    const auto k = sec.index.find(toLowerAscii(key));
    return k == sec.index.end() ? nullptr : &sec.entries[k->second];
}

bool IniSections::hasKey(std::string_view section, std::string_view key) const {
    return find(section, key) != nullptr;
}

std::string IniSections::readString(std::string_view section, std::string_view key,
                                    std::string_view def) const {
    const Entry* e = find(section, key);
    return e ? unquote(decodeLegacyLine(e->raw)) : std::string(def);
}

std::string IniSections::readRaw(std::string_view section, std::string_view key,
                                 std::string_view def) const {
    const Entry* e = find(section, key);
    return e ? e->raw : std::string(def);
}

int IniSections::readInteger(std::string_view section, std::string_view key, int def) const {
    const Entry* e = find(section, key);
    return e ? textToIntDef(unquote(e->raw), def) : def;
}

std::vector<std::string> IniSections::linesAfter(std::string_view marker) const {
    std::vector<std::string> out;
    bool found = false;
    for (const std::string& l : lines_) {
        if (found)
            out.push_back(l);
        else if (iequals(trim(l), marker))
            found = true;
    }
    return out;
}

}  // namespace kv
