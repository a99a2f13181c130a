// The filled workbooks in a real spreadsheet program: the templates' evaluations must still
// be there after filling and must calculate from the values the program wrote. The results
// are compared with values computed here from the same test data.

#include <gtest/gtest.h>

#include <filesystem>

#include "output/at4.h"
#include "output/f301.h"
#include "output/xlsx_template.h"
#include "output_fixture.h"

using namespace kv;
using kvtest::checkXlsx;
using kvtest::t;
using kvtest::templatePath;

namespace {

class RecalcTest : public kvtest::OutputFixture {
  protected:
    static std::string num(double v) { return realToText(v, 0, -12); }

    // AT4 with four samples, 99 hours of values ended before now. Sample k has consumed
    // k x h + h² / 4 mg O2 after h hours (4 impulses per mg at tact 30).
    std::shared_ptr<TRow> at4Row() {
        auto r = row("AT4 run", 4);
        for (int s = 1; s <= 4; ++s) {
            r->RowCells[static_cast<size_t>(s)].Vol = kAmount[s - 1];
            r->RowCells[static_cast<size_t>(s)].TS = kDryMatter[s - 1];
        }
        const double start = at(10, 0) - 10;
        for (int h = 0; h <= 99; ++h) {
            std::vector<int> counts;
            for (int k = 1; k <= 4; ++k) counts.push_back(4 * k * h + h * h);
            add(*r, start + h / 24.0, counts);
        }
        return r;
    }
    static double at4Consumed(int k, int h) { return k * h + h * h / 4.0; }
    // O2 per gram of dry matter after h hours; sample 3 has no dry matter.
    static double perDryMatter(int k, int h) {
        return at4Consumed(k, h) / (kAmount[k - 1] * kDryMatter[k - 1] / 100);
    }
    static constexpr double kAmount[4] = {10, 20, 25, 40};
    static constexpr double kDryMatter[4] = {25, 50, 0, 12.5};

    // 301F with six cells, volume 100 ml at tact 30: BOD = 2.5 mg/l per impulse. Two blank
    // cells; the last cell has no value at the end.
    std::shared_ptr<TRow> f301Row() {
        auto r = row("301F run", 6);
        const char* names[] = {"Blank 1", "blank 2", "Test A", "Test B", "Test C", "Test D"};
        for (int s = 1; s <= 6; ++s) r->RowCells[static_cast<size_t>(s)].Name = names[s - 1];
        add(*r, at(6, 0), {0, 0, 0, 0, 0, 0});
        add(*r, at(7, 0), {4, 6, 50, 60, 70, 80});
        add(*r, at(8, 0), {8, 12, 100, 120, 140, NoValueInt});
        return r;
    }
    static constexpr double kThOD = 500;  // mg O2/l, entered in the laboratory's template
    static constexpr double kBlankMean = (8 + 12) * 2.5 / 2;
    static double degradation(int count) { return (count * 2.5 - kBlankMean) / kThOD * 100; }

    // The laboratory's 301F template: the shipped one with its ThOD entered.
    std::string labTemplate301f() {
        const std::string path = dir_.file("Lab-301F.xlsx");
        XlsxTemplate x;
        SheetArea thod;
        std::string err = x.open(templatePath("301F.xlsx"));
        if (err.empty()) err = x.resolveName("ThOD", thod);
        if (err.empty()) err = x.setNumber(thod.sheet, thod.row1, thod.col1, kThOD);
        if (err.empty()) err = x.saveAs(path);
        EXPECT_EQ(err, "");
        return path;
    }
};

}  // namespace

TEST_F(RecalcTest, FilledTemplatesCalculateTheirEvaluations) {
    cfg_.Template_301f = labTemplate301f();
    std::string at4File, f301File;
    auto a = at4Row();
    ASSERT_EQ(ExportAt4(*a, &at4File), "");
    auto f = f301Row();
    ASSERT_EQ(Export301f(*f, &f301File), "");

    // The formulas are carried over, and without results from before the filling: a
    // spreadsheet that trusted them would show the template's old numbers.
    EXPECT_EQ(checkXlsx(dir_, at4File,
                        {t("hasref", "AT4", "D14", "D13"), t("noresult", "AT4", "D14"),
                         t("hasref", "AT4", "H115", "D115"), t("noresult", "AT4", "H115"),
                         t("contains", "xl/workbook.xml", "fullCalcOnLoad=\"1\"")}),
              "");
    EXPECT_EQ(checkXlsx(dir_, f301File,
                        {t("hasref", "Evaluation", "G10", "ThOD"),
                         t("noresult", "Evaluation", "G10"), t("noresult", "Evaluation", "D4")}),
              "");

    // The spreadsheet program runs with its default settings, which keep the stored results
    // of a workbook of this format: it calculates only formulas that come without one.
    const std::string out = dir_.file("recalculated");
    std::filesystem::create_directories(out);
    ASSERT_EQ(kvtest::recalculate(dir_, {at4File, f301File}, out), "");
    const std::string at4Calc = out + "/" + std::filesystem::path(at4File).filename().string();
    const std::string f301Calc = out + "/" + std::filesystem::path(f301File).filename().string();

    // AT4: dry matter in the sample, O2 consumed in 96 hours, AT4 per sample and their mean,
    // the cumulative O2 per gram of dry matter per hour, and the report sheet's copies.
    // Hours 0..99 are written.
    const double at4Mean = (perDryMatter(1, 96) + perDryMatter(2, 96) + perDryMatter(4, 96)) / 3;
    EXPECT_EQ(
        checkXlsx(
            dir_, at4Calc,
            {t("result", "AT4", "D11", "2.5"), t("result", "AT4", "G11", "5"),
             t("noresult", "AT4", "F11"), t("result", "AT4", "D12", "99"),
             t("result", "AT4", "E13", num(at4Consumed(2, 96))),
             t("result", "AT4", "D14", num(perDryMatter(1, 96))),
             t("result", "AT4", "E14", num(perDryMatter(2, 96))), t("noresult", "AT4", "F14"),
             t("result", "AT4", "G14", num(perDryMatter(4, 96))),
             t("result", "AT4", "D15", num(at4Mean)), t("result", "AT4", "H19", "0"),
             t("result", "AT4", "I29", num(perDryMatter(2, 10))),
             t("result", "AT4", "K115", num(perDryMatter(4, 96))), t("noresult", "AT4", "J115"),
             t("result", "AT4", "H118", num(perDryMatter(1, 99))), t("noresult", "AT4", "H119"),
             t("result", "Report", "D9", num(perDryMatter(1, 96))),
             t("result", "Report", "D13", num(at4Mean))}),
        "");

    // 301F: the blank mean from the cells whose designation names them blank, the BOD per
    // cell at the end, BOD less the blank mean, and the degradation in % of the ThOD; a cell
    // without a value at the end takes no part.
    EXPECT_EQ(
        checkXlsx(
            dir_, f301Calc,
            {t("result", "Evaluation", "D4", num(kBlankMean)), t("result", "Evaluation", "D5", "2"),
             t("result", "Test-Configuration", "B16", num(kBlankMean)),
             t("result", "Evaluation", "B8", "1"), t("result", "Evaluation", "D9", "30"),
             t("noresult", "Evaluation", "F9"), t("result", "Evaluation", "D10", "250"),
             t("result", "Evaluation", "F10", num(250 - kBlankMean)),
             t("result", "Evaluation", "G10", num(degradation(100))),
             t("result", "Evaluation", "G11", num(degradation(120))),
             t("result", "Evaluation", "G12", num(degradation(140))),
             t("result", "Evaluation", "B13", "6"), t("noresult", "Evaluation", "D13"),
             t("noresult", "Evaluation", "G13"), t("noresult", "Evaluation", "B14"),
             // the mean degradation, moved down by the six inserted list lines
             t("result", "Test-Configuration", "B29",
               num((degradation(100) + degradation(120) + degradation(140)) / 3))}),
        "");
}
