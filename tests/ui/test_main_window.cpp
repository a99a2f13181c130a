// The main window on the virtual lab: the cell grid's rules, the display modes, the row
// commands with their guards, passwords, questions and limits, the status and alarm
// windows, the splash window.
#include <QComboBox>
#include <QGroupBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QToolButton>
#include <fstream>
#include <thread>

#include "program_fixture.h"
#include "ui/alarm_window.h"
#include "ui/cell_grid.h"
#include "ui/forms.h"
#include "ui/main_window.h"
#include "ui/program_windows.h"
#include "ui/splash_screen.h"
#include "ui/status_window.h"
#include "ui/translate.h"

using namespace kv;
using namespace kv::ui;
using kvtest::DialogScript;
using kvtest::UiWorld;

namespace {

QTableWidget* grid(TfrmMain& w) {
    return w.findChild<QTableWidget*>("CellsGrid");
}

int visibleModes(TfrmMain& w) {
    int n = 0;
    for (auto* b : w.findChild<QGroupBox*>("rgCellMode")->findChildren<QRadioButton*>())
        if (!b->isHidden()) ++n;
    return n;
}

int rowCount(TKelvora& k, bool templates) {
    int n = 0;
    for (const auto& r : k.rows.Snapshot()) {
        auto lock = k.rows.lock();
        if (r->isTemplate == templates) ++n;
    }
    return n;
}

}  // namespace

// --- the grid's geometry -------------------------------------------------------------------

TEST(CellGridRules, TwoRowsPerDeviceAndThePositionsOfTheCells) {
    EXPECT_EQ(cellGridRowCount(18), 6);
    EXPECT_EQ(cellGridRowCount(120), 40);
    // A last device with fewer configured cells still shows them.
    EXPECT_EQ(cellGridRowCount(8), 4);
    EXPECT_EQ(cellGridRowCount(0), 0);
    // Row 3, column 2: the second cell of the second device.
    EXPECT_EQ(cellAtGridPosition(3, 2, 18), 8);
    EXPECT_EQ(cellAtGridPosition(2, 2, 18), 8);
    EXPECT_EQ(cellAtGridPosition(0, 1, 18), 1);
    EXPECT_EQ(cellAtGridPosition(5, 6, 18), 18);
    // Column 0 holds the device labels; beyond the configured cells there is nothing.
    EXPECT_EQ(cellAtGridPosition(3, 0, 18), 0);
    EXPECT_EQ(cellAtGridPosition(2, 3, 8), 0);
}

TEST(CellGridRules, ColumnZeroWidensForThreeDigitCellNumbers) {
    EXPECT_EQ(cellGridColumn0Width(90, 12), 125);
    EXPECT_EQ(cellGridColumn0Width(1, 12), 110);
    EXPECT_EQ(cellGridColumn0Width(88, 12), 125);  // 88 + 12 = 100
    EXPECT_EQ(cellGridColumn0Width(87, 12), 110);  // last shown cell is 98
}

TEST(CellGridRules, DisplayModesOfferCO2AndConductivityOnlyWithTheCO2Option) {
    EXPECT_EQ(cellModeItems(false), QStringList({"Cnt", "O2", "O2 TS"}));
    EXPECT_EQ(cellModeItems(true), QStringList({"Cnt", "O2", "O2 TS", "CO2", "LF"}));
}

// --- the grid in the window ----------------------------------------------------------------

TEST(MainWindowGrid, EighteenCellsGiveSixRowsWithDeviceLabelsAndCellStates) {
    UiWorld world(kvtest::iniText(3), kvtest::labText(3));
    TfrmMain w(world.ctx());
    w.refresh();
    QTableWidget* g = grid(w);
    ASSERT_EQ(g->rowCount(), 6);
    EXPECT_EQ(g->item(0, 0)->text(), "1-6        [Case  1]");
    EXPECT_EQ(g->item(2, 0)->text(), "7-12       [Case  1]");
    EXPECT_TRUE(g->item(1, 0)->text().startsWith(QString(16, ' ') + "T="));
    // A free cell: the short name of state 1 and the closed manometer.
    EXPECT_EQ(g->item(2, 2)->text(), qs(TCells::StateShortName(CellState::cs_Free)) + "  [I]");
}

TEST(MainWindowGrid, FirstCellNinetyWidensColumnZeroAndNumbersTheDevices) {
    UiWorld world(kvtest::iniText(2, "firstCell=90\r\n"), kvtest::labText(2));
    TfrmMain w(world.ctx());
    w.refresh();
    EXPECT_EQ(w.gridView().column0Width, 125);
    EXPECT_EQ(w.gridView().text(0, 0), "90-95      [Case  1]");
    EXPECT_EQ(w.gridView().text(2, 0), "96-101     [Case  1]");
}

TEST(MainWindowGrid, ModesWithoutCO2AreCountO2AndO2PerDryMatter) {
    {
        UiWorld world(kvtest::iniText(2), kvtest::labText(2));
        TfrmMain w(world.ctx());
        w.refresh();
        EXPECT_EQ(visibleModes(w), 3);
        EXPECT_EQ(w.cellMode(), CellDisplayMode::O2);
        // A mode that is not offered is not taken.
        w.rgCellModeClick(3);
        EXPECT_EQ(w.cellMode(), CellDisplayMode::O2);
    }
    {
        UiWorld world(kvtest::iniText(2, "withCO2=1\r\n"), kvtest::labText(2));
        TfrmMain w(world.ctx());
        w.refresh();
        EXPECT_EQ(visibleModes(w), 5);
        w.rgCellModeClick(4);
        EXPECT_EQ(w.cellMode(), CellDisplayMode::Conductivity);
    }
}

TEST(MainWindowGrid, RowModeOneShowsMilligramsOtherModesMilligramsPerLitre) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    const int byMass = world.newRow("ByMass", {1, 2}, 1);
    const int byVolume = world.newRow("ByVolume", {7}, 0);
    ASSERT_TRUE(world.ops().startRow(byMass, false).ok);
    ASSERT_TRUE(world.ops().startRow(byVolume, false).ok);
    TfrmMain w(world.ctx());
    w.refresh();
    const CellGridView& v = w.gridView();
    EXPECT_TRUE(v.text(1, 1).endsWith(" mg")) << v.text(1, 1).toStdString();
    EXPECT_TRUE(v.text(3, 1).endsWith(" mg/l")) << v.text(3, 1).toStdString();
    // Running cells are coloured as running (or waiting for their manometer), free ones not.
    EXPECT_NE(v.colour(0, 1), CellColour::Free);
    EXPECT_EQ(v.colour(0, 3), CellColour::Free);
    // The count mode shows the impulse count.
    w.rgCellModeClick(0);
    EXPECT_EQ(w.gridView().text(1, 1), QString::number(world.k().acq.cells.cell(1).CellCount));
}

TEST(MainWindowGrid, TheTactLabelTogglesTheUsbDebugPage) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    TfrmMain w(world.ctx());
    w.refresh();
    auto* pages = w.findChild<QTabWidget*>("PageControl");
    QWidget* debug = w.findChild<QWidget*>("DebugPage");
    EXPECT_FALSE(pages->isTabVisible(pages->indexOf(debug)));
    w.lblTactClick();
    EXPECT_TRUE(pages->isTabVisible(pages->indexOf(debug)));
    EXPECT_TRUE(world.k().status.usbDebugPageShown());
    w.lblTactClick();
    EXPECT_FALSE(world.k().status.usbDebugPageShown());
}

// --- row commands and their guards ---------------------------------------------------------

TEST(MainWindowRows, TheRowLimitRefusesTheNextRowWithTheBoxAndCreatesNothing) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    for (int i = 1; i < kMaxRowsAndTemplates; ++i) ASSERT_TRUE(world.ops().newTemplate().ok);
    TfrmMain w(world.ctx());
    w.refresh();
    {
        // The last row that still fits: created, and its dialog cancelled deletes it again.
        DialogScript script;
        script.thenReject();
        w.btnNewRowClick();
        ASSERT_TRUE(script.finished());
        ASSERT_TRUE(world.settle());
        EXPECT_EQ(world.k().rows.Count(), kMaxRowsAndTemplates - 1);
    }
    ASSERT_TRUE(world.ops().newTemplate().ok);
    ASSERT_EQ(world.k().rows.Count(), kMaxRowsAndTemplates);
    DialogScript script;
    script.thenAccept();
    w.btnNewRowClick();
    ASSERT_TRUE(script.finished());
    ASSERT_TRUE(world.settle());
    ASSERT_EQ(script.texts.size(), 1u);
    EXPECT_EQ(script.texts[0],
              QString("Too many rows defined, max. %1 rows possible !").arg(kMaxRowsAndTemplates));
    EXPECT_EQ(world.k().rows.Count(), kMaxRowsAndTemplates);
    EXPECT_EQ(rowCount(world.k(), false), 0);
}

TEST(MainWindowRows, DeleteAsksThePasswordAndTheQuestionAndAWrongAnswerChangesNothing) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    const int nr = world.newRow("Locked", {1, 2}, 0, "secret");
    TfrmMain w(world.ctx());
    w.selectRowNr(nr);
    ASSERT_EQ(w.selectedRowNr(), nr);
    {
        DialogScript script;
        script.thenPassword("wrong");
        script.thenAccept();  // the refusal
        w.btnDeleteRowClick();
        ASSERT_TRUE(script.finished());
        ASSERT_TRUE(world.settle());
        ASSERT_EQ(script.texts.size(), 1u);
        EXPECT_EQ(script.texts[0], "Wrong password.");
        EXPECT_NE(world.k().rows.FindByUniqueNr(nr), nullptr);
    }
    {
        DialogScript script;
        script.thenPassword("secret");
        script.thenClick("No");
        w.btnDeleteRowClick();
        ASSERT_TRUE(script.finished());
        ASSERT_TRUE(world.settle());
        EXPECT_EQ(script.texts.at(0), "Delete Locked ?");
        EXPECT_NE(world.k().rows.FindByUniqueNr(nr), nullptr);
    }
    DialogScript script;
    script.thenPassword("secret");
    script.thenClick("Yes");
    w.btnDeleteRowClick();
    ASSERT_TRUE(script.finished());
    ASSERT_TRUE(world.settle());
    EXPECT_EQ(world.k().rows.FindByUniqueNr(nr), nullptr);
    EXPECT_EQ(world.k().acq.cells.cell(1).RowNr, 0);
}

TEST(MainWindowRows, StartStopAndDeleteAreRefusedWhileAnotherRowCommandRuns) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    const int nr = world.newRow("Busy", {1});
    TfrmMain w(world.ctx());
    w.selectRowNr(nr);
    world.k().rowCommandIdle = false;  // a console command is starting a row
    for (auto click : {&TfrmMain::btnDeleteRowClick, &TfrmMain::btnStartStopRowClick}) {
        DialogScript script;
        script.thenAccept();
        (w.*click)();
        ASSERT_TRUE(script.finished());
        ASSERT_EQ(script.texts.size(), 1u);
        EXPECT_EQ(script.texts[0], "Start/Stop or Delete operation in progress - please wait.");
    }
    world.k().rowCommandIdle = true;
    EXPECT_NE(world.k().rows.FindByUniqueNr(nr), nullptr);
}

TEST(MainWindowRows, AbortAsksAndStopsTheRunningRow) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    const int nr = world.newRow("Running", {1, 2});
    ASSERT_TRUE(world.ops().startRow(nr, false).ok);
    TfrmMain w(world.ctx());
    w.selectRowNr(nr);
    DialogScript script;
    script.thenClick("Yes");
    w.btnStartStopRowClick();
    ASSERT_TRUE(script.finished());
    ASSERT_TRUE(world.settle());
    EXPECT_EQ(script.texts.at(0), "Abort Running ?");
    EXPECT_EQ(world.rowState(nr), RowState::Stopped);
}

TEST(MainWindowRows, AStartWithUnassignedCellsIsRefused) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    const int tpl = world.newRow("Source", {1, 2});
    DialogScript questions;
    questions.thenClick("Yes");
    questions.thenClick("Yes");
    ASSERT_TRUE(world.ops().templateFromRow(tpl).ok);
    int templateNr = 0;
    for (const auto& r : world.k().rows.Snapshot())
        if (r->isTemplate) templateNr = r->UniqueNr;
    const OpResult fromTemplate = world.ops().rowFromTemplate(templateNr, "FromTemplate");
    ASSERT_TRUE(fromTemplate.ok) << fromTemplate.error;
    ASSERT_TRUE(questions.finished());
    TfrmMain w(world.ctx());
    w.selectRowNr(fromTemplate.rowNr);
    w.refresh();
    // The list marks the cells that have no physical cell yet.
    auto* rows = w.findChild<QTableWidget*>("RowsList");
    bool marked = false;
    for (int r = 0; r < rows->rowCount(); ++r)
        if (rows->item(r, 0)->text() == "FromTemplate")
            marked = rows->item(r, 2)->text().contains("??");
    EXPECT_TRUE(marked);
    DialogScript script;
    script.thenAccept();
    w.btnStartStopRowClick();
    ASSERT_TRUE(script.finished());
    EXPECT_EQ(script.texts.at(0), "Not all cells of FromTemplate are assigned.");
    EXPECT_EQ(world.rowState(fromTemplate.rowNr), RowState::Defined);
}

TEST(MainWindowRows, ExportRefusesARowNotDoneAndExportsAndDeletesAStoppedOne) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    const int nr = world.newRow("Finished", {1, 2});
    TfrmMain w(world.ctx());
    w.selectRowNr(nr);
    {
        DialogScript script;
        script.thenAccept();
        w.btnExportRowClick();
        ASSERT_TRUE(script.finished());
        ASSERT_TRUE(world.settle());
        EXPECT_EQ(script.texts.at(0), "Export of row Finished is not possible (not Done/Canceled)");
    }
    ASSERT_TRUE(world.ops().startRow(nr, false).ok);
    {
        DialogScript abort;
        abort.thenClick("Yes");
        ASSERT_TRUE(world.ops().stopRow(nr).ok);
    }
    const std::string file = world.home().file("Finished.Export");
    const int mark = messageList().total();
    DialogScript script;
    script.thenClick("Yes");
    script.thenFile(QString::fromStdString(file));
    w.btnExportRowClick();
    ASSERT_TRUE(script.finished());
    ASSERT_TRUE(world.settle());
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(world.k().rows.FindByUniqueNr(nr), nullptr);
    EXPECT_GT(messageList().total(), mark);
    const auto recent = messageList().newestFirst();
    EXPECT_TRUE(std::any_of(
        recent.begin(), recent.begin() + std::min<size_t>(3, recent.size()),
        [](const std::string& m) { return m.find("successfull exported") != std::string::npos; }));
}

TEST(MainWindowRows, ACancelledExportFileDialogKeepsTheRow) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    const int nr = world.newRow("Keep", {1});
    ASSERT_TRUE(world.ops().startRow(nr, false).ok);
    {
        DialogScript abort;
        abort.thenClick("Yes");
        ASSERT_TRUE(world.ops().stopRow(nr).ok);
    }
    TfrmMain w(world.ctx());
    w.selectRowNr(nr);
    DialogScript script;
    script.thenClick("Yes");
    script.thenReject();
    w.btnExportRowClick();
    ASSERT_TRUE(script.finished());
    ASSERT_TRUE(world.settle());
    EXPECT_NE(world.k().rows.FindByUniqueNr(nr), nullptr);
}

TEST(MainWindowTemplates, RowToTemplateAndBackAskFirst) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    const int nr = world.newRow("Base", {1, 2});
    TfrmMain w(world.ctx());
    w.selectRowNr(nr);
    {
        DialogScript script;
        script.thenClick("No");
        w.btnRow2TemplateClick();
        ASSERT_TRUE(script.finished());
        EXPECT_EQ(script.texts.at(0), "Create new template based on row [Base] ?");
        ASSERT_TRUE(world.settle());
        EXPECT_EQ(rowCount(world.k(), true), 0);
    }
    DialogScript script;
    script.thenClick("Yes");
    w.btnRow2TemplateClick();
    ASSERT_TRUE(script.finished());
    ASSERT_TRUE(world.settle());
    EXPECT_EQ(rowCount(world.k(), true), 1);
}

TEST(MainWindowMessages, DeletingAllMessagesAsksAndNewestComeFirst) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    AddMsg("first", false);
    AddMsg("second", false);
    TfrmMain w(world.ctx());
    w.refresh();
    auto* msgs = w.findChild<QTableWidget*>("MsgGrid");
    ASSERT_GE(msgs->rowCount(), 2);
    EXPECT_TRUE(msgs->item(0, 0)->text().endsWith("second"));
    DialogScript script;
    script.thenClick("Yes");
    w.btnDelMsgsClick();
    ASSERT_TRUE(script.finished());
    ASSERT_TRUE(world.settle());
    EXPECT_EQ(script.texts.at(0), "Delete all messages ?");
    for (const std::string& m : messageList().newestFirst())
        EXPECT_EQ(m.find("second"), std::string::npos) << m;
    w.refresh();
    EXPECT_LE(msgs->rowCount(), 1);
}

TEST(MainWindowGraphics, PreviewWithoutARowOrWithABadFieldSaysSo) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    TfrmMain w(world.ctx());
    {
        DialogScript script;
        script.thenAccept();
        w.btnPreviewClick();
        ASSERT_TRUE(script.finished());
        EXPECT_EQ(script.texts.at(0), "No row selected !");
    }
    const int nr = world.newRow("Chart", {1, 2});
    w.selectRowNr(nr);
    w.GrPageEnter();
    auto* list = w.findChild<QListWidget*>("grCellList");
    ASSERT_EQ(list->count(), 2);  // one O2 curve per cell
    list->setCurrentRow(1);
    w.findChild<QPushButton*>("btnToggle")->click();
    ASSERT_TRUE(world.settle());  // the change runs on the operations thread
    EXPECT_TRUE(list->item(1)->text().startsWith("[x]")) << list->item(1)->text().toStdString();
    {
        auto row = world.k().rows.FindByUniqueNr(nr);
        auto lock = world.k().rows.lock();
        EXPECT_EQ(row->RowCells[2].ChartSel1.shown, 1);
    }
    w.findChild<QLineEdit*>("xMinD")->setText("02.03.2026");
    w.findChild<QLineEdit*>("xMinT")->setText("08:00:00");
    w.findChild<QLineEdit*>("xMaxD")->setText("03.03.2026");
    w.findChild<QLineEdit*>("xMaxT")->setText("08:00:00");
    w.findChild<QLineEdit*>("xDelta")->setText("1");
    w.findChild<QLineEdit*>("yMin")->setText("0");
    w.findChild<QLineEdit*>("yMax")->setText("abc");
    w.findChild<QLineEdit*>("yDelta")->setText("10");
    DialogScript script;
    script.thenAccept();
    w.btnPreviewClick();
    ASSERT_TRUE(script.finished());
    EXPECT_EQ(script.texts.at(0), "Invalid value !");
}

// --- windows -------------------------------------------------------------------------------

TEST(ProgramWindowsOrder, TheWindowsAreCreatedInTheStartUpOrder) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    ProgramWindows windows(world.ctx());
    ASSERT_FALSE(windows.created().empty());
    EXPECT_EQ(windows.created().front(), "frmMain");
    // Whatever the dialog group builds, the order of kFormOrder is kept.
    std::vector<QString> order(kFormOrder.begin(), kFormOrder.end());
    size_t at = 0;
    for (const QString& name : windows.created()) {
        while (at < order.size() && order[at] != name) ++at;
        EXPECT_LT(at, order.size()) << name.toStdString() << " out of order";
    }
    EXPECT_NE(windows.form("frmStatus"), nullptr);
    EXPECT_NE(windows.form("frmAlarm"), nullptr);
    EXPECT_EQ(windows.form("frmStatus")->parent(), &windows.main());
}

TEST(StatusWindow, ShowsTheConfigurationTextsAndTheCO2Source) {
    Config cfg;
    cfg.generalVersion = "2.6.4";
    cfg.Title = "Kelvora";
    cfg.SubTitle = "Respirometry";
    cfg.TraderInfo[0] = "Lab supplies";
    cfg.Cells = 24;
    cfg.withCO2 = true;
    cfg.EC71_Present = true;
    TfrmStatus s(cfg);
    EXPECT_EQ(s.windowTitle(), "Kelvora status information");
    EXPECT_EQ(s.findChild<QLabel*>("lblTitleVersion")->text(), "2.6.4 - Kelvora");
    EXPECT_EQ(s.findChild<QLabel*>("lblTraderInfo1")->text(), "Lab supplies");
    EXPECT_EQ(s.findChild<QLabel*>("lblNrCells")->text(), "Nr. of cells: 24");
    EXPECT_EQ(s.findChild<QLabel*>("lblCO2Option")->text(), "CO2-Option");
    EXPECT_EQ(s.findChild<QLabel*>("lblCO2Source")->text(), "EC71-Device");
    cfg.withCO2 = false;
    s.load(cfg);
    EXPECT_TRUE(s.findChild<QLabel*>("lblCO2Option")->isHidden());
}

TEST(AlarmWindow, ClearsTheIndicatorAndTheList) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    const int nr = world.newRow("Leak", {1});
    ASSERT_TRUE(world.ops().startRow(nr, false).ok);
    world.k().acq.alarms.raiseAlarm(1, nr);
    ASSERT_TRUE(world.k().acq.alarms.alarmFlag());
    TfrmAlarm a(world.k());
    a.showAlarms();
    auto* memo = a.findChild<QPlainTextEdit*>("msgAlarm");
    EXPECT_TRUE(memo->toPlainText().contains("suspended due to alarm condition"));
    a.findChild<QPushButton*>("btnClear")->click();
    EXPECT_FALSE(world.k().acq.alarms.alarmFlag());
    EXPECT_FALSE(memo->toPlainText().isEmpty());
    a.findChild<QPushButton*>("btnClearList")->click();
    EXPECT_TRUE(memo->toPlainText().isEmpty());
    EXPECT_EQ(world.k().status.panelText(StatusPanel::Info2), "");
}

TEST(SplashWindow, AlignmentHidesTheValueGaugeAndCountsCells) {
    TfrmSplashScreen s;
    EXPECT_EQ(s.windowTitle(), "Kelvora/USB Synchronize with Devices ...");
    s.task("Loading Kelvora stored Row Data...");
    EXPECT_TRUE(s.isVisible());
    EXPECT_EQ(s.findChild<QLabel*>("lblTask")->text(), "Loading Kelvora stored Row Data...");
    s.alignmentStarted(18);
    s.alignmentProgress(7);
    EXPECT_TRUE(s.findChild<QProgressBar*>("tgValues")->isHidden());
    EXPECT_EQ(s.findChild<QLabel*>("lblDevices")->text(), "Cells");
    EXPECT_EQ(s.findChild<QLabel*>("lblNrDevices")->text(), "18");
    EXPECT_EQ(s.findChild<QProgressBar*>("tgDevices")->maximum(), 18);
    EXPECT_EQ(s.findChild<QProgressBar*>("tgDevices")->value(), 7);
    EXPECT_FALSE(s.cancelRequested());
    s.findChild<QPushButton*>("btnCancel")->click();
    EXPECT_TRUE(s.cancelRequested());
    // Hidden at the end of the start-up, a later task text does not show it again.
    s.showSplash(false);
    s.task("Kelvora running");
    EXPECT_FALSE(s.isVisible());
}

TEST(SplashWindow, CallsFromAnotherThreadArriveOnTheWindowThread) {
    TfrmSplashScreen s;
    std::thread t([&] {
        s.devicesStarted(4);
        s.deviceProgress(3);
    });
    t.join();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return s.findChild<QProgressBar*>("tgDevices")->value() == 3; }, 5000));
    EXPECT_EQ(s.findChild<QLabel*>("lblNrDevices")->text(), "4");
}

TEST(MainWindowQuit, TheCloseRequestRunsTheQuitPathAndOnlyAnAcceptedOneEndsTheWindows) {
    UiWorld world(kvtest::iniText(2), kvtest::labText(2));
    TfrmMain w(world.ctx());
    std::atomic<int> asked{0};
    std::atomic<bool> accept{false};
    std::vector<QuitSource> sources;
    w.setQuitPath([&](QuitSource s) {
        sources.push_back(s);  // the operations thread; read after settle()
        ++asked;
        return accept.load();
    });
    bool ended = false;
    QObject::connect(&w, &TfrmMain::quitAccepted, [&] { ended = true; });
    w.show();
    w.resize(900, 500);
    w.close();
    ASSERT_TRUE(world.settle());
    QApplication::processEvents();
    EXPECT_EQ(asked.load(), 1);
    EXPECT_FALSE(ended);
    EXPECT_TRUE(w.isVisible());  // cancelled: the program goes on
    accept = true;
    w.sbQuitClick();
    ASSERT_TRUE(world.settle());
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 5000));
    ASSERT_EQ(sources.size(), 2u);
    EXPECT_EQ(sources[0], QuitSource::WindowClose);
    EXPECT_EQ(sources[1], QuitSource::Menu);
    const int width = w.width();
    w.closeForQuit();
    EXPECT_FALSE(w.isVisible());
    // The window's size and page are kept for the next run.
    EXPECT_EQ(world.k().ini.readInteger("frmMain", "Width", 0), width);
    EXPECT_EQ(world.k().ini.readInteger("frmMain", "Page", -1), 0);
}
