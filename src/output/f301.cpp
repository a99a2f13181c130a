#include "output/f301.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "app/debuglog.h"
#include "common/datetime.h"
#include "common/numtext.h"
#include "output/evaluation_sheet.h"
#include "output/export_steps.h"
#include "output/result_files.h"
#include "output/row_data_model.h"
#include "output/row_texts.h"
#include "output/template_paths.h"
#include "output/xlsx_template.h"
#include "rows/rows.h"

namespace kv {

namespace {

constexpr std::string_view kDbgCategory = "XLS_301f";
constexpr std::string_view kO2Sheet = "O2-RawData";
constexpr std::string_view kCO2Sheet = "CO2-RawData";
constexpr std::string_view kConfigSheet = "Test-Configuration";

std::string failed(const std::string& error) {
    return reportExportFailure(kDbgCategory, error);
}

struct CellData {
    int shownNr = 0;
    double amount = 0;
    double lastO2 = NoValueReal;
    std::string designation;
};

// What the workbook receives, read under the rows lock.
struct F301Data {
    std::string name, state, duration, interval;
    std::array<std::string, 3> comment;
    TDateTime start = 0, stop = 0;
    bool withCO2 = false;
    int decimals = 1;
    std::vector<CellData> cells;
    std::vector<RTVElement> times;
    std::vector<double> o2, co2;  // line by line, one value per cell
};

void readRow(TRow& row, F301Data& d) {
    std::lock_guard lock(row.owner().mutex());
    d.name = row.Name;
    d.comment = row.Comment;
    d.state = row.StateText();
    d.start = row.Start;
    d.stop = row.Stop;
    // The workbook reads its numbers with a decimal point.
    d.duration = DurationText(row, false);
    d.interval = IntervalText(row, false);
    d.withCO2 = row.withCO2;
    d.decimals = row.owner().env().cfg.csvfValue;
    const int n = std::clamp(row.NrCells, 0, kMaxRowCells);
    const int lines = UsedEntries(row);
    for (int s = 1; s <= n; ++s) {
        const RowCell& c = row.RowCells[static_cast<size_t>(s)];
        d.cells.push_back({row.DisplayNr(s), c.Vol, MainValue(row, s, lines, false), c.Name});
    }
    d.times.assign(row.RTV.begin() + 1, row.RTV.begin() + 1 + lines);
    d.o2.reserve(static_cast<size_t>(lines) * static_cast<size_t>(n));
    for (int i = 1; i <= lines; ++i)
        for (int s = 1; s <= n; ++s) d.o2.push_back(MainValue(row, s, i, false));
    if (!d.withCO2) return;
    d.co2.reserve(d.o2.size());
    for (int i = 1; i <= lines; ++i)
        for (int s = 1; s <= n; ++s) d.co2.push_back(row.CO2Produced(s, i));
}

// Writes the workbook's cells; every step returns "" or the first error.
class F301Filler {
  public:
    F301Filler(XlsxTemplate& x, const F301Data& d) : x_(x), d_(d) {}

    std::string fill() {
        for (std::string_view s : {kO2Sheet, kConfigSheet})
            if (!x_.hasSheet(s)) return "Sheet [" + std::string(s) + "] not found in the template";
        if (d_.withCO2 && !x_.hasSheet(kCO2Sheet))
            return "Sheet [" + std::string(kCO2Sheet) + "] not found in the template";
        std::string err = configuration();
        if (err.empty()) err = cellList();
        if (err.empty()) err = rawData("O2_Raw", d_.o2);
        // A row without CO2 leaves the CO2 sheet as the template has it.
        if (err.empty() && d_.withCO2) err = rawData("CO2_Raw", d_.co2);
        return err;
    }

  private:
    std::string named(const char* name, SheetArea& a) {
        return x_.resolveName(name, a, kConfigSheet);
    }

    std::string text(const char* name, const std::string& value, int down = 0) {
        SheetArea a;
        std::string err = named(name, a);
        return err.empty() ? x_.setText(a.sheet, a.row1 + down, a.col1, value) : err;
    }

    std::string date(const char* name, TDateTime value) {
        SheetArea a;
        std::string err = named(name, a);
        return err.empty() ? x_.setDateTime(a.sheet, a.row1, a.col1, value) : err;
    }

    std::string configuration() {
        WriteDbg(kDbgCategory, "Setting the test configuration");
        std::string err = text("RowName", d_.name);
        for (int c = 0; c < 3 && err.empty(); ++c)
            err = text("RowComment", d_.comment[static_cast<size_t>(c)], c);
        if (err.empty()) err = text("RowState", d_.state);
        if (err.empty()) err = date("RowStart", d_.start);
        if (err.empty()) err = text("RowDuration", d_.duration);
        if (err.empty()) err = text("RowInterval", d_.interval);
        if (err.empty()) err = date("RowStop", d_.stop);
        SheetArea a;
        if (err.empty()) err = named("NrCells", a);
        if (err.empty())
            err = x_.setNumber(a.sheet, a.row1, a.col1, static_cast<double>(d_.cells.size()));
        return err;
    }

    // One sheet line per cell below the heading; the template's lines below move down, and
    // with them every reference that spans the list.
    std::string cellList() {
        WriteDbg(kDbgCategory, "Setting the cell list");
        SheetArea a;
        std::string err = named("CellDescription", a);
        if (!err.empty()) return err;
        const int r = a.row1 + 1, col = a.col1;
        const int n = static_cast<int>(d_.cells.size());
        if (n > 0) err = x_.insertRows(a.sheet, r + 1, n);
        for (int i = 0; i < n && err.empty(); ++i) {
            const CellData& c = d_.cells[static_cast<size_t>(i)];
            const int row = r + i;
            err = x_.setNumber(a.sheet, row, col, c.shownNr);
            if (err.empty())
                err = x_.setNumberFromText(a.sheet, row, col + 1, realToText(c.amount, 0, 3));
            if (err.empty())
                err = x_.setNumberFromText(a.sheet, row, col + 2, realToText(c.lastO2, 0, 3));
            if (err.empty()) err = x_.setText(a.sheet, row, col + 3, c.designation);
            if (err.empty()) err = x_.setNumber(a.sheet, row, col + 7, c.shownNr);
        }
        return err;
    }

    std::string rawData(const char* name, const std::vector<double>& values) {
        WriteDbg(kDbgCategory, std::string("Setting the raw data at ") + name);
        SheetArea a;
        std::string err = x_.resolveName(name, a);
        if (!err.empty()) return err;
        const int r = a.row1, timeCol = a.col1, col = a.col1 + 1;
        const int n = static_cast<int>(d_.cells.size());
        for (int i = 0; i < n && err.empty(); ++i)
            err = x_.setNumber(a.sheet, r, col + i, d_.cells[static_cast<size_t>(i)].shownNr);
        if (err.empty()) err = x_.setText(a.sheet, r, col + n, "Temp [" + DegreeText() + "]");
        for (size_t t = 0; t < d_.times.size() && err.empty(); ++t) {
            const int row = r + static_cast<int>(t) + 1;
            const RTVElement& e = d_.times[t];
            err = x_.setDateTime(a.sheet, row, timeCol, e.dt);
            for (int i = 0; i < n && err.empty(); ++i) {
                const double v = values[t * static_cast<size_t>(n) + static_cast<size_t>(i)];
                err = x_.setNumberFromText(a.sheet, row, col + i, realToText(v, 0, d_.decimals));
            }
            if (err.empty() && e.T != NoValueInt)
                err = x_.setNumberFromText(a.sheet, row, col + n, realToText(e.T * 0.1, 0, -1));
        }
        return err;
    }

    XlsxTemplate& x_;
    const F301Data& d_;
};

}  // namespace

std::string Export301f(TRow& row, std::string* savedFile) {
    if (savedFile != nullptr) savedFile->clear();
    std::string setting, home, error, folder;
    {
        std::lock_guard lock(row.owner().mutex());
        setting = row.owner().env().cfg.Template_301f;
        home = row.owner().env().homeFolder;
        folder = resultFolder(row.owner().env().cfg, home, error);
    }
    if (folder.empty()) return failed(error);
    const std::string tpl = templatePathFor(setting, k301fTemplateFile, home, error);
    if (tpl.empty()) return failed(error);
    WriteDbg(kDbgCategory, "Request to write XLS file");
    F301Data d;
    readRow(row, d);
    const std::vector<EvalTableRow> evaluation = evaluationTable301F(evaluationInput(row));
    return saveFilledTemplate(
        kDbgCategory, tpl, folder, d.name, k301fSuffix,
        [&](XlsxTemplate& x) {
            std::string err = F301Filler(x, d).fill();
            return err.empty() ? writeEvaluationSheet(x, evaluation) : err;
        },
        savedFile);
}

}  // namespace kv
