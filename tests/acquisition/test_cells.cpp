// The cell model: state machine with its device commands, texts, the CO2 jump filter,
// derived values and the periodic repair of the devices' cell configuration.

#include <atomic>

#include "acquisition/acq_fixture.h"
#include "app/texts.h"

namespace kvtest {
namespace {

using kv::TCells;

// Configuration commands only (requests and read-backs start with a capital letter).
std::vector<std::string> configCommands(const ScriptedDevice& d) {
    std::vector<std::string> r;
    for (const auto& c : d.commands())
        if (!c.empty() && c[0] >= 'a' && c[0] <= 'z') r.push_back(c);
    return r;
}

class CellsTest : public AcqTest {
  protected:
    void SetUp() override {
        dev_ = scripted("KLV0001");
        dev_->setValue("S", "0");
        build({dev_}, {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6)});
        rows_.set(7, runningRow("Row A", 30));
        dev_->clearCommands();
    }
    std::shared_ptr<ScriptedDevice> dev_;
};

TEST_F(CellsTest, StateMachineAndDeviceCommands) {
    // Beyond the configured count a cell is not available and cannot be started.
    EXPECT_EQ(cells().GetCellState(12), kv::CellState::cs_Free);
    EXPECT_EQ(cells().GetCellState(13), kv::CellState::cs_NotAvailable);
    cells().MapCellToRow(13, 7);
    startCell(13, 7);
    EXPECT_EQ(cells().GetCellState(13), kv::CellState::cs_Assigned);

    startCell(1, 7);
    EXPECT_EQ(cells().GetCellState(1), kv::CellState::cs_Running);
    EXPECT_EQ(status_.panelText(kv::StatusPanel::StatusLine), "Starting cell 1");
    // Tact, then activation (tact again, a=1, b=0), then store.
    EXPECT_EQ(configCommands(*dev_), (std::vector<std::string>{"t1=10#", "h1=1#", "t1=10#", "h1=1#",
                                                               "a1=1#", "b1=0#", "z#"}));
    // A second start of a running cell changes nothing.
    cells().SetCellCount(1, 17);
    cells().StartCell(1, 0, 0, 0, 0, 0, 0, 0, 250);
    EXPECT_EQ(cells().GetCellCount(1), 17);

    dev_->clearCommands();
    EXPECT_EQ(cells().SuspendCell(1, true, false), kv::CellState::cs_SuspendedO2);
    EXPECT_EQ(configCommands(*dev_), (std::vector<std::string>{"a1=0#", "t1=0#", "c1=0#", "z#"}));
    // The flags name what continues, as if both were suspended.
    EXPECT_EQ(cells().UnsuspendCell(1, true, false), kv::CellState::cs_SuspendedCO2);
    EXPECT_EQ(cells().UnsuspendCell(1, true, true), kv::CellState::cs_Running);
    EXPECT_EQ(cells().SuspendCell(1, true, true), kv::CellState::cs_Suspended);
    EXPECT_EQ(cells().UnsuspendCell(1, false, false), kv::CellState::cs_Suspended);
    cells().StopCell(1, kv::CellState::cs_Suspended, kv::RowState::StoppedControl);
    EXPECT_EQ(cells().GetCellState(1), kv::CellState::cs_Suspended);
    EXPECT_EQ(cells().UnsuspendCell(1, true, true), kv::CellState::cs_Running);

    // Row stopped with cell control: mapping and counters stay.
    cells().StopCell(1, kv::CellState::cs_Running, kv::RowState::StoppedControl);
    EXPECT_EQ(cells().GetCellState(1), kv::CellState::cs_ControlOnly);
    EXPECT_EQ(cells().cell(1).RowNr, 7);
    EXPECT_EQ(cells().GetCellCount(1), 17);

    // A cancelled cell is released without a device command.
    dev_->clearCommands();
    cells().StopCell(1, kv::CellState::cs_Cancelled, kv::RowState::Stopped);
    EXPECT_EQ(cells().GetCellState(1), kv::CellState::cs_Free);
    EXPECT_EQ(cells().cell(1).RowNr, 0);
    EXPECT_EQ(cells().GetCellCount(1), 0);
    EXPECT_TRUE(configCommands(*dev_).empty());

    // A stopped one is deactivated and stored.
    startCell(2, 7);
    dev_->clearCommands();
    cells().StopCell(2, kv::CellState::cs_Stopped, kv::RowState::Stopped);
    EXPECT_EQ(configCommands(*dev_), (std::vector<std::string>{"a2=0#", "t2=0#", "c2=0#", "z#"}));

    // Operations on a cell in the wrong state or without a row change nothing.
    EXPECT_EQ(cells().SuspendCell(3, true, true), kv::CellState::cs_Free);
    EXPECT_EQ(cells().UnsuspendCell(3, true, true), kv::CellState::cs_Free);
    cells().MapCellToRow(3, 8);  // row 8 does not exist
    startCell(3, 8);
    EXPECT_EQ(cells().GetCellState(3), kv::CellState::cs_Assigned);
    EXPECT_EQ(status_.panelText(kv::StatusPanel::StatusLine), "Starting cell 3");

    cells().ClearCell(3);
    const kv::TCell c = cells().cell(3);
    EXPECT_EQ(c.State, kv::CellState::cs_Free);
    EXPECT_EQ(c.RowNr, 0);
    EXPECT_EQ(c.Volume, 250);
    // Out-of-range numbers are ignored.
    cells().StartCell(0, 0, 0, 0, 0, 0, 0, 0, 0);
    cells().CountImpulse(121);
    EXPECT_EQ(cells().GetCellState(500), kv::CellState::cs_Free);
}

// While a cell's sequence runs the acquisition stays away from the devices: the flag is set
// for every command of it and clear afterwards, also when sequences nest (repair calls
// tact, activation and store one after the other).
TEST_F(CellsTest, CellSequencesHoldTheConfigFlag) {
    std::vector<std::pair<std::string, bool>> seen;
    dev_->setOnCommand(
        [&](const std::string& cmd) { seen.emplace_back(cmd, flags_.configCmdInProgress.load()); });
    startCell(1, 7);
    cells().SuspendCell(1, true, false);
    dev_->setValue("A", "0");
    dev_->setValue("T", "0;0;0;0;0;0");
    cells().UnsuspendCell(1, true, true);
    cells().set_ActiveAndTact(1);
    dev_->setOnCommand(nullptr);
    ASSERT_GT(seen.size(), 20u);
    for (const auto& [cmd, flag] : seen) {
        if (cmd[0] >= 'a' && cmd[0] <= 'z') {
            EXPECT_TRUE(flag) << cmd;
        }
    }
    EXPECT_FALSE(flags_.configCmdInProgress.load());
    // A cell that no present device holds gets nothing.
    dev_->clearCommands();
    cells().ActivateCell(7);
    cells().DeactivateCell(40);
    EXPECT_TRUE(dev_->commands().empty());
    EXPECT_FALSE(flags_.configCmdInProgress.load());
}

TEST_F(CellsTest, StartupAlignment) {
    cfg_.Cells = 8;
    startCell(1, 7);
    dev_->clearCommands();
    for (int n = 1; n <= 8; ++n) cells().AlignCell(n);
    const auto cmds = configCommands(*dev_);
    ASSERT_GE(cmds.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(cmds.begin(), cmds.begin() + 6),
              (std::vector<std::string>{"t1=10#", "h1=1#", "t1=10#", "h1=1#", "a1=1#", "b1=0#"}));
    EXPECT_EQ(dev_->count("a2=0#"), 1);
    EXPECT_EQ(dev_->count("c6=0#"), 1);
    EXPECT_EQ(cmds.back(), "z#");  // after cell 6; cells 7 and 8 have no device
    EXPECT_EQ(dev_->count("z#"), 1);
}

// All devices at once, each device's cells in order with its store command after the sixth;
// with 20 cells the last device's two cells get none.
TEST_F(AcqTest, StartupAlignmentOfAllDevicesAtOnce) {
    cfg_.Cells = 20;
    std::vector<std::shared_ptr<ScriptedDevice>> devs;
    std::vector<std::shared_ptr<kv::sim::SimPort>> ports;
    std::vector<kv::UsbDeviceSettings> settings;
    for (int d = 0; d < 4; ++d) {
        const std::string serial = "KLV002" + std::to_string(d);
        devs.push_back(scripted(serial));
        devs.back()->setValue("S", "0");
        ports.push_back(devs.back());
        settings.push_back(deviceSettings(serial, kv::DeviceType::Data, 6 * d + 1, 6 * d + 6));
    }
    build(ports, settings);
    rows_.set(7, runningRow("Row A", 30));
    startCell(8, 7);
    for (auto& d : devs) d->clearCommands();
    std::atomic<int> done{0};
    cells().AlignCells(20, true, &done);
    EXPECT_EQ(done.load(), 20);
    for (int d = 0; d < 4; ++d) {
        const auto cmds = configCommands(*devs[static_cast<size_t>(d)]);
        const int cellsOfDevice = d < 3 ? 6 : 2;
        // Every cell of the device, in order: the active one its tact and activation, the
        // others their deactivation.
        std::vector<std::string> expected;
        for (int k = 1; k <= cellsOfDevice; ++k) {
            const std::string p = std::to_string(k);
            if (d == 1 && k == 2)
                expected.insert(expected.end(),
                                {"t" + p + "=10#", "h" + p + "=1#", "t" + p + "=10#",
                                 "h" + p + "=1#", "a" + p + "=1#", "b" + p + "=0#"});
            else
                expected.insert(expected.end(),
                                {"a" + p + "=0#", "t" + p + "=0#", "c" + p + "=0#"});
        }
        if (d < 3) expected.push_back("z#");
        EXPECT_EQ(cmds, expected) << "device " << d;
    }
}

TEST_F(CellsTest, NumbersAndTexts) {
    EXPECT_EQ(TCells::StateText(kv::CellState::cs_Running), "Cell running  (Running)");
    EXPECT_EQ(TCells::StateText(kv::CellState{8}), "<<< invalid state >>>");
    EXPECT_EQ(TCells::StateText(kv::CellState{12}), "<<< invalid state >>>");
    kv::languageTexts().loadFromText(
        "uCells\\4:=Laeuft|Zelle laeuft\nuCells\\12:=ungueltig\nuCells\\m1:=AT4|x");
    EXPECT_EQ(TCells::StateText(kv::CellState::cs_Running), "Zelle laeuft  (Laeuft)");
    EXPECT_EQ(TCells::StateShortName(kv::CellState::cs_Running), "Laeuft");
    EXPECT_EQ(TCells::StateText(kv::CellState{0}), "ungueltig");
    cells().SetCellMethod(2, 1, 1.5, 0.25, kv::NoValueReal);
    EXPECT_EQ(cells().MethodParamText(2), "AT4, Index=1.5, P(TC)=0.25, BTH1=");
    kv::languageTexts().clear();

    // firstCell shifts every shown number; positions on the device stay 1..6.
    cfg_.firstCell = 101;
    kv::dbg().cells = true;
    startCell(1, 7);
    cells().SuspendCell(1, true, true);
    EXPECT_NE(log().find("Start of cell 101, mapped to row Row A"), std::string::npos);
    EXPECT_NE(log().find("Suspend of cell 101, mapped to row Row A"), std::string::npos);
    EXPECT_EQ(dev_->count("a1=1#"), 1);

    cells().SetCellLabel(4, std::string(100, 'x'), 300, 5);
    EXPECT_EQ(cells().cell(4).Name.size(), 80u);
}

TEST_F(CellsTest, SetCellCO2FiltersUpwardJumps) {
    auto raw = [&] { return cells().cell(1).aiCO2; };
    cells().SetCellCO2(1, 500);
    EXPECT_EQ(raw(), 500);
    cells().SetCellCO2(1, 510);  // p = 0.02 > CO2_upIgnore: held at 500
    EXPECT_EQ(raw(), 500);
    cells().SetCellCO2(1, 490);  // downward changes are always taken
    EXPECT_EQ(raw(), 490);
    cells().SetCellCO2(1, -1);  // an invalid reading clears the reference
    EXPECT_EQ(raw(), -1);
    EXPECT_EQ(cells().cell(1).aiCO2_last, -1);
    cells().SetCellCO2(1, 700);  // taken unfiltered after an invalid one
    EXPECT_EQ(raw(), 700);
    cells().SetCellCO2(1, 2.5);  // halves round to even
    EXPECT_EQ(raw(), 2);
    const kv::TCell c = cells().cell(1);
    EXPECT_EQ(c.CO2Count, 5);  // -1 is not summed
    EXPECT_DOUBLE_EQ(c.CO2Sum, 500 + 500 + 490 + 700 + 2.5);

    cells().update(2, [](kv::TCell& x) { x.aiCO2 = 0; });
    cells().SetCellCO2(2, 0.5);  // from 0 the jump is absolute: 0.5 > 0.00001
    EXPECT_EQ(cells().cell(2).aiCO2, 0);
    cells().SetCellCO2(3, std::nan(""));
    EXPECT_EQ(cells().cell(3).aiCO2, -1);

    cfg_.CDM_Present = true;  // a conductivity meter supplies CO2 instead
    cells().SetCellCO2(4, 300);
    EXPECT_EQ(cells().cell(4).aiCO2, -1);
}

TEST_F(CellsTest, DerivedValues) {
    startCell(1, 7);
    cells().SetCellCount(1, 40);
    cells().update(1, [](kv::TCell& c) { c.Weight = 50; });
    EXPECT_DOUBLE_EQ(cells().O2Amount(1), 10.0);  // 40 x 0.25 mg at 30 s tact
    EXPECT_DOUBLE_EQ(cells().O2Concentration(1), 40.0);
    EXPECT_DOUBLE_EQ(cells().O2PerDryMatter(1), (10.0 / 250) / 0.5);
    rows_.set(7, runningRow("Row A", 3));
    EXPECT_DOUBLE_EQ(cells().O2Amount(1), 1.0);
    rows_.erase(7);
    EXPECT_TRUE(kv::isNoValue(cells().O2Amount(1)));

    cells().SetCellCount(2, 8);
    EXPECT_DOUBLE_EQ(cells().O2Amount(2), 2.0);  // no row: 0.25 mg per impulse
    EXPECT_TRUE(kv::isNoValue(cells().O2Concentration(2)));

    EXPECT_DOUBLE_EQ(cells().Conductivity(2, 511.5), 50.0);
    EXPECT_TRUE(kv::isNoValue(cells().Conductivity(2, 10)));  // below CO2_minADC
    EXPECT_TRUE(kv::isNoValue(cells().Conductivity(2, 1024)));
    cells().update(2, [](kv::TCell& c) { c.maxADC = c.minADC; });
    EXPECT_TRUE(kv::isNoValue(cells().Conductivity(2, 500)));

    kv::RowInfo co2Row = runningRow("Row B", 30);
    co2Row.lf2co2 = 2.0;
    rows_.set(9, co2Row);
    startCell(3, 9);
    cells().update(3, [](kv::TCell& c) {
        c.aiCO2_start = 800;
        c.aiCO2 = 600;
    });
    EXPECT_NEAR(cells().CO2Produced(3), 200 * 100.0 / 1023 * 2.0, 1e-9);
    cells().update(3, [](kv::TCell& c) { c.aiCO2 = 900; });
    EXPECT_EQ(cells().CO2Produced(3), 0);  // never negative
    EXPECT_TRUE(kv::isNoValue(cells().CO2FromConductivity(3, -1)));
}

TEST_F(CellsTest, SetActiveAndTactRepairsDifferences) {
    rows_.set(8, runningRow("Row B", 30));
    startCell(1, 7);
    startCell(2, 7);
    startCell(4, 8);
    // Device: cells 1-3 active; tacts 10, 30 (row wants 10), 0, 0, 0, 5.
    dev_->setValue("A", "14");
    dev_->setValue("T", "10;30;0;0;0;5");
    dev_->clearCommands();
    cells().set_ActiveAndTact(1);
    const std::string l = log();
    const std::string cat = "set_ActiveAndTact";
    EXPECT_EQ(l.find("Setting Cell-1 "), std::string::npos);
    EXPECT_NE(l.find("Setting Cell-2 to Active; Cause= running Row: diff. Tact - 30;"),
              std::string::npos);
    EXPECT_NE(l.find("Setting Cell-3 to Inactive; Cause= State <> cs_Running: active in Device;"),
              std::string::npos);
    EXPECT_NE(l.find("Setting Cell-4 to Active; Cause= State = cs_Running: not active in Device; "
                     "State = cs_Running: with Tact<=0; running Row: diff. Tact - 0;"),
              std::string::npos);
    EXPECT_NE(l.find("Setting Cell-6 to Inactive; Cause= State <> cs_Running: with Tact>0;"),
              std::string::npos);
    EXPECT_NE(l.find("sActive=[111000]; sTact=[10;30;0;0;0;5]"), std::string::npos);
    EXPECT_NE(l.find("calling USB_StoreConfig(cell=6); Device=Cell 1-6"), std::string::npos);
    EXPECT_EQ(dev_->count("a2=1#"), 1);
    EXPECT_EQ(dev_->count("a3=0#"), 1);
    EXPECT_EQ(dev_->count("z#"), 1);

    // A device that answers neither request: every active cell is activated again.
    dev_->setSilent(true);
    cells().set_ActiveAndTact(1);
    EXPECT_NE(log().find("sActive=[------]; sTact=[------]"), std::string::npos);
    EXPECT_NE(log().find("Setting Cell-1 to Active; Cause= State = cs_Running: not active in "
                         "Device; State = cs_Running: with Tact<=0;"),
              std::string::npos);
}

TEST_F(CellsTest, OldFirmwareTactListFromValueRecord) {
    auto old = scripted("KLV0009", "KLV/USB V1.3.1");
    old->setValue("S", "0");
    old->setValue("A", "2");
    old->setRecord("cv=1;0;0;2;0;1;1;1;1;1;1;0;1;1;1;1;1;1#;T;7;0;0;0;0;0;nCC;\r\n");
    build({old}, {deviceSettings("KLV0009", kv::DeviceType::Data, 1, 6)});
    rows_.set(7, runningRow("Row A", 30));
    startCell(1, 7);
    // The attrition divider is not sent to firmware below V1.3.2.
    EXPECT_EQ(old->count("t1=10#"), 2);
    EXPECT_EQ(old->count("h1=1#"), 0);
    old->clearCommands();
    cells().set_ActiveAndTact(1);
    EXPECT_NE(log().find("sActive=[100000]; sTact=[7;0;0;0;0;0]"), std::string::npos);
    EXPECT_NE(log().find("Setting Cell-1 to Active; Cause= running Row: diff. Tact - 7;"),
              std::string::npos);
    EXPECT_EQ(old->count("T#"), 0);
}

}  // namespace
}  // namespace kvtest
