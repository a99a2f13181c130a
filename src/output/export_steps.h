#pragma once
// What the row exports share: how a failure is reported, how a row's table reaches a file
// the user names (CSV, spreadsheet), and how a filled template becomes a result file (AT4,
// 301F). Errors come back as a text ("" = success) that has also reached the message list
// and the debug log.

#include <functional>
#include <string>
#include <string_view>

namespace kv {

class TRow;
class XlsxTemplate;
struct ExportOptions;

// The error to the debug log under category and to the message list; returns it.
std::string reportExportFailure(std::string_view category, const std::string& error);

// Writes the table of a row to the file that exportFileFor() makes of fileName and
// extension. write receives that path, the row name and the configured options and returns
// an error text or "". savedFile receives the path written.
using RowTableFileWriter = std::function<std::string(
    const std::string& target, const std::string& rowName, const ExportOptions& options)>;
std::string exportRowTableFile(TRow& row, const std::string& fileName, std::string_view extension,
                               bool perDriedMatter, bool showLF, std::string_view category,
                               const RowTableFileWriter& write, std::string* savedFile);

// Opens the template, lets fill write into it and saves it as
// <folder>/<row name><suffix> (the name made safe); the saved file is reported in the
// message list. savedFile receives the path written.
std::string saveFilledTemplate(std::string_view category, const std::string& templatePath,
                               const std::string& folder, const std::string& rowName,
                               std::string_view suffix,
                               const std::function<std::string(XlsxTemplate&)>& fill,
                               std::string* savedFile);

}  // namespace kv
