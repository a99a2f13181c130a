#include "output/qt/printout.h"

#include <algorithm>
#include <mutex>

#include "app/texts.h"
#include "common/numtext.h"
#include "common/strutil.h"
#include "output/row_data_model.h"
#include "output/row_texts.h"
#include "rows/evaluation.h"
#include "rows/row_util.h"
#include "rows/rows.h"

namespace kv {

namespace {

constexpr int kCellsPerBlock = 6;
constexpr double kGap8mm = 80;
constexpr double kGap4mm = 40;

PrintLine textLine(const std::string& s, bool bold = false) {
    return PrintLine{{PrintSegment{0, s, bold}}};
}

PrintLine emptyLine() {
    return PrintLine{};
}

std::string label(const char* section, const char* key, const char* def) {
    return GetText(section, key, def);
}

// A printed number: empty for no value.
std::string number(double v, int decimals) {
    return isNoValue(v) ? std::string() : realToTextDC(v, 0, decimals);
}

// The overview: bold labels at the margin, the values in a column beside them.
PrintBlock overviewBlock(const TRow& row) {
    std::vector<std::pair<std::string, std::string>> rows;
    rows.emplace_back(label("frmRow", "lblRowName", "Name:"), row.Name);
    rows.emplace_back(label("frmRow", "lblRow_Comment", "Comment:"), row.Comment[0]);
    for (size_t k = 1; k < 3; ++k)
        if (!row.Comment[k].empty()) rows.emplace_back("", row.Comment[k]);
    rows.emplace_back(label("frmRowStatus", "lblRowState", "Status:"), row.StateText());
    rows.emplace_back(label("frmRowStatus", "StartStop", "Start/Stop:"),
                      dtText(row.Start) + " - " + dtText(row.Stop));
    rows.emplace_back(label("frmRowStatus", "lblDuration", "Duration:"),
                      DurationText(row, decimalCommaFlag()));
    rows.emplace_back(label("frmRowStatus", "lblInterval", "Interval:"),
                      IntervalText(row, decimalCommaFlag()));
    size_t width = 0;
    for (const auto& r : rows) width = std::max(width, utf8Length(r.first));
    PrintBlock b;
    for (const auto& [l, v] : rows)
        b.lines.push_back(PrintLine{
            {PrintSegment{0, l, true}, PrintSegment{static_cast<int>(width) + 2, v, false}}});
    return b;
}

// A column of at least `width` characters, wider where its heading needs it: a heading
// that filled its column ran into the next one ("Dried m.(%)last value").
size_t columnWidth(const std::string& heading, size_t width) {
    return std::max(width, utf8Length(heading) + 2);
}

PrintBlock cellTableBlock(const TRow& row, int decimals) {
    const bool byMass = row.RowMode == 1;
    const std::string nrLabel = label("frmCellStatus", "CellNr", "cell#");
    const std::string amountLabel = byMass ? label("frmCellStatus", "lblCellG", "Mass(g)")
                                           : label("frmCellStatus", "lblCellVol", "vol(ml)");
    const std::string tsLabel = label("frmCellStatus", "lblCellTS", "Dried m.(%)");
    // The last value is a BOD or an O2 consumption, so it carries the unit of the values,
    // not that of the sample amounts.
    const std::string lastLabel = label("frmCellStatus", "LastValue", "last value") + "  (" +
                                  ModeValueUnit(row.RowMode) + ")";
    const size_t wNr = columnWidth(nrLabel, 10), wAmount = columnWidth(amountLabel, 10),
                 wTs = columnWidth(tsLabel, 10), wLast = columnWidth(lastLabel, 24);
    std::string h = PadRight(nrLabel, wNr) + PadRight(amountLabel, wAmount);
    if (byMass) h += PadRight(tsLabel, wTs);
    h += PadRight(lastLabel, wLast);
    h += PadRight(label("frmCellStatus", "lblCellComment", "Designation"), 23);
    PrintBlock b;
    b.gapBefore = kGap8mm;
    b.heading.push_back(textLine(h, true));
    for (int s = 1; s <= std::min(row.NrCells, kMaxRowCells); ++s) {
        const RowCell& c = row.RowCells[static_cast<size_t>(s)];
        const double last = MainValue(row, s, UsedEntries(row), false);
        std::string l = PadRight(std::to_string(row.DisplayNr(s)), wNr);
        l += PadRight(number(c.Vol, -3), wAmount);
        if (byMass) l += PadRight(number(c.TS, -3), wTs);
        l += PadRight(number(last, decimals), wLast);
        l += c.Name;
        b.lines.push_back(textLine(l));
    }
    return b;
}

std::vector<PrintBlock> specialTableBlocks(const TRow& row) {
    PrintBlock modes;
    modes.gapBefore = kGap4mm;
    modes.heading.push_back(
        textLine(PadRight(label("frmRowCellEdit", "RowCell_Mode", "Cell Mode"), 24) +
                     label("frmMain", "CellsPage", "Cells"),
                 true));
    for (int mode : {3, 2})
        modes.lines.push_back(
            textLine(PadRight(CellModeName(mode), 24) + row.CellsOfMode(mode, -1)));

    PrintBlock checks;
    checks.gapBefore = kGap4mm;
    checks.heading.push_back(
        textLine(PadRight(label("frmRowCellEdit", "lblRowCell_Index", "Index"), 12) +
                     PadRight(label("frmRowCellEdit", "lblRowCell_PTC", "P(TC)"), 12) +
                     PadRight(label("frmRowCellEdit", "lblRowCell_BTh1", "B(Th1)"), 12) +
                     label("frmMain", "CellsPage", "Cells"),
                 true));
    const bool dc = decimalCommaFlag();
    for (const CheckGroup& g : CheckGroups(row)) {
        const std::string l = PadRight(IndexText(g.value, dc), 12) +
                              PadRight(number(g.PTC, -5), 12) + PadRight(number(g.BTH1, -5), 12);
        checks.lines.push_back(textLine(PadRight(l, 36) + g.cells));
    }
    return {modes, checks};
}

// What the value blocks show: the data window's choices override each other in this order,
// the last that applies wins, and unit and values always come from the same choice.
RowValueChoice printChoice(const PrintOptions& o) {
    if (o.perDriedMatter) return RowValueChoice::O2TS;
    if (o.showLF) return RowValueChoice::LF;
    if (o.showCO2) return RowValueChoice::CO2;
    return RowValueChoice::O2;
}

std::vector<PrintBlock> valueBlocks(const TRow& row, const PrintOptions& o, int decimals) {
    const RowValueChoice choice = printChoice(o);
    const std::string unit = ChoiceUnit(row, choice);
    // The time column is as wide as the date-time texts below it.
    const size_t timeWidth = utf8Length(dtText(45000.5));
    const std::string timeLabel = label("frmRowStatus", "dt-cell#", "date/time <> cell#");
    const std::string tLabel = " T (" + DegreeText() + ")";
    std::vector<PrintBlock> blocks;
    const int nCells = std::min(row.NrCells, kMaxRowCells);
    for (int c0 = 1; c0 <= nCells; c0 += kCellsPerBlock) {
        const int c1 = std::min(c0 + kCellsPerBlock - 1, nCells);
        const bool first = c0 == 1;
        PrintBlock b;
        b.newPage = !first;
        b.gapBefore = kGap8mm;
        std::string h = PadRight(timeLabel, timeWidth);
        if (first) h += PadLeft(tLabel, 7);
        for (int s = c0; s <= c1; ++s) h += PadLeft(std::to_string(row.DisplayNr(s)), 7);
        h += "  (" + unit + ")";
        b.heading.push_back(textLine(h, true));
        b.heading.push_back(textLine(std::string(utf8Length(h), '-'), true));
        for (int i = 1; i <= UsedEntries(row); ++i) {
            const RTVElement& e = row.RTV[static_cast<size_t>(i)];
            std::string l = PadRight(dtText(e.dt), timeWidth);
            if (first)
                l += PadLeft(isNoValue(e.T) ? std::string() : realToTextDC(e.T / 10.0, 0, 1), 7);
            for (int s = c0; s <= c1; ++s)
                l += PadLeft(number(ChoiceValue(row, choice, s, i), decimals), 7);
            b.lines.push_back(textLine(l));
        }
        blocks.push_back(std::move(b));
    }
    return blocks;
}

// One block per check-substance entry: specific BOD, degradation and mean of the entry next
// to the mean of the reference cells. A table with only the reference entry gets a block
// with the reference mean alone.
std::vector<PrintBlock> specialValueBlocks(const TRow& row, int decimals) {
    std::vector<PrintBlock> blocks;
    const int n = std::clamp(row.NrSpecialCells, 0, kMaxSpecialCells);
    if (row.SpecialCellMode == 0 || n < 1) return blocks;
    const std::string indexLabel = label("frmRowCellEdit", "lblRowCell_Index", "Index");
    const std::string cellsLabel = label("frmMain", "CellsPage", "Cells");
    const std::string dtLabel =
        PadRight(std::string(trim(label("frmRowStatus", "dt", "date/time"))), 20);
    const auto title = [](const std::string& t) { return PadLeft(trim(t), 13); };
    const bool dc = decimalCommaFlag();
    const int checkEntries = n - 1;
    for (int k = (checkEntries == 0 ? 0 : 1); k <= checkEntries; ++k) {
        const bool refOnly = k == 0;
        PrintBlock b;
        b.newPage = true;
        const double v = refOnly ? row.SpecialCells[static_cast<size_t>(n)].value
                                 : row.SpecialCells[static_cast<size_t>(k)].value;
        b.heading.push_back(textLine(indexLabel + " = " + IndexText(v, dc), true));
        b.heading.push_back(textLine(
            cellsLabel + " = " + (refOnly ? row.CellsOfMode(3, -1) : row.CellsOfMode(1, v)), true));
        b.heading.push_back(emptyLine());
        std::string h = dtLabel;
        if (!refOnly)
            for (int j = 1; j <= 3; ++j) h += title(SpecialColumnTitle(v, j, dc));
        h += title(ReferenceColumnTitle());
        b.heading.push_back(textLine(h, true));
        b.heading.push_back(textLine(std::string(utf8Length(h), '-'), true));
        for (int i = 1; i <= UsedEntries(row); ++i) {
            std::string l = PadRight(dtText(row.RTV[static_cast<size_t>(i)].dt), 20);
            if (!refOnly) {
                l += PadLeft(number(row.SpecificBOD(k, i), decimals), 13);
                l += PadLeft(number(row.Degradation(k, i), decimals), 13);
                l += PadLeft(number(row.MeanBODCheck(k, i), decimals), 13);
            }
            l += PadLeft(number(row.MeanBODReference(i), decimals), 13);
            b.lines.push_back(textLine(l));
        }
        blocks.push_back(std::move(b));
    }
    return blocks;
}

// Lines wider than the page are broken at blanks, continued indented.
constexpr size_t kEvaluationWidth = 88;

PrintBlock evaluationBlock(const TRow& row) {
    PrintBlock b;
    b.newPage = true;
    b.heading.push_back(textLine("Evaluation", true));
    b.heading.push_back(textLine(std::string(kEvaluationWidth, '-')));
    for (const std::string& full : evaluationLines(evaluationInput(row))) {
        std::string rest = full;
        bool first = true;
        while (!rest.empty()) {
            const size_t room = first ? kEvaluationWidth : kEvaluationWidth - 4;
            size_t cut = rest.size();
            if (cut > room) {
                cut = rest.rfind(' ', room);
                if (cut == std::string::npos || cut == 0) cut = room;
            }
            b.lines.push_back(textLine((first ? "" : "    ") + rest.substr(0, cut)));
            rest = cut < rest.size() ? trim(rest.substr(cut)) : std::string();
            first = false;
        }
    }
    return b;
}

}  // namespace

std::vector<PrintBlock> BuildPrintout(const TRow& row, const PrintOptions& o) {
    // Locking is not a change of the row; the collection's lock is only reachable mutable.
    std::lock_guard lock(const_cast<TRows&>(row.owner()).mutex());
    const int decimals = row.owner().env().cfg.prtfValue;
    std::vector<PrintBlock> blocks;
    blocks.push_back(overviewBlock(row));
    blocks.push_back(cellTableBlock(row, decimals));
    if (row.SpecialCellMode != 0)
        for (PrintBlock& b : specialTableBlocks(row)) blocks.push_back(std::move(b));
    if (o.printData)
        for (PrintBlock& b : valueBlocks(row, o, decimals)) blocks.push_back(std::move(b));
    // The ratios and percentages need decimals even when the values are printed whole.
    if (o.printSpecial)
        for (PrintBlock& b : specialValueBlocks(row, std::max(decimals, 2)))
            blocks.push_back(std::move(b));
    if (o.printEvaluation) blocks.push_back(evaluationBlock(row));
    return blocks;
}

std::vector<PrintPage> PaginatePrintout(const std::vector<PrintBlock>& blocks,
                                        const PrintGeometry& g) {
    std::vector<PrintPage> pages;
    const double firstY = 2 * g.top + g.firstLineOffset;
    const double limit = g.pageHeight - g.top;
    double y = firstY;
    const auto newPage = [&] {
        pages.push_back(PrintPage{static_cast<int>(pages.size()) + 1, {}});
        y = firstY;
    };
    const auto place = [&](const PrintLine& l, bool bold) {
        PrintLine out = l;
        if (bold)
            for (PrintSegment& s : out.segments) s.bold = true;
        pages.back().lines.push_back(PlacedLine{y, std::move(out)});
        y += g.lineStep;
    };
    newPage();
    for (const PrintBlock& b : blocks) {
        const bool pageEmpty = pages.back().lines.empty();
        if (b.newPage && !pageEmpty) newPage();
        if (!pages.back().lines.empty()) y += b.gapBefore;
        // A heading is not left alone at the foot of a page.
        const double headingEnd = y + g.lineStep * static_cast<double>(b.heading.size());
        if (!pages.back().lines.empty() && !b.lines.empty() && headingEnd >= limit) newPage();
        for (const PrintLine& h : b.heading) place(h, false);
        for (const PrintLine& l : b.lines) {
            if (y >= limit) {
                newPage();
                for (const PrintLine& h : b.heading) place(h, true);
            }
            place(l, false);
        }
    }
    return pages;
}

std::string PageNumberText(int number) {
    return "- " + std::to_string(number) + " -";
}

}  // namespace kv
