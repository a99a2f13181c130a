#include "output/at4.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "common/strutil.h"
#include "output/evaluation_sheet.h"
#include "output/export_steps.h"
#include "output/result_files.h"
#include "output/row_data_model.h"
#include "output/template_paths.h"
#include "output/xlsx_template.h"
#include "rows/rows.h"

namespace kv {

namespace {

constexpr std::string_view kDbgTable = "AT4";
constexpr std::string_view kDbgExport = "XLS_AT4";
// Hours are counted from day fractions; this much (3.6 ms) below a whole hour still counts.
constexpr double kHourTolerance = 1e-6;

std::string dt(TDateTime t) {
    return dateTimeToText(t);
}

// The value at a full hour from the time values around it: one within 5 s is taken as it
// stands, otherwise the straight line between the neighbours.
double hourValue(const TRow& row, int slot, TDateTime target, int i0, int i1) {
    const double hit = kAt4ExactHitSeconds * kSecond;
    const TDateTime ta = row.RTV[static_cast<size_t>(i0)].dt;
    const bool hit0 = std::fabs(ta - target) <= hit;
    const bool hit1 = i1 > 0 && std::fabs(row.RTV[static_cast<size_t>(i1)].dt - target) <= hit;
    if (hit0 && hit1) {
        const bool closer1 =
            std::fabs(row.RTV[static_cast<size_t>(i1)].dt - target) < std::fabs(ta - target);
        return At4RawValue(row, slot, closer1 ? i1 : i0);
    }
    if (hit0 || hit1) return At4RawValue(row, slot, hit0 ? i0 : i1);
    const double va = At4RawValue(row, slot, i0);
    if (i1 <= 0 || i0 >= i1) return va;
    const double vb = At4RawValue(row, slot, i1);
    const TDateTime tb = row.RTV[static_cast<size_t>(i1)].dt;
    if (isNoValue(va) || isNoValue(vb) || !(tb > ta)) return NoValueReal;
    return va + (vb - va) * (target - ta) / (tb - ta);
}

void fillHourTable(const TRow& row, At4Table& table, bool on, std::vector<std::string>& lines);

void resetTable(At4Table& t) {
    t = At4Table{};
    for (int h = 0; h <= kAt4MaxHour; ++h) {
        t.hours[static_cast<size_t>(h)].day = h / 24;
        t.hours[static_cast<size_t>(h)].hourOfDay = h % 24;
    }
}

std::string failed(const std::string& error) {
    return reportExportFailure(kDbgExport, error);
}

// What the workbook receives, read under the rows lock.
struct At4Data {
    std::string name, sampleDate, sampleTemp, analyst;
    TDateTime firstDt = 0;
    std::array<double, kAt4Columns> amount{}, dryMatter{};
    At4Table table;
};

void readRow(TRow& row, At4Data& d) {
    WriteDbg(kDbgExport, "Call to TransferRowValues_to_at4");
    TransferRowValues_to_at4(row, d.table);
    WriteDbg(kDbgExport, "TransferRowValues_to_at4 done");
    std::lock_guard lock(row.owner().mutex());
    d.name = row.Name;
    d.sampleDate = row.SampleDate;
    d.sampleTemp = row.SampleTemp;
    d.analyst = row.SampleAnalytiker;
    d.firstDt = UsedEntries(row) >= 1 ? row.RTV[1].dt : 0;
    for (int k = 1; k <= d.table.nCols; ++k) {
        const RowCell& c = row.RowCells[static_cast<size_t>(k)];
        d.amount[static_cast<size_t>(k - 1)] = c.Vol;
        d.dryMatter[static_cast<size_t>(k - 1)] = c.TS;
    }
}

// Writes the workbook's cells; "" or the first error.
class At4Filler {
  public:
    At4Filler(XlsxTemplate& x, const At4Data& d) : x_(x), d_(d) {}

    std::string fill() {
        WriteDbg(kDbgExport, "Setting ws to Worksheets(1)");
        std::string err = sampleData();
        if (err.empty()) err = reportSheet();
        if (err.empty()) err = samples();
        if (err.empty()) err = hourTable();
        return err;
    }

  private:
    std::string sampleData() {
        WriteDbg(kDbgExport, "Setting Range AnalysenNr");
        SheetArea a;
        std::string err = x_.resolveName("AnalysenNr", a, x_.sheetName(1));
        if (err.empty()) err = x_.setText(a.sheet, a.row1, a.col1, d_.name);
        if (err.empty()) err = x_.setText(a.sheet, a.row1 + 1, a.col1, d_.sampleDate);
        if (err.empty()) err = x_.setText(a.sheet, a.row1 + 2, a.col1, d_.analyst);
        return err;
    }

    // The report page's names are optional: a template without them is filled all the same.
    std::string reportSheet() {
        WriteDbg(kDbgExport, "Trying to set Range Print_TestStart/SampleTemp");
        const std::string sheet2 = x_.sheetName(2);
        if (sheet2.empty()) return {};
        auto on2 = [&](const char* name) {
            auto a = x_.findName(name, sheet2);
            if (a && !iequals(a->sheet, sheet2)) a.reset();
            return a;
        };
        std::string err;
        if (auto a = on2("Print_TestStart"))
            err = x_.setDateTime(a->sheet, a->row1, a->col1, d_.firstDt);
        if (auto a = on2("Print_SampleTemp"); a && err.empty())
            err = x_.setNumberFromText(a->sheet, a->row1, a->col1, d_.sampleTemp);
        if (auto a = on2("Print_SampleAnalytiker"); a && err.empty())
            err = x_.setText(a->sheet, a->row1, a->col1, d_.analyst);
        return err;
    }

    std::string samples() {
        WriteDbg(kDbgExport, "Setting Range RowStart");
        SheetArea a;
        std::string err = x_.resolveName("RowStart", a, x_.sheetName(1));
        if (err.empty()) err = x_.setDateTime(a.sheet, a.row1, a.col1, d_.firstDt);
        if (err.empty()) err = perSample("Probenmenge1", d_.amount, false);
        if (err.empty()) err = perSample("Trockensubstanz1", d_.dryMatter, true);
        return err;
    }

    std::string perSample(const char* name, const std::array<double, kAt4Columns>& v,
                          bool onlyPositive) {
        WriteDbg(kDbgExport, std::string("Setting Range ") + name);
        SheetArea a;
        std::string err = x_.resolveName(name, a, x_.sheetName(1));
        for (int k = 0; k < d_.table.nCols && err.empty(); ++k) {
            const double x = v[static_cast<size_t>(k)];
            if (onlyPositive && !(x > 0)) continue;
            err = x_.setNumberFromText(a.sheet, a.row1, a.col1 + k, realToText(x, 0, -2));
        }
        return err;
    }

    std::string hourTable() {
        WriteDbg(kDbgExport, "Get firstLine from Range firstValue");
        SheetArea first;
        std::string err = x_.resolveName("firstValue", first, x_.sheetName(1));
        if (!err.empty()) return err;
        WriteDbg(kDbgExport, "Transfer at4_Rows to ws.Cells");
        const At4Table& t = d_.table;
        for (int k = 0; k < t.nCols && err.empty(); ++k) {
            // A "Values" range of the template marks how far its column may be written.
            int lastRow = first.row1 + kAt4MaxHour;
            const std::string range = "Values" + std::to_string(k + 1);
            if (auto v = x_.findName(range, first.sheet); v && v->row2 >= first.row1)
                lastRow = std::min(lastRow, v->row2);
            // Hours 0..fullHours: the last full hour is as complete as the others, and a run
            // of whole days ends on the hour its evaluation reads (docs/DATAFILES.md).
            for (int h = 0; h <= t.fullHours && err.empty(); ++h) {
                const int r = first.row1 + h;
                if (r > lastRow) {
                    WriteDbg(kDbgExport, range + " ends at hour " + std::to_string(h - 1));
                    break;
                }
                const double value = t.hours[static_cast<size_t>(h)].values[static_cast<size_t>(k)];
                err = x_.setNumberFromText(first.sheet, r, first.col1 + k, realToText(value, 0, 2));
            }
        }
        return err;
    }

    XlsxTemplate& x_;
    const At4Data& d_;
};

}  // namespace

double At4RawValue(const TRow& row, int slot, int i) {
    return row.O2Consumption(slot, i);
}

void TransferRowValues_to_at4(TRow& row, At4Table& table) {
    // The dump can run to one line per time value: the lines are written once the rows are
    // free again, so that the acquisition does not wait for the disk.
    const bool on = dbg().at4.load();
    std::vector<std::string> lines;
    {
        std::lock_guard lock(row.owner().mutex());
        fillHourTable(row, table, on, lines);
    }
    for (const std::string& l : lines) WriteDbg(kDbgTable, l, on);
}

namespace {

void fillHourTable(const TRow& row, At4Table& table, bool on, std::vector<std::string>& lines) {
    auto line = [on, &lines](std::string s) {
        if (on) lines.push_back(std::move(s));
    };
    line("Start TransferRowValues_to_at4");
    line("..Row=" + row.Name);
    resetTable(table);

    const int n = UsedEntries(row);
    const int cells = std::clamp(row.NrCells, 0, kMaxRowCells);
    if (on) {
        for (int s = 1; s <= n; ++s) {
            std::string l = intToText(s, 4) + " " + dt(row.RTV[static_cast<size_t>(s)].dt);
            for (int c = 1; c <= cells; ++c) l += " " + realToText(At4RawValue(row, c, s), 10, 2);
            line(l);
        }
    }
    line("");
    line("Row.Start=" + dt(row.Start));
    line("Row.Stop =" + dt(row.Stop));
    table.nCols = std::min(cells, kAt4Columns);
    if (n == 0) {
        line("fullHours=0");
        line("Stop TransferRowValues_to_at4");
        return;
    }

    const TDateTime t0 = row.RTV[1].dt;
    const TDateTime t1 = std::min(row.RTV[static_cast<size_t>(n)].dt, clock().now());
    line("t0=" + dt(t0));
    line("t1=" + dt(t1));
    const double span = (t1 - t0) * 24.0;
    // A nonsensical span (a date-time far off) stays a number the table code can count.
    const int full =
        span > 0 ? static_cast<int>(std::floor(std::min(span, 1e6) + kHourTolerance)) : 0;
    // The table and the workbook hold ten days; later hours are not evaluated.
    table.fullHours = std::min(full, kAt4MaxHour);
    line("fullHours=" + std::to_string(full));
    if (full > kAt4MaxHour) line("..only hours 0.." + std::to_string(kAt4MaxHour) + " are kept");

    int i0 = 1;
    for (int h = 0; h <= table.fullHours; ++h) {
        const TDateTime target = t0 + h / 24.0;
        while (i0 < n && row.RTV[static_cast<size_t>(i0 + 1)].dt <= target) ++i0;
        int i1 = 0;
        if (row.RTV[static_cast<size_t>(i0)].dt >= target) {
            i1 = i0;
            while (i1 > 1 && row.RTV[static_cast<size_t>(i1 - 1)].dt >= target) --i1;
        } else if (i0 < n) {
            i1 = i0 + 1;
        }
        At4Hour& hour = table.hours[static_cast<size_t>(h)];
        std::string values;
        for (int k = 0; k < table.nCols; ++k) {
            const double v = hourValue(row, k + 1, target, i0, i1);
            hour.values[static_cast<size_t>(k)] = v;
            values += " " + realToText(v, 7, 2);
        }
        line(intToText(h, 3) + " " + dt(target) + " i0=" + std::to_string(i0) +
             ", i1=" + std::to_string(i1) + "; values=" + values);
    }
    line("Stop TransferRowValues_to_at4");
}

}  // namespace

std::string ExportAt4(TRow& row, std::string* savedFile) {
    if (savedFile != nullptr) savedFile->clear();
    std::string setting, home, error;
    {
        std::lock_guard lock(row.owner().mutex());
        setting = row.owner().env().cfg.Template_AT4;
        home = row.owner().env().homeFolder;
    }
    const std::string tpl = templatePathFor(setting, kAt4TemplateFile, home, error);
    if (tpl.empty()) return failed(error);
    WriteDbg(kDbgExport, "Request to write XLS file");
    At4Data d;
    readRow(row, d);
    const std::vector<EvalTableRow> evaluation = evaluationTableAT4(evaluationInput(row));
    if (d.table.fullHours < kAt4MinFullHours) {
        WriteDbg(kDbgExport, "at4_Rows <= 5");
        const std::string msg =
            GetText("frmRowData", "AT4_ToLessRows", "Too less data (5 hours min).");
        AddMsg(msg, false);
        return msg;
    }
    std::string folder;
    {
        std::lock_guard lock(row.owner().mutex());
        folder = resultFolder(row.owner().env().cfg, home, error);
    }
    if (folder.empty()) return failed(error);
    return saveFilledTemplate(
        kDbgExport, tpl, folder, d.name, kAt4Suffix,
        [&](XlsxTemplate& x) {
            std::string err = At4Filler(x, d).fill();
            return err.empty() ? writeEvaluationSheet(x, evaluation) : err;
        },
        savedFile);
}

}  // namespace kv
