// The program on the virtual lab with the shipped CO2 example: the real start-up serves the
// configured EC71 meter in process (as `kelvora --simulate` does), a series that measures
// CO2 records conductivities, and they and the series' CO2 follow what the lab's samples
// put into the absorbers. Virtual time; the program's own timer threads.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>
#include <vector>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "console/commands.h"
#include "console/console_frontend.h"
#include "console/simulated_lab.h"
#include "sim/lab.h"
#include "sim/meters/ec71_meter.h"
#include "sim/meters/lab_absorbers.h"
#include "support/temp_dir.h"
#include "system/application.h"
#include "system/operations.h"

using namespace kv;

namespace {

const std::string kExample = std::string(KELVORA_SOURCE_DIR) + "/examples/Kelvora-co2.Ini";
constexpr int kCells = 3;  // the series measures cells 1..3

// A reading as the cycle stored it in a cell. The meter measured the absorber after the
// previous reading of any cell was stored (the cycle serves one cell after the other) and
// before this one was: between `after` and `ref`.
struct Reading {
    TDateTime after = 0;
    TDateTime ref = 0;
    double lf = 0;
};

// The lab's CO2 in the absorbers of cells 1..kCells over virtual time. It only grows, so a
// reading taken between two moments lies between the values of the samples around them.
class Truth {
  public:
    void add(TDateTime t, sim::LabAbsorbers& a) {
        Sample s{t, {}};
        for (int c = 1; c <= kCells; ++c) s.co2[size_t(c)] = a.co2Mg(0, c);
        samples_.push_back(s);
    }
    // The last sample at or before t, and the first at or after t.
    double before(int c, TDateTime t) const {
        double v = 0;
        for (const Sample& s : samples_) {
            if (s.t > t) break;
            v = s.co2[size_t(c)];
        }
        return v;
    }
    double after(int c, TDateTime t) const {
        for (const Sample& s : samples_)
            if (s.t >= t) return s.co2[size_t(c)];
        return samples_.empty() ? 0 : samples_.back().co2[size_t(c)];
    }

  private:
    struct Sample {
        TDateTime t = 0;
        std::array<double, kCells + 1> co2{};
    };
    std::vector<Sample> samples_;
};

// The frame sections of the example are the ones the virtual meter answers.
void expectFramesOfTheVirtualMeter(const IniFile& example, const std::string& scratch) {
    kvtest::writeFile(scratch, sim::EC71Meter::frameSections());
    const IniFile meter(scratch);
    ASSERT_EQ(meter.sections().size(), 24u);
    for (const std::string& section : meter.sections())
        for (const std::string& key : meter.keys(section))
            EXPECT_EQ(example.readRaw(section, key, "<missing>"), meter.readRaw(section, key, ""))
                << "[" << section << "] " << key;
}

}  // namespace

TEST(SimulatedCo2, ExampleConfigurationRecordsConductivityAndCO2OfTheLab) {
    kvtest::TempDir home;
    std::filesystem::create_directory(home.file("Dbg"));
    std::filesystem::copy_file(kExample, home.file("Kelvora.Ini"));
    {
        IniFile ini(home.file("Kelvora.Ini"));
        expectFramesOfTheVirtualMeter(ini, home.file("frames.ini"));
        // Only the timer periods change: the ticks come in real time, the test moves the
        // virtual time quickly.
        ini.writeString("Kelvora", "mmTimerInt", "50");
        ini.writeString("Kelvora", "EC71_mmTimerInt", "20");
    }
    ManualClock clock(encodeDateTime(2026, 5, 4, 9));
    ScopedClock scoped(clock);

    // The lab as `kelvora --simulate` builds it, and a view of its absorbers for the truth.
    std::string error;
    auto lab = buildSimulatedLab(IniFile(home.file("Kelvora.Ini")), "", error);
    ASSERT_TRUE(lab) << error;
    sim::LabAbsorbers absorbers;
    absorbers.add(lab->co2Device("KLVCO2C1"), lab->dataDevice("KLVCO2D1"));
    ASSERT_NE(lab->co2Device("KLVCO2C1"), nullptr);

    ConsoleFrontEnd ui;
    ui.quiet = true;
    StartOptions options;
    options.home = home.path();
    options.simPorts = lab->ports();
    options.simLab = lab.get();
    Application app(options, ui);
    ASSERT_EQ(app.startup(), 0);
    TKelvora& k = app.kelvora();
    // The start-up check reached the meter over the serial layer.
    EXPECT_TRUE(k.ec71[0]->Online.load());
    EXPECT_EQ(k.ec71[0]->StatusText(), "");

    Operations ops(k, ui);
    CommandInterpreter console(ops, ui, [] { return false; });
    Truth truth;
    truth.add(clock.now(), absorbers);
    TDateTime lastStored = clock.now();
    for (const char* line :
         {"row new CO2 cells=1-3 tact=3 interval=1min duration=1d co2", "row start CO2"}) {
        const ConsoleReply r = console.execute(line);
        ASSERT_TRUE(r.ok) << line << " -> " << r.text();
    }
    std::shared_ptr<TRow> row;
    for (const auto& r : k.rows.Snapshot())
        if (r->Name == "CO2") row = r;
    ASSERT_TRUE(row);

    // Virtual time runs until every cell has five readings and the series holds eight time
    // values with CO2 for every cell.
    std::array<std::vector<Reading>, kCells + 1> readings;
    auto enough = [&] {
        for (int c = 1; c <= kCells; ++c)
            if (readings[size_t(c)].size() < 5) return false;
        return true;
    };
    auto valuesWithCO2 = [&] {
        auto lock = k.rows.lock();
        int n = 0;
        for (int i = 1; i <= row->iRTV; ++i) {
            bool all = true;
            for (int s = 1; s <= kCells; ++s) all = all && !isNoValue(row->CO2Produced(s, i));
            n += all;
        }
        return n;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!(enough() && valuesWithCO2() >= 8) && std::chrono::steady_clock::now() < deadline) {
        clock.advanceMs(250);
        truth.add(clock.now(), absorbers);
        for (int c = 1; c <= kCells; ++c) {
            const TCell cell = k.acq.cells.cell(c);
            auto& seen = readings[size_t(c)];
            if (cell.cdm_LF_Ref <= 0 || (!seen.empty() && seen.back().ref == cell.cdm_LF_Ref))
                continue;
            seen.push_back({lastStored, cell.cdm_LF_Ref, cell.cdm_LF});
            lastStored = cell.cdm_LF_Ref;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_TRUE(enough() && valuesWithCO2() >= 8) << "no CO2 values within 2 minutes";
    EXPECT_EQ(absorbers.overlaps(), 0) << "two absorbers were switched to the meter at once";
    ASSERT_TRUE(app.quit(QuitSource::System));
    app.shutdown();

    // Every reading is what the absorber held when the meter measured it (four decimals).
    auto lf = [](double co2) { return 2.5 - co2 / 9.7216; };
    for (int c = 1; c <= kCells; ++c) {
        for (const Reading& r : readings[size_t(c)]) {
            EXPECT_GE(r.lf, lf(truth.after(c, r.ref)) - 1e-4) << "cell " << c;
            EXPECT_LE(r.lf, lf(truth.before(c, r.after)) + 1e-4) << "cell " << c;
        }
    }

    auto lock = k.rows.lock();
    for (int c = 1; c <= kCells; ++c) {
        const auto& seen = readings[size_t(c)];
        // LF_0 comes from the first readings; an absorber only loses conductivity, so it
        // is the first one.
        EXPECT_DOUBLE_EQ(row->RowCells[size_t(c)].cdm_LF_0, seen.front().lf) << "cell " << c;
        int compared = 0;
        for (int i = 1; i <= row->iRTV; ++i) {
            const double value = row->RowCells[size_t(c)].Values.lf(i) * 1e-6;
            if (value <= 0) continue;
            // A time value holds a reading stored before the acquisition tick that wrote it,
            // which comes a little after the value's time.
            const TDateTime t = row->RTV[size_t(i)].dt;
            const Reading* match = nullptr;
            for (const Reading& r : seen)
                if (std::abs(r.lf - value) < 2e-6 && r.ref <= t + 120 * kSecond) match = &r;
            ASSERT_NE(match, nullptr)
                << "cell " << c << " value " << i << ": " << value << " is no reading of the meter";
            // The series' CO2 is what the sample produced between the first reading and
            // this one.
            const double co2 = row->CO2Produced(c, i);
            if (isNoValue(co2)) continue;
            const Reading& first = seen.front();
            const double low = truth.before(c, match->after) - truth.after(c, first.ref);
            const double high = truth.after(c, match->ref) - truth.before(c, first.after);
            EXPECT_GE(co2, std::max(0.0, low) - 0.002) << "cell " << c << " value " << i;
            EXPECT_LE(co2, high + 0.002) << "cell " << c << " value " << i;
            ++compared;
        }
        EXPECT_GE(compared, 8) << "cell " << c;
    }
    // The strongest sample has produced a clear amount by the end, and the data file has
    // the conductivity columns.
    EXPECT_GT(row->CO2Produced(1, row->iRTV), 0.2);
    std::string data;
    for (const auto& e : std::filesystem::recursive_directory_iterator(home.path()))
        if (e.path().filename() == "KLVdata.1") data = kvtest::readFile(e.path().string());
    EXPECT_NE(data.find(";LF 1;LF 2;LF 3"), std::string::npos) << data;
}
