#include <gtest/gtest.h>

#include <filesystem>

#include "common/strutil.h"
#include "output/at4.h"
#include "output/export_csv.h"
#include "output/export_xls.h"
#include "output/f301.h"
#include "output/row_data_model.h"
#include "output/template_paths.h"
#include "output_fixture.h"

using namespace kv;
using kvtest::checkXlsx;
using kvtest::readFile;
using kvtest::t;

namespace {

class ExportTest : public kvtest::OutputFixture {
  protected:
    // A mass row with check cells 1 and 2 (index 2), blind cell 3, reference cell 4 that has
    // no values at all, CO2 from raw values (start 1000, CO2 = raw / 10 mg).
    std::shared_ptr<TRow> specialRow() {
        auto r = row("Sludge \"A\"", 4, 1);
        r->Comment = {"first", "", "third"};
        r->Start = at(9, 0);
        r->Stop = at(9, 0) + 4;
        r->Duration = 4;
        r->Interval = 1.5;
        r->withCO2 = true;
        r->LF2CO2 = 1.023;
        const int modes[] = {1, 1, 2, 3};
        for (int s = 1; s <= 4; ++s) {
            RowCell& c = r->RowCells[static_cast<size_t>(s)];
            c.Mode = modes[s - 1];
            c.aiCO2_start = 1000;
            if (c.Mode == 1) {
                c.Index = 2;
                c.PTC = 50;
                c.BTH1 = 1.5;
            }
        }
        r->BuildSpecialCellTable();
        add(*r, at(10, 30), {8, 12, 2}, 215, {990, 990, 990});
        add(*r, at(12, 0), {20, 30, 5}, NoValueInt, {950, 950, 950});
        add(*r, at(13, 30), {40, 60, 10}, 220, {900, 900, 900});
        return r;
    }

    // The file's lines, fields split at sep, delimiters stripped and doubled ones undone.
    static std::vector<std::vector<std::string>> readCsv(const std::string& file,
                                                         const std::string& sep,
                                                         const std::string& delim) {
        std::vector<std::vector<std::string>> out;
        std::string text = readFile(file);
        EXPECT_TRUE(text.ends_with("\r\n"));
        text = replaceAll(text, "\r\n", "\n");
        text.pop_back();
        for (std::string_view line : split(text, '\n')) {
            std::vector<std::string> fields;
            size_t pos = 0;
            while (true) {
                const size_t e = line.find(sep, pos);
                std::string f(line.substr(pos, e == std::string_view::npos ? e : e - pos));
                if (!delim.empty() && f.size() >= 2 && f.starts_with(delim) && f.ends_with(delim))
                    f = replaceAll(f.substr(1, f.size() - 2), delim + delim, delim);
                fields.push_back(f);
                if (e == std::string_view::npos) break;
                pos = e + sep.size();
            }
            out.push_back(fields);
        }
        return out;
    }

    using Lines = std::vector<std::vector<std::string>>;
    static std::vector<std::string> F(std::initializer_list<std::string> f) { return f; }
};

}  // namespace

TEST_F(ExportTest, CsvHoldsEveryBlockFieldByField) {
    auto r = specialRow();
    std::string file;
    ASSERT_EQ(ExportCSV(*r, "sludge.csv", false, false, &file), "");
    EXPECT_EQ(file, resultDir() + "/sludge.csv");
    const Lines l = readCsv(file, ";", "\"");
    ASSERT_EQ(l.size(), 29u);
    EXPECT_EQ(l[0], F({dateTimeToText(kv::clock().now())}));
    EXPECT_EQ(l[1], F({""}));
    EXPECT_EQ(l[2], F({"Name:", "Sludge \"A\""}));
    EXPECT_EQ(l[3], F({"Comment:", "first"}));
    EXPECT_EQ(l[4], F({"", "third"}));  // the empty second comment is left out
    EXPECT_EQ(l[5], F({"Status:", r->StateText()}));
    EXPECT_EQ(l[6], F({"Start:", "01.03.2026 09:00:00"}));
    EXPECT_EQ(l[7], F({"Duration:", "4 d"}));
    EXPECT_EQ(l[8], F({"Interval:", "1.5 h"}));
    EXPECT_EQ(l[9], F({"Stop:", "05.03.2026 09:00:00"}));
    EXPECT_EQ(l[10], F({""}));
    EXPECT_EQ(l[12], F({"cell#", "Mass(g)", "Dried m.(%)", "last value", "Designation"}));
    EXPECT_EQ(l[13], F({"1", "100.00", "20.00", "10.00", "Cell 1"}));
    EXPECT_EQ(l[16], F({"4", "100.00", "20.00", "", "Cell 4"}));  // no values: empty
    EXPECT_EQ(l[17], F({"Cell Mode", "Cells"}));
    EXPECT_EQ(l[18], F({"reference", "4"}));
    EXPECT_EQ(l[19], F({"blind", "3"}));
    EXPECT_EQ(l[21], F({"Index", "P(TC)", "B(Th1)", "Cells"}));
    EXPECT_EQ(l[22], F({"2", "50", "1.5", "1, 2"}));
    EXPECT_EQ(l[23], F({""}));
    EXPECT_EQ(l[24], F({""}));
    EXPECT_EQ(l[25], F({"date/time <> cell#", "1 (mg)", "2 (mg)", "3 (mg)", "4 (mg)", "I=2 B(SP)",
                        "I=2 X(G)", "I=2 \xC3\x98", "Ref \xC3\x98",
                        "T (\xC2\xB0"
                        "C)",
                        "1 (mg CO2)", "2 (mg CO2)", "3 (mg CO2)", "4 (mg CO2)"}));
    // O2 in mg; specific BOD (125 - 25) / 50 = 2, degradation 2 / 1.5 = 133.33 %, check mean
    // 125 mg/l; no reference values; CO2 (1000 - 900) / 10.
    EXPECT_EQ(l[28], F({"01.03.2026 13:30:00", "10.00", "15.00", "2.50", "", "2.00", "133.33",
                        "125.00", "", "22.0", "10.00", "10.00", "10.00", ""}));
    EXPECT_EQ(l[27][9], "");  // no temperature
    EXPECT_EQ(readFile(file).find("e+37"), std::string::npos);

    // Decimal comma, tab separated, no text delimiter; O2 per dried matter and conductivity.
    cfg_.csvDecimalComma = true;
    cfg_.csvColSep = "\t";
    cfg_.csvStrDelim = "";
    cfg_.csvfValue = -3;
    ASSERT_EQ(ExportCSV(*r, file, true, true), "");
    const Lines c = readCsv(file, "\t", "");
    ASSERT_EQ(c.size(), 29u);
    EXPECT_EQ(c[2], F({"Name:", "Sludge \"A\""}));
    EXPECT_EQ(c[8], F({"Interval:", "1,5 h"}));
    EXPECT_EQ(c[13], F({"1", "100", "20", "10", "Cell 1"}));
    EXPECT_EQ(c[25][1], "1 (mg O2/g TS)");
    EXPECT_EQ(c[25][10], "1 (mS/cm)");
    // 10 mg / 100 g / 20 % = 0.5; 900 raw = 87.977 mS/cm.
    EXPECT_EQ(c[28], F({"01.03.2026 13:30:00", "0,5", "0,75", "0,125", "", "2", "133,333", "125",
                        "", "22,0", "87,977", "87,977", "87,977", ""}));

    // A special-cell table with the same value twice: one line in the groups, two column
    // triplets; a table with the reference entry alone: just the reference column.
    cfg_.csvColSep = ";";
    r->SpecialCells[2].value = 2;
    r->SpecialCells[3].value = kReferenceIndex;
    r->NrSpecialCells = 3;
    ASSERT_EQ(ExportCSV(*r, file, false), "");
    Lines d = readCsv(file, ";", "");
    EXPECT_EQ(d[23], F({""}));
    EXPECT_EQ(d[25].size(), 1u + 4 + 6 + 1 + 1 + 4);
    r->NrSpecialCells = 1;
    r->SpecialCells[1].value = kReferenceIndex;
    ASSERT_EQ(ExportCSV(*r, file, false), "");
    d = readCsv(file, ";", "");
    EXPECT_EQ(d[22], F({""}));  // no group line
    EXPECT_EQ(d[24],
              F({"date/time <> cell#", "1 (mg)", "2 (mg)", "3 (mg)", "4 (mg)", "Ref \xC3\x98",
                 "T (\xC2\xB0"
                 "C)",
                 "1 (mg CO2)", "2 (mg CO2)", "3 (mg CO2)", "4 (mg CO2)"}));
}

TEST_F(ExportTest, SpreadsheetHoldsTheSameFieldsAsNumbers) {
    auto r = specialRow();
    r->Name = "Sludge A";
    std::string file;
    ASSERT_EQ(SaveRowDataFile(*r, "sludge.XLS", RowValueChoice::LF, &file), "");
    EXPECT_EQ(file, resultDir() + "/sludge.XLSx");
    const std::string s = "Sludge A";
    EXPECT_EQ(checkXlsx(dir_, file,
                        {t("sheets", s),
                         t("date", s, "A1", realToText(kv::clock().now(), 0, -12)),
                         t("empty", s, "A2"),
                         t("text", s, "A3", "Name:"),
                         t("text", s, "B3", "Sludge A"),
                         t("text", s, "B5", "third"),
                         t("date", s, "B7", realToText(at(9, 0), 0, -12)),
                         t("text", s, "B8", "4 d"),
                         t("empty", s, "A12"),
                         t("text", s, "A13", "cell#"),
                         t("number", s, "A14", "1"),
                         t("number", s, "B14", "100"),
                         t("format", s, "B14", "0.00"),
                         t("number", s, "D14", "10"),
                         t("text", s, "E14", "Cell 1"),
                         t("empty", s, "D17"),
                         t("empty", s, "A18"),  // a line after the cell table
                         t("text", s, "A19", "Cell Mode"),
                         t("text", s, "A20", "reference"),
                         t("number", s, "A24", "2"),
                         t("text", s, "D24", "1, 2"),
                         t("empty", s, "A25"),
                         t("text", s, "A26", "date/time <> cell#"),
                         t("text", s, "K26", "1 (mS/cm)"),
                         t("date", s, "A29", realToText(at(13, 30), 0, -12)),
                         t("number", s, "B29", "10"),
                         t("number", s, "G29", "133.33"),
                         t("empty", s, "I29"),
                         t("number", s, "J29", "22"),
                         t("number", s, "K29", "87.98"),
                         t("empty", s, "J28")}),
              "");

    // Any other name gives the CSV export.
    EXPECT_EQ(SaveRowDataFile(*r, "sludge.txt", RowValueChoice::O2, &file), "");
    EXPECT_EQ(file, resultDir() + "/sludge.txt");
    EXPECT_NE(readFile(file).find("\"Name:\";\"Sludge A\""), std::string::npos);
}

TEST_F(ExportTest, DataModelShowsTheChosenValues) {
    auto r = specialRow();
    cfg_.firstCell = 11;  // users see cells 11..14
    RowDataModel m;
    m.load(*r, RowValueChoice::O2);
    ASSERT_EQ(m.columnCount(), 4);
    ASSERT_EQ(m.rowCount(), 3);
    EXPECT_EQ(m.header(0), " 11  (mg)");  // the unit of a mass row's values
    EXPECT_EQ(m.cornerText(), "date/time <> cell#");
    EXPECT_EQ(m.timeText(2), "01.03.2026 13:30:00");
    EXPECT_DOUBLE_EQ(m.value(2, 1), 15.0);  // mass row: mg O2
    EXPECT_EQ(m.text(2, 1), "        15");  // ValueWidth 10, up to 2 decimals
    EXPECT_EQ(m.text(2, 3), "");

    m.load(*r, RowValueChoice::CO2);
    EXPECT_EQ(m.header(0), " 11  (CO2 mg)");
    EXPECT_NEAR(m.value(2, 0), 10.0, 1e-9);
    m.load(*r, RowValueChoice::LF);
    EXPECT_EQ(m.unit(), "mS/cm");
    EXPECT_NEAR(m.value(0, 0), 990 * 100 / 1023.0, 1e-9);  // the raw reading calibrated
    m.load(*r, RowValueChoice::O2TS);
    EXPECT_EQ(m.header(3), " 14  (mg O2/g TS)");
    EXPECT_DOUBLE_EQ(m.value(2, 0), 0.5);

    // A row without CO2 offers only the O2 views; a volume row shows the BOD.
    auto plain = row("Plain", 1, 0);
    add(*plain, at(10, 0), {4});
    m.load(*plain, RowValueChoice::LF);
    EXPECT_EQ(m.choice(), RowValueChoice::O2);
    EXPECT_DOUBLE_EQ(m.value(0, 0), 10.0);
    std::string table;
    EXPECT_NE(RowDataReport(*plain, RowValueChoice::CO2, table), "");
    EXPECT_EQ(RowDataReport(*plain, RowValueChoice::O2, table), "");
    EXPECT_EQ(table,
              "date/time <> cell#   11  (mg/l)\n"
              "01.03.2026 10:00:00          10\n");
    RowValueChoice c;
    EXPECT_TRUE(parseRowValueChoice("TS", c));
    EXPECT_EQ(c, RowValueChoice::O2TS);
    EXPECT_FALSE(parseRowValueChoice("co3", c));
}

TEST_F(ExportTest, RowNamesAndFileNamesStayInTheResultFolder) {
    auto r = row("../../evil/x:y", 2);
    for (int h = 0; h <= 8; ++h) add(*r, at(10, 0) + h / 24.0, {h, h});
    std::string at4, f301, csv, xls;
    ASSERT_EQ(ExportAt4(*r, &at4), "");
    ASSERT_EQ(Export301f(*r, &f301), "");
    ASSERT_EQ(ExportCSV(*r, "", false, false, &csv), "");
    ASSERT_EQ(ExportXLS(*r, "../../other.xlsx", false, false, &xls), "");
    EXPECT_EQ(at4, resultDir() + "/_._.._evil_x_y_AT4.xlsx");
    EXPECT_EQ(f301, resultDir() + "/_._.._evil_x_y_301f.xlsx");
    EXPECT_EQ(csv, resultDir() + "/_._.._evil_x_y.csv");
    EXPECT_EQ(xls, resultDir() + "/other.xlsx");
    EXPECT_EQ(filesIn(resultDir()).size(), 4u);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("evil")));

    // An absolute name keeps its folder, its last part made safe; a missing folder is an
    // error the user sees.
    std::string error;
    EXPECT_EQ(exportFileFor(cfg_, dir_.path(), "R", dir_.file("a:b"), ".csv", error),
              dir_.file("a_b.csv"));
    const std::string bad = ExportCSV(*r, dir_.file("missing/x.csv"), false);
    EXPECT_NE(bad.find("Cannot write file"), std::string::npos) << bad;
    EXPECT_TRUE(hasMessage(bad));
}

TEST(TemplatePaths, SearchOrderDefaultsAndResultFolder) {
    EXPECT_EQ(templateSearchDirs("/opt/k/bin", "/env/t/"),
              (std::vector<std::string>{"/env/t", "/opt/k/bin/templates",
                                        "/opt/k/share/kelvora/templates", "/opt/templates"}));
    kvtest::TempDir dir;
    const std::string exe = dir.file("build/src/main");
    std::filesystem::create_directories(exe);
    std::filesystem::create_directories(dir.file("build/templates"));
    std::filesystem::create_directories(dir.file("env"));
    kvtest::writeFile(dir.file("build/templates/AT4.xlsx"), "x");
    kvtest::writeFile(dir.file("env/301F.xlsx"), "x");
    EXPECT_EQ(findShippedTemplate("AT4.xlsx", exe, dir.file("env")),
              dir.file("build/templates/AT4.xlsx"));
    EXPECT_EQ(findShippedTemplate("301F.xlsx", exe, dir.file("env")), dir.file("env/301F.xlsx"));
    EXPECT_EQ(findShippedTemplate("301F.xlsx", exe, ""), "");

    // Configured paths: "\" separates folders, relative ones lie in the home folder.
    std::string error;
    EXPECT_EQ(templatePathFor("env\\301F.xlsx", "301F.xlsx", dir.path(), error),
              dir.file("env/301F.xlsx"));
    EXPECT_EQ(templatePathFor("env/none.xlsx", "301F.xlsx", dir.path(), error), "");
    EXPECT_NE(error.find("not found"), std::string::npos);

    Config cfg;
    EXPECT_EQ(resultFolder(cfg, dir.path(), error), dir.file("Results"));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("Results")));
    cfg.ResultPath = "out\\xls\\";
    EXPECT_EQ(resultFolder(cfg, dir.path(), error), dir.file("out/xls"));
    kvtest::writeFile(dir.file("file"), "x");
    cfg.ResultPath = dir.file("file/sub");
    EXPECT_EQ(resultFolder(cfg, dir.path(), error), "");
    EXPECT_NE(error.find("Cannot create the result folder"), std::string::npos);
}
