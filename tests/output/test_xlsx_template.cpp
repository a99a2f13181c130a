#include <gtest/gtest.h>

#include <filesystem>

#include "common/datetime.h"
#include "common/numtext.h"
#include "output/result_files.h"
#include "output/xlsx_template.h"
#include "xlsx_test_util.h"

using namespace kv;
using kvtest::checkXlsx;
using kvtest::readFile;
using kvtest::t;
using kvtest::TempDir;
using kvtest::templatePath;

namespace {

std::string num(double v) {
    return realToText(v, 0, -12);
}

// Every write must succeed; a failure shows its error text.
#define OK(expr) ASSERT_EQ((expr), std::string())

}  // namespace

TEST(XlsxTemplate, FillsTheAt4TemplateThroughItsNames) {
    TempDir dir;
    XlsxTemplate x;
    OK(x.open(templatePath("AT4.xlsx")));
    ASSERT_EQ(x.sheetCount(), 2);
    EXPECT_EQ(x.sheetName(1), "AT4");
    EXPECT_EQ(x.sheetName(3), "");

    SheetArea nr, start, amount, dm, first, values2;
    OK(x.resolveName("AnalysenNr", nr));
    EXPECT_EQ(nr.sheet, "AT4");
    EXPECT_EQ(nr.row1, 3);
    EXPECT_EQ(nr.col1, 4);
    OK(x.resolveName("rowstart", start));  // names are found in any case
    OK(x.resolveName("Probenmenge1", amount));
    OK(x.resolveName("Trockensubstanz1", dm));
    OK(x.resolveName("firstValue", first));
    OK(x.resolveName("Values2", values2));
    EXPECT_EQ(values2.col1, first.col1 + 1);
    EXPECT_EQ(values2.row1, first.row1);
    EXPECT_EQ(values2.row2 - values2.row1, 240);  // hours 0..240
    // The report's names belong to sheet 2.
    const auto testStart = x.findName("Print_TestStart", x.sheetName(2));
    ASSERT_TRUE(testStart);
    EXPECT_EQ(testStart->sheet, "Report");
    EXPECT_TRUE(x.findName("Report!Print_SampleTemp"));
    EXPECT_TRUE(x.findName("Print_SampleAnalytiker"));
    EXPECT_FALSE(x.findName("AT4!Print_TestStart"));
    EXPECT_FALSE(x.findName("Print_Nothing"));

    const double t0 = encodeDateTime(2024, 3, 1, 10, 0, 0);
    OK(x.setText(nr.sheet, nr.row1, nr.col1, "Row 7 / A:1"));
    OK(x.setText(nr.sheet, nr.row1 + 1, nr.col1, "01.03.2024"));
    OK(x.setText(nr.sheet, nr.row1 + 2, nr.col1, "  J. Doe  "));
    OK(x.setDateTime(start.sheet, start.row1, start.col1, t0));
    OK(x.setNumberFromText(amount.sheet, amount.row1, amount.col1, "12.5"));
    OK(x.setNumberFromText(amount.sheet, amount.row1, amount.col1 + 1, "7,25"));
    OK(x.setNumberFromText(dm.sheet, dm.row1, dm.col1, "40"));
    OK(x.setNumberFromText(dm.sheet, dm.row1, dm.col1 + 1, "n/a"));  // not a number: text
    for (int h = 0; h < 10; ++h)
        for (int k = 0; k < 4; ++k) {
            const double v = k == 3 && h > 4 ? NoValueReal : h * (k + 1) * 0.333;
            OK(x.setNumberFromText(first.sheet, first.row1 + h, first.col1 + k,
                                   realToText(v, 0, 2)));
        }
    OK(x.setDateTime(testStart->sheet, testStart->row1, testStart->col1, t0));
    OK(x.setText("Report", 5, 3,
                 "4 \xC2\xB0"
                 "C"));
    // A date in a cell without a date format gets one; a styled cell keeps its look.
    OK(x.setDateTime("AT4", 2, 1, t0 + 0.5));
    OK(x.setDateTime("Report", 6, 3, t0));
    const std::string out = dir.file("Row 7_AT4.xlsx");
    OK(x.saveAs(out));

    const std::string tpl = templatePath("AT4.xlsx");
    EXPECT_EQ(
        checkXlsx(
            dir, out,
            {t("sheets", "AT4|Report"), t("text", "AT4", "D3", "Row 7 / A:1"),
             t("text", "AT4", "D4", "01.03.2024"), t("text", "AT4", "D5", "  J. Doe  "),
             t("date", "AT4", "D6", num(t0)), t("number", "AT4", "D9", "12.5"),
             t("number", "AT4", "E9", "7.25"), t("number", "AT4", "D10", "40"),
             t("text", "AT4", "E10", "n/a"), t("number", "AT4", "D19", "0"),
             t("number", "AT4", "E21", "1.33"),  // 1.332 as written: 2 decimals
             t("number", "AT4", "G23", "5.33"), t("empty", "AT4", "G24"), t("empty", "AT4", "D29"),
             t("format", "AT4", "D19", "0.00"), t("date", "AT4", "A2", num(t0 + 0.5)),
             t("format", "AT4", "A2", "dd.mm.yyyy hh:mm:ss"), t("date", "Report", "C4", num(t0)),
             t("text", "Report", "C5",
               "4 \xC2\xB0"
               "C"),
             t("format", "Report", "C6", "dd.mm.yyyy hh:mm:ss"),
             // formulas, names, merged cells and the chart are still there
             t("formula", "AT4", "D14", "=IF(AND(ISNUMBER(D13),ISNUMBER(D11)),D13/D11,\"\")"),
             t("formula", "AT4", "D13", "=IF(AND(ISNUMBER(D19),ISNUMBER(D115)),D115-D19,\"\")"),
             t("formula", "Report", "D13", "=IF(ISNUMBER(AT4!D15),AT4!D15,\"\")"),
             t("number", "AT4", "A259", "240"), t("name", "AnalysenNr", "AT4!$D$3"),
             t("name", "Values4", "AT4!$G$19:$G$259"),
             t("name", "Report!Print_TestStart", "Report!$C$4"), t("merged", "AT4", "D3:G3"),
             t("charts", "AT4", "1"), t("samepart", "xl/charts/chart1.xml", tpl),
             t("samepart", "xl/theme/theme1.xml", tpl),
             t("contains", "xl/workbook.xml", "fullCalcOnLoad=\"1\"")}),
        "");
    // Nothing but the result is left in the folder.
    int files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        files += e.path().extension() == ".xlsx" || e.path().extension() == ".tmp";
    EXPECT_EQ(files, 1);
}

TEST(XlsxTemplate, InsertsThe301fCellListAndKeepsEveryReferenceRight) {
    TempDir dir;
    XlsxTemplate x;
    OK(x.open(templatePath("301F.xlsx")));
    for (const char* s : {"O2-RawData", "CO2-RawData", "Test-Configuration"})
        EXPECT_TRUE(x.hasSheet(s)) << s;

    SheetArea a;
    OK(x.resolveName("RowName", a));
    OK(x.setText(a.sheet, a.row1, a.col1, "OECD 12"));
    OK(x.resolveName("RowComment", a));
    for (int i = 0; i < 3; ++i)
        OK(x.setText(a.sheet, a.row1 + i, a.col1, "comment " + std::to_string(i + 1)));
    OK(x.resolveName("NrCells", a));
    OK(x.setNumber(a.sheet, a.row1, a.col1, 6));

    SheetArea cd;
    OK(x.resolveName("CellDescription", cd));
    const std::string cfg = cd.sheet;
    EXPECT_EQ(cfg, "Test-Configuration");
    const int r = cd.row1 + 1, n = 6;
    OK(x.insertRows(cfg, r + 1, n));
    const char* designations[] = {"Blank 1", "blank 2", "Aniline", "Aniline", "Test A", "Test B"};
    for (int i = 1; i <= n; ++i) {
        const int row = r + i - 1;
        OK(x.setNumber(cfg, row, cd.col1, i));
        OK(x.setNumberFromText(cfg, row, cd.col1 + 1, realToText(100.0 + i, 0, 3)));
        OK(x.setNumberFromText(cfg, row, cd.col1 + 2, realToText(10.0 * i, 0, 3)));
        OK(x.setText(cfg, row, cd.col1 + 3, designations[i - 1]));
        OK(x.setNumber(cfg, row, cd.col1 + 7, i));
    }

    SheetArea raw;
    OK(x.resolveName("O2_Raw", raw));
    EXPECT_EQ(raw.sheet, "O2-RawData");
    const double t0 = encodeDateTime(2024, 5, 2, 8, 0, 0);
    for (int i = 1; i <= n; ++i) OK(x.setNumber(raw.sheet, raw.row1, raw.col1 + i, i));
    OK(x.setText(raw.sheet, raw.row1, raw.col1 + 1 + n,
                 "Temp [\xC2\xB0"
                 "C]"));
    for (int tv = 1; tv <= 3; ++tv) {
        OK(x.setDateTime(raw.sheet, raw.row1 + tv, raw.col1, t0 + tv / 24.0));
        for (int i = 1; i <= n; ++i)
            OK(x.setNumberFromText(raw.sheet, raw.row1 + tv, raw.col1 + i,
                                   realToText(tv * i * 1.1, 0, 1)));
    }
    const std::string out = dir.file("OECD 12_301f.xlsx");
    OK(x.saveAs(out));

    const std::string tc = "Test-Configuration";
    EXPECT_EQ(
        checkXlsx(
            dir, out,
            {t("text", tc, "B3", "OECD 12"), t("text", tc, "B6", "comment 3"),
             t("number", tc, "B12", "6"), t("number", tc, "A19", "1"), t("number", tc, "A24", "6"),
             t("number", tc, "B20", "102"), t("number", tc, "C24", "60"),
             t("text", tc, "D19", "Blank 1"), t("number", tc, "H24", "6"), t("empty", tc, "A25"),
             // inserted lines are formatted like the first list line
             t("format", tc, "B23", "0.000"), t("format", tc, "C25", "0.000"),
             // the block below the list moved down by the six lines
             t("merged", tc, "A28:D28"),
             t("text", tc, "A28", "Results per cell: see the sheet Evaluation"),
             t("number", tc, "A22", "4"), t("hasref", tc, "B29", "AVERAGE(Evaluation!$G$8:$G$127)"),
             t("formula", tc, "B16", "=IF(ISNUMBER(Evaluation!$D$4),Evaluation!$D$4,\"\")"),
             // the evaluation now spans the whole list
             t("hasref", "Evaluation", "B8", "INDEX('Test-Configuration'!$A$19:$A$26,$A8)"),
             t("hasref", "Evaluation", "D127", "'Test-Configuration'!$C$19:$C$26"),
             t("name", "CellDescription", "'Test-Configuration'!$A$18"),
             t("name", "ThOD", "'Test-Configuration'!$B$14"),
             t("name", "O2_Raw", "'O2-RawData'!$A$5"),
             // raw data: numbers, dates by the column's format
             t("number", "O2-RawData", "B5", "1"),
             t("text", "O2-RawData", "H5",
               "Temp [\xC2\xB0"
               "C]"),
             t("date", "O2-RawData", "A6", num(t0 + 1 / 24.0)),
             t("number", "O2-RawData", "G8", "19.8"),
             // a row without CO2 leaves that sheet as it was
             t("text", "CO2-RawData", "A5", "Date/time"), t("empty", "CO2-RawData", "B5"),
             t("empty", "CO2-RawData", "A6"),
             t("formula", "CO2-RawData", "B2", "='Test-Configuration'!B3&\"\"")}),
        "");
}

// A hand-made workbook with the constructs that real templates bring along: prefixed
// elements, rows and cells without numbers, a shared formula, a calculation chain, names
// with quoted sheets, a conditional format and a chart.
namespace {

const char* kRels =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
    "relationships/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>";

std::string contentTypes() {
    const std::string ws =
        "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
           "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
           "<Default Extension=\"rels\" "
           "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
           "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
           "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/"
           "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
           "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"" +
           ws +
           "\"/>"
           "<Override PartName=\"/xl/worksheets/sheet2.xml\" ContentType=\"" +
           ws +
           "\"/>"
           "<Override PartName=\"/xl/calcChain.xml\" ContentType=\"application/"
           "vnd.openxmlformats-officedocument.spreadsheetml.calcChain+xml\"/></Types>";
}

const char* kWorkbook =
    "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets>"
    "<sheet name=\"Data\" sheetId=\"1\" r:id=\"rId1\"/>"
    "<sheet name=\"Other's Sheet\" sheetId=\"2\" r:id=\"rId2\"/></sheets><definedNames>"
    "<definedName name=\"Below\">Data!$A$10</definedName>"
    "<definedName name=\"Above\">Data!$A$1</definedName>"
    "<definedName name=\"Span\">Data!$A$2:$A$10</definedName>"
    "<definedName name=\"Local\" localSheetId=\"1\">'Other''s Sheet'!$B$2</definedName>"
    "<definedName name=\"Broken\">#REF!</definedName>"
    "<definedName name=\"Lost\">Gone!$A$1</definedName></definedNames></workbook>";

const char* kWorkbookRels =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
    "relationships/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
    "<Relationship Id=\"rId2\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
    "relationships/worksheet\" Target=\"/xl/worksheets/sheet2.xml\"/>"
    "<Relationship Id=\"rId3\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/"
    "relationships/calcChain\" Target=\"calcChain.xml\"/></Relationships>";

const char* kSheet1 =
    "<x:worksheet xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
    "<x:dimension ref=\"A1:C10\"/><x:sheetData>"
    "<x:row r=\"1\"><x:c r=\"A1\"><x:v>1</x:v></x:c>"
    "<x:c r=\"B1\"><x:f t=\"shared\" ref=\"B1:B3\" si=\"0\">A1*2</x:f><x:v>2</x:v></x:c>"
    "<x:c r=\"C1\"><x:f>SUM(A1:A10)</x:f><x:v>16</x:v></x:c></x:row>"
    "<x:row><x:c><x:v>2</x:v></x:c><x:c><x:f t=\"shared\" si=\"0\"/><x:v>4</x:v></x:c></x:row>"
    "<x:row r=\"3\"><x:c r=\"A3\"><x:v>3</x:v></x:c>"
    "<x:c r=\"B3\"><x:f t=\"shared\" si=\"0\"/><x:v>6</x:v></x:c></x:row>"
    "<x:row r=\"10\"><x:c r=\"A10\"><x:v>10</x:v></x:c></x:row></x:sheetData>"
    "<x:mergeCells count=\"1\"><x:mergeCell ref=\"A10:B11\"/></x:mergeCells>"
    "<x:conditionalFormatting sqref=\"A5:A12\"><x:cfRule type=\"expression\" priority=\"1\">"
    "<x:formula>A5&gt;A$10</x:formula></x:cfRule></x:conditionalFormatting></x:worksheet>";

const char* kSheet2 =
    "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>"
    "<row r=\"1\"><c r=\"A1\"><f>Data!A10*2</f><v>20</v></c>"
    "<c r=\"B1\"><f>SUM(Data!$A$1:$A$3)+'Other''s Sheet'!B3+B3+\"Data!A5\"</f><v>1</v></c></row>"
    "<row r=\"2\"><c r=\"B2\"><v>5</v></c></row></sheetData></worksheet>";

const char* kChart =
    "<c:chartSpace xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\"><c:chart>"
    "<c:plotArea><c:lineChart><c:ser><c:val><c:numRef><c:f>Data!$A$1:$A$10</c:f></c:numRef>"
    "</c:val></c:ser></c:lineChart></c:plotArea></c:chart></c:chartSpace>";

std::string handMadeWorkbook(const TempDir& dir) {
    const std::string path = dir.file("handmade.xlsx");
    const bool ok =
        kvtest::writeZip(path, {{"[Content_Types].xml", contentTypes()},
                                {"_rels/.rels", kRels},
                                {"xl/workbook.xml", kWorkbook},
                                {"xl/_rels/workbook.xml.rels", kWorkbookRels},
                                {"xl/worksheets/sheet1.xml", kSheet1},
                                {"xl/worksheets/sheet2.xml", kSheet2},
                                {"xl/calcChain.xml",
                                 "<calcChain xmlns=\"http://schemas.openxmlformats.org/"
                                 "spreadsheetml/2006/main\"><c r=\"C1\" i=\"1\"/></calcChain>"},
                                {"xl/charts/chart1.xml", kChart}});
    EXPECT_TRUE(ok);
    return path;
}

}  // namespace

TEST(XlsxTemplate, InsertedRowsMoveEverythingThatPointsBelowThem) {
    TempDir dir;
    XlsxTemplate x;
    OK(x.open(handMadeWorkbook(dir)));
    auto local = x.findName("'Other''s Sheet'!Local");
    ASSERT_TRUE(local);
    EXPECT_EQ(local->sheet, "Other's Sheet");
    EXPECT_EQ(local->row1, 2);
    SheetArea a;
    EXPECT_NE(x.resolveName("Broken", a).find("does not refer to cells"), std::string::npos);
    EXPECT_NE(x.resolveName("Lost", a).find("missing sheet [Gone]"), std::string::npos);

    // Overwriting the master of a shared formula keeps the formula of the other cells.
    OK(x.setNumber("Data", 1, 2, 7));
    OK(x.insertRows("data", 3, 3));  // sheet names in any case
    OK(x.setNumber("Data", 4, 1, 4.5));
    OK(x.setNumber("Data", 2, 3, 1e-7));
    const std::string out = dir.file("out.xlsx");
    OK(x.saveAs(out));

    const std::string os = "Other's Sheet";
    EXPECT_EQ(
        checkXlsx(
            dir, out,
            {t("number", "Data", "A1", "1"), t("number", "Data", "A2", "2"),
             t("empty", "Data", "A3"), t("number", "Data", "A4", "4.5"),
             t("number", "Data", "A6", "3"), t("number", "Data", "A13", "10"),
             t("number", "Data", "C2", "1e-7"),
             // the shared formula, spelled out per cell, follows its cells
             t("number", "Data", "B1", "7"), t("formula", "Data", "B2", "=A2*2"),
             t("formula", "Data", "B6", "=A6*2"), t("formula", "Data", "C1", "=SUM(A1:A13)"),
             t("formula", os, "A1", "=Data!A13*2"),
             t("formula", os, "B1", "=SUM(Data!$A$1:$A$6)+'Other''s Sheet'!B3+B3+\"Data!A5\""),
             t("merged", "Data", "A13:B14"), t("name", "Below", "Data!$A$13"),
             t("name", "Above", "Data!$A$1"), t("name", "Span", "Data!$A$2:$A$13"),
             t("name", os + "!Local", "'Other''s Sheet'!$B$2"),
             t("contains", "xl/worksheets/sheet1.xml", "sqref=\"A8:A15\""),
             t("contains", "xl/worksheets/sheet1.xml", "<x:formula>A8&gt;A$13</x:formula>"),
             t("contains", "xl/worksheets/sheet1.xml", "<x:dimension ref=\"A1:C13\"/>"),
             t("contains", "xl/charts/chart1.xml", "<c:f>Data!$A$1:$A$13</c:f>"),
             // stale results and the old calculation chain are gone
             t("nopart", "xl/calcChain.xml"),
             t("contains", "xl/workbook.xml", "</definedNames><calcPr fullCalcOnLoad=\"1\"/>")}),
        "")
        << kvtest::readZipPart(out, "xl/worksheets/sheet1.xml");
    const std::string sheet1 = kvtest::readZipPart(out, "xl/worksheets/sheet1.xml");
    EXPECT_EQ(sheet1.find("<x:v>16</x:v>"), std::string::npos);  // cached SUM dropped
    EXPECT_EQ(kvtest::readZipPart(out, "[Content_Types].xml").find("calcChain"), std::string::npos);
    EXPECT_EQ(kvtest::readZipPart(out, "xl/_rels/workbook.xml.rels").find("calcChain"),
              std::string::npos);
}

TEST(XlsxTemplate, BadTemplatesAndBadRequestsGiveErrorTexts) {
    TempDir dir;
    XlsxTemplate x;
    EXPECT_EQ(x.setText("AT4", 1, 1, "x"), "No workbook template is open");
    EXPECT_EQ(x.saveAs(dir.file("a.xlsx")), "No workbook template is open");

    EXPECT_NE(x.open(dir.file("missing.xlsx")).find("not found"), std::string::npos);
    EXPECT_FALSE(x.isOpen());
    kvtest::writeFile(dir.file("text.xlsx"), "just some text, not an archive\n");
    EXPECT_NE(x.open(dir.file("text.xlsx")).find("not an xlsx workbook"), std::string::npos);
    // A template cut short in the middle of its archive.
    const std::string whole = readFile(templatePath("AT4.xlsx"));
    kvtest::writeFile(dir.file("cut.xlsx"), whole.substr(0, whole.size() / 2));
    EXPECT_NE(x.open(dir.file("cut.xlsx")), "");
    EXPECT_FALSE(x.isOpen());
    ASSERT_TRUE(kvtest::writeZip(dir.file("nowb.xlsx"), {{"readme.txt", "hello"}}));
    EXPECT_NE(x.open(dir.file("nowb.xlsx")).find("no workbook part"), std::string::npos);
    ASSERT_TRUE(kvtest::writeZip(dir.file("badxml.xlsx"), {{"[Content_Types].xml", "<Types/>"},
                                                           {"xl/workbook.xml", "<workbook><"}}));
    EXPECT_NE(x.open(dir.file("badxml.xlsx")), "");

    OK(x.open(templatePath("301F.xlsx")));
    SheetArea a;
    EXPECT_EQ(x.resolveName("NoSuchName", a),
              "Name [NoSuchName] not found in template [" + templatePath("301F.xlsx") + "]");
    EXPECT_NE(x.resolveName("Nowhere!RowName", a).find("Sheet [Nowhere] not found"),
              std::string::npos);
    EXPECT_NE(x.setText("Nowhere", 1, 1, "x").find("Sheet [Nowhere] not found"), std::string::npos);
    EXPECT_NE(x.setNumber("O2-RawData", 0, 1, 1).find("outside"), std::string::npos);
    EXPECT_NE(x.setNumber("O2-RawData", 1, 16385, 1).find("outside"), std::string::npos);
    EXPECT_NE(x.insertRows("Test-Configuration", 5, -1), "");
    EXPECT_NE(x.insertRows("Test-Configuration", 5, 1048576).find("no room"), std::string::npos);
    OK(x.insertRows("Test-Configuration", 5, 0));

    // An unwritable result leaves nothing behind.
    const std::string err = x.saveAs(dir.file("no/such/folder/r.xlsx"));
    EXPECT_NE(err.find("Cannot write file"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("no")));
}

TEST(XlsxTemplate, ShippedTemplatesAreWhatTheGeneratorWrites) {
    TempDir dir;
    const std::string cmd =
        std::string("'") + KV_MAKE_TEMPLATES + "' '" + dir.path() + "' > /dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    for (const char* name : {"AT4.xlsx", "301F.xlsx"}) {
        const std::string shipped = readFile(templatePath(name));
        EXPECT_FALSE(shipped.empty()) << name;
        EXPECT_TRUE(shipped == readFile(dir.file(name)))
            << name << " differs from the generator's output; run make-templates on templates/";
    }
}

TEST(ResultFiles, RowNamesBecomeFileNamesInsideTheResultFolder) {
    EXPECT_EQ(resultFileName("/res", "A/B:C*D?E", kAt4Suffix), "/res/A_B_C_D_E_AT4.xlsx");
    EXPECT_EQ(resultFileName("/res/", "Row 1", k301fSuffix), "/res/Row 1_301f.xlsx");
    EXPECT_EQ(resultFileName("C:\\res", "x", kAt4Suffix), "C:/res/x_AT4.xlsx");
    EXPECT_EQ(resultFileName("", "x", kAt4Suffix), "x_AT4.xlsx");
    EXPECT_EQ(safeFileNamePart("a<b>c|d\"e\\f\tg\x7fh"), "a_b_c_d_e_f_g_h");
    EXPECT_EQ(safeFileNamePart(""), "_");
    EXPECT_EQ(safeFileNamePart("-rf"), "_rf");
    EXPECT_EQ(safeFileNamePart("Probe B\xC3\xB6"
                               "den"),
              "Probe B\xC3\xB6"
              "den");
    EXPECT_EQ(safeFileNamePart("bad\xFF"
                               "byte"),
              "bad_byte");

    for (const char* evil : {"../../etc/passwd", "..", ".hidden", "/abs", "a/../../b"}) {
        const std::filesystem::path p = resultFileName("/res", evil, kAt4Suffix);
        EXPECT_EQ(p.parent_path(), "/res") << evil;
        EXPECT_NE(p.filename().string()[0], '.') << evil;
    }
    // Long names are cut on a character boundary so that the file name stays valid.
    std::string longName;
    for (int i = 0; i < 200; ++i) longName += "\xC3\xA4";  // "ä", two bytes each
    const std::string f =
        std::filesystem::path(resultFileName("/res", longName, kAt4Suffix)).filename().string();
    EXPECT_LE(f.size(), kMaxFileNameBytes);
    EXPECT_TRUE(f.size() > kMaxFileNameBytes - 2);
    EXPECT_TRUE(f.ends_with("\xC3\xA4_AT4.xlsx"));
}
