// A full lab at full speed: kelvora-sim serves 20 data devices (120 cells) on
// pseudo-terminals, one row of 120 cells measures with a 3 s tact. Every tick must stay
// within its period and read every device's newest tact without missing one; after a
// SIGKILL and two minutes away the synchronisation of all 20 devices fills the gap, and
// from a line in steady state on the counts grow exactly as the lab dosed. The restart's
// console answers from the moment the program holds its lock.
#include <signal.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

#include "common/datetime.h"
#include "e2e_fixture.h"

namespace e2e {
namespace {

constexpr int kDevices = 20;
constexpr double kInterval = 60.0;
// See test_restart.cpp: two tacts either side of a line's time. With 20 devices served by
// one simulator a line now and then lacks one impulse that the lab had dosed two tacts
// before it (the next line has it, and the totals are exact). On a machine busy with the
// suite's builds beside this run, the one simulator process falls further behind the time
// it doses at (a line of 40 cells lacked one or two impulses dosed four tacts before it):
// five tacts here. The lines after the stop still hold exactly what the lab dosed.
constexpr double kSlackSec = 15.0;
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

// The row's counts from a base line on against the lab's: between two lines each cell's
// count grows by what the lab dosed in between, within the slack of both lines' times and
// the handover allowance of the synchronisations in between. The base is a line taken in
// steady state: while the 120 cells start one after the other their device commands hold
// the ticks off, so the first line does not say when it was counted.
class FullLab : public EndToEnd {
  protected:
    void expectGrowthMatchesTruth(const DataFile& file, size_t base, double slackSec) {
        ASSERT_LT(base, file.lines.size());
        const DataLine& b = file.lines[base];
        const auto baseLo = truthAll(b.t - slackSec * kv::kSecond);
        const auto baseHi = truthAll(b.t + slackSec * kv::kSecond);
        for (size_t l = base + 1; l < file.lines.size(); ++l) {
            // Lines after the lab was frozen (the stop's among them) hold all it dosed.
            const DataLine& line = file.lines[l];
            const auto lo = truthAll(line.t - slackSec * kv::kSecond);
            const auto hi = truthAll(line.t + slackSec * kv::kSecond);
            const int allowed = allowanceAt(line.t) - allowanceAt(b.t);
            for (size_t c = 0; c < file.cells.size(); ++c) {
                const int cell = file.cells[c];
                const long long grew = line.counts[c] - b.counts[c];
                const long long least = lo.at(cell) - baseHi.at(cell) - allowed;
                const long long most = hi.at(cell) - baseLo.at(cell);
                EXPECT_TRUE(grew >= least && grew <= most)
                    << "cell " << cell << " grew by " << grew << " from \"" << b.text << "\" to \""
                    << line.text << "\"; the lab dosed " << least << " to " << most;
            }
        }
    }
};

TEST_F(FullLab, TwentyDevicesAtFullSpeedAcrossAKillNine) {
    std::vector<LabDevice> devices;
    for (int d = 1; d <= kDevices; ++d)
        devices.push_back({std::string("FL") + (d < 10 ? "0" : "") + std::to_string(d), 6 * d - 5});
    // The row's 120 cells start and stop one after the other (about a second of device
    // commands each); without the pause between them each takes two minutes, not four.
    startLab(labText(), devices, "FLC1", 6 * kDevices,
             "DelayBetweenStartCells=0\r\nDelayBetweenStopCells=0\r\n");
    if (HasFatalFailure()) return;
    startProgram(1);
    if (HasFatalFailure()) return;

    ctlOk({"row", "new", "R", "cells=1-120", "tact=3", "interval=1min", "duration=1d", "mode=0"});
    const CtlResult started = program_->ctl({"row", "start", "R"}, Seconds(600));
    ASSERT_TRUE(started.ok()) << started.out;
    const kv::TDateTime allStarted = kv::clock().now();
    // Steady state from here: the start-up and the cells' start (whose device commands hold
    // the ticks off) are behind.
    std::this_thread::sleep_for(std::chrono::seconds(10));
    const size_t steadyFrom = debugLogs(home_).size();

    // The first line due after every cell had started (the ticks took it on time), and two
    // more.
    DataFile file;
    size_t base = 0;
    ASSERT_TRUE(waitUntil(Seconds(4 * kInterval + 90), [&] {
        std::string error;
        if (!readDataFile(findDataFile(home_), file, error)) return false;
        for (base = 0; base < file.lines.size(); ++base)
            if (file.lines[base].t > allStarted + 2 * kv::kSecond) break;
        return file.lines.size() >= base + 3;
    })) << "the row did not write three time values after its start within 5.5 minutes";
    expectGrowthMatchesTruth(file, base, kSlackSec);
    {
        const std::string steady = debugLogs(home_).substr(steadyFrom);
        // Every device's tact read at every one: a tick that misses one logs it. A tick the
        // timer skips (the device check was running, or a loaded machine woke the timer
        // late) makes every device miss that one tact, which the next tick reads back from
        // the queue; a slow tick would miss more. So: now and then one tact, never more.
        std::istringstream lines(steady);
        std::string line;
        std::set<std::string> skipped;
        int worse = 0;
        while (std::getline(lines, line)) {
            const size_t at = line.find("Tact#(currDev)/(lastPC)=");
            if (at == std::string::npos || line.find("missed a beat") == std::string::npos)
                continue;
            const std::string pair = line.substr(at + 24);
            const long long tact = std::stoll(pair);
            const long long last = std::stoll(pair.substr(pair.find('/') + 1));
            if (tact != last + 2) ++worse;
            skipped.insert(line.substr(0, 19));
        }
        EXPECT_EQ(worse, 0) << "a tick missed more than one tact";
        EXPECT_LE(skipped.size(), 3u) << "ticks missed a tact at " << skipped.size() << " moments";
        // Every tick within its period.
        EXPECT_EQ(countOf(steady, "longer than its period"), 0);
        // All 20 devices answered (each one's record is logged per tick, under its name).
        for (const LabDevice& d : devices) {
            const std::string name = "{Cell " + std::to_string(d.firstCell) + "-" +
                                     std::to_string(d.firstCell + 5) + "\\Case 1}";
            EXPECT_NE(steady.find(name), std::string::npos) << name;
        }
    }
    const kv::TDateTime third = file.lines[base + 2].t;

    // The crash 30 s into the fourth interval, two minutes away.
    const auto crashAt = std::chrono::system_clock::now() +
                         std::chrono::milliseconds(static_cast<long long>(
                             ((third - kv::clock().now()) / kv::kSecond + 30.0) * 1000.0));
    std::this_thread::sleep_until(crashAt);
    program_->process().signal(SIGKILL);
    ASSERT_EQ(program_->process().waitExit(Seconds(30)), 128 + SIGKILL);
    // The lines the restart's synchronisation fills lie after the kill: its handover
    // allowance (one impulse per cell) holds for them as for every later line.
    syncFinished();
    std::this_thread::sleep_for(std::chrono::duration<double>(kAwaySec));

    // While it starts: once the program has answered, it never says that none runs;
    // `status` gives the step, any other command waits for the timers.
    int answered = 0, starting = 0, refused = 0, lost = 0, wrong = 0;
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
            // Refused, unless the timers started in the meantime.
            const CtlResult rows = ctl({"rows"});
            if (rows.out == "error: starting up\n" && rows.status == 1)
                ++refused;
            else if (!rows.ok())
                ++wrong;
        }
    });
    if (HasFatalFailure()) return;
    EXPECT_EQ(lost, 0);
    EXPECT_GT(starting, 0);
    EXPECT_GT(refused, 0) << sample;
    EXPECT_EQ(wrong, 0) << sample;

    const CtlResult rows = ctlOk({"rows"});
    EXPECT_EQ(field(rows.out, "state"), "Running") << rows.out;
    // All 20 queues were read, each device's lines under its name.
    const std::string logs = debugLogs(home_);
    for (const LabDevice& d : devices) {
        const std::string name = "Cell " + std::to_string(d.firstCell) + "-" +
                                 std::to_string(d.firstCell + 5) + ":     #ofSyncRuns";
        EXPECT_NE(logs.find(name), std::string::npos) << name;
    }
    // The next two time values fell into the gap; the synchronisation has written them.
    file = dataFile();
    ASSERT_GE(file.lines.size(), base + 5);
    EXPECT_NEAR((file.lines[base + 3].t - third) / kv::kSecond, kInterval, 2.0)
        << file.lines[base + 3].text;

    std::this_thread::sleep_for(std::chrono::seconds(10));
    freezeLab();
    const CtlResult stopped = program_->ctl({"row", "stop", "R"}, Seconds(600));
    ASSERT_TRUE(stopped.ok()) << stopped.out;
    file = dataFile();
    ASSERT_GE(file.lines.size(), base + 6);
    // The stop wrote a line of its own (a slow stop of 120 cells may see a regular line
    // after it); like every line after the freeze it holds all the lab dosed.
    bool stopLine = false;
    for (const DataLine& line : file.lines) stopLine = stopLine || line.forced;
    EXPECT_TRUE(stopLine) << "the stop did not write a line of its own";
    expectNoGap(file, kInterval);
    expectGrowthMatchesTruth(file, base, kSlackSec);

    const CtlResult quit = ctl({"quit"});
    EXPECT_TRUE(quit.ok()) << quit.out;
    EXPECT_EQ(program_->process().waitExit(Seconds(60)), 0) << "kelvora did not end after quit";
    sim_.stop();
    expectNoRaceReports();
}

}  // namespace
}  // namespace e2e
