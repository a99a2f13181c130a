// One series with CO2 over real I/O: kelvora --headless reaches its data, case and CO2
// devices through the tty backend and the EC71 meter through the serial layer, all served
// by kelvora-sim on pseudo-terminals. The conductivities in the data file and the series'
// CO2 must follow what the lab's samples put into the absorbers, which the lab's dosed O2
// impulses tell.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "co2_e2e.h"
#include "common/datetime.h"
#include "e2e_support.h"
#include "support/temp_dir.h"

namespace e2e {
namespace {

// Samples 1 and 2 respire strongly (the absorbers lose about 0.2 and 0.1 mS/cm an hour),
// the others hardly.
const std::vector<double> kRates = {25, 12, 0.2, 0.2, 0.2, 0.2};
constexpr int kCells = 2;  // the series measures cells 1 and 2

// A line's value is read at the acquisition tick after its time (every 2 s; the file holds
// the time to the second).
constexpr double kLateSec = 5.0;
// The newest reading of a cell is at most one EC71 cycle (6 s and the cells' own time)
// older than the tick that records it.
constexpr double kAgeSec = 25.0;
// The O2 a sample consumed but its device has not dosed yet: less than two impulses.
constexpr double kPendingMg = 2 * kImpulseMg;
// The meter gives four decimals; the data window four.
constexpr double kRoundLF = 1e-4;
constexpr double kRoundCO2 = 2e-3;

class Co2EndToEnd : public ::testing::Test {
  protected:
    void TearDown() override {
        // With $KELVORA_E2E_KEEP, a failed run's files stay for inspection.
        const char* keep = std::getenv("KELVORA_E2E_KEEP");
        if (!keep || !*keep || !HasFailure()) return;
        const std::string target = std::string(keep) + "/Co2EndToEnd";
        std::error_code ec;
        std::filesystem::remove_all(target, ec);
        std::filesystem::create_directories(target, ec);
        for (const auto& e : std::filesystem::directory_iterator(dir_.path(), ec))
            if (e.path().filename() != "by-id")
                std::filesystem::copy(e.path(), target / e.path().filename(),
                                      std::filesystem::copy_options::recursive, ec);
        std::fprintf(stderr, "files of the failed run kept in %s\n", target.c_str());
    }

    // O2 dosed to sample `cell` by time t (0: by now), mg.
    double dosedMg(int cell, kv::TDateTime t) {
        const auto n = sim_.impulses(kCo2Data, t);
        EXPECT_EQ(n.size(), 6u) << "kelvora-sim gave no ground truth";
        return n.size() == 6 ? double(n[size_t(cell - 1)]) * kImpulseMg : 0.0;
    }
    // The CO2 in the absorber of `cell` at time t lies in [low, high].
    double co2Low(int cell, kv::TDateTime t) { return dosedMg(cell, t) * kCO2PerO2; }
    double co2High(int cell, kv::TDateTime t) {
        return (dosedMg(cell, t) + kPendingMg) * kCO2PerO2;
    }

    kvtest::TempDir dir_;
    std::string home_ = dir_.file("home");
    std::string byId_ = dir_.file("by-id");
    LabSim sim_;
    std::unique_ptr<Program> program_;
};

TEST_F(Co2EndToEnd, EC71SeriesFollowsTheMeter) {
    std::filesystem::create_directories(home_ + "/Dbg");
    writeFile(dir_.file("lab.ini"), co2LabText(kRates));
    const std::string ini = co2IniText(byId_);
    ASSERT_FALSE(ini.empty()) << "examples/Kelvora-co2.Ini has no EC71 frame sections";
    writeFile(home_ + "/Kelvora.Ini", ini);
    std::string error;
    ASSERT_TRUE(sim_.start(dir_.file("lab.ini"), byId_, dir_.path(), error)) << error;
    program_ = std::make_unique<Program>(home_);
    ASSERT_TRUE(program_->start(1, error)) << error;
    EXPECT_EQ(program_->ctl({"msgs", "50"}).out.find("No response from serial device"),
              std::string::npos)
        << "the EC71 meter did not answer the start-up check";

    auto ctlOk = [&](const std::vector<std::string>& args) {
        const CtlResult r = program_->ctl(args);
        EXPECT_TRUE(r.ok()) << args[0] << " " << (args.size() > 1 ? args[1] : "") << ":\n" << r.out;
        return r;
    };
    ctlOk({"row", "new", "CO2", "cells=1-2", "tact=3", "interval=0.5min", "duration=1d", "co2"});
    ctlOk({"row", "start", "CO2"});

    // About a minute and a half of measurement: three time values with conductivities of
    // both cells (the first comes when every CO2 cell has had time for a reading).
    LfFile file;
    auto readings = [&] {
        std::string e;
        if (!readLfColumns(findDataFile(home_), file, e)) return 0;
        return int(std::count_if(file.lines.begin(), file.lines.end(), [](const LfLine& l) {
            return std::all_of(l.lf.begin(), l.lf.end(), [](double v) { return v >= 0; });
        }));
    };
    ASSERT_TRUE(waitUntil(Seconds(150), [&] { return readings() >= 3; }))
        << "no three time values with conductivities within 150 s; data file:\n"
        << readFile(findDataFile(home_));
    ctlOk({"row", "stop", "CO2"});
    ASSERT_GE(readings(), 4);
    ASSERT_EQ(file.cells, (std::vector<int>{1, 2}));

    // Every conductivity is the absorber's, read at most kAgeSec before the line's tick.
    const double lfPerMg = 1.0 / kMgPerLF;
    kv::TDateTime firstRead[kCells + 1] = {};
    for (const LfLine& line : file.lines) {
        ASSERT_GT(line.t, 0);
        for (int c = 1; c <= kCells; ++c) {
            const double lf = line.lf[size_t(c - 1)];
            if (lf < 0) continue;
            if (firstRead[c] == 0) firstRead[c] = line.t + kLateSec * kv::kSecond;
            const double low = kLF0 - co2High(c, line.t + kLateSec * kv::kSecond) * lfPerMg;
            const double high = kLF0 - co2Low(c, line.t - kAgeSec * kv::kSecond) * lfPerMg;
            EXPECT_TRUE(lf >= low - kRoundLF && lf <= high + kRoundLF)
                << "cell " << c << " at " << kv::dateTimeToText(line.t) << ": conductivity " << lf
                << ", the absorber held between " << low << " and " << high;
        }
    }
    // The strong sample's absorber has visibly lost conductivity.
    EXPECT_LT(file.lines.back().lf[0], kLF0 - 0.005);

    // The series' CO2 is what the sample produced from its first reading (LF_0, taken no
    // later than the first line with a conductivity) to the reading of each line.
    const CtlResult co2 = ctlOk({"row", "data", "CO2", "co2"});
    const std::vector<ValueLine> values = parseValueTable(co2.out, kCells);
    ASSERT_GE(values.size(), 3u) << co2.out;
    for (const ValueLine& v : values) {
        for (int c = 1; c <= kCells; ++c) {
            const double low = co2Low(c, v.t - kAgeSec * kv::kSecond) - co2High(c, firstRead[c]);
            const double high = co2High(c, v.t + kLateSec * kv::kSecond);
            const double x = v.values[size_t(c - 1)];
            EXPECT_TRUE(x >= std::max(0.0, low) - kRoundCO2 && x <= high + kRoundCO2)
                << "cell " << c << " at " << kv::dateTimeToText(v.t) << ": CO2 " << x
                << " mg, the sample produced between " << low << " and " << high;
        }
    }
    EXPECT_GT(values.back().values[0], 0.05) << co2.out;

    const CtlResult quit = program_->ctl({"quit"});
    EXPECT_TRUE(quit.ok()) << quit.out;
    EXPECT_EQ(program_->process().waitExit(Seconds(60)), 0) << "kelvora did not end after quit";
    sim_.stop();
    EXPECT_EQ(program_->allStderr().find("Sanitizer"), std::string::npos) << program_->allStderr();
    EXPECT_EQ(sim_.stderrText().find("Sanitizer"), std::string::npos) << sim_.stderrText();
}

}  // namespace
}  // namespace e2e
