// The acquisition tick against scripted value records: tact handling, manometer and
// wait-for-zero bookkeeping, counting rules, bad answers, case temperatures and CO2 values.

#include <random>

#include "acquisition/acq_fixture.h"
#include "acquisition/value_record.h"
#include "common/numtext.h"
#include "common/strutil.h"

namespace kvtest {
namespace {

using Rec = ScriptedDevice;

class CycleTest : public AcqTest {
  protected:
    void SetUp() override {
        dev_ = scripted("KLV0001");
        dev_->setValue("S", "0");
        build({dev_}, {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6)});
        rows_.set(7, runningRow("Row A", 3));
    }
    void tickWith(const std::string& record) {
        dev_->setRecord(record);
        tick();
    }
    int count(int i) { return cells().GetCellCount(i); }
    std::shared_ptr<ScriptedDevice> dev_;
};

TEST_F(CycleTest, EachTactIsHandledOnce) {
    startCell(1, 7);
    startCell(2, 7);
    tickWith(Rec::record(41, 0b000101));  // cells 1 and 3; cell 3 is not running
    EXPECT_EQ(count(1), 1);
    EXPECT_EQ(count(3), 0);
    EXPECT_EQ(device(1).lastTactNr, 41);
    EXPECT_EQ(dev_->count("o#"), 1);
    const kv::TCell c = cells().cell(1);
    EXPECT_EQ(c.O2ImpTotal, 1);
    EXPECT_EQ(c.O2TankUsed, 1);
    EXPECT_EQ(c.ManometerValue, 200);
    EXPECT_EQ(c.ADCValue, 512);

    tickWith(Rec::record(41, 0b000101));  // same tact again: nothing changes
    EXPECT_EQ(count(1), 1);

    tickWith(Rec::record(44, 0b000011));  // 42 and 43 were missed
    EXPECT_EQ(count(1), 2);
    EXPECT_EQ(count(2), 1);
    EXPECT_NE(log().find("Tact#(currDev)/(lastPC)=44/41   --> missed a beat"), std::string::npos);
    EXPECT_EQ(countIn(log(), "=44/41   --> missed a beat"), 1);

    // A device that restarted counts from 0 again: a new tact, not a handled one.
    tickWith(Rec::record(1, 0b000001));
    EXPECT_EQ(count(1), 3);

    // Suspended cells keep their manometer fields but count nothing.
    cells().SuspendCell(1, true, false);
    tickWith(Rec::record(2, 0b000001, 7, 0b000001));
    EXPECT_EQ(count(1), 3);
    EXPECT_EQ(cells().cell(1).ManometerValue, 7);
    EXPECT_TRUE(cells().cell(1).OutOfRange);
    EXPECT_EQ(cells().cell(1).ClosedCount, 0);
}

// The record is answered after the tick began; the tacts it can hold are counted up to its
// answer. (A device slow to answer, or an accelerated clock, makes the difference.)
TEST_F(CycleTest, MissedTactsAreJudgedAtTheTimeOfTheAnswer) {
    startCell(1, 7);
    tickWith(Rec::record(41, 0));
    ASSERT_EQ(device(1).lastTactNr, 41);
    dev_->clearCommands();
    // Ten missed tacts that dose cell 1, then the record's own (nothing).
    dev_->setValue("O", std::string(10, '\x81') + "\x80");
    bool delayed = false;
    dev_->setOnCommand([&](const std::string& cmd) {
        if (cmd == "V1#" && !delayed) {
            delayed = true;
            advanceSec(30);  // the answer comes 30 s after the tick began
        }
    });
    advanceSec(3);
    tickWith(Rec::record(52, 0, 200, 0, 11));
    dev_->setOnCommand({});
    EXPECT_TRUE(delayed);
    EXPECT_EQ(count(1), 10);
    EXPECT_EQ(log().find("can have passed: not read"), std::string::npos);
}

// Tacts the ticks missed are read from the device's queue before the record is
// acknowledged: the record's fifth field is the queue length, its own tact the newest entry.
TEST_F(CycleTest, MissedTactsComeFromTheQueue) {
    for (int i = 1; i <= 5; ++i) startCell(i, 7);
    tickWith(Rec::record(41, 0));
    dev_->clearCommands();
    // The queue: a leftover of tact 41 (acknowledged once, must not count), the missed 42, 43
    // and 44, and the record's own 45; each tact doses a different cell.
    dev_->setValue("O", "\x81\x82\x84\x88\x90");
    advanceSec(10);
    tickWith(Rec::record(45, 0b10000, 200, 0, 5));
    EXPECT_EQ(count(1), 0);
    for (int i = 2; i <= 5; ++i) EXPECT_EQ(count(i), 1) << "cell " << i;
    EXPECT_EQ(cells().cell(3).O2TankUsed, 1);
    // The block's acknowledgement is the record's too: a second o# would hand the block back.
    EXPECT_EQ(dev_->count("O#"), 1);
    EXPECT_EQ(dev_->count("o#"), 1);
    EXPECT_NE(log().find("3 missed tact(s) read from the queue"), std::string::npos);

    // A queue longer than the time since the last tact allows is not what it seems.
    dev_->clearCommands();
    dev_->setValue("O", std::string(30, '\x81'));
    tickWith(Rec::record(75, 0b00, 200, 0, 31));
    EXPECT_EQ(count(1), 0);
    EXPECT_EQ(dev_->count("O#"), 0);
    EXPECT_EQ(dev_->count("o#"), 1);
    EXPECT_NE(log().find("29 missed tact(s), but only 1 can have passed: not read"),
              std::string::npos);

    // A short block is neither counted nor acknowledged, and neither is the record: the
    // next tick reads them again.
    dev_->clearCommands();
    dev_->setValue("O", "\x81");
    advanceSec(10);
    tickWith(Rec::record(78, 0b01, 200, 0, 3));
    EXPECT_EQ(count(1), 0);
    EXPECT_EQ(dev_->count("o#"), 0);
    EXPECT_EQ(device(1).lastTactNr, 75);
    EXPECT_NE(log().find("expected 3: read again at the next tick"), std::string::npos);
    dev_->setValue("O", "\x81\x80\x81");
    tickWith(Rec::record(78, 0b01, 200, 0, 3));
    EXPECT_EQ(count(1), 2);
    EXPECT_EQ(dev_->count("o#"), 1);

    // A tact that closed between the record and the block comes with the block: it is
    // counted now, and its record is not counted again.
    dev_->setValue("O", "\x80\x80\x81");
    advanceSec(6);
    tickWith(Rec::record(80, 0b00, 200, 0, 2));
    EXPECT_EQ(count(1), 3);
    EXPECT_EQ(device(1).lastTactNr, 81);
    tickWith(Rec::record(81, 0b01, 200, 0, 1));
    EXPECT_EQ(count(1), 3);
}

TEST_F(CycleTest, WaitForZero) {
    startCell(1, 7, 1);
    for (int t = 1; t <= 20; ++t) tickWith(Rec::record(t, 1, 5));
    EXPECT_EQ(count(1), 0);
    EXPECT_EQ(cells().cell(1).WaitForZero, 1);
    tickWith(Rec::record(21, 1, 10));  // the manometer opens: this impulse counts
    EXPECT_EQ(count(1), 1);
    EXPECT_EQ(cells().cell(1).WaitForZero, -1);
    tickWith(Rec::record(22, 1, 5));
    EXPECT_EQ(count(1), 2);

    // With a maximum wait the cell starts counting once that time has passed.
    cfg_.max_CellWaitForZero_sec = 30;
    startCell(2, 7, 1);
    const kv::TDateTime start = cells().cell(2).StartTime;
    bool logged = false;
    for (int t = 23; t <= 60; ++t) {
        const int before = count(2);
        tickWith(Rec::record(t, 0b10, 5));
        const double elapsed = (device(1).lastTactTime - start) * 86400.0;
        const bool due = elapsed >= 30.0 - 0.001;
        EXPECT_EQ(count(2), before + (due ? 1 : 0)) << "tact " << t;
        if (due && !logged) {
            EXPECT_NE(log().find("{Cell-2}"), std::string::npos);
            EXPECT_NE(log().find("forced to start due to max_CellWaitForZero_sec"),
                      std::string::npos);
            logged = true;
        }
    }
    EXPECT_TRUE(logged);
    EXPECT_EQ(countIn(log(), "forced to start due to max_CellWaitForZero_sec"), 1);
}

TEST_F(CycleTest, ClosedManometerRestartsTheDevice) {
    startCell(1, 7);
    startCell(2, 7);
    for (int t = 1; t <= 99; ++t) tickWith(Rec::record(t, 0, 5));
    EXPECT_EQ(dev_->count("v#"), 0);
    EXPECT_EQ(cells().cell(1).ClosedCount, 99);
    tickWith(Rec::record(100, 0, 5));
    // One restart for the device, naming both cells.
    EXPECT_EQ(dev_->count("v#"), 1);
    EXPECT_NE(log().find("restartet due to manometer reaching man_maxClosedCount (100) for "
                         "cell(s) 1, 2."),
              std::string::npos);
    EXPECT_EQ(cells().cell(1).ClosedCount, 0);
    EXPECT_EQ(cells().cell(2).ClosedCount, 0);
    // An open manometer resets the count.
    tickWith(Rec::record(101, 0, 5));
    tickWith(Rec::record(102, 0, 50));
    EXPECT_EQ(cells().cell(1).ClosedCount, 0);

    cfg_.Manometer_maxClosedCount = 0;  // never restart
    for (int t = 103; t <= 260; ++t) tickWith(Rec::record(t, 0, 5));
    EXPECT_EQ(dev_->count("v#"), 1);
    EXPECT_EQ(cells().cell(1).ClosedCount, 0);
}

TEST_F(CycleTest, CountingWaitsForAllCellsOfTheRow) {
    kv::RowInfo row = runningRow("Row A", 3);
    row.countAfterAllCellsStarted = true;
    rows_.set(7, row);
    startCell(1, 7);
    tickWith(Rec::record(1, 1));
    EXPECT_EQ(count(1), 0);
    row.allCellsStarted = true;
    rows_.set(7, row);
    tickWith(Rec::record(2, 1));
    EXPECT_EQ(count(1), 1);
    // A counting cell whose row has gone keeps counting.
    rows_.erase(7);
    tickWith(Rec::record(3, 1));
    EXPECT_EQ(count(1), 2);
}

TEST_F(CycleTest, BadAnswersNeverCount) {
    startCell(1, 7);
    tickWith(Rec::record(10, 1));
    ASSERT_EQ(count(1), 1);

    tickWith("cv=1x;1;0;63;0;1;1;1;1;1;1;0;1;1;1;1;1;1#;nCC;\r\n");  // tact not numeric
    tickWith("cv=11;1a;0;63#;nCC;\r\n");                             // mask not numeric
    tickWith("cv=12;-1;0;63;0#;nCC;\r\n");                           // negative mask
    tickWith("cv=13;1;0#;nCC;\r\n");                                 // field 4 missing
    EXPECT_EQ(count(1), 1);
    EXPECT_EQ(device(1).lastTactNr, 10);

    // A separator lost or doubled on the link shifts the fields (here the active mask 63
    // would become the out-of-range mask or the impulse mask): the record is dropped whole.
    const std::string good = Rec::record(11, 1);
    const auto second = good.find(';', good.find(';') + 1);
    std::string lost = good, doubled = good;
    lost.erase(good.find(';'), 1);  // "cv=111;0;63;..."
    doubled.insert(second, ";");    // "cv=11;1;;0;63;..."
    for (const auto& r : {lost, doubled, std::string(good).insert(good.find('#'), ";5")}) {
        tickWith(r);
        EXPECT_FALSE(kv::parseValueRecord(r).has_value()) << r;
    }
    tickWith(kv::replaceAll(good, "cv=11;1;", "cv=11;77;"));  // beyond six positions
    EXPECT_EQ(count(1), 1);
    EXPECT_EQ(device(1).lastTactNr, 10);
    EXPECT_TRUE(kv::parseValueRecord(good).has_value());

    // Truncated: asked three times, then dropped.
    const int requests = dev_->count("V1#");
    tickWith("cv=14;1;0");
    EXPECT_EQ(dev_->count("V1#"), requests + 3);
    EXPECT_NE(log().find("2. requesting data via V1#"), std::string::npos);
    EXPECT_NE(log().find("3. requesting data via V1#"), std::string::npos);
    EXPECT_EQ(count(1), 1);

    // A record with unreadable manometer values: no value, which counts as closed.
    tickWith("cv=15;1;0;63;0;x;x;x;x;x;x;0;y;y;y;y;y;y#;nCC;\r\n");
    EXPECT_EQ(count(1), 2);
    EXPECT_TRUE(kv::isNoValue(cells().cell(1).ManometerValue));
    EXPECT_TRUE(kv::isNoValue(cells().cell(1).ADCValue));
    EXPECT_EQ(cells().cell(1).ClosedCount, 1);

    // 5000 bytes of noise waiting, and noise as the answer.
    std::mt19937 rng(5);
    std::string noise;
    for (int n = 0; n < 5000; ++n) noise += static_cast<char>(rng() % 256);
    dev_->push(noise);
    tickWith(noise);
    EXPECT_EQ(count(1), 2);
    std::string text;  // noise a record can follow: no zero byte, no "#"
    for (char ch : noise.substr(0, 1000))
        if (ch != '\0' && ch != '#') text += ch;
    tickWith(text + Rec::record(16, 1));  // a valid record behind the noise still counts
    EXPECT_EQ(count(1), 3);

    // Random texts from the record's own characters but without digits never parse.
    const char chars[] = "cv=;#T\r\n\0x-+ ,.";
    const std::string alphabet(chars, sizeof chars - 1);
    for (int n = 0; n < 300; ++n) {
        std::string s = "cv=";
        const int len = static_cast<int>(rng() % 80);
        for (int k = 0; k < len; ++k) s += alphabet[rng() % alphabet.size()];
        EXPECT_FALSE(kv::parseValueRecord(s).has_value()) << s;
        if (n % 30 == 0) tickWith(s);
    }
    EXPECT_EQ(count(1), 3);
    EXPECT_EQ(device(1).ErrorCode, 0);
}

TEST_F(CycleTest, SilentDeviceLeavesTheCycle) {
    startCell(1, 7);
    dev_->setSilent(true);
    for (int n = 1; n <= 5; ++n) tick();
    EXPECT_EQ(device(1).ErrorCode, 0);
    EXPECT_EQ(device(1).emptyAnswerCount, 5);
    tick();  // more than five empty ticks
    EXPECT_EQ(device(1).ErrorCode, kv::FT_COMM_HANGS);
    const int requests = dev_->count("V1#");
    tick();
    EXPECT_EQ(dev_->count("V1#"), requests);  // out of the cycle
}

TEST_F(CycleTest, GuardFlagsSkipTheTick) {
    startCell(1, 7);
    const int requests = dev_->count("V1#");
    flags_.deviceCheckInProgress = true;
    tickWith(Rec::record(1, 1));
    flags_.deviceCheckInProgress = false;
    flags_.configCmdInProgress = true;
    tick();
    flags_.configCmdInProgress = false;
    flags_.systemRunning = false;
    tick();
    flags_.systemRunning = true;
    flags_.quitting = true;
    tick();
    EXPECT_EQ(dev_->count("V1#"), requests);
    EXPECT_FALSE(flags_.usbCallbackBusy.load());
    flags_.quitting = false;
    int updates = 0;
    acq_->cycle.setRowsUpdate([&](bool force) {
        EXPECT_FALSE(force);
        EXPECT_TRUE(flags_.usbCallbackBusy.load());
        ++updates;
    });
    tick();
    EXPECT_EQ(count(1), 1);
    EXPECT_EQ(updates, 1);
    EXPECT_EQ(acq_->cycle.tickNumber(), 5);
}

TEST_F(CycleTest, LeakageAlarmSuspendsTheCell) {
    kv::RowInfo row = runningRow("Row A", 3);
    row.o2LeakageAlarm = true;
    row.alarmCount = 95;
    row.alarmHours = 1;
    rows_.set(7, row);
    startCell(1, 7);
    startCell(2, 7);
    cells().update(1, [](kv::TCell& c) {
        c.HourlyCount[1] = 500;
        c.CellCount = 1640;
    });
    cells().update(2, [](kv::TCell& c) {
        c.HourlyCount[1] = 500;
        c.CellCount = 1639;  // 94.92 %
    });
    tickWith(Rec::record(49, 0));  // not a multiple of ten: no check
    EXPECT_EQ(cells().GetCellState(1), kv::CellState::cs_Running);
    tickWith(Rec::record(50, 0));
    EXPECT_EQ(cells().GetCellState(1), kv::CellState::cs_SuspendedO2);
    EXPECT_EQ(cells().GetCellState(2), kv::CellState::cs_Running);
    EXPECT_EQ(rows_.suspended(), (std::vector<std::pair<int, int>>{{7, 1}}));
    EXPECT_TRUE(hasMessage("Row Row A: Cell 1 suspended due to alarm condition !"));
    EXPECT_TRUE(acq_->alarms.alarmFlag());
    EXPECT_NE(acq_->alarms.alarmList().find("\r\n"), std::string::npos);
    EXPECT_EQ(status_.panelText(kv::StatusPanel::Info2), "Cell Alarm Control");
    EXPECT_EQ(status_.panelColor(kv::StatusPanel::Info2), kv::StatusColor::Red);
    // The snapshot was taken and, an interval having passed, shifted.
    EXPECT_EQ(cells().cell(2).HourlyCount[1], 1639);

    // Out-of-range hours are no check at all.
    cells().update(3, [](kv::TCell& c) {
        c.RowNr = 7;
        c.State = kv::CellState::cs_Running;
        c.HourlyCount[1] = 1;
        c.CellCount = 100000;
    });
    acq_->alarms.CheckHourlyValues(3, 95, 0);
    acq_->alarms.CheckHourlyValues(3, 95, 25);
    EXPECT_EQ(cells().GetCellState(3), kv::CellState::cs_Running);
    acq_->alarms.clearList();
    EXPECT_FALSE(acq_->alarms.alarmFlag());
    EXPECT_EQ(acq_->alarms.alarmList(), "");
}

TEST_F(CycleTest, CaseTemperaturesAndTheirLog) {
    auto case1 = scripted("CASE01");
    auto case2 = scripted("CASE02");
    case1->setValue("T2", "215");
    case2->setValue("T2", "198");
    dev_->setValue("S", "0");
    build({dev_, case1, case2}, {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6),
                                 deviceSettings("CASE01", kv::DeviceType::Case, 0, 0, 1),
                                 deviceSettings("CASE02", kv::DeviceType::Case, 0, 0, 2)});
    kv::setDecimalCommaFlag(false);
    cfg_.LogTemp_min = 10;
    for (int n = 0; n < 2; ++n) tick();
    EXPECT_TRUE(kv::isNoValue(acq_->cycle.currentTemperature()));
    tick();  // every third tick
    EXPECT_DOUBLE_EQ(device(2).curTemp, 21.5);
    EXPECT_DOUBLE_EQ(acq_->cycle.currentTemperature(), 19.8);
    for (int n = 0; n < 600; ++n) tick();  // 20 minutes
    const std::string text = readFile(dir_.file("TempLog.Txt"));
    const auto lines = kv::split(text, '\n');
    EXPECT_EQ(lines.front(), "d/t;1;2\r");
    EXPECT_EQ(countIn(text, "\r\n"), 4);  // header and an entry every 10 minutes
    EXPECT_NE(text.find(";21.5;19.8\r\n"), std::string::npos);

    // A reading that fails keeps the last good temperature.
    case1->setValue("T2", "");
    for (int n = 0; n < 3; ++n) tick();
    EXPECT_DOUBLE_EQ(device(2).curTemp, 21.5);
}

TEST_F(CycleTest, CO2RawValues) {
    auto co2 = scripted("CO2001");
    co2->setValue("T", "500;abc;;600;7;8");
    build({dev_, co2}, {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6),
                        deviceSettings("CO2001", kv::DeviceType::CO2, 1, 6)});
    rows_.set(7, runningRow("Row A", 3));
    for (int i = 1; i <= 3; ++i) startCell(i, 7);
    cells().update(2, [](kv::TCell& c) { c.aiCO2 = 400; });
    tick();
    EXPECT_EQ(co2->count("g#"), 1);
    EXPECT_EQ(cells().cell(1).aiCO2, 500);
    EXPECT_EQ(cells().cell(2).aiCO2, -1);
    EXPECT_NE(log().find("invalid AI=abc"), std::string::npos);
    EXPECT_EQ(cells().cell(3).aiCO2, -1);  // an empty field reads as -1
    EXPECT_EQ(cells().cell(4).aiCO2, -1);  // not running: not taken
    cfg_.EC71_Present = true;              // meters measure CO2 instead
    tick();
    EXPECT_EQ(co2->count("g#"), 1);
}

}  // namespace
}  // namespace kvtest
