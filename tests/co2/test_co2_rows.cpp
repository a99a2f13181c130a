// A real measurement series with CO2 under the EC71 cycle, in virtual time: the virtual
// meter reads the lab's absorbers, the cycle stores conductivities in the cells, the row's
// update records them, and the row's CO2 follows what the lab's samples produced.

#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "acquisition/cell_state.h"
#include "co2_cycle_fixture.h"
#include "rows/rows.h"

using namespace kv;
using kvtest::Co2CycleTest;

namespace {

// The rows' LF_0 as the program keeps it: in the row and in its cell entries.
class RowsLF0 : public Co2RowAccess {
  public:
    TRows* rows = nullptr;
    double lastLF0(int rowNr) const override {
        auto lock = rows->lock();
        const auto row = rows->FindByUniqueNr(rowNr);
        return row ? row->last_LF_0 : -1.0;
    }
    void setLastLF0(int rowNr, double lf0) override {
        auto lock = rows->lock();
        if (const auto row = rows->FindByUniqueNr(rowNr)) row->last_LF_0 = lf0;
    }
    void setCellLF0(int rowNr, int cell, double lf0) override {
        auto lock = rows->lock();
        const auto row = rows->FindByUniqueNr(rowNr);
        if (!row) return;
        for (auto& rc : row->RowCells)
            if (rc.CellNr == cell) rc.cdm_LF_0 = lf0;
    }
};

class EC71Row : public Co2CycleTest {
  protected:
    ~EC71Row() override {
        if (ec71Cycle_) ec71Cycle_->stop();
        if (acq_) acq_->cells.setRowLookup(&rows_);
        trows_.reset();
    }

    // The rows over the fixture's cells and devices; a started CO2 row asks the cycle for a
    // new round at once, as the program's hook does.
    void buildRows() {
        RowsHooks hooks;
        hooks.forceCO2Cycle = [this] { ec71Cycle_->forceNewCycle(); };
        trows_ = std::make_unique<TRows>(RowsEnv{cfg_, nullptr, acq_->cells, *list_, acq_->io,
                                                 flags_.refs(), nullptr, nullptr, dir_.path(),
                                                 dir_.file("Kelvora.Row"), hooks});
        lf0_.rows = trows_.get();
        acq_->cells.setRowLookup(trows_.get());
    }

    // What the lab's absorber held when the cycle last stored a reading of the cell.
    struct Truth {
        double firstCO2 = -1, firstLF = -1;
        double co2 = -1;
        double ref = -1;
        int readings = 0;
    };
    void noteReadings() {
        for (int c : {1, 2}) {
            const TCell now = cell(c);
            Truth& t = truth_[c];
            if (now.cdm_LF_Ref == t.ref) continue;
            t.ref = now.cdm_LF_Ref;
            t.co2 = absorbers_->co2Mg(0, c);
            if (t.readings++ == 0) {
                t.firstCO2 = t.co2;
                t.firstLF = now.cdm_LF;
            }
        }
    }

    RowsLF0 lf0_;
    std::unique_ptr<TRows> trows_;
    std::map<int, Truth> truth_;
};

// Two cells of one CO2 row over an hour and a half. Every row value is the conductivity the
// cycle stored in the cell; once LF_0 is known the row's CO2 produced is the CO2 the
// lab's sample put into the absorber since the first reading, within 1 % + 0.01 mg (the
// meter's four decimals and the seconds between a reading and its storing).
TEST_F(EC71Row, RowRecordsConductivitiesAndItsCO2FollowsTheLab) {
    cfg_.DataRoot = dir_.file("Data");
    rowAccess_ = &lf0_;
    buildEC71();
    buildRows();

    const int nr = trows_->NewRow(0);
    const auto row = trows_->FindByUniqueNr(nr);
    ASSERT_TRUE(row);
    ASSERT_EQ(row->AddCell(1, "A", 250, 0, 0, NoValueReal, NoValueReal, NoValueReal), 1);
    ASSERT_EQ(row->AddCell(2, "B", 250, 0, 0, NoValueReal, NoValueReal, NoValueReal), 2);
    {
        auto lock = trows_->lock();
        row->Name = "CO2 row";
        row->withCO2 = true;
        row->LF2CO2 = kvtest::kLF2CO2;
        row->Interval = 10;
        row->SIInterval = kv::TimeUnit::Minutes;
        row->Duration = 1;
        row->SIDuration = kv::TimeUnit::Days;
    }
    ASSERT_TRUE(row->StartRow(true));
    for (int s = 1; s <= 2; ++s) row->StartCellInRow(s, 0);
    ASSERT_EQ(cell(1).State, CellState::cs_Running);
    ASSERT_EQ(cell(2).State, CellState::cs_Running);

    int updates = 0, withCO2 = 0;
    for (int n = 0; n < 5000 && updates < 10; ++n) {
        tick();
        noteReadings();
        TDateTime due;
        {
            auto lock = trows_->lock();
            due = row->NextCycle;
        }
        if (clock_.now() < due) continue;
        ASSERT_TRUE(row->Update(false));
        ++updates;
        const int i = row->iRTV;
        for (int s = 1; s <= 2; ++s) {
            const TCell c = cell(s);
            const Truth& t = truth_[s];
            if (c.cdm_LF > 0) {
                auto lock = trows_->lock();
                EXPECT_NEAR(row->RowCells[size_t(s)].Values.lf(i) * 1e-6, c.cdm_LF, 1e-6);
            }
            if (c.cdm_LF_0 < 0) {
                EXPECT_TRUE(isNoValue(row->CO2Produced(s, i))) << "no CO2 before LF_0";
                continue;
            }
            // LF_0 is the first reading: the absorbers only lose conductivity.
            EXPECT_NEAR(c.cdm_LF_0, t.firstLF, 1e-9);
            {
                auto lock = trows_->lock();
                EXPECT_DOUBLE_EQ(row->RowCells[size_t(s)].cdm_LF_0, c.cdm_LF_0);
            }
            const double expected = t.co2 - t.firstCO2;
            EXPECT_NEAR(row->CO2Produced(s, i), expected, 0.01 * expected + 0.01)
                << "cell " << s << " at value " << i;
            ++withCO2;
        }
    }
    EXPECT_EQ(updates, 10);
    EXPECT_GE(withCO2, 10) << "LF_0 after three cycles leaves most values with CO2";
    EXPECT_GE(truth_[1].readings, 8);
    // Enough CO2 for the comparison to mean something.
    EXPECT_GT(truth_[1].co2 - truth_[1].firstCO2, 0.5);
    {
        auto lock = trows_->lock();
        EXPECT_GE(row->last_LF_0, 0);
    }
    const std::string file = kvtest::readFile(row->DataFileName());
    EXPECT_NE(file.find("LF 1;LF 2"), std::string::npos);
    EXPECT_EQ(absorbers_->overlaps(), 0);
}

}  // namespace
