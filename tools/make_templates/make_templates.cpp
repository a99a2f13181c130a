// Writes the evaluation workbook templates that the program fills: AT4.xlsx and 301F.xlsx.
// The files in the repository's templates/ folder come from this program; run
//   make-templates <repository>/templates
// after changing it. The output is byte-for-byte reproducible (fixed document date, fixed
// archive time stamps), so a rebuilt template shows up in version control only when its
// content changed.

#include <xlsxwriter.h>

#include <cstdio>
#include <string>

namespace {

// 2024-01-01 00:00:00 UTC: the document date of every generated template.
constexpr time_t kDocumentDate = 1704067200;

// Rows of the AT4 hour table: hours 0 to 240.
constexpr int kAt4Hours = 241;
constexpr int kAt4FirstRow = 19;  // 1-based row of hour 0
constexpr int kAt4Samples = 4;

// Room for every cell of a row in the 301F evaluation.
constexpr int kMaxCells = 120;

struct Formats {
    lxw_format* title;
    lxw_format* bold;
    lxw_format* header;
    lxw_format* input;
    lxw_format* inputDate;
    lxw_format* inputNumber;
    lxw_format* date;
    lxw_format* num2;
    lxw_format* num3;
    lxw_format* num1;
    lxw_format* note;
};

Formats makeFormats(lxw_workbook* wb) {
    Formats f{};
    f.title = workbook_add_format(wb);
    format_set_bold(f.title);
    format_set_font_size(f.title, 14);
    f.bold = workbook_add_format(wb);
    format_set_bold(f.bold);
    f.header = workbook_add_format(wb);
    format_set_bold(f.header);
    format_set_bottom(f.header, LXW_BORDER_THIN);
    format_set_text_wrap(f.header);
    format_set_align(f.header, LXW_ALIGN_VERTICAL_TOP);
    // Cells the program fills or the user enters: light yellow.
    f.input = workbook_add_format(wb);
    format_set_bg_color(f.input, 0xFFF2CC);
    format_set_border(f.input, LXW_BORDER_THIN);
    format_set_align(f.input, LXW_ALIGN_LEFT);
    f.inputDate = workbook_add_format(wb);
    format_set_bg_color(f.inputDate, 0xFFF2CC);
    format_set_border(f.inputDate, LXW_BORDER_THIN);
    format_set_num_format(f.inputDate, "dd.mm.yyyy hh:mm:ss");
    format_set_align(f.inputDate, LXW_ALIGN_LEFT);
    f.inputNumber = workbook_add_format(wb);
    format_set_bg_color(f.inputNumber, 0xFFF2CC);
    format_set_border(f.inputNumber, LXW_BORDER_THIN);
    format_set_num_format(f.inputNumber, "0.00");
    f.date = workbook_add_format(wb);
    format_set_num_format(f.date, "dd.mm.yyyy hh:mm:ss");
    format_set_align(f.date, LXW_ALIGN_LEFT);
    f.num1 = workbook_add_format(wb);
    format_set_num_format(f.num1, "0.0");
    f.num2 = workbook_add_format(wb);
    format_set_num_format(f.num2, "0.00");
    f.num3 = workbook_add_format(wb);
    format_set_num_format(f.num3, "0.000");
    f.note = workbook_add_format(wb);
    format_set_italic(f.note);
    format_set_font_color(f.note, LXW_COLOR_GRAY);
    return f;
}

// 1-based spreadsheet coordinates keep the layout readable next to the formulas.
void text(lxw_worksheet* ws, int row, int col, const char* s, lxw_format* f = nullptr) {
    worksheet_write_string(ws, static_cast<lxw_row_t>(row - 1), static_cast<lxw_col_t>(col - 1), s,
                           f);
}
void number(lxw_worksheet* ws, int row, int col, double v, lxw_format* f = nullptr) {
    worksheet_write_number(ws, static_cast<lxw_row_t>(row - 1), static_cast<lxw_col_t>(col - 1), v,
                           f);
}
void formula(lxw_worksheet* ws, int row, int col, const std::string& s, lxw_format* f = nullptr) {
    worksheet_write_formula(ws, static_cast<lxw_row_t>(row - 1), static_cast<lxw_col_t>(col - 1),
                            s.c_str(), f);
}
void blank(lxw_worksheet* ws, int row, int col, lxw_format* f) {
    worksheet_write_blank(ws, static_cast<lxw_row_t>(row - 1), static_cast<lxw_col_t>(col - 1), f);
}
void merge(lxw_worksheet* ws, int row, int col1, int col2, const char* s, lxw_format* f) {
    worksheet_merge_range(ws, static_cast<lxw_row_t>(row - 1), static_cast<lxw_col_t>(col1 - 1),
                          static_cast<lxw_row_t>(row - 1), static_cast<lxw_col_t>(col2 - 1), s, f);
}
void width(lxw_worksheet* ws, int col1, int col2, double w, lxw_format* f = nullptr) {
    worksheet_set_column(ws, static_cast<lxw_col_t>(col1 - 1), static_cast<lxw_col_t>(col2 - 1), w,
                         f);
}
std::string col(int c) {
    std::string s;
    while (c > 0) {
        s.insert(s.begin(), static_cast<char>('A' + (c - 1) % 26));
        c = (c - 1) / 26;
    }
    return s;
}
std::string cell(int row, int c) {
    return col(c) + std::to_string(row);
}
std::string absCell(int row, int c) {
    return "$" + col(c) + "$" + std::to_string(row);
}

bool define(lxw_workbook* wb, const char* name, const std::string& ref) {
    if (workbook_define_name(wb, name, ref.c_str()) == LXW_NO_ERROR) return true;
    std::fprintf(stderr, "make-templates: cannot define name %s\n", name);
    return false;
}

void setProperties(lxw_workbook* wb, const char* title) {
    // The library takes non-const texts but only copies them.
    static char author[] = "Kelvora";
    static char comments[] = "Generated by make-templates; filled by Kelvora";
    static std::string titleText;
    titleText = title;
    lxw_doc_properties props{};
    props.title = titleText.data();
    props.author = author;
    props.comments = comments;
    props.created = kDocumentDate;
    workbook_set_properties(wb, &props);
}

// ---- AT4 ------------------------------------------------------------------------------

// Sheet 1 "AT4": sample data, the hour table (hours 0..240, four samples) and the AT4 value:
// O2 consumed in the first 96 hours per gram of dry matter. Sheet 2 "Report": the printed
// summary with the names the program fills there.
bool writeAt4(const std::string& fileName) {
    lxw_workbook* wb = workbook_new(fileName.c_str());
    if (wb == nullptr) return false;
    setProperties(wb, "AT4 evaluation");
    const Formats f = makeFormats(wb);
    lxw_worksheet* ws = workbook_add_worksheet(wb, "AT4");
    lxw_worksheet* rep = workbook_add_worksheet(wb, "Report");

    width(ws, 1, 1, 30);
    width(ws, 2, 3, 9);
    width(ws, 4, 7, 13);
    width(ws, 8, 11, 15);
    merge(ws, 1, 1, 11, "AT4 - respiration activity over 4 days", f.title);

    text(ws, 3, 1, "Analysis no. (row name)", f.bold);
    text(ws, 4, 1, "Sample date", f.bold);
    text(ws, 5, 1, "Analyst", f.bold);
    text(ws, 6, 1, "Test start", f.bold);
    for (int r = 3; r <= 5; ++r) merge(ws, r, 4, 7, "", f.input);
    blank(ws, 6, 4, f.inputDate);

    const int first = kAt4FirstRow;
    const int last = kAt4FirstRow + kAt4Hours - 1;
    const int hour96 = kAt4FirstRow + 96;
    text(ws, 8, 1, "Sample", f.header);
    text(ws, 9, 1, "Sample amount (g)", f.bold);
    text(ws, 10, 1, "Dry matter (%)", f.bold);
    text(ws, 11, 1, "Dry matter in the sample (g)");
    text(ws, 12, 1, "Hours of data");
    text(ws, 13, 1, "O2 consumed in 96 h (mg)");
    text(ws, 14, 1, "AT4 (mg O2/g dry matter)", f.bold);
    text(ws, 15, 1, "AT4, mean of the samples", f.bold);
    for (int k = 0; k < kAt4Samples; ++k) {
        const int c = 4 + k;
        number(ws, 8, c, k + 1, f.header);
        blank(ws, 9, c, f.inputNumber);
        blank(ws, 10, c, f.inputNumber);
        const std::string amount = cell(9, c), dm = cell(10, c);
        formula(ws, 11, c,
                "=IF(AND(ISNUMBER(" + amount + "),ISNUMBER(" + dm + ")),IF(" + amount + "*" + dm +
                    ">0," + amount + "*" + dm + "/100,\"\"),\"\")",
                f.num3);
        const std::string values =
            col(c) + std::to_string(first) + ":" + col(c) + std::to_string(last);
        formula(ws, 12, c, "=IF(COUNT(" + values + ")=0,\"\",COUNT(" + values + ")-1)");
        formula(ws, 13, c,
                "=IF(AND(ISNUMBER(" + cell(first, c) + "),ISNUMBER(" + cell(hour96, c) + "))," +
                    cell(hour96, c) + "-" + cell(first, c) + ",\"\")",
                f.num2);
        formula(ws, 14, c,
                "=IF(AND(ISNUMBER(" + cell(13, c) + "),ISNUMBER(" + cell(11, c) + "))," +
                    cell(13, c) + "/" + cell(11, c) + ",\"\")",
                f.num2);
    }
    formula(ws, 15, 4, "=IF(COUNT(D14:G14)=0,\"\",AVERAGE(D14:G14))", f.num2);
    text(ws, 16, 1, "AT4 needs 96 hours of data; the table holds one value per full hour.", f.note);

    merge(ws, 17, 4, 7, "Cumulative O2 (mg)", f.header);
    merge(ws, 17, 8, 11, "Cumulative O2 per g dry matter (mg/g)", f.header);
    text(ws, 18, 1, "Hour", f.header);
    text(ws, 18, 2, "Day", f.header);
    text(ws, 18, 3, "Hour of day", f.header);
    for (int k = 0; k < kAt4Samples; ++k) {
        const std::string label = "Sample " + std::to_string(k + 1);
        text(ws, 18, 4 + k, label.c_str(), f.header);
        text(ws, 18, 8 + k, label.c_str(), f.header);
    }
    for (int h = 0; h < kAt4Hours; ++h) {
        const int r = first + h;
        number(ws, r, 1, h);
        number(ws, r, 2, h / 24);
        number(ws, r, 3, h % 24);
        for (int k = 0; k < kAt4Samples; ++k) {
            const int c = 4 + k;
            blank(ws, r, c, f.num2);
            const std::string v = cell(r, c), v0 = col(c) + "$" + std::to_string(first);
            const std::string dm = col(c) + "$11";
            formula(ws, r, 8 + k,
                    "=IF(AND(ISNUMBER(" + v + "),ISNUMBER(" + v0 + "),ISNUMBER(" + dm + ")),(" + v +
                        "-" + v0 + ")/" + dm + ",\"\")",
                    f.num2);
        }
    }

    // Empty cells of the table are gaps in the curves, so only measured hours are drawn.
    lxw_chart* chart = workbook_add_chart(wb, LXW_CHART_SCATTER_STRAIGHT);
    for (int k = 0; k < kAt4Samples; ++k) {
        const std::string cats = "=AT4!$A$" + std::to_string(first) + ":$A$" + std::to_string(last);
        const std::string vals = "=AT4!$" + col(4 + k) + "$" + std::to_string(first) + ":$" +
                                 col(4 + k) + "$" + std::to_string(last);
        lxw_chart_series* s = chart_add_series(chart, cats.c_str(), vals.c_str());
        const std::string name = "=AT4!$" + col(4 + k) + "$18";
        chart_series_set_name(s, name.c_str());
    }
    chart_title_set_name(chart, "Cumulative O2 consumption");
    chart_axis_set_name(chart->x_axis, "Hours");
    chart_axis_set_name(chart->y_axis, "mg O2");
    chart_axis_set_min(chart->x_axis, 0);
    chart_axis_set_max(chart->x_axis, 240);
    chart_axis_set_major_unit(chart->x_axis, 24);
    lxw_chart_options opt{};
    opt.x_scale = 1.6;
    opt.y_scale = 1.4;
    worksheet_insert_chart_opt(ws, 2, 12, chart, &opt);

    // The printed summary.
    width(rep, 1, 1, 24);
    width(rep, 2, 4, 18);
    text(rep, 1, 1, "AT4 report", f.title);
    text(rep, 3, 1, "Analysis no. (row name)", f.bold);
    formula(rep, 3, 3, "=AT4!D3&\"\"");
    text(rep, 4, 1, "Test start", f.bold);
    blank(rep, 4, 3, f.inputDate);
    text(rep, 5, 1, "Storage temperature", f.bold);
    blank(rep, 5, 3, f.input);
    text(rep, 6, 1, "Analyst", f.bold);
    blank(rep, 6, 3, f.input);
    text(rep, 8, 1, "Sample", f.header);
    text(rep, 8, 2, "Sample amount (g)", f.header);
    text(rep, 8, 3, "Dry matter (%)", f.header);
    text(rep, 8, 4, "AT4 (mg O2/g DM)", f.header);
    for (int k = 0; k < kAt4Samples; ++k) {
        const int r = 9 + k;
        const std::string c = col(4 + k);
        number(rep, r, 1, k + 1);
        for (int j = 0; j < 3; ++j) {
            const std::string src = "AT4!" + c + std::to_string(j == 0 ? 9 : j == 1 ? 10 : 14);
            formula(rep, r, 2 + j, "=IF(ISNUMBER(" + src + ")," + src + ",\"\")", f.num2);
        }
    }
    text(rep, 13, 1, "Mean", f.bold);
    formula(rep, 13, 4, "=IF(ISNUMBER(AT4!D15),AT4!D15,\"\")", f.num2);
    worksheet_fit_to_pages(rep, 1, 1);

    bool ok = define(wb, "AnalysenNr", "=AT4!$D$3") && define(wb, "RowStart", "=AT4!$D$6") &&
              define(wb, "Probenmenge1", "=AT4!$D$9") &&
              define(wb, "Trockensubstanz1", "=AT4!$D$10") &&
              define(wb, "firstValue", "=AT4!" + absCell(first, 4));
    for (int k = 0; k < kAt4Samples && ok; ++k) {
        const std::string name = "Values" + std::to_string(k + 1);
        ok = define(wb, name.c_str(), "=AT4!" + absCell(first, 4 + k) + ":" + absCell(last, 4 + k));
    }
    // The report's names belong to the report sheet.
    ok = ok && define(wb, "Report!Print_TestStart", "=Report!$C$4") &&
         define(wb, "Report!Print_SampleTemp", "=Report!$C$5") &&
         define(wb, "Report!Print_SampleAnalytiker", "=Report!$C$6");
    return workbook_close(wb) == LXW_NO_ERROR && ok;
}

// ---- 301F -----------------------------------------------------------------------------

void rawDataSheet(lxw_worksheet* ws, const Formats& f, const char* title, const char* what) {
    width(ws, 1, 1, 20, f.date);
    width(ws, 2, 200, 9);
    text(ws, 1, 1, title, f.title);
    text(ws, 2, 1, "Row", f.bold);
    formula(ws, 2, 2, "='Test-Configuration'!B3&\"\"");
    text(ws, 3, 1, what, f.note);
    // The program writes the cell numbers into this row and one line per time value below.
    worksheet_set_row(ws, 4, LXW_DEF_ROW_HEIGHT, f.header);
    text(ws, 5, 1, "Date/time", f.header);
}

// "O2-RawData" and "CO2-RawData": one column per cell and one line per time value.
// "Test-Configuration": the row, the cell list, the ThOD to enter and the blank designation.
// "Evaluation": per cell the final BOD, the blank mean, BOD less blank and the degradation
// in % of the ThOD.
bool write301f(const std::string& fileName) {
    lxw_workbook* wb = workbook_new(fileName.c_str());
    if (wb == nullptr) return false;
    setProperties(wb, "OECD 301F evaluation");
    const Formats f = makeFormats(wb);
    lxw_worksheet* o2 = workbook_add_worksheet(wb, "O2-RawData");
    lxw_worksheet* co2 = workbook_add_worksheet(wb, "CO2-RawData");
    lxw_worksheet* cfg = workbook_add_worksheet(wb, "Test-Configuration");
    lxw_worksheet* ev = workbook_add_worksheet(wb, "Evaluation");

    rawDataSheet(o2, f, "OECD 301F - O2 raw data",
                 "BOD per cell (mg/l); the cell numbers head the columns.");
    rawDataSheet(co2, f, "OECD 301F - CO2 raw data",
                 "CO2 produced per cell (mg); the cell numbers head the columns.");

    // Test configuration.
    width(cfg, 1, 1, 44);
    width(cfg, 2, 2, 20);
    width(cfg, 3, 3, 16);
    width(cfg, 4, 4, 28);
    width(cfg, 5, 7, 6);
    width(cfg, 8, 8, 8);
    text(cfg, 1, 1, "OECD 301F - test configuration", f.title);
    const char* labels[] = {"Row name", "Comment",  "",         "",     "State",
                            "Start",    "Duration", "Interval", "Stop", "Number of cells"};
    for (int i = 0; i < 10; ++i) {
        const int r = 3 + i;
        text(cfg, r, 1, labels[i], f.bold);
        blank(cfg, r, 2, (r == 8 || r == 11) ? f.inputDate : f.input);
    }
    text(cfg, 14, 1, "ThOD of the test substance in the vessel (mg O2/l)", f.bold);
    blank(cfg, 14, 2, f.inputNumber);
    text(cfg, 14, 3, "ThOD (mg O2/mg) x concentration (mg/l)", f.note);
    text(cfg, 15, 1, "Designation of blank cells contains", f.bold);
    text(cfg, 15, 2, "blank", f.input);
    text(cfg, 16, 1, "Blank mean BOD (mg/l)", f.bold);
    formula(cfg, 16, 2, "=IF(ISNUMBER(Evaluation!$D$4),Evaluation!$D$4,\"\")", f.num1);

    // The cell list: the program inserts one line per cell below the heading.
    const int head = 18, list1 = 19, list2 = 20;
    text(cfg, head, 1, "Cell", f.header);
    text(cfg, head, 2, "Sample amount", f.header);
    text(cfg, head, 3, "BOD at the end (mg/l)", f.header);
    text(cfg, head, 4, "Designation", f.header);
    for (int c = 5; c <= 7; ++c) blank(cfg, head, c, f.header);
    text(cfg, head, 8, "Cell", f.header);
    blank(cfg, list1, 2, f.num3);
    blank(cfg, list1, 3, f.num3);
    merge(cfg, 22, 1, 4, "Results per cell: see the sheet Evaluation", f.bold);
    text(cfg, 23, 1, "Mean degradation of the test cells (% of ThOD)", f.bold);
    formula(cfg, 23, 2,
            "=IF(COUNT(Evaluation!$G$8:$G$" + std::to_string(7 + kMaxCells) +
                ")=0,\"\",AVERAGE(Evaluation!$G$8:$G$" + std::to_string(7 + kMaxCells) + "))",
            f.num1);

    // Evaluation, one line per cell of the list. The list references span the first list
    // line and the one below it, so they grow with the lines the program inserts.
    const std::string lastEv = std::to_string(7 + kMaxCells);
    const auto listCol = [&](const char* c) {
        return std::string("'Test-Configuration'!$") + c + "$" + std::to_string(list1) + ":$" + c +
               "$" + std::to_string(list2);
    };
    width(ev, 1, 2, 7);
    width(ev, 3, 3, 28);
    width(ev, 4, 7, 16);
    text(ev, 1, 1, "OECD 301F - evaluation per cell", f.title);
    text(ev, 3, 1, "ThOD (mg O2/l)", f.bold);
    formula(ev, 3, 4, "=IF(ISNUMBER(ThOD),ThOD,\"\")", f.num1);
    text(ev, 4, 1, "Blank mean BOD (mg/l)", f.bold);
    formula(ev, 4, 4,
            "=IFERROR(AVERAGEIF($E$8:$E$" + lastEv + ",\"blank\",$D$8:$D$" + lastEv + "),\"\")",
            f.num1);
    text(ev, 5, 1, "Number of blank cells", f.bold);
    formula(ev, 5, 4, "=COUNTIF($E$8:$E$" + lastEv + ",\"blank\")");
    const char* heads[] = {"No.",
                           "Cell",
                           "Designation",
                           "BOD (mg/l)",
                           "Blank",
                           "BOD less blank mean (mg/l)",
                           "Degradation (% of ThOD)"};
    for (int c = 0; c < 7; ++c) text(ev, 7, c + 1, heads[c], f.header);
    for (int k = 1; k <= kMaxCells; ++k) {
        const int r = 7 + k;
        const std::string a = "$A" + std::to_string(r), b = "$B" + std::to_string(r);
        const std::string cc = "$C" + std::to_string(r), d = "$D" + std::to_string(r);
        const std::string e = "$E" + std::to_string(r), fc = "$F" + std::to_string(r);
        number(ev, r, 1, k);
        formula(ev, r, 2,
                "=IFERROR(IF(AND(ISNUMBER(NrCells)," + a + "<=NrCells),INDEX(" + listCol("A") +
                    "," + a + "),\"\"),\"\")");
        formula(ev, r, 3, "=IF(" + b + "=\"\",\"\",INDEX(" + listCol("D") + "," + a + ")&\"\")");
        const std::string bod = "INDEX(" + listCol("C") + "," + a + ")";
        formula(ev, r, 4, "=IF(" + b + "=\"\",\"\",IF(ISNUMBER(" + bod + ")," + bod + ",\"\"))",
                f.num1);
        formula(ev, r, 5,
                "=IF(OR(" + b + "=\"\",BlankTag=\"\"),\"\",IF(ISNUMBER(SEARCH(BlankTag," + cc +
                    ")),\"blank\",\"\"))");
        formula(ev, r, 6,
                "=IF(OR(" + e + "<>\"\",NOT(ISNUMBER(" + d + ")),NOT(ISNUMBER($D$4))),\"\"," + d +
                    "-$D$4)",
                f.num1);
        formula(ev, r, 7,
                "=IF(AND(ISNUMBER(" + fc + "),ISNUMBER(ThOD)),IF(ThOD>0," + fc +
                    "/ThOD*100,\"\"),\"\")",
                f.num1);
    }

    const bool ok = define(wb, "RowName", "='Test-Configuration'!$B$3") &&
                    define(wb, "RowComment", "='Test-Configuration'!$B$4") &&
                    define(wb, "RowState", "='Test-Configuration'!$B$7") &&
                    define(wb, "RowStart", "='Test-Configuration'!$B$8") &&
                    define(wb, "RowDuration", "='Test-Configuration'!$B$9") &&
                    define(wb, "RowInterval", "='Test-Configuration'!$B$10") &&
                    define(wb, "RowStop", "='Test-Configuration'!$B$11") &&
                    define(wb, "NrCells", "='Test-Configuration'!$B$12") &&
                    define(wb, "ThOD", "='Test-Configuration'!$B$14") &&
                    define(wb, "BlankTag", "='Test-Configuration'!$B$15") &&
                    define(wb, "CellDescription", "='Test-Configuration'!" + absCell(head, 1)) &&
                    define(wb, "O2_Raw", "='O2-RawData'!$A$5") &&
                    define(wb, "CO2_Raw", "='CO2-RawData'!$A$5");
    return workbook_close(wb) == LXW_NO_ERROR && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-templates OUTPUT_FOLDER\n");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = true;
    for (const auto& [name, fn] : {std::pair{"AT4.xlsx", &writeAt4}, {"301F.xlsx", &write301f}}) {
        const std::string path = dir + "/" + name;
        if (fn(path)) {
            std::printf("%s\n", path.c_str());
        } else {
            std::fprintf(stderr, "make-templates: cannot write %s\n", path.c_str());
            ok = false;
        }
    }
    return ok ? 0 : 1;
}
