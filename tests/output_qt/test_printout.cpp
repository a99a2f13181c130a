// The row printout: its lines, the pages they fall on, and the PDF that the print job makes
// when there is no printer.

#include <filesystem>

#include "app/texts.h"
#include "common/datetime.h"
#include "common/strutil.h"
#include "output/qt/output_files.h"
#include "output/qt/printout.h"
#include "output/row_texts.h"
#include "output_qt_fixture.h"

namespace kvtest {
namespace {

using kv::PrintBlock;
using kv::PrintLine;

PrintLine line(const std::string& s, bool bold = false) {
    return PrintLine{{kv::PrintSegment{0, s, bold}}};
}

std::string text(const PrintLine& l) {
    std::string out;
    for (const auto& s : l.segments) out += s.text;
    return out;
}

bool allBold(const PrintLine& l) {
    for (const auto& s : l.segments)
        if (!s.bold) return false;
    return true;
}

TEST(PrintoutPages, BreakBeforeTheFootAndRepeatTheHeading) {
    PrintBlock overview;
    for (int k = 0; k < 3; ++k) overview.lines.push_back(line("o" + std::to_string(k)));
    PrintBlock values;
    values.gapBefore = 80;
    values.heading = {line("head"), line("----")};
    for (int k = 0; k < 100; ++k) values.lines.push_back(line("v" + std::to_string(k)));
    PrintBlock special;
    special.newPage = true;
    special.heading = {line("special")};
    for (int k = 0; k < 10; ++k) special.lines.push_back(line("s" + std::to_string(k)));

    kv::PrintGeometry g;
    g.pageHeight = 1000;
    g.top = 100;  // first line at 2 x 100 + 52, last one above 1000 - 100
    const auto pages = kv::PaginatePrintout({overview, values, special}, g);
    ASSERT_EQ(pages.size(), 8u);
    int values_seen = 0;
    for (size_t p = 0; p < pages.size(); ++p) {
        EXPECT_EQ(pages[p].number, static_cast<int>(p) + 1);
        ASSERT_FALSE(pages[p].lines.empty());
        EXPECT_DOUBLE_EQ(pages[p].lines.front().y, 252);
        for (const auto& l : pages[p].lines) {
            EXPECT_LT(l.y, 900);
            if (text(l.line)[0] == 'v') ++values_seen;
        }
    }
    EXPECT_EQ(values_seen, 100);
    // Page 1: the overview, 8 mm, then the block's heading and its first lines.
    EXPECT_EQ(text(pages[0].lines[3].line), "head");
    EXPECT_DOUBLE_EQ(pages[0].lines[3].y, 332 + 40 + 80);
    EXPECT_FALSE(allBold(pages[0].lines[3].line));
    // Later pages of the block start with its heading in bold.
    EXPECT_EQ(text(pages[1].lines[0].line), "head");
    EXPECT_EQ(text(pages[1].lines[1].line), "----");
    EXPECT_TRUE(allBold(pages[1].lines[0].line));
    EXPECT_EQ(text(pages[1].lines[2].line), "v10");
    // The special block begins a page of its own.
    EXPECT_EQ(text(pages[6].lines.back().line), "v99");
    EXPECT_EQ(text(pages[7].lines[0].line), "special");
    EXPECT_EQ(kv::PageNumberText(12), "- 12 -");

    // A heading that would stand alone at the foot of a page moves to the next one.
    PrintBlock filler;
    for (int k = 0; k < 15; ++k) filler.lines.push_back(line("f"));
    PrintBlock late;
    late.heading = {line("h1"), line("h2")};
    late.lines = {line("x")};
    const auto p2 = kv::PaginatePrintout({filler, late}, g);
    ASSERT_EQ(p2.size(), 2u);
    EXPECT_EQ(text(p2[1].lines[0].line), "h1");
}

class PrintoutTest : public OutputQtFixture {};

TEST_F(PrintoutTest, BuildsOverviewCellTableValueBlocksAndSpecialPages) {
    auto r = makeRow();
    const auto blocks = kv::BuildPrintout(*r, {true, true});
    // Overview, cell table, mode table, check-substance table, one value block (6 cells),
    // one special block.
    ASSERT_EQ(blocks.size(), 6u);
    const auto& ov = blocks[0].lines;
    ASSERT_GE(ov.size(), 7u);
    EXPECT_EQ(ov[0].segments[0].text, "Name:");
    EXPECT_TRUE(ov[0].segments[0].bold);
    EXPECT_EQ(ov[0].segments[1].text, "Sludge 301F week 12");
    EXPECT_FALSE(ov[0].segments[1].bold);
    EXPECT_EQ(ov[2].segments[1].text, "Second line");  // the empty second comment is left out
    EXPECT_EQ(ov[4].segments[1].text, "02.03.2026 08:00:00 - 07.03.2026 08:00:00");
    EXPECT_EQ(ov[5].segments[1].text, "5 d");
    EXPECT_EQ(ov[6].segments[1].text, "1 h");

    EXPECT_DOUBLE_EQ(blocks[1].gapBefore, 80);
    EXPECT_EQ(text(blocks[1].heading[0]),
              "cell#     vol(ml)   last value  (mg/l)      Designation            ");
    EXPECT_EQ(
        text(blocks[1].lines[4]),
        "5         250       " + kv::PadRight(kv::realToText(r->BOD(5, 120), 0, 0), 24) + "Check");
    EXPECT_EQ(text(blocks[2].lines[0]), kv::PadRight("reference", 24) + "6");
    EXPECT_EQ(text(blocks[2].lines[1]), kv::PadRight("blind", 24) + "3, 4");
    EXPECT_EQ(text(blocks[3].lines[0]).substr(0, 36), "1           100         1.6         ");
    EXPECT_EQ(text(blocks[3].lines[0]).substr(36), "5");

    const PrintBlock& v = blocks[4];
    EXPECT_FALSE(v.newPage);
    const std::string head = text(v.heading[0]);
    EXPECT_EQ(head,
              "date/time <> cell#  T (\xC2\xB0"
              "C)      1      2      3      4      5      6  (mg/l)");
    EXPECT_EQ(text(v.heading[1]), std::string(kv::utf8Length(head), '-'));
    ASSERT_EQ(v.lines.size(), 120u);
    std::string l1 = "02.03.2026 09:00:00   20.1";
    for (int s = 1; s <= 6; ++s) l1 += kv::PadLeft(kv::realToText(r->BOD(s, 1), 0, 0), 7);
    EXPECT_EQ(text(v.lines[0]), l1);

    const PrintBlock& sp = blocks[5];
    EXPECT_TRUE(sp.newPage);
    EXPECT_EQ(text(sp.heading[0]), "Index = 1");
    EXPECT_EQ(text(sp.heading[1]), "Cells = 5");
    EXPECT_TRUE(sp.heading[2].segments.empty());
    EXPECT_EQ(text(sp.heading[3]),
              "date/time               I=1 B(SP)     I=1 X(G)        I=1 \xC3\x98"
              "        Ref \xC3\x98");
    const std::string s120 = text(sp.lines[119]);
    EXPECT_NE(s120.find(kv::PadLeft(kv::realToText(r->Degradation(1, 120), 0, 2), 13)),
              std::string::npos);
    EXPECT_NE(s120.find(kv::PadLeft(kv::realToText(r->MeanBODReference(120), 0, 2), 13)),
              std::string::npos);
}

TEST_F(PrintoutTest, EvaluationPageHoldsTheEvaluationInLinesThatFit) {
    auto r = makeRow();
    kv::PrintOptions o;
    o.printEvaluation = true;
    const auto blocks = kv::BuildPrintout(*r, o);
    const PrintBlock& ev = blocks.back();
    EXPECT_TRUE(ev.newPage);
    ASSERT_FALSE(ev.heading.empty());
    EXPECT_EQ(text(ev.heading[0]), "Evaluation");
    std::string all;
    for (const auto& l : ev.lines) {
        EXPECT_LE(text(l).size(), 88u) << text(l);
        all += text(l) + "\n";
    }
    // The row's special cells make it a 301F evaluation; its checks follow.
    EXPECT_NE(all.find("OECD 301F evaluation"), std::string::npos) << all;
    EXPECT_NE(all.find("check blank O2 uptake"), std::string::npos) << all;
    // Without the choice there is no such page.
    EXPECT_NE(text(kv::BuildPrintout(*r, {}).back().heading.empty()
                       ? PrintLine{}
                       : kv::BuildPrintout(*r, {}).back().heading[0]),
              "Evaluation");
}

TEST_F(PrintoutTest, ValueChoicesAndLargeRows) {
    auto r = makeRow();
    // The unit and the values follow the same choice; O2 per dried matter wins.
    auto b = kv::BuildPrintout(*r, {true, false, false, false, true});
    EXPECT_NE(text(b[4].heading[0]).find("(CO2 mg)"), std::string::npos);
    EXPECT_EQ(text(b[4].lines[99]).substr(26, 7),
              kv::PadLeft(kv::realToText(r->CO2Produced(1, 100), 0, 0), 7));
    r->RowCells[1].TS = 50;
    b = kv::BuildPrintout(*r, {true, false, true, false, true});
    EXPECT_NE(text(b[4].heading[0]).find("(mg O2/g TS)"), std::string::npos);
    EXPECT_EQ(text(b[4].lines[99]).substr(26, 7),
              kv::PadLeft(kv::realToText(r->O2PerDriedMatter(1, 100), 0, 0), 7));
    b = kv::BuildPrintout(*r, {true, false, false, true, false});
    EXPECT_EQ(text(b[4].lines[0]).substr(26, 7), "      2");

    // Eight cells: a second value block on a page of its own, without the temperature.
    const double nv = kv::NoValueReal;
    r->AddCell(7, "Seven", 250, 0, 0, nv, nv, nv);
    r->AddCell(8, "Eight", 250, 0, 0, nv, nv, nv);
    r->SpecialCellMode = 0;
    b = kv::BuildPrintout(*r, {true, false});
    ASSERT_EQ(b.size(), 4u);
    EXPECT_TRUE(b[3].newPage);
    EXPECT_EQ(text(b[3].heading[0]), "date/time <> cell#       7      8  (mg/l)");
    // Cells added later have no values for the earlier times: empty fields.
    EXPECT_EQ(text(b[3].lines[0]), "02.03.2026 09:00:00" + std::string(14, ' '));
}

// Replaces the language texts for one test and leaves none behind.
class LanguageFile {
  public:
    explicit LanguageFile(const std::string& text) { kv::languageTexts().loadFromText(text); }
    ~LanguageFile() { kv::languageTexts().clear(); }
    LanguageFile(const LanguageFile&) = delete;
    LanguageFile& operator=(const LanguageFile&) = delete;
};

TEST_F(PrintoutTest, UnitsAndModeNamesAreRightWithoutALanguageFile) {
    auto r = makeRow();
    // No language file: a row by mass prints its O2 consumption in mg, both in the cell
    // table and over the values (a row by volume prints mg/l, above).
    r->RowMode = 1;
    auto b = kv::BuildPrintout(*r, {true, false});
    EXPECT_NE(text(b[1].heading[0]).find("last value  (mg) "), std::string::npos)
        << text(b[1].heading[0]);
    // Each heading has its room, and the cells' lines keep to the same columns.
    EXPECT_EQ(text(b[1].heading[0]).substr(0, 45), "cell#     Mass(g)   Dried m.(%)  last value  ");
    EXPECT_EQ(text(b[1].lines[0]).find("250"), 10u);
    EXPECT_EQ(text(b[1].lines[0]).substr(20, 2), "0 ");
    EXPECT_EQ(text(b[1].lines[0]).find_first_not_of(' ', 21), 33u) << text(b[1].lines[0]);
    EXPECT_TRUE(text(b[4].heading[0]).ends_with("      6  (mg)")) << text(b[4].heading[0]);
    EXPECT_EQ(text(b[2].lines[1]), kv::PadRight("blind", 24) + "3, 4");

    // A language file's texts replace the defaults; entries it lacks keep their default
    // rather than taking another mode's unit or name.
    LanguageFile lang(
        "frmRow\\Row_ModeEntries_SI:=mg O2/l\n"
        "frmRowCellEdit\\RowCell_ModeItems:=normal|Kontrolle|Blindwert\n");
    b = kv::BuildPrintout(*r, {true, false});
    EXPECT_TRUE(text(b[4].heading[0]).ends_with("      6  (mg)")) << text(b[4].heading[0]);
    EXPECT_EQ(text(b[2].lines[0]), kv::PadRight("reference", 24) + "6");
    EXPECT_EQ(text(b[2].lines[1]), kv::PadRight("Blindwert", 24) + "3, 4");
    r->RowMode = 0;
    b = kv::BuildPrintout(*r, {true, false});
    EXPECT_TRUE(text(b[4].heading[0]).ends_with("      6  (mg O2/l)")) << text(b[4].heading[0]);
}

TEST_F(PrintoutTest, PdfWithoutPrinterHasEveryPage) {
    auto r = makeRow();
    const std::string file = artifactDir() + "/print_row.pdf";
    std::filesystem::remove(file);
    const kv::OutputResult res = kv::PrintRowToPdf(*r, file, {true, true});
    ASSERT_TRUE(res.ok) << res.text;
    kv::PrintGeometry g;
    g.pageHeight = 2970;
    const auto pages = kv::PaginatePrintout(kv::BuildPrintout(*r, {true, true}), g);
    EXPECT_EQ(pdfPages(file), static_cast<int>(pages.size()));
    EXPECT_GE(pages.size(), 5u);
    EXPECT_EQ(res.text, "Row [Sludge 301F week 12] printed to " + file + " (" +
                            std::to_string(pages.size()) + " pages)");
    const std::string t = pdfText(file);
    for (const std::string& s : {std::string("- 1 -"), "- " + std::to_string(pages.size()) + " -",
                                 std::string("Name:"), std::string("Sludge 301F week 12"),
                                 std::string("Start/Stop:"), std::string("Inoculum from plant A"),
                                 std::string("Designation"), std::string("date/time <> cell#"),
                                 std::string("T (\xC2\xB0"
                                             "C)"),
                                 std::string("Index = 1"), std::string("Cells = 5"),
                                 std::string("I=1 B(SP)"), std::string("Ref \xC3\x98"),
                                 std::string("07.03.2026 08:00:00"), std::string("reference")})
        EXPECT_NE(t.find(s), std::string::npos) << s;
    // Columns stay aligned: the heading's last cell number ends where the values below end.
    const auto words = pdfWords(file);
    size_t k0 = 0;
    while (k0 + 1 < words.size() && !(words[k0].text == "6" && words[k0 + 1].text == "(mg/l)"))
        ++k0;
    ASSERT_LT(k0 + 1, words.size());
    const double headEnd = words[k0].xMax;
    double lineY = -1, valueEnd = -1;
    for (size_t k = k0 + 2; k < words.size() && words[k].text != "(mg/l)"; ++k) {
        if (lineY < 0 && words[k].text == "02.03.2026") lineY = words[k].yMin;
        if (lineY >= 0 && std::abs(words[k].yMin - lineY) < 0.5)
            valueEnd = std::max(valueEnd, words[k].xMax);
    }
    ASSERT_GT(headEnd, 0);
    EXPECT_NEAR(valueEnd, headEnd, 0.5);
    runCommand("pdftoppm -png -r 70 '" + file + "' '" + artifactDir() + "/print_row_page'");

    // The overview alone is one page.
    const std::string one = artifactDir() + "/print_overview.pdf";
    ASSERT_TRUE(kv::PrintRowToPdf(*r, one, {}).ok);
    EXPECT_EQ(pdfPages(one), 1);
    EXPECT_FALSE(kv::PrintRowToPdf(*r, artifactDir() + "/print.txt", {}).ok);
    EXPECT_FALSE(kv::PrintRowToPdf(*r, "/nonexistent-folder/p.pdf", {}).ok);
}

}  // namespace
}  // namespace kvtest
