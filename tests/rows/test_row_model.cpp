// The row record, its cells and special cells, and the row and cell lifecycle.

#include <gtest/gtest.h>

#include <cmath>

#include "acquisition/cell_state.h"
#include "app/texts.h"
#include "rows_fixture.h"

namespace kvtest {
namespace {

using kv::kSecond;

class RowModelTest : public RowsFixture {
  protected:
    void SetUp() override { build(); }
};

TEST_F(RowModelTest, UniqueNrCellsAndCompaction) {
    const double now = clock_.now();
    const int expected = static_cast<int>(std::trunc((now - 40000) * 100000)) + 5;
    const int a = rows().NewRow(5);
    const int b = rows().NewRow(5);
    EXPECT_EQ(a, expected);
    // Same moment, same seed: the collection still keeps the numbers apart.
    EXPECT_EQ(b, expected + 1);

    auto r = rows().FindByUniqueNr(a);
    r->Name = "Sludge";
    EXPECT_EQ(r->AddCell(4, "A", 250, 0, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal), 1);
    EXPECT_EQ(r->AddCell(5, "B", 200, 0, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal), 2);
    EXPECT_EQ(r->AddCell(6, "C", 150, 0, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal), 3);
    EXPECT_EQ(cells().cell(5).RowNr, a);
    EXPECT_EQ(cells().cell(5).State, kv::CellState::cs_Assigned);
    EXPECT_DOUBLE_EQ(cells().cell(5).Volume, 200);

    {
        auto lock = rows().lock();
        r->AllocRTV();
        r->ensureEntry(2);
        r->iRTV = 2;
        for (int s = 1; s <= 3; ++s) r->RowCells[static_cast<size_t>(s)].Values.setCount(2, s * 10);
    }
    r->DeleteCell(1, true);
    EXPECT_EQ(r->NrCells, 2);
    EXPECT_EQ(r->RowCells[1].CellNr, 5);
    EXPECT_EQ(r->RowCells[2].CellNr, 6);
    EXPECT_EQ(r->RowCells[3].CellNr, 0);
    // The value arrays moved with their cells.
    EXPECT_EQ(r->RowCells[1].Values.count(2), 20);
    EXPECT_EQ(r->RowCells[2].Values.count(2), 30);
    EXPECT_EQ(cells().cell(4).RowNr, 0);
    EXPECT_DOUBLE_EQ(cells().cell(4).Volume, cfg_.DefVolume);
    EXPECT_EQ(r->FindCellSlot(6), 2);
    EXPECT_EQ(r->FindCellSlot(4), 0);
    r->DeleteCell(0, true);
    r->DeleteCell(121, true);
    EXPECT_EQ(r->NrCells, 2);

    // A template never touches the cell model; a full row takes no more cells.
    auto t = newRow("Template", {}, true);
    EXPECT_EQ(t->AddCell(9, "T", 1, 0, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal), 1);
    EXPECT_EQ(cells().cell(9).RowNr, 0);
    for (int c = 1; c <= 119; ++c)
        t->AddCell(c == 9 ? 120 : c, "x", 1, 0, 0, kv::NoValueReal, kv::NoValueReal,
                   kv::NoValueReal);
    EXPECT_EQ(t->NrCells, 120);
    EXPECT_EQ(t->AddCell(7, "y", 1, 0, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal), -1);
}

TEST_F(RowModelTest, CellsOfModeAndTheSpecialCellTable) {
    auto r = newRow("Degradation", {});
    r->AddCell(1, "c1", 250, 1, 0, 2.0, 50, 2.0);
    r->AddCell(2, "c2", 250, 1, 0, 3.0, 50, 2.0);
    r->AddCell(3, "c3", 250, 1, 0, 2.0, 50, 2.0);
    r->AddCell(4, "b", 250, 2, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal);
    EXPECT_EQ(r->CellsOfMode(1, -1), "1, 2, 3");
    EXPECT_EQ(r->CellsOfMode(1, 2.0), "1, 3");
    EXPECT_EQ(r->CellsOfMode(3, -1), "");

    const auto msgs = r->BuildSpecialCellTable();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0], "No cell for reference substance defined - check configuration !");
    EXPECT_EQ(r->SpecialCellMode, 1);
    ASSERT_EQ(r->NrSpecialCells, 3);
    EXPECT_DOUBLE_EQ(r->SpecialCells[1].value, 2.0);
    EXPECT_DOUBLE_EQ(r->SpecialCells[2].value, 3.0);
    EXPECT_DOUBLE_EQ(r->SpecialCells[3].value, kv::kReferenceIndex);

    // Without special cells the table is left as it was.
    auto plain = newRow("Plain", {7});
    plain->NrSpecialCells = 2;
    EXPECT_TRUE(plain->BuildSpecialCellTable().empty());
    EXPECT_EQ(plain->SpecialCellMode, 0);
    EXPECT_EQ(plain->NrSpecialCells, 2);
}

TEST_F(RowModelTest, StartAndStopWithAndWithoutCellControl) {
    cfg_.firstCell = 101;
    auto r = newRow("Lifecycle", {1, 2, 3});
    r->Tact = 30;
    r->Duration = 2;
    r->SIDuration = kv::TimeUnit::Hours;
    ASSERT_TRUE(r->StartRow(false));
    EXPECT_NEAR(r->Stop - r->Start, 2.0 / 24 + 60 * kSecond, 1e-9);
    EXPECT_NEAR(r->NextCycle - r->Start, 60 * kSecond, 1e-9);
    EXPECT_EQ(r->State, kv::RowState::Running);
    EXPECT_EQ(r->RTVSize, 2 + kv::kRTVSpare);
    EXPECT_TRUE(hasMessage("Started meas. series Lifecycle"));
    r->StartCellInRow(1, 0);
    r->StartCellInRow(2, 0);
    EXPECT_EQ(r->RowCells[1].State, kv::CellState::cs_Running);
    EXPECT_EQ(r->RowCells[1].CellTact, 30);
    EXPECT_EQ(cells().GetCellState(1), kv::CellState::cs_Running);
    r->SuspendCell(2, true, false);
    EXPECT_EQ(r->RowCells[2].State, kv::CellState::cs_SuspendedO2);
    EXPECT_TRUE(hasMessage("Row Lifecycle: Cell 102 suspended !"));

    // The user's stop ends in 7 even with cell control.
    r->ContinueCellControl = true;
    EXPECT_TRUE(r->StopRow("btnStartStopRowClick"));
    EXPECT_EQ(r->State, kv::RowState::Stopped);
    EXPECT_FALSE(r->bActive);
    EXPECT_EQ(r->RowCells[1].State, kv::CellState::cs_Stopped);
    EXPECT_EQ(r->RowCells[3].State, kv::CellState::cs_Stopped);
    EXPECT_EQ(cells().cell(1).RowNr, 0);
    EXPECT_TRUE(hasMessage("Stopped meas. series Lifecycle, Reason: btnStartStopRowClick"));

    // The stop time passing with cell control: 8, running cells control only.
    auto c = newRow("Control", {4, 5});
    c->ContinueCellControl = true;
    c->StartRow(false);
    c->StartCellInRow(1, 0);
    c->StartCellInRow(2, 0);
    c->SuspendCell(2, true, false);
    EXPECT_TRUE(c->StopRow("TRow.Update/Now>=Stop (x/y)"));
    EXPECT_EQ(c->State, kv::RowState::StoppedControl);
    EXPECT_EQ(c->RowCells[1].State, kv::CellState::cs_ControlOnly);
    EXPECT_EQ(c->RowCells[2].State, kv::CellState::cs_SuspendedO2);
    EXPECT_EQ(cells().GetCellState(4), kv::CellState::cs_ControlOnly);
    EXPECT_TRUE(hasMessage("... Cell Control is continued"));
    // The definitions were saved with the stop.
    EXPECT_NE(readFile(rowFile()).find("Name=Control"), std::string::npos);
}

TEST_F(RowModelTest, RefusalsCancelAndContinue) {
    auto r = newRow("Cancel", {1, 2});
    r->StartRow(false);
    r->StartCellInRow(1, 0);
    r->StartCellInRow(2, 0);

    int disabling = 1;
    rows().env().hooks.disEnableCurrentDeviceState = [&disabling] { return disabling; };
    const size_t before = messages().size();
    EXPECT_FALSE(r->StopRow("btnStartStopRowClick"));
    EXPECT_EQ(r->State, kv::RowState::Running);
    EXPECT_EQ(messages().size(), before);
    disabling = 0;

    // Wrong states do nothing.
    r->UnSuspendCell(1, true, true);
    EXPECT_EQ(r->RowCells[1].State, kv::CellState::cs_Running);
    r->SuspendCell(1, true, true);  // without CO2: O2 only
    EXPECT_EQ(r->RowCells[1].State, kv::CellState::cs_SuspendedO2);
    r->UnSuspendCell(1, false, false);  // without CO2: both continue
    EXPECT_EQ(r->RowCells[1].State, kv::CellState::cs_Running);
    EXPECT_TRUE(hasMessage("Row Cancel: Cell 1 continued !"));

    r->CancelCell(1, true);
    EXPECT_EQ(r->RowCells[1].State, kv::CellState::cs_Cancelled);
    EXPECT_EQ(r->State, kv::RowState::Running);
    EXPECT_TRUE(hasMessage("Row Cancel: Cell 1 stopped !"));
    r->CancelCell(2, false);
    EXPECT_EQ(r->State, kv::RowState::Stopped);
    EXPECT_TRUE(hasMessage("Reason: TRow.CancelCell/n=0"));
    // A cancelled cell is left alone by the stop.
    EXPECT_EQ(r->RowCells[1].State, kv::CellState::cs_Cancelled);

    // With CO2 the suffix names what is suspended.
    auto co2 = newRow("CO2", {3});
    co2->withCO2 = true;
    co2->StartRow(false);
    co2->StartCellInRow(1, 0);
    co2->SuspendCell(1, false, true);
    EXPECT_EQ(co2->RowCells[1].State, kv::CellState::cs_SuspendedCO2);
    EXPECT_TRUE(hasMessage("Row CO2: Cell 3 (CO2) suspended !"));
    EXPECT_DOUBLE_EQ(co2->YValues[7], cfg_.CO2_Y.max);
}

TEST_F(RowModelTest, StartDialogActions) {
    auto r = newRow("Dialog", {1, 2, 3});
    EXPECT_FALSE(r->StartDialogStartCell(2, true));
    EXPECT_EQ(r->State, kv::RowState::Running);
    EXPECT_TRUE(r->bCountAfterAllCellsStarted);
    EXPECT_EQ(r->RowCells[2].State, kv::CellState::cs_Running);
    EXPECT_EQ(r->RowCells[1].State, kv::CellState::cs_Assigned);
    EXPECT_FALSE(r->bAllCellsStarted);
    const double start = r->Start;
    advanceSeconds(30);
    EXPECT_FALSE(r->StartDialogStartCell(1, true));
    EXPECT_DOUBLE_EQ(r->Start, start);  // the row had a running cell: not started again
    EXPECT_TRUE(r->StartDialogStartCell(3, true));
    EXPECT_TRUE(r->bAllCellsStarted);

    auto all = newRow("All", {4, 5});
    advanceSeconds(5);
    EXPECT_TRUE(all->StartDialogStartAll(true));
    EXPECT_TRUE(all->bAllCellsStarted);
    EXPECT_EQ(all->RowCells[1].StartTime, all->RowCells[2].StartTime);
    EXPECT_EQ(cells().cell(4).StartTime, all->RowCells[1].StartTime);
    EXPECT_NE(readFile(rowFile()).find("Name=All"), std::string::npos);
    auto empty = newRow("Empty", {});
    EXPECT_FALSE(empty->StartDialogStartAll(false));
    EXPECT_EQ(empty->State, kv::RowState::Defined);
}

TEST_F(RowModelTest, ACellAddedToARunningRowHasAValueForEveryTimeValue) {
    auto r = newRow("Late cell", {1});
    r->Interval = 1;
    r->SIInterval = kv::TimeUnit::Hours;
    ASSERT_TRUE(r->StartRow(false));
    r->StartCellInRow(1, 0);
    cells().SetCellCount(1, 6);
    for (int h = 0; h < 3; ++h) {
        advanceSeconds(3600);
        ASSERT_TRUE(r->Update(false));
    }
    ASSERT_EQ(r->iRTV, 3);
    ASSERT_EQ(r->AddCell(2, "late", 250, 0, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal),
              2);
    // No value for the time before it came; the line, the export and the value functions
    // read it like any other.
    EXPECT_EQ(r->RowCells[2].Values.size(), static_cast<int>(r->RTV.size()));
    EXPECT_EQ(r->RowCells[2].Values.count(3), kv::NoValueInt);
    EXPECT_EQ(r->DataLine(3, false), kv::dateTimeToText(r->RTV[3].dt) + ";6;;");
    EXPECT_TRUE(kv::isNoValue(r->BOD(2, 3)));
    EXPECT_EQ(rows().ExportRow(*r, dir_.file("late.krw")), 3);
    r->StartCellInRow(2, 0);
    cells().SetCellCount(2, 4);
    advanceSeconds(3600);
    ASSERT_TRUE(r->Update(false));
    EXPECT_EQ(r->RowCells[2].Values.count(4), 4);

    // Outside its values an array reads as no value and ignores writes.
    kv::CellValues v;
    v.setCount(5, 1);
    v.addCount(-1, 1);
    v.setLf(5, 3);
    v.setTlf(5, 1.5);
    EXPECT_EQ(v.size(), 0);
    EXPECT_EQ(v.count(5), kv::NoValueInt);
    EXPECT_EQ(v.lf(5), -1);
    EXPECT_DOUBLE_EQ(v.tlf(-1), 0.0);
    v.resize(2);
    v.setLf(1, 700);
    EXPECT_EQ(v.lf(1), 700);
    EXPECT_EQ(v.lf(2), -1);
    EXPECT_EQ(v.count(2), kv::NoValueInt);
}

// Lets the cell model's row lookup delete a cell of the row while a cell operation has let
// go of the rows lock (as the window thread may do meanwhile).
struct DeletingLookup : kv::RowLookup {
    kv::TRows* rows = nullptr;
    std::shared_ptr<kv::TRow> row;
    mutable int deleteSlot = 0;
    std::optional<kv::RowInfo> findRow(int nr) const override {
        if (deleteSlot > 0) {
            const int s = deleteSlot;
            deleteSlot = 0;
            row->DeleteCell(s, true);
        }
        return rows->findRow(nr);
    }
    void suspendCellForAlarm(int nr, int cell) override { rows->suspendCellForAlarm(nr, cell); }
};

TEST_F(RowModelTest, SuspendAndContinueFindTheirCellAgainAfterTheWait) {
    auto r = newRow("Moving", {1, 2, 3});
    ASSERT_TRUE(r->StartDialogStartAll(false));
    DeletingLookup lookup;
    lookup.rows = &rows();
    lookup.row = r;
    cells().setRowLookup(&lookup);

    lookup.deleteSlot = 1;
    r->SuspendCell(3, true, false);
    ASSERT_EQ(r->NrCells, 2);
    EXPECT_EQ(r->RowCells[2].CellNr, 3);
    EXPECT_EQ(r->RowCells[2].State, kv::CellState::cs_SuspendedO2);
    EXPECT_EQ(r->RowCells[3].CellNr, 0);
    EXPECT_EQ(r->RowCells[3].State, kv::CellState::cs_Free);
    EXPECT_TRUE(hasMessage("Row Moving: Cell 3 suspended !"));

    lookup.deleteSlot = 1;
    r->UnSuspendCell(2, true, false);
    ASSERT_EQ(r->NrCells, 1);
    EXPECT_EQ(r->RowCells[1].CellNr, 3);
    EXPECT_EQ(r->RowCells[1].State, kv::CellState::cs_Running);
    EXPECT_EQ(r->RowCells[2].State, kv::CellState::cs_Free);
    EXPECT_EQ(cells().GetCellState(3), kv::CellState::cs_Running);
    cells().setRowLookup(rows_.get());
}

}  // namespace
}  // namespace kvtest

namespace kvtest {
namespace {

struct CellNameTexts {
    explicit CellNameTexts(const char* content) { kv::languageTexts().loadFromText(content); }
    ~CellNameTexts() { kv::languageTexts().clear(); }
};

TEST(NewCellName, PutsTheNumberInPlaceOfHashesOrOfPercentS) {
    {
        CellNameTexts none("");
        EXPECT_EQ(kv::NewCellName(false, 7), "Cell 7");
        EXPECT_EQ(kv::NewCellName(true, 125), "Cell 125");
    }
    {
        // A language text with "%s" works as before; one with neither keeps its text.
        CellNameTexts texts(
            "uRowForm\\NewCellName:=Zelle %s\n"
            "uRowForm\\NewCellName_Template:=Vorlage\n");
        EXPECT_EQ(kv::NewCellName(false, 3), "Zelle 3");
        EXPECT_EQ(kv::NewCellName(true, 3), "Vorlage");
    }
    {
        CellNameTexts texts("uRowForm\\NewCellName:=Flasche ## (##)\n");
        EXPECT_EQ(kv::NewCellName(false, 12), "Flasche 12 (##)");
    }
}

}  // namespace
}  // namespace kvtest
