// The alarm command during a run on the virtual lab: a data device lost and back, an O2
// tank running low and a leakage alarm each reach the operator's command, and a command
// that hangs holds no tick up. The run is in virtual time; the commands are real processes.

#include <future>

#include "acquisition/acq_fixture.h"
#include "app/alarm_notify.h"
#include "support/wait.h"

namespace kvtest {
namespace {

// Cell 1 doses in every tact (a leak); the second data device is unplugged for a while.
constexpr const char* kLab = R"(
[Lab]
Seed=5
[Device KLV0001]
Serial=KLV0001
Type=1
Cell1=rate=40
Cell2=rate=1
Cell3=rate=3
Cell4=rate=1
Cell5=rate=1
Cell6=rate=1
[Device KLV0002]
Serial=KLV0002
Type=1
Cell1=rate=1
)";

class AlarmEventsTest : public AcqTest {
  protected:
    void SetUp() override {
        std::string error;
        lab_ = kv::sim::Lab::fromText(kLab, &error);
        ASSERT_TRUE(lab_) << error;
        cfg_.syncDelayPerDevice_sec = 0;
        build(lab_->ports(), {deviceSettings("KLV0001", kv::DeviceType::Data, 1, 6),
                              deviceSettings("KLV0002", kv::DeviceType::Data, 7, 12)});
        kv::RowInfo row = runningRow("Leaky", 3);
        row.o2LeakageAlarm = true;
        row.alarmCount = 95;
        row.alarmHours = 1;
        rows_.set(1, row);
        for (int i = 1; i <= 6; ++i) startCell(i, 1);
        // A small tank: 75 % of it is used within minutes.
        cells().update(3, [](kv::TCell& c) { c.O2TankMax = 40; });
    }
    ~AlarmEventsTest() override { kv::alarmNotifier().shutdown(std::chrono::seconds(10)); }

    void configure(const std::string& command, int timeLimitSec) {
        kv::AlarmSettings s;
        s.command = command;
        s.home = dir_.path();
        s.minIntervalSec = 0;
        s.timeLimitSec = timeLimitSec;
        kv::alarmNotifier().configure(s);
    }
    // Two hours and a bit with the device check every third tick; KLV0002 is away from the
    // tenth to the twentieth minute.
    void run() {
        const int ticks = static_cast<int>(2.2 * 3600 * 1000 / cfg_.mmTimerInt);
        for (int n = 1; n <= ticks; ++n) {
            if (n == 300) lab_->find("KLV0002")->unplug();
            if (n == 600) lab_->find("KLV0002")->replug();
            tick();
            if (n % 3 == 0) check();
        }
    }

    std::unique_ptr<kv::sim::Lab> lab_;
};

TEST_F(AlarmEventsTest, CommandReceivesLostAndReturningDeviceTankLowAndLeakage) {
    const std::string script = dir_.file("alarm.sh");
    writeFile(script, "#!/bin/sh\nprintf '%s|%s\\n' \"$1\" \"$2\" >> events.txt\n");
    ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
    configure(script, 30);
    run();

    const auto has = [&](const std::string& line) {
        return readFile(dir_.file("events.txt")).find(line) != std::string::npos;
    };
    const std::string lost = "device-lost|Connection to Data Device ";
    ASSERT_TRUE(waitFor(60, [&] {
        return has(lost) && has("device-back|") && has("tank-low|") && has("leakage|");
    })) << readFile(dir_.file("events.txt"));
    EXPECT_TRUE(has("tank-low|O2-Tank low for cell(s): 3; "));
    EXPECT_TRUE(has("leakage|Row Leaky: Cell 1 suspended due to alarm condition !"));
    EXPECT_TRUE(has(" is up again.")) << readFile(dir_.file("events.txt"));
    EXPECT_EQ(cells().GetCellState(1), kv::CellState::cs_SuspendedO2);
    // Every event once: the tank is told once per run, the device lost and back once.
    kv::alarmNotifier().shutdown(std::chrono::seconds(10));
    EXPECT_EQ(countIn(readFile(dir_.file("events.txt")), "\n"), 4)
        << readFile(dir_.file("events.txt"));
}

TEST_F(AlarmEventsTest, HangingCommandHoldsNoTickUp) {
    // Ends only at its time limit, long after the run could have waited for it.
    configure("sleep 600; :", 2);
    auto done = std::async(std::launch::async, [this] { run(); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(300)), std::future_status::ready)
        << "the run waited for the alarm command";
    done.get();
    EXPECT_GE(kv::alarmNotifier().started(), 4);
    EXPECT_EQ(cells().GetCellState(1), kv::CellState::cs_SuspendedO2);
    ASSERT_TRUE(waitFor(60, [&] { return countIn(log(), "ran longer than 2 s") > 0; }));
    kv::alarmNotifier().shutdown(std::chrono::seconds(10));
    // Four commands ended by the time limit, one line in the debug log.
    EXPECT_EQ(countIn(log(), "Alarm command [sleep 600; :]"), 1) << log();
}

}  // namespace
}  // namespace kvtest
