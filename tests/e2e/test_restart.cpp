// A row measured across a crash: kelvora is killed with SIGKILL in the middle of an
// interval, stays away for 30 s, and starts again. The devices kept measuring; the row must
// reload, the synchronisation must fill the time value that fell into the gap, and the
// data file must hold every impulse the lab dosed.
#include <signal.h>

#include <thread>

#include "common/datetime.h"
#include "e2e_fixture.h"

namespace e2e {
namespace {

// Six samples from strong to weak respiration: with a 3 s tact a cell doses at most one
// impulse of 0.025 mg per tact (30 mg/h), so cell 1 doses in most tacts and cell 6 in few.
const char* const kLab = R"(
[Lab]
Seed=11
[Device E2ED1]
Type=1
Cell1=rate=25 noise=0.1 settle=0
Cell2=rate=18 noise=0.1 settle=0
Cell3=rate=12 noise=0.1 settle=0
Cell4=rate=6 noise=0.1 settle=0
Cell5=rate=2 noise=0.1 settle=0
Cell6=rate=0.5 noise=0.1 settle=0
[Device E2EC1]
Type=2
Temp=20.5
Drift=0.2
)";

constexpr double kInterval = 60.0;
// A line's count is read at the first acquisition tick (every 2 s) at or after its time,
// which the file holds to the second; a line filled by the synchronisation places the
// device's queue on a 3 s grid counted back from the moment of the synchronisation. Two
// tacts either side cover both; the exact comparison comes at the end, with the lab frozen.
constexpr double kSlackSec = 6.0;

TEST_F(EndToEnd, KillNineAndRestartKeepEveryImpulse) {
    startLab(kLab, {{"E2ED1", 1}}, "E2EC1", 6);
    if (HasFatalFailure()) return;
    startProgram(1);
    if (HasFatalFailure()) return;

    ctlOk({"row", "new", "R", "cells=1-6", "tact=3", "interval=1min", "duration=1d", "mode=0"});
    ctlOk({"row", "start", "R"});

    // Three minutes of measurement: three time values in the data file.
    DataFile file;
    ASSERT_TRUE(waitUntil(Seconds(3 * kInterval + 90), [&] {
        std::string error;
        return readDataFile(findDataFile(home_), file, error) && file.lines.size() >= 3;
    })) << "the row did not write three time values within 4.5 minutes";
    expectLinesMatchTruth(file, kSlackSec);
    const kv::TDateTime third = file.lines[2].t;

    // The crash comes 35 s into the fourth interval, when the program has counted and
    // acknowledged impulses that no data line holds yet, and the program stays away past
    // the fourth time value.
    const auto crashAt = std::chrono::system_clock::now() +
                         std::chrono::milliseconds(static_cast<long long>(
                             ((third - kv::clock().now()) / kv::kSecond + 35.0) * 1000.0));
    std::this_thread::sleep_until(crashAt);
    program_->process().signal(SIGKILL);
    ASSERT_EQ(program_->process().waitExit(Seconds(30)), 128 + SIGKILL);
    std::this_thread::sleep_for(std::chrono::seconds(30));

    startProgram(2);
    if (HasFatalFailure()) return;
    syncFinished();
    // The row reloaded and runs on.
    const CtlResult rows = ctlOk({"rows"});
    EXPECT_EQ(field(rows.out, "row"), "R");
    EXPECT_EQ(field(rows.out, "state"), "Running") << rows.out;
    EXPECT_NE(messages().find("Meas.series R reloaded and restarted."), std::string::npos);

    // The fourth time value fell into the gap; the synchronisation has written it.
    file = dataFile();
    ASSERT_GE(file.lines.size(), 4u) << readFile(findDataFile(home_));
    EXPECT_NEAR((file.lines[3].t - third) / kv::kSecond, kInterval, 2.0) << file.lines[3].text;

    // Some live measurement after the restart, then the exact comparison.
    std::this_thread::sleep_for(std::chrono::seconds(10));
    freezeLab();
    ctlOk({"row", "stop", "R"});
    file = dataFile();
    ASSERT_GE(file.lines.size(), 5u);
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
