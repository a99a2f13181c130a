// The evaluation view on hand-made data: the verdict, the checks' table and the chart, for a
// 301F and an AT4 series; screenshots go into the build folder.

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include "ui/evaluation_window.h"

namespace {

using kv::EvalCell;
using kv::EvalInput;

// Days 0..28 with a blank, two replicates of a readily degradable substance (index 1), a
// slow one (index 2) and the reference; P(TC) 100 mg/l, B(Th1) 2.
EvalInput input301F() {
    EvalInput in;
    in.rowName = "Window view";
    in.finished = true;
    for (int d = 0; d <= 28; ++d) in.days.push_back(d);
    const auto cell = [&](int mode, double index, auto degradation) {
        EvalCell c;
        c.displayNr = static_cast<int>(in.cells.size()) + 1;
        c.name = "Cell " + std::to_string(c.displayNr);
        c.mode = mode;
        c.index = index;
        c.ptc = 100;
        c.bth1 = 2;
        for (double d : in.days) c.bod.push_back(d + degradation(d) * 2);
        in.cells.push_back(c);
    };
    cell(kv::kCellModeBlind, kv::NoValueReal, [](double) { return 0.0; });
    for (double off : {0.0, 4.0})
        cell(kv::kCellModeCheck, 1,
             [off](double d) { return std::min(85.0, std::max(0.0, (d - 2) * 12) + off); });
    cell(kv::kCellModeCheck, 2, [](double d) { return std::max(0.0, (d - 6) * 3.2); });
    cell(kv::kCellModeReference, kv::NoValueReal, [](double d) { return std::min(90.0, d * 20); });
    return in;
}

EvalInput inputAT4() {
    EvalInput in;
    in.rowName = "AT4 view";
    for (int h = 1; h <= 130; ++h) in.days.push_back(h / 24.0);
    for (int k = 0; k < 2; ++k) {
        EvalCell c;
        c.displayNr = k + 1;
        c.name = "Sludge " + std::to_string(k + 1);
        double v = 0;
        for (int h = 1; h <= 130; ++h) {
            v += h <= 20 + 4 * k ? 0.02 : 0.4 + 0.03 * k;
            c.o2PerDry.push_back(v);
        }
        in.cells.push_back(c);
    }
    return in;
}

// Enough non-white pixels in the chart: its curves and texts were drawn.
int inkPixels(const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); y += 2)
        for (int x = 0; x < img.width(); x += 2)
            if (qGray(img.pixel(x, y)) < 200) ++n;
    return n;
}

void screenshot(QWidget& w, const QString& name) {
    QDir().mkpath(KV_ARTIFACT_DIR);
    EXPECT_TRUE(w.grab().save(QString(KV_ARTIFACT_DIR) + "/" + name));
}

TEST(EvaluationWindow, Shows301FVerdictChecksAndChart) {
    EvalInput data = input301F();
    int reads = 0;
    kv::ui::EvaluationWindow w([&] {
        ++reads;
        return data;
    });
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(w.objectName(), "frmEvaluation");
    EXPECT_EQ(w.windowTitle(), "Evaluation of Window view");
    auto* verdict = w.findChild<QLabel*>("lblVerdict");
    ASSERT_NE(verdict, nullptr);
    EXPECT_TRUE(verdict->text().contains("Index 1: readily biodegradable"))
        << verdict->text().toStdString();
    EXPECT_TRUE(verdict->text().contains("Index 2: not readily biodegradable"));
    auto* table = w.findChild<QTableWidget*>("tblChecks");
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->rowCount(), 5);  // reference, blank, two spreads, toxicity
    EXPECT_TRUE(table->item(0, 0)->text().startsWith("reference substance"));
    EXPECT_EQ(table->item(0, 1)->text(), "met");
    EXPECT_EQ(table->item(4, 1)->text(), "not applicable");
    auto* chart = w.findChild<QWidget*>("chtEvaluation");
    ASSERT_NE(chart, nullptr);
    EXPECT_GT(inkPixels(chart->grab().toImage()), 500);
    screenshot(w, "evaluation-301f.png");

    // Refresh reads the series again: the data have grown.
    for (auto& c : data.cells) c.bod.push_back(c.bod.back());
    data.days.push_back(29);
    QTest::mouseClick(w.findChild<QPushButton*>("btnRefresh"), Qt::LeftButton);
    EXPECT_EQ(reads, 2);
}

TEST(EvaluationWindow, ShowsAT4LagPhaseAndCurves) {
    kv::ui::EvaluationWindow w([] { return inputAT4(); });
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    auto* table = w.findChild<QTableWidget*>("tblChecks");
    ASSERT_NE(table, nullptr);
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_EQ(table->item(0, 1)->text(), "Sludge 1");
    EXPECT_FALSE(table->item(0, 2)->text().isEmpty());  // the lag phase
    EXPECT_TRUE(w.findChild<QLabel*>("lblVerdict")->text().contains("The lag phase ends when"));
    EXPECT_GT(inkPixels(w.findChild<QWidget*>("chtEvaluation")->grab().toImage()), 500);
    screenshot(w, "evaluation-at4.png");
}

}  // namespace
