// The information windows, the cell debug window, the row data window and the chart window
// over the virtual lab with a row under way, and the screenshots of every window of this
// group (written into the build folder, with a check that their texts rendered).
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPrinter>
#include <QTableView>
#include <QTest>

#include "output/qt/print_row.h"
#include "rows/row.h"
#include "ui/cell_debug.h"
#include "ui/chart_window.h"
#include "ui/dialogs.h"
#include "ui/password_dialog.h"
#include "ui/row_cell_edit.h"
#include "ui/row_data_window.h"
#include "ui/row_dialog.h"
#include "ui/start_dialog.h"
#include "ui/status_windows.h"
#include "ui/translate.h"
#include "ui_fixture.h"

using namespace kv;
using namespace kv::ui;
using namespace kvtest;

namespace {

class WindowsTest : public UiFixture {
  protected:
    QString text(QWidget& w, const char* name) {
        auto* l = w.findChild<QLabel*>(name);
        EXPECT_NE(l, nullptr) << name;
        return l ? l->text() : QString();
    }
};

TEST_F(WindowsTest, TheCellWindowShowsItsCellAndItsButtonsAskForTheRowPassword) {
    const int nr = runningRow("Sludge", {1, 2}, 2);
    ASSERT_TRUE(ops().setRowPassword(nr, "pw").ok);
    TfrmCellStatus w(ctx());
    w.showCell(2);
    EXPECT_EQ(w.windowTitle(), "Information for cell 2");
    EXPECT_EQ(text(w, "CellRow"), "Sludge");
    EXPECT_EQ(text(w, "CellName"), "Cell 2");
    EXPECT_EQ(text(w, "lblCellAmount"), "vol(ml)");
    EXPECT_EQ(text(w, "CellAmount"), "250");
    EXPECT_EQ(text(w, "CellTact"), "3");
    EXPECT_EQ(text(w, "CellCount"), QString::number(k().acq.cells.GetCellCount(2)));
    EXPECT_FALSE(text(w, "NextCycle").isEmpty());

    // Hold: the row password first; a cancelled prompt changes nothing.
    QString title;
    onNextDialog([&](QWidget* d) {
        title = d->findChild<QLabel*>("lblTitle")->text();
        static_cast<QDialog*>(d)->reject();
        onNextDialog([](QWidget* box) { static_cast<QDialog*>(box)->accept(); });
    });
    w.findChild<QPushButton*>("btnHoldCell")->click();
    EXPECT_EQ(title, "Enter row password");
    EXPECT_EQ(k().acq.cells.cell(2).State, CellState::cs_Running);
    onNextDialog([](QWidget* d) {
        QTest::keyClicks(d->findChild<QLineEdit*>("Password"), "pw");
        static_cast<QDialog*>(d)->accept();
    });
    w.findChild<QPushButton*>("btnHoldCell")->click();
    // A row without CO2 holds the O2 part.
    EXPECT_EQ(k().acq.cells.cell(2).State, CellState::cs_SuspendedO2);
    EXPECT_EQ(text(w, "CellState"), qs(TCells::StateText(CellState::cs_SuspendedO2)));
}

TEST_F(WindowsTest, TheTankRefillAsksAndEmptiesTheUsedCount) {
    k().acq.cells.update(5, [](TCell& c) { c.O2TankUsed = 180000; });
    TfrmCellStatus w(ctx());
    w.showCell(5);
    QString question;
    onNextDialog([&](QWidget* box) {
        question = boxText(box);
        clickButton(box, "No");
    });
    w.findChild<QPushButton*>("btnO2TankRefill")->click();
    EXPECT_EQ(question, "Refill O2 Tank of cell 5");
    EXPECT_EQ(k().acq.cells.cell(5).O2TankUsed, 180000);
    onNextDialog([&](QWidget* box) { clickButton(box, "Yes"); });
    w.findChild<QPushButton*>("btnO2TankRefill")->click();
    EXPECT_EQ(k().acq.cells.cell(5).O2TankUsed, 0);
    EXPECT_TRUE(text(w, "O2Tank").contains("0.0%"));
    EXPECT_NE(newestMessage().find("Refill O2 Tank of cell 5"), std::string::npos);
}

TEST_F(WindowsTest, TheRowWindowShowsTheRowsTimesAndEntries) {
    const int nr = runningRow("Sludge", {1}, 3);
    TfrmRowStatus w(ctx());
    w.showRow(nr);
    EXPECT_EQ(w.windowTitle(), "Information for row Sludge");
    auto lock = k().rows.lock();
    EXPECT_EQ(text(w, "Entries"), QString::number(row(nr)->iRTV));
    EXPECT_GE(row(nr)->iRTV, 2);
    EXPECT_EQ(text(w, "DataDir"), qs(row(nr)->DataDir));
    EXPECT_EQ(text(w, "RowState"), qs(row(nr)->StateText()));
}

TEST_F(WindowsTest, TheDebugWindowStepsWithinTheCellsAndShowsNaWithoutARow) {
    const int nr = runningRow("Sludge", {2}, 1);
    TfrmCellStatus_Debug w(ctx());
    EXPECT_EQ(w.refreshTimer()->interval(), 1000);
    w.showCell(1);
    EXPECT_TRUE(w.refreshTimer()->isActive());
    EXPECT_EQ(text(w, "dbgRowName"), "n/a");
    EXPECT_EQ(text(w, "dbgSlot"), "n/a");
    w.findChild<QPushButton*>("btnPrev")->click();
    EXPECT_EQ(w.cell(), 1);
    w.findChild<QPushButton*>("btnNext")->click();
    EXPECT_EQ(w.cell(), 2);
    EXPECT_EQ(text(w, "dbgRowName"), "Sludge");
    EXPECT_EQ(text(w, "dbgSlot"), "1");
    EXPECT_EQ(text(w, "dbgRowTact"), "3");
    EXPECT_TRUE(text(w, "dbgAlarm").contains("Percent >  in 60min"));
    const QString hourly = w.findChild<QPlainTextEdit*>("dbgHourly")->toPlainText();
    EXPECT_EQ(hourly.count('\n'), 24);
    EXPECT_TRUE(hourly.startsWith("   60 - "));
    w.showCell(12);
    w.findChild<QPushButton*>("btnNext")->click();
    EXPECT_EQ(w.cell(), 12);
    // "Refresh" shows the same cell's new state.
    w.showCell(2);
    ASSERT_TRUE(ops().holdCell(2, true, true).ok);
    w.findChild<QPushButton*>("btnRefresh")->click();
    EXPECT_EQ(text(w, "dbgCellState"), qs(TCells::StateText(CellState::cs_SuspendedO2)));
    (void)nr;
}

TEST_F(WindowsTest, TheRowDataWindowsChoicesExcludeEachOtherAndSaveByExtension) {
    const int nr = runningRow("Sludge", {1, 2}, 5);
    TfrmRowData w(ctx());
    ASSERT_TRUE(w.showRow(nr));
    auto* grid = w.findChild<QTableView*>("RowDataGrid");
    ASSERT_NE(grid, nullptr);
    int entries = 0;
    {
        auto lock = k().rows.lock();
        entries = row(nr)->iRTV;
    }
    EXPECT_EQ(grid->model()->rowCount(), entries);
    EXPECT_EQ(grid->model()->columnCount(), 2);
    EXPECT_EQ(grid->model()->headerData(0, Qt::Horizontal).toString(), "1  (mg/l)");
    // A row without CO2 offers neither CO2 nor LF.
    auto* co2 = w.findChild<QCheckBox*>("cbCO2");
    auto* lf = w.findChild<QCheckBox*>("cbLF");
    auto* ts = w.findChild<QCheckBox*>("cbO2TS");
    EXPECT_FALSE(co2->isEnabled());
    EXPECT_FALSE(lf->isEnabled());
    ts->click();
    EXPECT_EQ(w.choice(), RowValueChoice::O2TS);
    EXPECT_EQ(grid->model()->headerData(0, Qt::Horizontal).toString(), "1  (mg O2/g TS)");
    ts->click();
    EXPECT_EQ(w.choice(), RowValueChoice::O2);

    // Each save reports the file written in a box.
    QString report;
    onNextDialog([&](QWidget* box) {
        report = boxText(box);
        static_cast<QDialog*>(box)->accept();
    });
    w.saveTo(qs(home_.file("values.CSV")));
    EXPECT_TRUE(ctx().last.ok) << ctx().last.error;
    EXPECT_TRUE(std::filesystem::exists(home_.file("values.CSV")));
    EXPECT_TRUE(report.contains("values.CSV")) << report.toStdString();
    onNextDialog([&](QWidget* box) { static_cast<QDialog*>(box)->accept(); });
    w.saveTo(qs(home_.file("values.XLS")));
    EXPECT_TRUE(ctx().last.ok) << ctx().last.error;
    // The spreadsheet is written in the format its extension stands for: ".XLS" gets "x".
    EXPECT_TRUE(std::filesystem::exists(home_.file("values.XLSx")));
    // A file of the program itself is refused in a box.
    QString refusal;
    onNextDialog([&](QWidget* box) {
        refusal = boxText(box);
        static_cast<QDialog*>(box)->accept();
    });
    w.saveTo(qs(home_.file("Kelvora.Row")));
    EXPECT_TRUE(refusal.contains("is a file of Kelvora itself")) << refusal.toStdString();
}

TEST_F(WindowsTest, TheChartPreviewKeepsThePagesProportionsAndFollowsARunningRow) {
    const int nr = runningRow("Sludge", {1, 2}, 3);
    TfrmGraphic w(ctx());
    w.showRow(nr);
    EXPECT_EQ(w.windowTitle(), "Sludge");
    EXPECT_TRUE(w.data().hasRow);
    const QSizeF page = w.printer().pageLayout().fullRect(QPageLayout::Millimeter).size();
    for (QSize size : {QSize(900, 660), QSize(500, 700), QSize(1200, 400)}) {
        w.resize(size);
        w.show();
        QTest::qWait(1);
        const QRectF paper = w.preview()->paperRect();
        EXPECT_NEAR(paper.width() / paper.height(), page.width() / page.height(), 0.01)
            << size.width() << "x" << size.height();
    }
    // A new time value of the running row redraws the chart; without one nothing happens.
    const int before = w.redraws();
    w.refreshIfNew();
    EXPECT_EQ(w.redraws(), before);
    for (int t = 0; t < 20; ++t) {
        clock_.advanceMs(3000);
        k().acq.cycle.mmTimerCallback();
    }
    w.refreshIfNew();
    EXPECT_EQ(w.redraws(), before + 1);
    // The new page arrives from the drawing thread; the window thread only shows it.
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.preview()->pageCurrent(); }, 20000));
    EXPECT_GE(w.preview()->drawings(), 1);
    // No row: the empty page titled "Preview".
    w.showRow(0);
    EXPECT_EQ(w.windowTitle(), "Preview");
    EXPECT_FALSE(w.data().hasRow);
}

// ---------------------------------------------------------------------------------------
// Screenshots

// Dark pixels in the image: rendered text and lines (an image without fonts has boxes only
// where text should be, and a blank window none at all).
int inkOf(const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (qGray(img.pixel(x, y)) < 100) ++n;
    return n;
}

std::string shot(QWidget& w, const char* name) {
    w.show();
    QTest::qWait(1);
    const QImage img = w.grab().toImage();
    std::filesystem::create_directories(KV_ARTIFACT_DIR);
    const std::string file = std::string(KV_ARTIFACT_DIR) + "/" + name + ".png";
    EXPECT_TRUE(img.save(QString::fromStdString(file))) << file;
    EXPECT_GT(inkOf(img), 300) << name;
    return file;
}

// Every label and button shows its whole text (none cut off by a layout too small).
void expectTextsFit(QWidget& w) {
    for (auto* l : w.findChildren<QLabel*>()) {
        if (!l->isVisible() || l->text().isEmpty() || l->wordWrap()) continue;
        const int need = l->fontMetrics().horizontalAdvance(l->text());
        EXPECT_LE(need, l->width() + 1)
            << w.objectName().toStdString() << "/" << l->objectName().toStdString();
    }
    for (auto* b : w.findChildren<QPushButton*>()) {
        if (!b->isVisible()) continue;
        EXPECT_GE(b->width(), b->fontMetrics().horizontalAdvance(b->text()))
            << w.objectName().toStdString() << "/" << b->objectName().toStdString();
    }
}

TEST_F(WindowsTest, ScreenshotsOfEveryWindowWithARowUnderWay) {
    const int nr = runningRow("Sludge AT4 week 12", {1, 2, 3}, 30);
    {
        auto lock = k().rows.lock();
        row(nr)->Comment[0] = "Inoculum from plant A";
        row(nr)->SampleAnalytiker = "M. Weber";
        // The curves the Graphics page would have selected.
        for (int s = 1; s <= 3; ++s)
            row(nr)->RowCells[static_cast<size_t>(s)].ChartSel1 = {1, {1, 9 + s, s, 1, 1}};
    }
    TfrmRow rowDialog(ctx());
    ASSERT_TRUE(rowDialog.load(nr, false));
    rowDialog.findChild<QListWidget*>("Row_UsedCells")->setCurrentRow(0);
    shot(rowDialog, "frmRow");
    expectTextsFit(rowDialog);
    rowDialog.hide();

    TfrmRowCellEdit cellEdit;
    cellEdit.setWindowTitle("Cell 1");
    shot(cellEdit, "frmRowCellEdit");
    expectTextsFit(cellEdit);
    cellEdit.hide();

    const int newNr = newRow("Next series", {7, 8, 9});
    TfrmRowCellsStartDlg start(ctx());
    ASSERT_TRUE(start.load(newNr));
    shot(start, "frmRowCellsStartDlg");
    expectTextsFit(start);
    start.hide();

    TfrmPassWd password;
    // As ask() shows it.
    password.findChild<QLabel*>("lblTitle")->setText("Enter row password");
    shot(password, "frmPasswd");
    password.hide();

    TfrmCellStatus cell(ctx());
    cell.showCell(1);
    shot(cell, "frmCellStatus");
    expectTextsFit(cell);
    cell.hide();

    TfrmRowStatus rowStatus(ctx());
    rowStatus.showRow(nr);
    shot(rowStatus, "frmRowStatus");
    expectTextsFit(rowStatus);
    rowStatus.hide();

    TfrmCellStatus_Debug debug(ctx());
    debug.showCell(1);
    shot(debug, "frmCellStatus_Debug");
    expectTextsFit(debug);
    debug.hide();

    TfrmRowData data(ctx());
    ASSERT_TRUE(data.showRow(nr));
    shot(data, "frmRowData");
    data.hide();

    TfrmGraphic chart(ctx());
    chart.showRow(nr);
    chart.show();
    // The page is drawn on the preview's own thread.
    EXPECT_TRUE(QTest::qWaitFor([&] { return chart.preview()->pageCurrent(); }, 20000));
    shot(chart, "frmGraphic");
    chart.hide();
}

}  // namespace

namespace {

// The German language file of the examples folder, as the program loads it.
class GermanTexts : public WindowsTest {
  protected:
    void SetUp() override {
        entries_ = languageTexts().load(std::string(KV_SOURCE_DIR) + "/examples/Kelvora.Txt");
    }
    int entries_ = 0;
};

TEST_F(GermanTexts, TranslateTheDialogsAndFitTheirLayouts) {
    ASSERT_GT(entries_, 100);
    // The language table holds 600 entries; a longer file loses its tail.
    EXPECT_LT(entries_, 600);
    const int nr = runningRow("Schlamm Woche 12", {1, 2}, 2);
    TfrmRow d(ctx());
    ASSERT_TRUE(d.load(nr, false));
    EXPECT_EQ(d.findChild<QPushButton*>("btnRow_StartCell")->text(), "Starten");
    EXPECT_EQ(d.findChild<QLabel*>("lblRow_Duration")->text(), "Dauer:");
    EXPECT_EQ(d.findChild<QComboBox*>("Row_Mode")->itemText(1), "g");
    shot(d, "frmRow_de");
    expectTextsFit(d);
    d.hide();
    TfrmRowCellEdit edit;
    EXPECT_EQ(edit.findChild<QComboBox*>("RowCell_Mode")->itemText(1), "Prüfzelle");
    TfrmCellStatus cell(ctx());
    cell.showCell(1);
    EXPECT_EQ(cell.windowTitle(), "Information zu Zelle 1");
    shot(cell, "frmCellStatus_de");
    expectTextsFit(cell);
    TfrmRowCellsStartDlg start(ctx());
    ASSERT_TRUE(start.load(newRow("Neu", {9})));
    EXPECT_EQ(start.findChild<QCheckBox*>("cbCountAfterFullStart")->text(),
              "erst zählen, wenn alle Zellen gestartet sind");
    shot(start, "frmRowCellsStartDlg_de");
    expectTextsFit(start);
    // A new cell's name comes from the file, with its number.
    EXPECT_EQ(NewCellName(false, 9), "Zelle 9");
}

}  // namespace

namespace {

TEST_F(WindowsTest, WithoutAPrinterThePrintoutsAndTheChartBecomePdfFiles) {
    if (HasPrinter()) GTEST_SKIP() << "a printer is installed; the print would go to it";
    const int nr = runningRow("Printed", {1, 2}, 3);
    k().cfg.ResultPath = home_.file("Results");
    std::filesystem::create_directories(k().cfg.ResultPath);
    const auto pdfs = [&] {
        int n = 0;
        for (const auto& e : std::filesystem::directory_iterator(k().cfg.ResultPath))
            n += e.path().extension() == ".pdf";
        return n;
    };
    TfrmRowData data(ctx());
    ASSERT_TRUE(data.showRow(nr));
    QString report;
    onNextDialog([&](QWidget* box) {
        report = boxText(box);
        static_cast<QDialog*>(box)->accept();
    });
    data.findChild<QAction*>("sbPrintAll")->trigger();
    EXPECT_EQ(pdfs(), 1) << report.toStdString();
    EXPECT_TRUE(report.contains(".pdf")) << report.toStdString();

    TfrmGraphic chart(ctx());
    chart.showRow(nr);
    onNextDialog([&](QWidget* box) {
        report = boxText(box);
        static_cast<QDialog*>(box)->accept();
    });
    chart.findChild<QAction*>("sbPrint")->trigger();
    EXPECT_EQ(pdfs(), 2) << report.toStdString();
}

}  // namespace

namespace {

TEST_F(WindowsTest, TheEvaluationButtonsRunTheirExportsAndShowTheirAnswer) {
    ::setenv("KELVORA_TEMPLATES", KV_SOURCE_DIR "/templates", 1);
    k().cfg.ResultPath = home_.file("Results");
    std::filesystem::create_directories(k().cfg.ResultPath);
    const int nr = runningRow("Short", {1, 2}, 3);
    TfrmRowData w(ctx());
    ASSERT_TRUE(w.showRow(nr));
    // Three minutes of values are too few for AT4.
    QString answer;
    onNextDialog([&](QWidget* box) {
        answer = boxText(box);
        static_cast<QDialog*>(box)->accept();
    });
    w.findChild<QAction*>("sbAT4")->trigger();
    EXPECT_EQ(answer, "Too less data (5 hours min).");
    // 301F takes any length: the workbook is written into the result folder.
    onNextDialog([&](QWidget* box) {
        answer = boxText(box);
        static_cast<QDialog*>(box)->accept();
    });
    w.findChild<QAction*>("sb301f")->trigger();
    EXPECT_TRUE(ctx().last.ok) << ctx().last.error;
    EXPECT_TRUE(answer.contains("Short_301f")) << answer.toStdString();
    ::unsetenv("KELVORA_TEMPLATES");
}

}  // namespace
