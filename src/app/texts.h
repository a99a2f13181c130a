#pragma once
// Language texts. Every user-visible text has a built-in default (English) that a
// language file beside the program can replace, entry by entry:
//   frmMain\btnNewRow:=Neue Messreihe
// Lines that are empty or start with ";" are skipped; at most 600 entries are read.

#include <string>
#include <string_view>
#include <vector>

namespace kv {

class LanguageTexts {
public:
    static constexpr int kMaxEntries = 600;

    // Replaces the table with the file's entries and returns their count (0 when the file
    // is missing). Lines that are not UTF-8 are read as Windows-1252.
    int load(const std::string& fileName);
    // Parses text already in memory (one entry per line).
    int loadFromText(std::string_view content);
    void clear() { entries_.clear(); }
    int count() const { return static_cast<int>(entries_.size()); }

    // First entry in file order whose section and key match without regard to ASCII case;
    // section "*" matches any section. No match gives def unchanged.
    std::string get(std::string_view section, std::string_view key, std::string_view def) const;
    // get(), then four steps replacing the first "%s" by a1, a2, a3, a4 in turn.
    std::string getFmt(std::string_view section, std::string_view key, std::string_view def,
                       std::string_view a1 = {}, std::string_view a2 = {},
                       std::string_view a3 = {}, std::string_view a4 = {}) const;

private:
    struct Entry {
        std::string section, key, text;
    };
    std::vector<Entry> entries_;
};

// The process-wide table, loaded once at start-up before any other thread runs and only
// read afterwards.
LanguageTexts& languageTexts();
std::string GetText(std::string_view section, std::string_view key, std::string_view def);
std::string GetTextFmt(std::string_view section, std::string_view key, std::string_view def,
                       std::string_view a1 = {}, std::string_view a2 = {},
                       std::string_view a3 = {}, std::string_view a4 = {});
// Replaces the first "%s" in text by arg (an empty arg removes it); no "%s" leaves it.
std::string replaceFirstPercentS(std::string text, std::string_view arg);

}  // namespace kv
