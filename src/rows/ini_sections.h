#pragma once
// A read-only view of an ini file for the row definitions and export files, which hold
// hundreds of sections: every section and key is looked up through a hash table instead of
// a scan of the whole file. The rules are those of IniFile: sections and keys compare
// without regard to ASCII case, the first section and the first key of a name win, values
// are trimmed and unquoted, and a line that is not UTF-8 is read as Windows-1252.

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kv {

class IniSections {
  public:
    IniSections() = default;
    // False when the file does not exist or cannot be read.
    bool load(const std::string& path);
    void parse(std::string_view content);

    bool hasSection(std::string_view section) const;
    // The key names of a section in file order.
    std::vector<std::string> keys(std::string_view section) const;
    bool hasKey(std::string_view section, std::string_view key) const;
    std::string readString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    // The value's bytes as stored (trimmed only): scrambled passwords.
    std::string readRaw(std::string_view section, std::string_view key, std::string_view def) const;
    // A whole number; missing or not a number gives def.
    int readInteger(std::string_view section, std::string_view key, int def) const;

    // The lines after the first line equal to `marker` (trimmed, any case), without their
    // line ends: the "[RowData]" part of an export file.
    std::vector<std::string> linesAfter(std::string_view marker) const;

  private:
    struct Entry {
        std::string key;
        std::string raw;  // trimmed, undecoded value
    };
    struct Section {
        std::vector<Entry> entries;
        std::unordered_map<std::string, size_t> index;  // lower-case key -> first entry
    };
    const Entry* find(std::string_view section, std::string_view key) const;

    std::vector<Section> sections_;
    std::unordered_map<std::string, size_t> sectionIndex_;  // lower-case name -> first
    std::vector<std::string> lines_;
};

}  // namespace kv
