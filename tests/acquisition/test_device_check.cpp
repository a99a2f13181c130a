// The device check: lost devices counted, reported by type, reopened and reported back,
// the resynchronisation with the acquisition held off, case devices quiet after start-up.

#include "acquisition/acq_fixture.h"

namespace kvtest {
namespace {

class DeviceCheckTest : public AcqTest {
  protected:
    std::shared_ptr<ScriptedDevice> dataDevice(const std::string& serial) {
        auto d = scripted(serial);
        d->setValue("S", "0");
        return d;
    }
    void silenceUntilHanging(ScriptedDevice& d) {
        d.setSilent(true);
        for (int n = 0; n < 6; ++n) tick();
    }
};

TEST_F(DeviceCheckTest, LostDataDeviceIsReportedReopenedAndBack) {
    auto dev = dataDevice("KLV0001");
    build({dev}, {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6, 1, 3)});
    rows_.set(7, runningRow("Row A", 3));
    startCell(1, 7);
    int resyncs = 0;
    acq_->check.setResyncHook([&] {
        EXPECT_FALSE(flags_.systemRunning.load());
        EXPECT_TRUE(flags_.configCmdInProgress.load());
        // The error count is back to 0, but a tick still under way must not read the
        // device before the synchronisation has.
        EXPECT_EQ(device(1).actUSBErrorCount, 0);
        EXPECT_TRUE(kv::awaitingResync(device(1)));
        ++resyncs;
    });
    check();
    EXPECT_EQ(status_.panelText(kv::StatusPanel::DevStatus), "Devices: OK");
    EXPECT_EQ(status_.panelColor(kv::StatusPanel::DevStatus), kv::StatusColor::Green);

    silenceUntilHanging(*dev);
    ASSERT_EQ(device(1).ErrorCode, kv::FT_COMM_HANGS);
    const std::string down = "Connection to Data Device Cell 1-6 is down. Error " +
                             kv::FTStatusText(kv::FT_COMM_HANGS) + "  (18).";
    check();
    check();
    EXPECT_FALSE(hasMessage("is down"));
    EXPECT_NE(log().find("new error counting USBErrorCount UP to 2"), std::string::npos);
    check();  // the third check reaches maxUSBErrorCount
    EXPECT_TRUE(hasMessage(down));
    EXPECT_EQ(status_.panelText(kv::StatusPanel::DevStatus), "Devices: NOT OK");
    EXPECT_EQ(status_.panelColor(kv::StatusPanel::DevStatus), kv::StatusColor::Red);
    EXPECT_EQ(device(1).Message.rfind(down + " ", 0), 0u);
    EXPECT_EQ(countIn(log(), "Trying to reOpen device Cell 1-6; actUSBErrorCount="), 3);
    check();
    EXPECT_EQ(status_.panelText(kv::StatusPanel::Info1), "Check USB (1)  (Cell 1-6)");
    EXPECT_EQ(countIn(log(), "new error counting"), 3);  // counted once it reached the max

    dev->setSilent(false);
    check();  // the reopened device answers its identity: the error clears
    EXPECT_EQ(device(1).ErrorCode, 0);
    EXPECT_EQ(resyncs, 0);
    // Until the synchronisation has read the outage from its queue, the acquisition leaves
    // the device alone: acknowledging a value record would discard the outage.
    const int requests = dev->count("V1#");
    tick();
    EXPECT_EQ(dev->count("V1#"), requests);
    const kv::TDateTime before = clock_.now();
    check();
    EXPECT_TRUE(hasMessage("Connection to Data Device Cell 1-6 is up again."));
    EXPECT_EQ(resyncs, 1);
    EXPECT_GE((clock_.now() - before) * 86400.0, 11.0);  // 10 s per device back, then 1 s
    EXPECT_TRUE(flags_.systemRunning.load());
    EXPECT_FALSE(flags_.configCmdInProgress.load());
    EXPECT_FALSE(flags_.deviceCheckInProgress.load());
    EXPECT_EQ(device(1).Message, "");
    EXPECT_EQ(device(1).actUSBErrorCount, 0);
    EXPECT_FALSE(kv::awaitingResync(device(1)));
    check();
    EXPECT_EQ(status_.panelText(kv::StatusPanel::Info1), "");
    EXPECT_EQ(status_.panelText(kv::StatusPanel::DevStatus), "Devices: OK");

    // The acquisition takes the device back.
    dev->setRecord(ScriptedDevice::record(5, 1));
    tick();
    EXPECT_EQ(cells().GetCellCount(1), 1);
    EXPECT_EQ(resyncs, 1);
}

TEST_F(DeviceCheckTest, TwoDataDevicesBackPauseTwice) {
    auto a = dataDevice("KLV0001");
    auto b = dataDevice("KLV0002");
    build({a, b}, {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6),
                   deviceSettings("KLV0002", kv::DeviceType::Data, 7, 12)});
    a->setSilent(true);
    b->setSilent(true);
    for (int n = 0; n < 6; ++n) tick();
    check();
    EXPECT_TRUE(hasMessage("Connection to Data Device Cell 1-6 is down."));
    EXPECT_TRUE(hasMessage("Connection to Data Device Cell 7-12 is down."));
    EXPECT_EQ(status_.panelText(kv::StatusPanel::Info1), "");
    check();
    EXPECT_EQ(status_.panelText(kv::StatusPanel::Info1), "Check USB (2)  (Cell 1-6, Cell 7-12)");
    a->setSilent(false);
    b->setSilent(false);
    check();
    const kv::TDateTime before = clock_.now();
    check();
    EXPECT_GE((clock_.now() - before) * 86400.0, 21.0);
    EXPECT_LT((clock_.now() - before) * 86400.0, 25.0);
    EXPECT_EQ(acq_->check.resyncCount(), 1);
}

TEST_F(DeviceCheckTest, CaseDeviceErrorsAreQuietAfterStart) {
    auto data = dataDevice("KLV0001");
    auto box = scripted("CASE01");  // answers no temperature
    build({data, box}, {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6),
                        deviceSettings("CASE01", kv::DeviceType::Case, 0, 0, 1)});
    acq_->check.setProgramStart(clock_.now());
    for (int n = 0; n < 3; ++n) tick();
    ASSERT_NE(device(2).ErrorCode, 0);
    check();
    check();
    EXPECT_FALSE(hasMessage("Connection to Case Device"));
    EXPECT_TRUE(device(2).bErrorMsgSuppressed);
    EXPECT_EQ(status_.panelText(kv::StatusPanel::Info1), "");
    EXPECT_NE(log().find("Connection to Case Device Case 1 is down."), std::string::npos);
}

TEST_F(DeviceCheckTest, NoResynchronisationStormWithoutAnErrorMaximum) {
    auto dev = dataDevice("KLV0001");
    build({dev}, {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6, 1, 0)});
    for (int n = 0; n < 5; ++n) {
        tick();
        check();
    }
    EXPECT_EQ(acq_->check.resyncCount(), 0);
    EXPECT_FALSE(hasMessage("is up again"));
}

TEST_F(DeviceCheckTest, SkippedWhileARowCommandRuns) {
    auto dev = dataDevice("KLV0001");
    build({dev}, {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6)});
    silenceUntilHanging(*dev);
    flags_.rowCommandIdle = false;
    check();
    EXPECT_FALSE(hasMessage("is down"));
    flags_.rowCommandIdle = true;
    flags_.usbCallbackBusy = true;  // a tick still runs: one short pause, then the check
    check();
    EXPECT_TRUE(hasMessage("is down"));
    flags_.usbCallbackBusy = false;
}

// The virtual lab's cable: unplugged, the device leaves the cycle and is reported; plugged
// in again, the check reopens it and the acquisition counts again.
TEST_F(DeviceCheckTest, UnplugAndReplugInTheVirtualLab) {
    std::string error;
    auto lab = kv::sim::Lab::fromText(
        "[Device KLV0001]\nSerial=KLV0001\nType=1\nVersion=KLV/USB V1.4.1\n"
        "Cell1=rate=20\n",
        &error);
    ASSERT_TRUE(lab) << error;
    build(lab->ports(), {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6)});
    rows_.set(7, runningRow("Row A", 3));
    startCell(1, 7);
    for (int n = 0; n < 100; ++n) tick();
    const int counted = cells().GetCellCount(1);
    EXPECT_GT(counted, 0);

    lab->find("KLV0001")->unplug();
    tick();
    ASSERT_NE(device(1).ErrorCode, 0);
    check();
    EXPECT_TRUE(hasMessage("Connection to Data Device Cell 1-6 is down."));
    for (int n = 0; n < 20; ++n) tick();
    check();
    EXPECT_NE(device(1).ErrorCode, 0);

    lab->find("KLV0001")->replug();
    check();
    EXPECT_EQ(device(1).ErrorCode, 0);
    check();
    EXPECT_TRUE(hasMessage("Connection to Data Device Cell 1-6 is up again."));
    EXPECT_EQ(acq_->check.resyncCount(), 1);
    for (int n = 0; n < 100; ++n) tick();
    EXPECT_GT(cells().GetCellCount(1), counted);
}

// A data device of the virtual lab that hangs: after more than five ticks without an answer
// it leaves the cycle (state 18), the third check reports it, and once the lab has
// unplugged and replugged it the check reopens it and reports it back.
TEST_F(DeviceCheckTest, HangingLabDeviceIsReportedAndBackAfterReplug) {
    std::string error;
    auto lab = kv::sim::Lab::fromText(
        "[Device KLV0001]\nSerial=KLV0001\nType=1\nVersion=KLV/USB V1.4.1\n"
        "Cell1=rate=20\n",
        &error);
    ASSERT_TRUE(lab) << error;
    build(lab->ports(), {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6, 1, 3)});
    rows_.set(7, runningRow("Row A", 3));
    startCell(1, 7);
    for (int n = 0; n < 20; ++n) tick();
    check();
    const int counted = cells().GetCellCount(1);
    EXPECT_GT(counted, 0);

    EXPECT_EQ(lab->command("silence KLV0001 120").substr(0, 2), "ok");
    for (int n = 1; n <= 5; ++n) tick();
    EXPECT_EQ(device(1).ErrorCode, 0);
    tick();
    ASSERT_EQ(device(1).ErrorCode, kv::FT_COMM_HANGS);
    const std::string down = "Connection to Data Device Cell 1-6 is down. Error " +
                             kv::FTStatusText(kv::FT_COMM_HANGS) + "  (18).";
    check();
    check();
    EXPECT_FALSE(hasMessage("is down"));
    check();  // maxUSBErrorCount reached
    EXPECT_TRUE(hasMessage(down));
    EXPECT_EQ(device(1).ErrorCode, kv::FT_COMM_HANGS);  // still hanging: reopening fails

    EXPECT_EQ(lab->command("unplug KLV0001").substr(0, 2), "ok");
    check();
    EXPECT_NE(device(1).ErrorCode, 0);
    advanceSec(120);  // the hang is over by the time the cable is back
    EXPECT_EQ(lab->command("replug KLV0001").substr(0, 2), "ok");
    const kv::LinkHandle before = list_->handleOf(1);
    check();  // reopened by its serial number; its identity answer clears the error
    EXPECT_NE(list_->handleOf(1), before);
    EXPECT_EQ(device(1).ErrorCode, 0);
    check();
    EXPECT_TRUE(hasMessage("Connection to Data Device Cell 1-6 is up again."));
    EXPECT_EQ(acq_->check.resyncCount(), 1);
    EXPECT_FALSE(flags_.configCmdInProgress.load());
    EXPECT_TRUE(flags_.systemRunning.load());
    for (int n = 0; n < 50; ++n) tick();
    EXPECT_GT(cells().GetCellCount(1), counted);
    EXPECT_EQ(device(1).emptyAnswerCount, 0);
}

// A quit during the pause before a resynchronisation ends the pause at once and leaves the
// synchronisation out; the check's thread must not hold the quit for the whole pause.
TEST_F(DeviceCheckTest, QuitInterruptsTheResynchronisationPause) {
    auto dev = dataDevice("KLV0001");
    build({dev}, {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6)});
    cfg_.syncDelayPerDevice_sec = 600;
    int resyncs = 0;
    acq_->check.setResyncHook([&] { ++resyncs; });
    silenceUntilHanging(*dev);
    check();
    dev->setSilent(false);
    check();
    ASSERT_EQ(device(1).ErrorCode, 0);
    // The quit comes from another thread while the check sleeps in virtual time: a clock
    // that raises the quitting flag once 30 s of the pause have passed.
    struct QuitClock : kv::Clock {
        kv::ManualClock& base;
        std::atomic<bool>& quitting;
        kv::TDateTime quitAt;
        QuitClock(kv::ManualClock& b, std::atomic<bool>& q, kv::TDateTime at)
            : base(b), quitting(q), quitAt(at) {}
        kv::TDateTime now() override { return base.now(); }
        void sleepMs(int ms) override {
            base.sleepMs(ms);
            if (base.now() >= quitAt) quitting = true;
        }
    } quitClock(clock_, flags_.quitting, clock_.now() + 30 * kv::kSecond);
    const kv::TDateTime start = clock_.now();
    {
        kv::ScopedClock scoped(quitClock);
        check();
    }
    kv::setClock(&clock_);  // the fixture's clock again
    const double waited = (clock_.now() - start) * 86400.0;
    EXPECT_GE(waited, 30.0);
    EXPECT_LT(waited, 40.0);
    EXPECT_EQ(resyncs, 0);
    EXPECT_EQ(acq_->check.resyncCount(), 0);
    EXPECT_NE(log().find("Synching with devices left out: Kelvora is quitting"), std::string::npos);
    EXPECT_FALSE(flags_.systemRunning.load());  // a quit keeps the system stopped
    EXPECT_FALSE(flags_.configCmdInProgress.load());
    EXPECT_FALSE(flags_.deviceCheckInProgress.load());
}

}  // namespace
}  // namespace kvtest
