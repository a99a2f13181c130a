// A full lab at full speed: kelvora-sim serves 20 data devices (120 cells) on
// pseudo-terminals, one row of 120 cells measures with a 3 s tact. Every tick must stay
// within its period and read every device's newest tact without missing one; after a
// SIGKILL and two minutes away the synchronisation of all 20 devices fills the gap, and the
// counts still equal the lab's. The restart's console answers from the moment the program
// holds its lock.
#include <signal.h>

#include <filesystem>
#include <sstream>
#include <thread>

#include "common/datetime.h"
#include "e2e_fixture.h"

namespace e2e {
namespace {

constexpr int kDevices = 20;
constexpr double kInterval = 60.0;
constexpr double kSlackSec = 6.0;  // see test_restart.cpp
constexpr double kAwaySec = 120.0;

std::string labText() {
    std::ostringstream lab;
    lab << "[Lab]\nSeed=15\n";
    // From strong to weak respiration, shifted per device so that no two devices agree.
    const double rates[6] = {25, 18, 12, 6, 2, 0.5};
    for (int d = 1; d <= kDevices; ++d) {
        lab << "[Device FL" << (d < 10 ? "0" : "") << d << "]\nType=1\n";
        for (int k = 1; k <= 6; ++k)
            lab << "Cell" << k << "=rate=" << rates[(k + d) % 6] << " noise=0.1 settle=0\n";
    }
    lab << "[Device FLC1]\nType=2\nTemp=20.5\n";
    return lab.str();
}

std::string debugLogs(const std::string& home) {
    std::string all;
    for (const auto& e : std::filesystem::directory_iterator(home + "/Dbg"))
        all += readFile(e.path().string());
    return all;
}

int countOf(const std::string& text, const std::string& needle) {
    int n = 0;
    for (size_t p = text.find(needle); p != std::string::npos; p = text.find(needle, p + 1)) ++n;
    return n;
}

TEST_F(EndToEnd, TwentyDevicesAtFullSpeedAcrossAKillNine) {
    std::vector<LabDevice> devices;
    for (int d = 1; d <= kDevices; ++d)
        devices.push_back({std::string("FL") + (d < 10 ? "0" : "") + std::to_string(d), 6 * d - 5});
    startLab(labText(), devices, "FLC1", 6 * kDevices);
    if (HasFatalFailure()) return;
    startProgram(1);
    if (HasFatalFailure()) return;

    ctlOk({"row", "new", "R", "cells=1-120", "tact=3", "interval=1min", "duration=1d", "mode=0"});
    ctlOk({"row", "start", "R"});
    // Steady state from here: the start-up and the cells' start are behind.
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const size_t steadyFrom = debugLogs(home_).size();

    DataFile file;
    ASSERT_TRUE(waitUntil(Seconds(2 * kInterval + 90), [&] {
        std::string error;
        return readDataFile(findDataFile(home_), file, error) && file.lines.size() >= 2;
    })) << "the row did not write two time values within 3.5 minutes";
    expectLinesMatchTruth(file, kSlackSec);
    {
        const std::string steady = debugLogs(home_).substr(steadyFrom);
        // Every device's tact read at every one: a tick that misses one logs it.
        EXPECT_EQ(countOf(steady, "missed a beat"), 0);
        // Every tick within its period.
        EXPECT_EQ(countOf(steady, "longer than its period"), 0);
        // All 20 devices answered (each one's record is logged per tick, under its name).
        for (const LabDevice& d : devices) {
            const std::string name = "{Cell " + std::to_string(d.firstCell) + "-" +
                                     std::to_string(d.firstCell + 5) + "\\Case 1}";
            EXPECT_NE(steady.find(name), std::string::npos) << name;
        }
    }
    const kv::TDateTime second = file.lines[1].t;

    // The crash 30 s into the third interval, two minutes away.
    const auto crashAt = std::chrono::system_clock::now() +
                         std::chrono::milliseconds(static_cast<long long>(
                             ((second - kv::clock().now()) / kv::kSecond + 30.0) * 1000.0));
    std::this_thread::sleep_until(crashAt);
    program_->process().signal(SIGKILL);
    ASSERT_EQ(program_->process().waitExit(Seconds(30)), 128 + SIGKILL);
    std::this_thread::sleep_for(std::chrono::duration<double>(kAwaySec));

    // While it starts: once the program has answered, it never says that none runs;
    // `status` gives the step, any other command waits for the timers.
    int answered = 0, starting = 0, refused = 0, lost = 0;
    std::string sample;
    startProgram(2, [&] {
        const CtlResult st = ctl({"status"});
        if (st.out.find("no Kelvora runs") != std::string::npos) {
            if (answered > 0) ++lost;
            return;
        }
        ++answered;
        if (st.ok() && st.out.find("state: starting") != std::string::npos &&
            st.out.find("step: ") != std::string::npos) {
            ++starting;
            sample = st.out;
            const CtlResult rows = ctl({"rows"});
            if (rows.out == "error: starting up\n" && rows.status == 1) ++refused;
        }
    });
    if (HasFatalFailure()) return;
    syncFinished();
    EXPECT_EQ(lost, 0);
    EXPECT_GT(starting, 0);
    EXPECT_EQ(refused, starting) << sample;

    const CtlResult rows = ctlOk({"rows"});
    EXPECT_EQ(field(rows.out, "state"), "Running") << rows.out;
    // All 20 queues were read, each device's lines under its name.
    const std::string logs = debugLogs(home_);
    for (const LabDevice& d : devices) {
        const std::string name = "Cell " + std::to_string(d.firstCell) + "-" +
                                 std::to_string(d.firstCell + 5) + ":     #ofSyncRuns";
        EXPECT_NE(logs.find(name), std::string::npos) << name;
    }
    // The third time value fell into the gap; the synchronisation has written it.
    file = dataFile();
    ASSERT_GE(file.lines.size(), 3u);
    EXPECT_NEAR((file.lines[2].t - second) / kv::kSecond, kInterval, 2.0) << file.lines[2].text;

    std::this_thread::sleep_for(std::chrono::seconds(10));
    freezeLab();
    ctlOk({"row", "stop", "R"});
    file = dataFile();
    ASSERT_GE(file.lines.size(), 4u);
    expectNoGap(file, kInterval);
    expectLinesMatchTruth(file, kSlackSec);
    expectFinalLineMatchesTruth(file);

    const CtlResult quit = ctl({"quit"});
    EXPECT_TRUE(quit.ok()) << quit.out;
    EXPECT_EQ(program_->process().waitExit(Seconds(60)), 0) << "kelvora did not end after quit";
    sim_.stop();
    expectNoRaceReports();
}

}  // namespace
}  // namespace e2e
