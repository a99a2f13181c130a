#include "app/inifile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "app/debuglog.h"
#include "common/fileio.h"
#include "common/numtext.h"
#include "common/strutil.h"

namespace kv {

namespace {

// "[name]" with optional blanks; returns false for other lines.
bool parseSectionHeader(std::string_view raw, std::string_view& name) {
    const std::string_view t = trim(raw);
    if (t.size() < 2 || t.front() != '[') return false;
    const auto close = t.find(']');
    if (close == std::string_view::npos) return false;
    name = trim(t.substr(1, close - 1));
    return true;
}

bool isComment(std::string_view t) {
    return !t.empty() && t.front() == ';';
}

// "key=value": splits at the first "="; false for lines without one.
bool parseKeyLine(std::string_view raw, std::string_view& key, std::string_view& value) {
    const std::string_view t = trim(raw);
    if (t.empty() || isComment(t) || t.front() == '[') return false;
    const auto eq = t.find('=');
    if (eq == std::string_view::npos) return false;
    key = trim(t.substr(0, eq));
    value = trim(t.substr(eq + 1));
    return !key.empty();
}

std::string unquote(std::string_view v) {
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        v = v.substr(1, v.size() - 2);
    return std::string(v);
}

}  // namespace

std::string writeFileAtomically(const std::string& path, std::string_view content) {
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return "cannot create " + tmp + ": " + std::strerror(errno);
    if (const int err = writeAllAndClose(fd, content); err != 0) {
        ::unlink(tmp.c_str());
        return "cannot write " + tmp + ": " + std::strerror(err);
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        const std::string err = "cannot replace " + path + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return err;
    }
    return {};
}

bool removeLeftoverTemporaryOf(const std::string& path) {
    const std::string tmp = path + ".tmp";
    if (::unlink(tmp.c_str()) != 0) return false;
    WriteDbg("Files", "left-over temporary file " + tmp + " of an interrupted replace removed; " +
                          path + " is the last good version");
    return true;
}

IniFile::IniFile(std::string path) : path_(std::move(path)) {
    std::ifstream in(path_, std::ios::binary);
    if (!in) return;
    existed_ = true;
    std::string line;
    bool firstLine = true;
    while (std::getline(in, line)) {
        if (firstLine) {
            eol_ = (!line.empty() && line.back() == '\r') ? "\r\n" : "\n";
            firstLine = false;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines_.push_back({std::move(line)});
    }
    if (in.bad()) lastError_ = "cannot read " + path_;
}

int IniFile::findSection(std::string_view section) const {
    for (size_t i = 0; i < lines_.size(); ++i) {
        std::string_view name;
        if (parseSectionHeader(lines_[i].raw, name) && iequals(name, section))
            return static_cast<int>(i);
    }
    return -1;
}

int IniFile::sectionEnd(int secLine) const {
    for (size_t i = static_cast<size_t>(secLine) + 1; i < lines_.size(); ++i) {
        std::string_view name;
        if (parseSectionHeader(lines_[i].raw, name)) return static_cast<int>(i);
    }
    return static_cast<int>(lines_.size());
}

int IniFile::findKey(int secLine, std::string_view key) const {
    const int end = sectionEnd(secLine);
    for (int i = secLine + 1; i < end; ++i) {
        std::string_view k, v;
        if (parseKeyLine(lines_[static_cast<size_t>(i)].raw, k, v) && iequals(k, key)) return i;
    }
    return -1;
}

std::optional<std::string> IniFile::rawValue(std::string_view section, std::string_view key) const {
    std::lock_guard lock(mutex_);
    const int s = findSection(section);
    if (s < 0) return std::nullopt;
    const int k = findKey(s, key);
    if (k < 0) return std::nullopt;
    std::string_view kk, v;
    parseKeyLine(lines_[static_cast<size_t>(k)].raw, kk, v);
    return std::string(v);
}

std::string IniFile::readString(std::string_view section, std::string_view key,
                                std::string_view def) const {
    const auto v = rawValue(section, key);
    return v ? unquote(decodeLegacyLine(*v)) : std::string(def);
}

std::string IniFile::readRaw(std::string_view section, std::string_view key,
                             std::string_view def) const {
    return rawValue(section, key).value_or(std::string(def));
}

int IniFile::readInteger(std::string_view section, std::string_view key, int def) const {
    return textToIntDef(readString(section, key, ""), def);
}

bool IniFile::hasKey(std::string_view section, std::string_view key) const {
    std::lock_guard lock(mutex_);
    const int s = findSection(section);
    return s >= 0 && findKey(s, key) >= 0;
}

bool IniFile::hasSection(std::string_view section) const {
    std::lock_guard lock(mutex_);
    return findSection(section) >= 0;
}

std::vector<std::string> IniFile::sections() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    for (const auto& l : lines_) {
        std::string_view name;
        if (parseSectionHeader(l.raw, name)) out.push_back(decodeLegacyLine(name));
    }
    return out;
}

std::vector<std::string> IniFile::keys(std::string_view section) const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> out;
    const int s = findSection(section);
    if (s < 0) return out;
    const int end = sectionEnd(s);
    for (int i = s + 1; i < end; ++i) {
        std::string_view k, v;
        if (parseKeyLine(lines_[static_cast<size_t>(i)].raw, k, v))
            out.push_back(decodeLegacyLine(k));
    }
    return out;
}

bool IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
    std::lock_guard lock(mutex_);
    // A line break inside a value would split it into two lines and corrupt the file.
    std::string v(value);
    for (char& c : v)
        if (c == '\r' || c == '\n') c = ' ';
    const std::string line = std::string(key) + "=" + v;
    int s = findSection(section);
    if (s < 0) {
        if (!lines_.empty() && !trim(lines_.back().raw).empty()) lines_.push_back({""});
        lines_.push_back({"[" + std::string(section) + "]"});
        lines_.push_back({line});
    } else {
        const int k = findKey(s, key);
        if (k >= 0) {
            std::string_view oldKey, oldValue;
            parseKeyLine(lines_[static_cast<size_t>(k)].raw, oldKey, oldValue);
            // Keep the key as it was spelt in the file; the value is replaced.
            const std::string newLine = std::string(oldKey) + "=" + v;
            if (lines_[static_cast<size_t>(k)].raw == newLine) return true;
            lines_[static_cast<size_t>(k)].raw = newLine;
        } else {
            // Append after the section's last non-blank line so blank separators stay.
            int insertAt = sectionEnd(s);
            while (insertAt - 1 > s && trim(lines_[static_cast<size_t>(insertAt - 1)].raw).empty())
                --insertAt;
            lines_.insert(lines_.begin() + insertAt, Line{line});
        }
    }
    dirty_ = true;
    return batchDepth_ > 0 ? true : saveLocked();
}

bool IniFile::writeInteger(std::string_view section, std::string_view key, int value) {
    return writeString(section, key, std::to_string(value));
}

bool IniFile::deleteKey(std::string_view section, std::string_view key) {
    std::lock_guard lock(mutex_);
    const int s = findSection(section);
    if (s < 0) return true;
    const int k = findKey(s, key);
    if (k < 0) return true;
    lines_.erase(lines_.begin() + k);
    dirty_ = true;
    return batchDepth_ > 0 ? true : saveLocked();
}

bool IniFile::eraseSection(std::string_view section) {
    std::lock_guard lock(mutex_);
    bool changed = false;
    for (int s = findSection(section); s >= 0; s = findSection(section)) {
        lines_.erase(lines_.begin() + s, lines_.begin() + sectionEnd(s));
        changed = true;
    }
    if (!changed) return true;
    dirty_ = true;
    return batchDepth_ > 0 ? true : saveLocked();
}

bool IniFile::flush() {
    std::lock_guard lock(mutex_);
    return saveLocked();
}

std::string IniFile::lastError() const {
    std::lock_guard lock(mutex_);
    return lastError_;
}

bool IniFile::saveLocked() {
    std::string content;
    for (const auto& l : lines_) {
        content += l.raw;
        content += eol_;
    }
    const std::string err = writeFileAtomically(path_, content);
    if (!err.empty()) {
        lastError_ = err;
        return false;
    }
    dirty_ = false;
    existed_ = true;
    lastError_.clear();
    return true;
}

IniFile::Batch::Batch(IniFile& ini) : ini_(ini) {
    std::lock_guard lock(ini_.mutex_);
    ++ini_.batchDepth_;
}

IniFile::Batch::~Batch() {
    commit();
}

bool IniFile::Batch::commit() {
    if (done_) return true;
    done_ = true;
    std::lock_guard lock(ini_.mutex_);
    if (--ini_.batchDepth_ > 0 || !ini_.dirty_) return ini_.lastError_.empty() || !ini_.dirty_;
    return ini_.saveLocked();
}

}  // namespace kv
