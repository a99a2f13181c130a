#pragma once
// Names and safe writing of result files. A row name is free text typed by the operator; it
// becomes part of a file name only after every character that could leave the result folder
// or trouble a file system has been replaced.

#include <string>
#include <string_view>

namespace kv {

// Suffixes of the evaluation workbooks.
inline constexpr std::string_view kAt4Suffix = "_AT4.xlsx";
inline constexpr std::string_view k301fSuffix = "_301f.xlsx";

// The longest file name (in bytes) that Linux file systems take.
inline constexpr size_t kMaxFileNameBytes = 255;

// A file-name part from free text: "*", "/", ":", "?" become "_", and so do "\", the other
// characters that Windows shares refuse ("<", ">", "|", '"'), control characters and bytes
// that are not UTF-8; a leading "." or "-" becomes "_" (no hidden files, no "..", nothing
// that reads as an option). An empty text gives "_". At most maxBytes bytes, cut on a
// character boundary.
std::string safeFileNamePart(std::string_view text, size_t maxBytes = kMaxFileNameBytes);

// resultPath + "/" + safeFileNamePart(rowName) + suffix. A "\" in the configured path is a
// folder separator written by the original program. An empty path gives a bare file name.
std::string resultFileName(std::string_view resultPath, std::string_view rowName,
                           std::string_view suffix);

// A file name beside target that nothing else uses, for writing before the rename.
std::string temporaryPathFor(const std::string& target);
// Renames tmp onto target (replacing it); on failure tmp is removed. "" or an error text.
std::string replaceFileWith(const std::string& tmp, const std::string& target);

}  // namespace kv
