#include "output/export_steps.h"

#include <mutex>

#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "output/export_csv.h"
#include "output/result_files.h"
#include "output/template_paths.h"
#include "output/xlsx_template.h"
#include "rows/rows.h"

namespace kv {

std::string reportExportFailure(std::string_view category, const std::string& error) {
    WriteDbg(category, error);
    AddMsg(error, true);
    return error;
}

std::string exportRowTableFile(TRow& row, const std::string& fileName, std::string_view extension,
                               bool perDriedMatter, bool showLF, std::string_view category,
                               const RowTableFileWriter& write, std::string* savedFile) {
    if (savedFile != nullptr) savedFile->clear();
    ExportOptions options;
    std::string name, target, error;
    {
        std::lock_guard lock(row.owner().mutex());
        const RowsEnv& env = row.owner().env();
        options = ExportOptions::fromConfig(env.cfg, perDriedMatter, showLF);
        name = row.Name;
        target = exportFileFor(env.cfg, env.homeFolder, name, fileName, extension, error);
    }
    if (target.empty()) return reportExportFailure(category, error);
    WriteDbg(category, "Export of row [" + name + "] to [" + target + "]");
    // Not under the rows lock: the writer takes it while it walks the row.
    error = write(target, name, options);
    if (!error.empty()) return reportExportFailure(category, error);
    WriteDbg(category, "Data [" + name + "] saved to " + target);
    if (savedFile != nullptr) *savedFile = target;
    return {};
}

std::string saveFilledTemplate(std::string_view category, const std::string& templatePath,
                               const std::string& folder, const std::string& rowName,
                               std::string_view suffix,
                               const std::function<std::string(XlsxTemplate&)>& fill,
                               std::string* savedFile) {
    WriteDbg(category, "Try to open XLS-Template [" + templatePath + "]");
    XlsxTemplate x;
    x.setDateTimeFormat(dateTimeStyleGE() ? "dd.mm.yyyy hh:mm:ss" : "yyyy-mm-dd hh:mm:ss");
    std::string error = x.open(templatePath);
    if (error.empty()) error = fill(x);
    if (!error.empty()) return reportExportFailure(category, error);

    const std::string file = resultFileName(folder, rowName, suffix);
    WriteDbg(category, "fnXLS := [" + file + "]");
    error = x.saveAs(file);
    if (!error.empty()) return reportExportFailure(category, error);
    WriteDbg(category, "Workbook saved");
    const std::string msg =
        GetTextFmt("frmRowData", "SavedToXLS", "Data [%s] saved to %s", rowName, file);
    WriteDbg(category, msg);
    AddMsg(msg, false);
    if (savedFile != nullptr) *savedFile = file;
    return {};
}

}  // namespace kv
