// The acquisition tick against scripted value records: tact handling, manometer and
// wait-for-zero bookkeeping, counting rules, bad answers, case temperatures and CO2 values.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
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

    // A device that restarted counts from 0 again: a new tact, not a handled one, once the
    // next record confirms that the counter went back (a lost digit would not).
    tickWith(Rec::record(4, 0b000001));  // "44" with a digit lost
    EXPECT_EQ(count(1), 2);
    tickWith(Rec::record(45, 0b000000));
    EXPECT_EQ(device(1).lastTactNr, 45);
    tickWith(Rec::record(4511, 0b000001));  // digits doubled: far ahead of the time passed
    tickWith(Rec::record(46, 0b000000));
    EXPECT_EQ(count(1), 2);
    EXPECT_EQ(device(1).lastTactNr, 46);
    tickWith(Rec::record(1, 0b000001));
    EXPECT_EQ(count(1), 2);
    tickWith(Rec::record(1, 0b000001));
    EXPECT_EQ(count(1), 3);
    EXPECT_EQ(device(1).lastTactNr, 1);

    // Suspended cells keep their manometer fields but count nothing.
    cells().SuspendCell(1, true, false);
    tickWith(Rec::record(2, 0b000001, 7, 0b000001));
    EXPECT_EQ(count(1), 3);
    EXPECT_EQ(cells().cell(1).ManometerValue, 7);
    EXPECT_TRUE(cells().cell(1).OutOfRange);
    EXPECT_EQ(cells().cell(1).ClosedCount, 0);
}

// The data devices of a tick are asked at the same time; each one's record counts into its
// own cells, once, and the rows are updated once, after all of them.
class ParallelTickTest : public AcqTest {
  protected:
    int count(int i) { return cells().GetCellCount(i); }
};

TEST_F(ParallelTickTest, DataDevicesAreAskedAtOnceAndEachCountsIntoItsOwnCells) {
    constexpr int kDevices = 8;
    cfg_.Cells = 6 * kDevices;
    std::vector<std::shared_ptr<ScriptedDevice>> devs;
    std::vector<std::shared_ptr<kv::sim::SimPort>> ports;
    std::vector<kv::UsbDeviceSettings> settings;
    for (int d = 0; d < kDevices; ++d) {
        const std::string serial = "KLV00" + std::to_string(10 + d);
        devs.push_back(scripted(serial));
        devs.back()->setValue("S", "0");
        ports.push_back(devs.back());
        settings.push_back(deviceSettings(serial, kv::DeviceType::Data, 6 * d + 1, 6 * d + 6));
    }
    build(ports, settings);
    rows_.set(7, runningRow("Row A", 3));
    for (int d = 1; d <= kDevices; ++d) ASSERT_EQ(device(d).ErrorCode, 0) << d;
    for (int i = 1; i <= cfg_.Cells; ++i) startCell(i, 7);
    int rowUpdates = 0;
    acq_->cycle.setRowsUpdate([&](bool) { ++rowUpdates; });

    // Every device holds its V1# answer until all have been asked (bounded), and counts how
    // many exchanges are under way.
    std::mutex m;
    std::condition_variable cv;
    int asked = 0, inFlight = 0, most = 0, timedOut = 0;
    bool meet = true;
    for (auto& dv : devs) {
        dv->setOnCommand([&](const std::string& cmd) {
            std::unique_lock lock(m);
            if (cmd == "V1#") {
                ++asked;
                most = std::max(most, ++inFlight);
                cv.notify_all();
                if (meet &&
                    !cv.wait_for(lock, std::chrono::seconds(10), [&] { return asked >= kDevices; }))
                    ++timedOut;
            } else if (cmd == "o#") {
                --inFlight;
            }
        });
    }
    for (int d = 0; d < kDevices; ++d)
        devs[static_cast<size_t>(d)]->setRecord(Rec::record(5, 1 << (d % 6)));
    tick();
    EXPECT_EQ(timedOut, 0);
    EXPECT_EQ(most, kDevices);
    EXPECT_EQ(rowUpdates, 1);
    for (int d = 0; d < kDevices; ++d)
        for (int k = 1; k <= 6; ++k)
            EXPECT_EQ(count(6 * d + k), k - 1 == d % 6 ? 1 : 0) << "device " << d << " cell " << k;

    // One after the other when so configured: never two exchanges at once.
    cfg_.ParallelDevices = 0;
    {
        std::lock_guard lock(m);
        meet = false;
        most = 0;
    }
    for (int d = 0; d < kDevices; ++d)
        devs[static_cast<size_t>(d)]->setRecord(Rec::record(6, 1 << (d % 6)));
    tick();
    EXPECT_EQ(most, 1);
    EXPECT_EQ(rowUpdates, 2);
    for (int d = 0; d < kDevices; ++d) EXPECT_EQ(count(6 * d + 1 + d % 6), 2) << "device " << d;
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
    advanceSec(40);
    tickWith(Rec::record(75, 0b00, 200, 0, 31));
    EXPECT_EQ(count(1), 0);
    EXPECT_EQ(dev_->count("O#"), 0);
    EXPECT_EQ(dev_->count("o#"), 1);
    EXPECT_NE(log().find("29 missed tact(s), but only 14 can have passed: not read"),
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

    // A block longer than the record announced: a tact that closed in between, or a
    // character the link doubled. Neither is counted nor acknowledged; the next record
    // announces the queue as it is, and every tact counts once.
    dev_->clearCommands();
    dev_->setValue("O", "\x80\x80\x81");
    advanceSec(6);
    tickWith(Rec::record(80, 0b00, 200, 0, 2));
    EXPECT_EQ(count(1), 2);
    EXPECT_EQ(dev_->count("o#"), 0);
    EXPECT_EQ(device(1).lastTactNr, 78);
    tickWith(Rec::record(81, 0b01, 200, 0, 3));
    EXPECT_EQ(count(1), 3);
    EXPECT_EQ(device(1).lastTactNr, 81);
    EXPECT_EQ(dev_->count("o#"), 1);
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
    // Breaks off inside the manometer part.
    const std::string cut = good.substr(0, good.find(";200;200#")) + "#;nCC;\r\n";
    std::string emptyManometer = kv::replaceAll(good, ";0;200;", ";0;;200;");  // doubled, later
    for (const auto& r : {lost, doubled, cut, emptyManometer}) {
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

// What a firmware may add or leave out: fields after the eighteenth are ignored, and a record
// of the four numbers (with or without the queue length) has no manometer values.
TEST_F(CycleTest, RecordShapesOfOtherFirmware) {
    startCell(1, 7);
    std::string extra = Rec::record(20, 1);
    extra.insert(extra.find('#'), ";17;x;");
    tickWith(extra);
    EXPECT_EQ(count(1), 1);
    EXPECT_EQ(cells().cell(1).ManometerValue, 200);
    EXPECT_EQ(dev_->count("o#"), 1);

    tickWith("cv=21;1;0;63#;nCC;\r\n");
    EXPECT_EQ(count(1), 2);
    EXPECT_TRUE(kv::isNoValue(cells().cell(1).ManometerValue));
    tickWith("cv=22;1;1;63;1#;nCC;\r\n");
    EXPECT_EQ(count(1), 3);
    EXPECT_TRUE(cells().cell(1).OutOfRange);
    EXPECT_EQ(dev_->count("o#"), 3);
}

// An unreadable record is never acknowledged, so the device keeps the entry; a run of them
// tells the operator once and shows the device in error until a record reads again.
TEST_F(CycleTest, UnreadableRecordsAreKeptAndReported) {
    startCell(1, 7);
    tickWith(Rec::record(30, 1));
    ASSERT_EQ(dev_->count("o#"), 1);
    check();
    EXPECT_EQ(status_.panelText(kv::StatusPanel::DevStatus), "Devices: OK");

    const std::string garbled = kv::replaceAll(Rec::record(31, 1), "cv=31;1;", "cv=31;?;");
    for (int n = 1; n < kv::AcquisitionCycle::kMaxUnreadableTicks; ++n) tickWith(garbled);
    EXPECT_EQ(dev_->count("o#"), 1);
    EXPECT_FALSE(hasMessage("cannot read"));
    check();
    EXPECT_EQ(status_.panelText(kv::StatusPanel::DevStatus), "Devices: OK");

    for (int n = 0; n < 10; ++n) tickWith(garbled);
    EXPECT_EQ(dev_->count("o#"), 1);
    int reports = 0;
    for (const auto& l : kv::messageList().newestFirst())
        if (l.find("sends value records Kelvora cannot read") != std::string::npos) ++reports;
    EXPECT_EQ(reports, 1);
    EXPECT_NE(device(1).Message.find("cannot read"), std::string::npos);
    EXPECT_EQ(device(1).ErrorCode, 0);  // still asked every tick
    check();
    EXPECT_EQ(status_.panelText(kv::StatusPanel::DevStatus), "Devices: NOT OK");
    EXPECT_NE(status_.panelText(kv::StatusPanel::Info1).find("Check USB (1)"), std::string::npos);

    // The good record of the same tact counts, and ends the episode.
    tickWith(Rec::record(31, 1));
    EXPECT_EQ(count(1), 2);
    EXPECT_EQ(dev_->count("o#"), 2);
    EXPECT_TRUE(hasMessage("sends readable value records again"));
    EXPECT_TRUE(device(1).Message.empty());
    check();
    EXPECT_EQ(status_.panelText(kv::StatusPanel::DevStatus), "Devices: OK");

    // A new episode is told again.
    for (int n = 0; n < kv::AcquisitionCycle::kMaxUnreadableTicks; ++n)
        tickWith("cv=32;#;nCC;\r\n");
    reports = 0;
    for (const auto& l : kv::messageList().newestFirst())
        if (l.find("sends value records Kelvora cannot read") != std::string::npos) ++reports;
    EXPECT_EQ(reports, 2);
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
