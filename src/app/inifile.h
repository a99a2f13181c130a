#pragma once
// An ini file with the semantics of the Windows profile functions the configuration and
// the row definitions were written with: sections and keys compare without regard to
// ASCII case, the first matching section and key win, a missing key gives the caller's
// default, an existing empty key gives an empty text.
//
// A write changes only the line concerned (or appends one) and keeps every other line,
// comment and blank line byte for byte. Each write replaces the file atomically (temporary
// file, flush, rename), so a crash mid-write leaves the previous complete file. Many writes
// in a row (a full configuration save) go through one Batch and one replacement.
//
// The whole file is held in memory; this process is its only writer while it runs.
// Thread-safe.

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kv {

class IniFile {
  public:
    // Loads the file if it exists. A file that cannot be read leaves the object empty and
    // sets lastError(); later writes still try to create it.
    explicit IniFile(std::string path);

    const std::string& path() const { return path_; }
    bool existed() const { return existed_; }

    std::string readString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    // The value's bytes as stored (surrounding blanks trimmed), neither decoded from
    // Windows-1252 nor unquoted: encoded passwords use every byte code from 32 to 255 and
    // must come back exactly as they were written.
    std::string readRaw(std::string_view section, std::string_view key, std::string_view def) const;
    // Whole number; a missing or non-numeric value gives the default.
    int readInteger(std::string_view section, std::string_view key, int def) const;
    bool hasKey(std::string_view section, std::string_view key) const;
    bool hasSection(std::string_view section) const;
    std::vector<std::string> sections() const;
    std::vector<std::string> keys(std::string_view section) const;

    // Returns false if the file could not be written (the value is kept in memory and
    // written with the next successful write).
    bool writeString(std::string_view section, std::string_view key, std::string_view value);
    bool writeInteger(std::string_view section, std::string_view key, int value);
    bool deleteKey(std::string_view section, std::string_view key);
    bool eraseSection(std::string_view section);

    // Writes the file now; false on failure (see lastError()).
    bool flush();
    std::string lastError() const;

    // Defers file replacement until the outermost Batch ends.
    class Batch {
      public:
        explicit Batch(IniFile& ini);
        ~Batch();
        // Ends the batch early and reports whether the file was written.
        bool commit();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

      private:
        IniFile& ini_;
        bool done_ = false;
    };

  private:
    struct Line {
        std::string raw;  // as in the file, without the line end
    };
    // Index of the first line of the first section with that name; -1 if none.
    int findSection(std::string_view section) const;
    // Line index of the key inside the section starting at secLine; -1 if none.
    int findKey(int secLine, std::string_view key) const;
    int sectionEnd(int secLine) const;
    // The value's bytes as stored (trimmed), nullopt when the key is missing.
    std::optional<std::string> rawValue(std::string_view section, std::string_view key) const;
    bool saveLocked();

    std::string path_;
    bool existed_ = false;
    std::string eol_ = "\r\n";
    std::vector<Line> lines_;
    mutable std::mutex mutex_;
    int batchDepth_ = 0;
    bool dirty_ = false;
    std::string lastError_;
};

// Replaces a file atomically with the given content: temporary file beside it, flush,
// rename. Returns an error text, empty on success.
std::string writeFileAtomically(const std::string& path, std::string_view content);
// Removes the temporary file a crash in writeFileAtomically(path) left behind (path +
// ".tmp"); the file itself is the last good version. Only while nothing writes path (the
// start-up). True when there was one.
bool removeLeftoverTemporaryOf(const std::string& path);

}  // namespace kv
