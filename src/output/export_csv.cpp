#include "output/export_csv.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "app/texts.h"
#include "common/datetime.h"
#include "common/fileio.h"
#include "common/numtext.h"
#include "common/strutil.h"
#include "output/export_steps.h"
#include "output/result_files.h"
#include "output/row_data_model.h"
#include "output/row_texts.h"
#include "rows/rows.h"

namespace kv {

namespace {

constexpr std::string_view kDbgCategory = "ExportCSV";

std::string label(std::string_view section, std::string_view key, std::string_view def) {
    return GetText(section, key, def);
}

// Walks the blocks of the export in order; the row lock is held by the caller.
class TableWriter {
  public:
    TableWriter(const TRow& row, const ExportOptions& o, RowTableLayout layout, RowTableSink& out)
        : row_(row),
          o_(o),
          sheet_(layout == RowTableLayout::Sheet),
          out_(out),
          cells_(std::clamp(row.NrCells, 0, kMaxRowCells)),
          special_(row.SpecialCellMode != 0
                       ? std::clamp(row.NrSpecialCells - 1, 0, kMaxSpecialCells - 1)
                       : 0),
          lines_(UsedEntries(row)) {}

    void run() {
        out_.dateTime(clock().now());
        out_.endLine();
        out_.endLine();
        header();
        cellTable();
        if (row_.SpecialCellMode != 0) specialBlock();
        dataHeading();
        for (int i = 1; i <= lines_; ++i) dataLine(i);
    }

  private:
    void pair(const std::string& name, const std::string& value) {
        out_.text(name);
        out_.text(value);
        out_.endLine();
    }

    void header() {
        pair(label("frmRow", "lblRowName", "Name:"), row_.Name);
        pair(label("frmRow", "lblRow_Comment", "Comment:"), row_.Comment[0]);
        for (size_t c = 1; c < row_.Comment.size(); ++c)
            if (!row_.Comment[c].empty()) pair("", row_.Comment[c]);
        pair(label("frmRowStatus", "lblRowState", "Status:"), row_.StateText());
        out_.text(label("frmRowStatus", "lblRowStart", "Start:"));
        out_.dateTime(row_.Start);
        out_.endLine();
        pair(label("frmRowStatus", "lblDuration", "Duration:"),
             DurationText(row_, o_.decimalComma));
        pair(label("frmRowStatus", "lblInterval", "Interval:"),
             IntervalText(row_, o_.decimalComma));
        out_.text(label("frmRowStatus", "lblRowStop", "Stop:"));
        out_.dateTime(row_.Stop);
        out_.endLine();
        out_.endLine();
        out_.endLine();
    }

    void cellTable() {
        const bool mass = row_.RowMode == 1;
        out_.text(label("frmCellStatus", "CellNr", "cell#"));
        if (mass) {
            out_.text(label("frmCellStatus", "lblCellG", "Mass(g)"));
            out_.text(label("frmCellStatus", "lblCellTS", "Dried m.(%)"));
        } else {
            out_.text(label("frmCellStatus", "lblCellVol", "vol(ml)"));
        }
        out_.text(label("frmCellStatus", "LastValue", "last value"));
        out_.text(label("frmCellStatus", "lblCellComment", "Designation"));
        out_.endLine();
        for (int s = 1; s <= cells_; ++s) {
            const RowCell& c = row_.RowCells[static_cast<size_t>(s)];
            out_.number(row_.DisplayNr(s), 0);
            out_.number(c.Vol, o_.decimals);
            if (mass) out_.number(c.TS, o_.decimals);
            out_.number(MainValue(row_, s, lines_, false), o_.decimals);
            out_.text(c.Name);
            out_.endLine();
        }
        if (sheet_) out_.endLine();
    }

    void specialBlock() {
        pair(label("frmRowCellEdit", "RowCell_Mode", "Cell Mode"),
             label("frmMain", "CellsPage", "Cells"));
        pair(CellModeName(3), row_.CellsOfMode(3, -1));
        pair(CellModeName(2), row_.CellsOfMode(2, -1));
        out_.endLine();
        out_.text(label("frmRowCellEdit", "lblRowCell_Index", "Index"));
        out_.text(label("frmRowCellEdit", "lblRowCell_PTC", "P(TC)"));
        out_.text(label("frmRowCellEdit", "lblRowCell_BTh1", "B(Th1)"));
        out_.text(label("frmMain", "CellsPage", "Cells"));
        out_.endLine();
        for (const CheckGroup& g : CheckGroups(row_)) {
            out_.number(g.value, -5);
            // Empty fields when the group lost its cells keep the columns in place.
            out_.number(g.PTC, -5);
            out_.number(g.BTH1, -5);
            out_.text(g.cells);
            out_.endLine();
        }
        out_.endLine();
        if (!sheet_) out_.endLine();
    }

    void dataHeading() {
        out_.text(label("frmRowStatus", "dt-cell#", "date/time <> cell#"));
        const std::string unit = MainValueUnit(row_, o_.perDriedMatter);
        for (int s = 1; s <= cells_; ++s)
            out_.text(std::to_string(row_.DisplayNr(s)) + " (" + unit + ")");
        for (int k = 1; k <= special_; ++k) {
            const double v = row_.SpecialCells[static_cast<size_t>(k)].value;
            for (int j = 1; j <= 3; ++j) out_.text(SpecialColumnTitle(v, j, o_.decimalComma));
        }
        if (row_.SpecialCellMode != 0) out_.text(ReferenceColumnTitle());
        out_.text("T (" + DegreeText() + ")");
        if (row_.withCO2) {
            // The heading says what the columns hold: conductivity or CO2 (listed among the
            // deviations in docs/DATAFILES.md).
            const char* co2Unit = o_.showLF ? " (mS/cm)" : " (mg CO2)";
            for (int s = 1; s <= cells_; ++s)
                out_.text(std::to_string(row_.DisplayNr(s)) + co2Unit);
        }
        out_.endLine();
    }

    void dataLine(int i) {
        const RTVElement& e = row_.RTV[static_cast<size_t>(i)];
        const int d = o_.decimals;
        out_.dateTime(e.dt);
        for (int s = 1; s <= cells_; ++s) out_.number(MainValue(row_, s, i, o_.perDriedMatter), d);
        for (int k = 1; k <= special_; ++k) {
            out_.number(row_.SpecificBOD(k, i), d);
            out_.number(row_.Degradation(k, i), d);
            out_.number(row_.MeanBODCheck(k, i), d);
        }
        if (row_.SpecialCellMode != 0) out_.number(row_.MeanBODReference(i), d);
        out_.number(e.T == NoValueInt ? NoValueReal : e.T / 10.0, 1);
        if (row_.withCO2) {
            for (int s = 1; s <= cells_; ++s)
                out_.number(o_.showLF ? ConductivityValue(row_, s, i) : row_.CO2Produced(s, i), d);
        }
        out_.endLine();
    }

    const TRow& row_;
    const ExportOptions& o_;
    const bool sheet_;
    RowTableSink& out_;
    const int cells_;
    const int special_;  // check-substance entries (the reference entry not counted)
    const int lines_;
};

class CsvSink : public RowTableSink {
  public:
    CsvSink(std::string& out, const ExportOptions& o) : out_(out), o_(o) {}

    void text(std::string_view s) override {
        field();
        out_ += o_.strDelim;
        out_ += quoted(s);
        out_ += o_.strDelim;
    }
    void number(double v, int decimals) override {
        field();
        out_ += realToText(v, -20, decimals, o_.decimalComma);
    }
    void dateTime(TDateTime t) override {
        field();
        out_ += dateTimeToText(t);
    }
    void endLine() override {
        out_ += "\r\n";
        first_ = true;
    }

  private:
    void field() {
        if (!first_) out_ += o_.colSep;
        first_ = false;
    }
    // A text stays one field on one line: line breaks become blanks and a delimiter inside
    // the text is doubled, as CSV readers expect.
    std::string quoted(std::string_view s) const {
        std::string t(s);
        std::replace(t.begin(), t.end(), '\r', ' ');
        std::replace(t.begin(), t.end(), '\n', ' ');
        if (!o_.strDelim.empty()) t = replaceAll(t, o_.strDelim, o_.strDelim + o_.strDelim);
        return t;
    }

    std::string& out_;
    const ExportOptions& o_;
    bool first_ = true;
};

// Writes content to a temporary file beside path, flushed to the disk, then renamed.
std::string writeWholeFile(const std::string& path, std::string_view content) {
    const std::string tmp = temporaryPathFor(path);
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return "Cannot write file [" + path + "]: " + std::strerror(errno);
    const int err = writeAllAndClose(fd, content);
    if (err != 0) {
        ::unlink(tmp.c_str());
        return "Cannot write file [" + path + "]: " + std::strerror(err);
    }
    return replaceFileWith(tmp, path);
}

}  // namespace

ExportOptions ExportOptions::fromConfig(const Config& cfg, bool perDriedMatter, bool showLF) {
    ExportOptions o;
    o.strDelim = cfg.csvStrDelim;
    o.colSep = cfg.csvColSep;
    o.decimals = cfg.csvfValue;
    o.decimalComma = cfg.csvDecimalComma;
    o.perDriedMatter = perDriedMatter;
    o.showLF = showLF;
    return o;
}

void WriteRowTable(TRow& row, const ExportOptions& options, RowTableLayout layout,
                   RowTableSink& out) {
    std::lock_guard lock(row.owner().mutex());
    TableWriter(row, options, layout, out).run();
}

std::string RowCsvText(TRow& row, const ExportOptions& options) {
    std::string text;
    CsvSink sink(text, options);
    WriteRowTable(row, options, RowTableLayout::Csv, sink);
    return text;
}

std::string ExportCSV(TRow& row, const std::string& fileName, bool perDriedMatter, bool showLF,
                      std::string* savedFile) {
    return exportRowTableFile(
        row, fileName, ".csv", perDriedMatter, showLF, kDbgCategory,
        [&](const std::string& target, const std::string&, const ExportOptions& options) {
            return writeWholeFile(target, RowCsvText(row, options));
        },
        savedFile);
}

}  // namespace kv
