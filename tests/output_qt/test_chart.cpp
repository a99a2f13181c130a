// The chart: what it takes from a row, its scales and legend boxes, and the PNG and PDF
// files, checked by pixel probes and by the PDF's text.

#include <QImage>
#include <filesystem>

#include "common/strutil.h"
#include "output/qt/chart_draw.h"
#include "output/qt/output_files.h"
#include "output_qt_fixture.h"

namespace kvtest {
namespace {

using kv::ChartCurve;

class ChartTest : public OutputQtFixture {};

TEST_F(ChartTest, TakesTheRowsCurvesSettingsAndRanges) {
    auto r = makeRow();
    // A curve whose settings were never stored: the first choices, CO2 on the right axis.
    r->RowCells[2].ChartSel2 = {1, {0, 0, 0, 0, 0}};
    const kv::ChartData d = kv::ChartDataFromRow(*r, {false});
    EXPECT_EQ(d.title, "Sludge 301F week 12");
    EXPECT_EQ(d.footer, "Kelvora - 2.6.4");
    EXPECT_EQ(d.xTitle, "date/time");
    EXPECT_EQ(d.yTitle, "BOD mg/l");
    EXPECT_EQ(d.y2Title, "CO2 mg");
    EXPECT_DOUBLE_EQ(d.xMin, t0_);
    EXPECT_DOUBLE_EQ(d.xMax, t0_ + 5);
    EXPECT_DOUBLE_EQ(d.xStep, 0.5);
    EXPECT_TRUE(d.right.set);
    EXPECT_DOUBLE_EQ(d.left.max, 250);
    EXPECT_DOUBLE_EQ(d.right.max, 20);

    // Drawing order: per cell O2 then CO2, then the check substance's three curves and the
    // reference mean.
    std::vector<std::string> legends;
    for (const auto& c : d.curves) legends.push_back(c.legend);
    const std::vector<std::string> expected{
        "Sample A", "Sample A CO2", "Sample B",  "Sample B CO2", "Blind 1",      "Blind 2",
        "Check",    "Reference",    "I=1 B(SP)", "I=1 X(G)",     "I=1 \xC3\x98", "Ref \xC3\x98"};
    EXPECT_EQ(legends, expected);
    const ChartCurve& co2b = d.curves[3];
    EXPECT_EQ(co2b.kind, ChartCurve::Kind::CO2);
    EXPECT_EQ(co2b.style, 1);
    EXPECT_EQ(co2b.colour, 1);
    EXPECT_EQ(co2b.legendBox, 1);
    EXPECT_EQ(co2b.axis, 2);

    // The values are those of the row's value functions, taken once per time value.
    ASSERT_EQ(d.curves[0].points.size(), 120u);
    EXPECT_DOUBLE_EQ(d.curves[0].points[9].t, t0_ + 10 / 24.0);
    EXPECT_DOUBLE_EQ(d.curves[0].points[9].v, r->BOD(1, 10));
    EXPECT_DOUBLE_EQ(d.curves[1].points[99].v, r->CO2Produced(1, 100));
    EXPECT_DOUBLE_EQ(d.curves[9].points.back().v, r->Degradation(1, 120));
    EXPECT_GT(r->Degradation(1, 120), 50);

    // Rows by mass show the O2 consumption instead of the BOD.
    r->RowMode = 1;
    EXPECT_DOUBLE_EQ(kv::ChartDataFromRow(*r, {false}).curves[0].points[9].v,
                     r->O2Consumption(1, 10));
}

TEST_F(ChartTest, FillsRangesThatWereNeverSet) {
    auto r = makeRow();
    r->XFromDate = r->XToDate = 0;
    r->YValues[3] = r->YValues[4] = kv::NoValueReal;
    const kv::ChartData kept = kv::ChartDataFromRow(*r, {false});
    EXPECT_DOUBLE_EQ(kept.xMax, 0);
    const kv::ChartData d = kv::ChartDataFromRow(*r);
    // The first value is one hour after the start; the axis begins at a whole step.
    EXPECT_LE(d.xMin, t0_ + 1 / 24.0);
    EXPECT_GE(d.xMax, t0_ + 5);
    EXPECT_GT(d.xStep, 0);
    const double ticks = (d.xMax - d.xMin) / d.xStep;
    EXPECT_GE(ticks, 2);
    EXPECT_LE(ticks, 13);
    EXPECT_DOUBLE_EQ(d.left.min, 0);
    EXPECT_GE(d.left.max, r->BOD(1, 120));
    EXPECT_GT(d.left.step, 0);
}

TEST_F(ChartTest, ARowWithoutAxisSettingsIsScaledToItsValuesAndTitledWithTheUnits) {
    auto r = makeRow();
    // As a row that no chart window prepared: the configured default axes and titles.
    r->XFromDate = r->XToDate = 0;
    r->YValues = {0, 250, 25, 0, 250, 25, 0, 0, 0};
    r->YTexts = {"Impulse", "n/a", ""};
    for (int i = 1; i <= kValues; ++i)
        for (int s = 1; s <= 6; ++s) r->RowCells[static_cast<size_t>(s)].Values.setCount(i, i % 4);
    const kv::ChartData d = kv::ChartDataFromRow(*r);
    double top = 0;
    for (const auto& c : d.curves)
        if (c.axis == 1)
            for (const auto& p : c.points) top = std::max(top, p.v);
    ASSERT_GT(top, 0);
    ASSERT_LT(top, 1);
    EXPECT_DOUBLE_EQ(d.left.min, 0);
    EXPECT_GE(d.left.max, top);
    EXPECT_LE(d.left.max, 2 * top);
    EXPECT_GT(d.left.step, 0);
    EXPECT_EQ(d.yTitle, "mg/l");
    EXPECT_TRUE(d.right.set);
    EXPECT_EQ(d.y2Title, "CO2 mg");

    // Settings stored by the Graphics page stay as they are.
    r->XFromDate = t0_;
    r->XToDate = t0_ + 5;
    const kv::ChartData kept = kv::ChartDataFromRow(*r);
    EXPECT_DOUBLE_EQ(kept.left.max, 250);
    EXPECT_EQ(kept.yTitle, "n/a");
}

TEST_F(ChartTest, ScalesRoundAndRefuseAnEmptyAxis) {
    kv::ChartData d;
    const kv::ChartValueAxis a{0, 250, 25, true};
    EXPECT_EQ(kv::ChartScaleX(t0_ + 2.5, 400, 2770, t0_, t0_ + 5), 1585);
    EXPECT_EQ(kv::ChartScaleX(t0_ + 1.0 / 3, 0, 10, t0_, t0_ + 1), 3);
    EXPECT_FALSE(kv::ChartScaleX(t0_, 400, 2770, t0_, t0_));
    EXPECT_EQ(kv::ChartScaleY(125, -1700, -200, a, d, true), -950);
    EXPECT_EQ(kv::ChartScaleY(300, -1700, -200, a, d, true), -1700 + 1800);

    d.left = {100, 100, 10, true};
    EXPECT_FALSE(kv::ChartScaleY(5, -1700, -200, d.left, d, true));
    EXPECT_NE(log().find("P2mmY(5, -1700, -200) --> "), std::string::npos);
    EXPECT_NE(log().find("  rMinY100, rMaxY=100, rMinY2"), std::string::npos);
}

TEST_F(ChartTest, LegendBoxesStackBesideEachOther) {
    kv::ChartData d;
    d.hasRow = true;
    for (int k = 0; k < 5; ++k) {
        ChartCurve c;
        c.legend = "c" + std::to_string(k);
        c.legendBox = k < 3 ? 1 : 2;
        c.axis = c.legendBox;
        c.kind = k == 1 ? ChartCurve::Kind::CO2 : ChartCurve::Kind::O2;
        d.curves.push_back(c);
    }
    d.curves.back().kind = ChartCurve::Kind::Special;
    const kv::ChartGeometry g{2970, 2100};
    auto boxes = kv::ChartLegendBoxes(d, g);
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_DOUBLE_EQ(boxes[0].top - boxes[0].bottom, 130);
    EXPECT_DOUBLE_EQ(boxes[1].top - boxes[1].bottom, 90);
    EXPECT_DOUBLE_EQ(boxes[0].left, 400);
    EXPECT_DOUBLE_EQ(boxes[1].left, 1000);
    EXPECT_DOUBLE_EQ(boxes[0].top, -200);
    // O2 curves, then special cells, then CO2.
    EXPECT_EQ(boxes[0].entries[1]->legend, "c2");
    EXPECT_EQ(boxes[0].entries[2]->legend, "c1");
    EXPECT_EQ(boxes[1].entries[0]->legend, "c3");
    EXPECT_EQ(boxes[1].entries[1]->legend, "c4");

    d.legendLeftRight = 1;
    d.legendTopBottom = 1;
    boxes = kv::ChartLegendBoxes(d, g);
    EXPECT_DOUBLE_EQ(boxes[0].right, 2770);
    EXPECT_DOUBLE_EQ(boxes[1].right, 2170);
    EXPECT_DOUBLE_EQ(boxes[0].bottom, 400 - 2100);
    EXPECT_DOUBLE_EQ(boxes[1].bottom, 400 - 2100);

    // Only box 2 in use: it takes the place at the edge.
    for (auto& c : d.curves) c.legendBox = 2;
    d.legendLeftRight = 0;
    boxes = kv::ChartLegendBoxes(d, g);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].box, 2);
    EXPECT_DOUBLE_EQ(boxes[0].left, 400);
}

TEST(ChartPreview, FitsThePaperAndPlacesThePrintableArea) {
    // A4 landscape with 5 mm printer margins in a window area of 1000 x 800.
    const QPageLayout layout(QPageSize(QPageSize::A4), QPageLayout::Landscape,
                             QMarginsF(5, 5, 5, 5), QPageLayout::Millimeter);
    const auto r = kv::ChartPreviewLayout(QRectF(0, 50, 1000, 800), layout);
    EXPECT_NEAR(r.paper.width(), 1000, 0.5);
    EXPECT_NEAR(r.paper.height(), 1000 * 210.0 / 297, 1);
    EXPECT_NEAR(r.paper.center().y(), 450, 0.5);
    EXPECT_NEAR(r.printable.left() - r.paper.left(), 1000 * 5 / 297.0, 0.2);
    EXPECT_NEAR(r.printable.width(), 1000 * 287 / 297.0, 0.5);
    EXPECT_NEAR(r.pageWidth, 2870, 0.5);
    EXPECT_NEAR(r.pageHeight, 2000, 0.5);
}

TEST_F(ChartTest, PngShowsAxesLabelsCurvesAndLegendInPlace) {
    auto r = makeRow();
    const std::string file = artifactDir() + "/chart_row.png";
    const kv::OutputResult res = kv::ChartRowToFile(*r, file);
    ASSERT_TRUE(res.ok) << res.text;
    EXPECT_EQ(res.text, "Chart of row [Sludge 301F week 12] saved to " + file);
    QImage img(QString::fromStdString(file));
    ASSERT_FALSE(img.isNull());
    ASSERT_EQ(img.width(), 1754);
    const double s = img.width() / 2970.0;  // pixels per tenth of a millimetre
    const auto px = [&](double x) { return static_cast<int>(std::lround(x * s)); };
    const auto py = [&](double y) { return static_cast<int>(std::lround(-y * s)); };
    const double W = 2970, H = 2100;

    // Title above the frame's top edge, centred; nothing drawn above the title.
    EXPECT_GT(inkIn(img, px(W / 2 - 400), py(-130), px(W / 2 + 400), py(-197)), 300);
    EXPECT_EQ(inkIn(img, 0, 0, img.width() - 1, py(-60)), 0);
    // Frame edges.
    EXPECT_GT(inkIn(img, px(198), py(-1000), px(202), py(-1010)), 5);
    EXPECT_GT(inkIn(img, px(W - 202), py(-1000), px(W - 198), py(-1010)), 5);
    // Footer right-aligned below the frame's bottom right corner.
    EXPECT_GT(inkIn(img, px(W - 500), py(200 - H - 5), px(W - 200), py(200 - H - 30)), 30);
    // Date and time labels under the first and the last tick of the time axis.
    for (double x : {400.0, W - 200}) {
        EXPECT_GT(inkIn(img, px(x - 90), py(400 - H - 40), px(x + 90), py(400 - H - 68)), 50);
        EXPECT_GT(inkIn(img, px(x - 70), py(400 - H - 70), px(x + 70), py(400 - H - 98)), 40);
    }
    // Time axis title between the labels and the frame's bottom edge.
    EXPECT_GT(inkIn(img, px(1585 - 150), py(200 - H + 70), px(1585 + 150), py(200 - H + 20)), 80);
    // Left axis labels right of the frame edge, left of the plot; "250" at the top tick.
    EXPECT_GT(inkIn(img, px(300), py(-185), px(366), py(-222)), 20);
    EXPECT_GT(inkIn(img, px(320), py(-1685), px(366), py(-1722)), 10);  // "0"
    // Right axis labels right of the plot.
    EXPECT_GT(inkIn(img, px(W - 166), py(-185), px(W - 110), py(-222)), 10);
    // Rotated axis titles: the left inside the frame, the right in the margin.
    EXPECT_GT(inkIn(img, px(202), py(-850), px(252), py(-1050)), 60);
    EXPECT_GT(inkIn(img, px(W - 118), py(-870), px(W - 68), py(-1030)), 40);

    // Curves where their values are.
    const kv::ChartData d = kv::ChartDataFromRow(*r);
    const kv::ChartGeometry g{W, H};
    const auto at = [&](int curve, int i) {
        const auto& c = d.curves[static_cast<size_t>(curve)];
        const auto& axis = c.axis == 2 ? d.right : d.left;
        const auto x = kv::ChartScaleX(r->RTV[static_cast<size_t>(i)].dt, g.plotLeft(),
                                       g.plotRight(), d.xMin, d.xMax);
        const auto y = kv::ChartScaleY(c.points[static_cast<size_t>(i - 1)].v, g.plotBottom(),
                                       g.plotTop(), axis, d, false);
        return std::make_pair(px(*x), py(*y));
    };
    const auto [ax, ay] = at(0, 50);  // Sample A, red
    EXPECT_TRUE(colourNear(img, ax, ay, Qt::red));
    const auto [bx, by] = at(4, 100);  // Blind 1, blue
    EXPECT_TRUE(colourNear(img, bx, by, Qt::blue));
    const auto [cx, cy] = at(1, 100);  // CO2 of Sample A on the right axis, fuchsia
    EXPECT_TRUE(colourNear(img, cx, cy, Qt::magenta));
    const auto [gx, gy] = at(9, 110);  // degradation, olive
    EXPECT_TRUE(colourNear(img, gx, gy, QColor(0x80, 0x80, 0)));
    // Sample A passes the axis maximum after about 67 hours: no red beyond the plot's top
    // edge (but for the symbol of the last point inside), and none right of where it left
    // the plot area. The legend box hides what runs behind it.
    int red = 0;
    for (int y = 0; y < py(-186); ++y)
        for (int x = 0; x < img.width(); ++x) red += colourNear(img, x, y, Qt::red, 0) ? 1 : 0;
    EXPECT_EQ(red, 0);
    EXPECT_GT(r->BOD(1, 67), 250);
    EXPECT_LT(r->BOD(1, 66), 250);
    const int x66 = at(0, 66).first;
    int redRight = 0;
    for (int y = py(-200); y < py(400 - H); ++y)
        for (int x = x66 + 10; x < px(W - 200); ++x)
            redRight += colourNear(img, x, y, Qt::red, 0) ? 1 : 0;
    EXPECT_EQ(redRight, 0);

    // Legend box 1 at the top left of the plot area, box 2 beside it; each entry's line
    // sample in its colour and its text.
    EXPECT_GT(inkIn(img, px(420), py(-449), px(980), py(-452)), 200);  // bottom edge of box 1
    EXPECT_TRUE(colourNear(img, px(460), py(-225), Qt::red, 2));
    EXPECT_GT(inkIn(img, px(500), py(-210), px(700), py(-240)), 60);  // "Sample A"
    EXPECT_TRUE(colourNear(img, px(1060), py(-225), QColor(0, 0x80, 0x80), 2));
    EXPECT_GT(inkIn(img, px(1100), py(-210), px(1300), py(-240)), 60);  // "I=1 B(SP)"
}

TEST_F(ChartTest, PdfCarriesTheChartTexts) {
    auto r = makeRow();
    const std::string file = artifactDir() + "/chart_row.pdf";
    const kv::OutputResult res = kv::ChartRowToFile(*r, file);
    ASSERT_TRUE(res.ok) << res.text;
    const std::string text = pdfText(file);
    for (const char* t :
         {"Sludge 301F week 12", "date/time", "Kelvora - 2.6.4", "02.03.2026", "07.03.2026",
          "20:00:00", "250", "Sample A", "Sample B CO2", "I=1 X(G)", "Ref \xC3\x98"})
        EXPECT_NE(text.find(t), std::string::npos) << t;
    // The rotated axis titles come out letter by letter or whole, depending on the reader.
    std::string squeezed;
    for (char ch : text)
        if (ch != ' ' && ch != '\n') squeezed += ch;
    EXPECT_NE(squeezed.find("BODmg/l"), std::string::npos);
    EXPECT_NE(squeezed.find("CO2mg"), std::string::npos);
    EXPECT_EQ(pdfPages(file), 1);
    runCommand("pdftoppm -png -r 100 '" + file + "' '" + artifactDir() + "/chart_row_pdf'");
}

TEST_F(ChartTest, RefusesBadFileNames) {
    auto r = makeRow();
    kv::OutputResult res = kv::ChartRowToFile(*r, artifactDir() + "/chart.jpg");
    EXPECT_FALSE(res.ok);
    EXPECT_NE(res.text.find(".png or .pdf"), std::string::npos);
    for (const char* f : {"/nonexistent-folder/c.png", "/nonexistent-folder/c.pdf"}) {
        res = kv::ChartRowToFile(*r, f);
        EXPECT_FALSE(res.ok) << f;
        EXPECT_TRUE(hasMessage("not saved to [" + std::string(f) + "]")) << f;
    }
}

}  // namespace
}  // namespace kvtest
