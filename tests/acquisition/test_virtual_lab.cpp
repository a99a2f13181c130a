// End to end against the virtual lab: a long run in virtual time whose counted impulses
// must equal what the lab's devices dosed, the same with a faulty link (never more than
// dosed), and the production wiring with real timer threads.

#include <chrono>
#include <cstdlib>
#include <thread>

#include "acquisition/acq_fixture.h"

namespace kvtest {
namespace {

constexpr const char* kLab = R"(
[Lab]
Seed=11
[Device KLV0001]
Serial=KLV0001
Type=1
Version=KLV/USB V1.4.1
Cell1=rate=1.5 noise=0.05 settle=20
Cell2=rate=0.5 lag=2 growth=0.3 max=3 settle=20
Cell3=rate=3
Cell4=rate=0.2
Cell5=rate=2 noise=0.1
Cell6=rate=1
[Device KLV0002]
Serial=KLV0002
Type=1
Version=KLV/USB V1.3.1
Cell1=rate=4 settle=60
Cell2=rate=0.8
Cell3=rate=6 noise=0.2
Cell4=rate=1
Cell5=rate=2.5 lag=4 growth=0.2 max=8
Cell6=rate=0.1
[Device CASE01]
Serial=CASE01
Type=2
Case=1
Temp=21.5
[Device CO2001]
Serial=CO2001
Type=3
Cell1=raw=820 slope=3 min=100 noise=1
)";

class VirtualLabTest : public AcqTest {
  protected:
    void SetUp() override {
        std::string error;
        lab_ = kv::sim::Lab::fromText(kLab, &error);
        ASSERT_TRUE(lab_) << error;
        cfg_.bSetCellActive = true;
        build(lab_->ports(), {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6),
                              deviceSettings("KLV0002", kv::DeviceType::Data, 7, 12),
                              deviceSettings("CASE01", kv::DeviceType::Case, 0, 0, 1),
                              deviceSettings("CO2001", kv::DeviceType::CO2, 1, 6)});
        rows_.set(1, runningRow("Fast", 3));
        rows_.set(2, runningRow("Slow", 30));
        for (int i = 1; i <= 6; ++i) startCell(i, 1);
        for (int i = 7; i <= 12; ++i) startCell(i, 2, 1);  // these wait for zero
        acq_->cycle.setRowsUpdate([this](bool) { ++rowUpdates_; });
    }
    kv::sim::DataDevice& dataDevice(int i) {
        return *lab_->dataDevice(i <= 6 ? "KLV0001" : "KLV0002");
    }
    long long dosed(int i) { return dataDevice(i).impulses((i - 1) % 6 + 1); }
    // Ticks for the given virtual hours, with the device check every third tick.
    void run(double hours) {
        const int ticks = static_cast<int>(hours * 3600 * 1000 / cfg_.mmTimerInt);
        for (int n = 1; n <= ticks; ++n) {
            tick();
            if (n % 3 == 0) check();
        }
    }
    // Ticks on until one starts a second after a tact closed (ticks come every 2 s, tacts
    // every 3 s): no tact closes between its requests and the comparison that follows.
    void settle() {
        do {
            tick();
        } while (std::llround((tickTime_ - start_) * 86400.0) % 3 != 1);
    }

    std::unique_ptr<kv::sim::Lab> lab_;
    kv::TDateTime start_ = kv::encodeDateTime(2026, 3, 2, 8, 0, 0);
    long rowUpdates_ = 0;
};

TEST_F(VirtualLabTest, CountedImpulsesEqualTheDosedOnes) {
    run(12);
    settle();
    long long total = 0;
    for (int i = 1; i <= 12; ++i) {
        const kv::TCell c = cells().cell(i);
        EXPECT_EQ(c.CellCount, dosed(i)) << "cell " << i;
        EXPECT_EQ(c.O2ImpTotal, c.CellCount) << "cell " << i;
        EXPECT_EQ(c.O2TankUsed, c.CellCount) << "cell " << i;
        EXPECT_EQ(c.WaitForZero, -1);  // every manometer has opened once
        total += c.CellCount;
    }
    EXPECT_GT(total, 2000);
    const std::string l = log();
    EXPECT_EQ(l.find("missed a beat"), std::string::npos);
    // The devices' configuration matches the cells: the periodic repair finds nothing.
    EXPECT_EQ(l.find("Setting Cell-"), std::string::npos);
    EXPECT_EQ(status_.panelText(kv::StatusPanel::DevStatus), "Devices: OK");
    EXPECT_GT(rowUpdates_, 20000);
    EXPECT_NEAR(acq_->cycle.currentTemperature(), 21.5, 1.0);
    EXPECT_GE(cells().cell(1).aiCO2, 100);
    EXPECT_NE(readFile(dir_.file("O2_TankData.Txt")).find("C12="), std::string::npos);
}

// Ticks that come late (a busy PC, a timer period skipped while a guard flag was set) leave
// tacts unread. The device still queues them, and the tick reads them back: nothing is lost
// up to ten minutes; a longer stall is left to the synchronisation and says so.
TEST_F(VirtualLabTest, TactsMissedByLateTicksAreReadFromTheQueue) {
    for (int round = 0; round < 150; ++round) {
        run(0.01);
        tickTime_ += (round % 5 + 1) * 7.0 * kv::kSecond;  // a pause of 7 to 35 s
    }
    tickTime_ += 9 * 60 * kv::kSecond;
    run(0.01);
    settle();
    for (int i = 1; i <= 12; ++i) {
        EXPECT_EQ(cells().GetCellCount(i), dosed(i)) << "cell " << i;
        EXPECT_EQ(cells().cell(i).O2TankUsed, dosed(i)) << "cell " << i;
    }
    const std::string l = log();
    EXPECT_GE(countIn(l, "missed tact(s) read from the queue"), 150);
    EXPECT_EQ(l.find("too many to read"), std::string::npos);

    tickTime_ += 15 * 60 * kv::kSecond;
    run(0.01);
    settle();
    EXPECT_NE(log().find("too many to read from the queue"), std::string::npos);
    for (int i = 1; i <= 12; ++i) EXPECT_LE(cells().GetCellCount(i), dosed(i)) << "cell " << i;
}

// A series' start sends its cells' commands one after the other, which holds the ticks off
// for minutes with 120 cells, and then starts the devices' queues anew. The queues hold the
// tacts of those minutes: they start anew only after a tick has read them.
TEST_F(VirtualLabTest, QueuesStartAnewOnlyAfterATickReadWhatTheyHold) {
    run(0.01);
    tickTime_ += 3 * 60 * kv::kSecond;
    acq_->cycle.resetQueuesAfterNextRead();
    tick();
    EXPECT_EQ(countIn(log(), "queue started anew"), 2);
    for (const char* serial : {"KLV0001", "KLV0002"})
        EXPECT_EQ(lab_->dataDevice(serial)->queueSize(), 0u) << serial;
    run(0.05);
    settle();
    for (int i = 1; i <= 12; ++i) EXPECT_EQ(cells().GetCellCount(i), dosed(i)) << "cell " << i;
    EXPECT_EQ(countIn(log(), "queue started anew"), 2);
}

// A firmware that garbles some records, and one that adds a field: the garbled records are
// not acknowledged, so their tacts are read again (from the queue once newer tacts closed),
// and the longer records are read as they are. Nothing is lost.
TEST_F(VirtualLabTest, UnreadableRecordsAndExtraFieldsLoseNothing) {
    dataDevice(7).setExtraRecordFields(1);
    for (int round = 0; round < 60; ++round) {
        run(0.02);
        dataDevice(1).garbleRecords(round % 4 + 1);
    }
    run(0.02);
    settle();
    for (int i = 1; i <= 12; ++i) EXPECT_EQ(cells().GetCellCount(i), dosed(i)) << "cell " << i;
    EXPECT_GT(cells().GetCellCount(7) + cells().GetCellCount(9), 30);
    const std::string l = log();
    EXPECT_GE(countIn(l, "missed tact(s) read from the queue"), 20);
    EXPECT_EQ(l.find("too many to read"), std::string::npos);
    EXPECT_FALSE(hasMessage("cannot read"));  // never five ticks in a row
}

// An episode longer than a tick reads back leaves the whole queue to a synchronisation,
// which the device check starts; the device is not read (nor acknowledged) until then.
TEST_F(VirtualLabTest, LongUnreadableEpisodeIsLeftToTheSynchronisation) {
    int resyncs = 0;
    acq_->check.setResyncHook([&] { ++resyncs; });
    run(0.1);
    settle();
    const int acks = dataDevice(1).commandCount("o#");
    dataDevice(1).garbleRecords(400);  // 800 s: more than 200 tacts
    for (int n = 0; n < 400; ++n) tick();
    EXPECT_EQ(dataDevice(1).commandCount("o#"), acks);
    EXPECT_TRUE(hasMessage("Data Device"));
    EXPECT_TRUE(hasMessage("cannot read"));
    EXPECT_GT(dataDevice(1).queueSize(), 200u);
    tick();
    EXPECT_TRUE(device(1).resyncRequested);
    EXPECT_NE(log().find("left to a synchronisation"), std::string::npos);
    const int requests = dataDevice(1).commandCount("V1#");
    tick();
    EXPECT_EQ(dataDevice(1).commandCount("V1#"), requests);
    EXPECT_EQ(dataDevice(1).commandCount("o#"), acks);
    EXPECT_GT(dataDevice(1).queueSize(), 200u);  // all still there for the synchronisation
    check();
    EXPECT_EQ(resyncs, 1);
    EXPECT_FALSE(device(1).resyncRequested);
    for (int i = 1; i <= 12; ++i) EXPECT_LE(cells().GetCellCount(i), dosed(i)) << "cell " << i;
}

// The read-back of missed tacts takes the record's fifth field for the queue length. With
// ReadMissedTacts=0 only the newest tact is read: a late tick costs the tacts it missed
// (and says so), and never counts one twice.
TEST_F(VirtualLabTest, WithoutReadMissedTactsOnlyTheNewestTactIsRead) {
    cfg_.ReadMissedTacts = 0;
    run(0.5);
    settle();
    for (int i = 1; i <= 12; ++i) EXPECT_EQ(cells().GetCellCount(i), dosed(i)) << "cell " << i;
    for (int round = 0; round < 100; ++round) {
        run(0.01);
        tickTime_ += (round % 5 + 1) * 7.0 * kv::kSecond;
    }
    settle();
    long long lost = 0;
    for (int i = 1; i <= 12; ++i) {
        EXPECT_LE(cells().GetCellCount(i), dosed(i)) << "cell " << i;
        lost += dosed(i) - cells().GetCellCount(i);
    }
    EXPECT_GT(lost, 0);
    const std::string l = log();
    EXPECT_NE(l.find("missed a beat"), std::string::npos);
    EXPECT_EQ(l.find("read from the queue"), std::string::npos);
    EXPECT_EQ(l.find("left to a synchronisation"), std::string::npos);
}

// Garbage, noise, and characters lost or doubled on the way: records that lose their shape
// are dropped whole, tact numbers that do not follow are not taken, so the faults cost
// impulses and add almost none. Without a checksum one fault stays possible: a doubled digit
// of the impulse mask ("1" as "11") that still fits the six positions is taken as it stands,
// which the lab's one-in-300 doubled characters do a few times in four hours.
TEST_F(VirtualLabTest, FaultyLinkNeverCountsMoreThanDosed) {
    kv::sim::LinkFaults faults;
    faults.garbageProb = 0.05;
    faults.noiseProb = 0.05;
    faults.dropProb = 0.003;
    faults.doubleProb = 0.003;
    lab_->dataDevice("KLV0001")->setLinkFaults(faults);
    lab_->dataDevice("KLV0001")->skipTacts(3);
    run(4);
    settle();
    for (int i = 1; i <= 6; ++i) {
        const long long counted = cells().GetCellCount(i);
        EXPECT_LE(counted, dosed(i) + 4) << "cell " << i;
        EXPECT_GE(counted, dosed(i) * 8 / 10) << "cell " << i;
    }
    for (int i = 7; i <= 12; ++i) EXPECT_EQ(cells().GetCellCount(i), dosed(i)) << "cell " << i;
    EXPECT_NE(log().find("missed a beat"), std::string::npos);
}

// The production wiring: the acquisition and the device check on their timer threads, the
// window thread working on cells, tanks and alarms, the lab's faults coming and going, and
// virtual time running fast. Judged by ThreadSanitizer; set KELVORA_ACQ_SOAK_SEC for a
// longer run.
TEST_F(VirtualLabTest, TimerThreadsAndWindowThreadTogether) {
    double seconds = 3;
    if (const char* s = std::getenv("KELVORA_ACQ_SOAK_SEC")) seconds = std::max(1.0, std::atof(s));
    cfg_.mmTimerInt = 20;  // real milliseconds between ticks; virtual time runs faster
    cfg_.DeviceCheckTimer_mSec = 50;
    cfg_.syncDelayPerDevice_sec = 1;
    std::atomic<int> resyncs{0};
    acq_->check.setResyncHook([&] { ++resyncs; });
    std::atomic<bool> stop{false};
    std::thread timeLord([&] {
        while (!stop) {
            clock_.advanceMs(100);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    acq_->startTimers();
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int>(seconds * 1000));
    // Past the soak time the run goes on (bounded) until the timers have done their part, so
    // that a slow machine makes the test longer, not red.
    const auto hardEnd = end + std::chrono::seconds(60);
    auto timersDidTheirPart = [&] {
        return acq_->cycle.tickNumber() > 10 &&
               log().find("Trying to reOpen device") != std::string::npos;
    };
    int round = 0;
    for (bool done = false; !done;) {
        ++round;
        const int i = 1 + round % 12;
        cells().SuspendCell(i, true, false);
        cells().UnsuspendCell(i, true, true);
        (void)cells().O2Amount(i);
        (void)cells().CellStateText(i);
        (void)acq_->alarms.memoText();
        if (round % 7 == 0) acq_->tanks.refill(i);
        if (round % 11 == 0) acq_->tanks.write_O2TankData();
        if (round % 40 == 10) lab_->find("KLV0002")->silence(20);
        if (round % 40 == 30) lab_->find("CASE01")->unplug();
        if (round % 40 == 35) lab_->find("CASE01")->replug();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto now = std::chrono::steady_clock::now();
        done = now >= hardEnd || (now >= end && timersDidTheirPart());
    }
    acq_->stopTimers();
    stop = true;
    timeLord.join();
    EXPECT_FALSE(flags_.usbCallbackBusy.load());
    EXPECT_FALSE(flags_.deviceCheckInProgress.load());
    EXPECT_GT(acq_->cycle.tickNumber(), 10);
    // The silenced and unplugged devices went through the check's reopen.
    EXPECT_NE(log().find("Trying to reOpen device"), std::string::npos);
    for (int i = 1; i <= 12; ++i) EXPECT_LE(cells().GetCellCount(i), dosed(i)) << "cell " << i;
}

}  // namespace
}  // namespace kvtest
