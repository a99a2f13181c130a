#pragma once
// One end-to-end run: a lab served by kelvora-sim, a home folder whose configuration points
// the tty backend at the simulator's by-id folder, and the checks of recorded counts
// against the lab's ground truth.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "e2e_support.h"
#include "support/temp_dir.h"

namespace e2e {

// A data device of the lab and the cells it serves.
struct LabDevice {
    std::string serial;
    int firstCell = 1;  // cells firstCell .. firstCell + 5
};

class EndToEnd : public ::testing::Test {
  protected:
    // With $KELVORA_E2E_KEEP set to a folder, a failed run's files (home folder with the
    // debug logs, lab, simulator output) are copied there for inspection.
    void TearDown() override;

    // Writes the lab file and Kelvora.Ini (devices from `data`, plus the case device
    // `caseSerial`) and starts kelvora-sim. `extraKelvora` lines go to section [Kelvora].
    void startLab(const std::string& labText, const std::vector<LabDevice>& data,
                  const std::string& caseSerial, int cells, const std::string& extraKelvora = "");
    // Starts kelvora (run 1, 2, ...) and waits for its console.
    void startProgram(int run, const std::function<void()>& whileStarting = {});

    CtlResult ctl(const std::vector<std::string>& args) { return program_->ctl(args); }
    // A command that must answer ok; the answer for further checks.
    CtlResult ctlOk(const std::vector<std::string>& args);
    // The ground truth of one cell number: its impulses up to `upTo` (0: all).
    long long truth(int cell, kv::TDateTime upTo);
    std::map<int, long long> truthAll(kv::TDateTime upTo);
    // The program's counts of the cells (the `cells` command).
    std::map<int, long long> programCounts();

    // Every data line against the lab: the count of a cell lies between the impulses the
    // lab had dosed `slackSec` before the line's time and those dosed `slackSec` after it,
    // less the handover allowance for every synchronisation that finished before the line.
    void expectLinesMatchTruth(const DataFile& file, double slackSec);
    // Lines of a running row every interval, none missing: the time steps between
    // consecutive lines that are not forced are one interval (within 2 s).
    void expectNoGap(const DataFile& file, double intervalSec);
    // Stops every sample of the lab (a closed manometer doses nothing) and waits until the
    // program has read the last tacts; from then on no impulse is in flight.
    void freezeLab();
    // The last line (written after freezeLab) against the lab's totals: equal, less the
    // handover allowance of each synchronisation.
    void expectFinalLineMatchesTruth(const DataFile& file);
    // A synchronisation has just finished. When it hands the devices back to the
    // acquisition, the tact then in flight may be missed (the device's queue is emptied
    // after the synchronisation, and the acquisition reads only the newest tact): one
    // impulse per cell per synchronisation is the tolerance of every later comparison.
    void syncFinished() { syncs_.push_back(kv::clock().now()); }
    int allowanceAt(kv::TDateTime t) const;
    // The data file of the (single) row; fails the test when it is missing.
    DataFile dataFile();
    // The messages of the program (newest first), as `msgs 200` prints them.
    std::string messages();
    // No sanitizer report from any program of this run.
    void expectNoRaceReports();

    kvtest::TempDir dir_;
    std::string home_ = dir_.file("home");
    std::string byId_ = dir_.file("by-id");
    LabSim sim_;
    std::unique_ptr<Program> program_;
    std::vector<LabDevice> devices_;
    int cells_ = 0;
    std::vector<kv::TDateTime> syncs_;
};

}  // namespace e2e
