// Time values, the periodic update, the value functions, the data file and its reload.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "acquisition/cell_state.h"
#include "common/strutil.h"
#include "rows_fixture.h"

// Records what is flushed to the disk while a test asks for it. Defined here, it takes the
// place of the C library's fsync for the whole test program and passes every call on.
namespace {
std::mutex syncedMutex;
std::vector<std::string>* syncedPaths = nullptr;
}  // namespace

extern "C" int fsync(int fd) {
    using Fsync = int (*)(int);
    static const auto next = reinterpret_cast<Fsync>(dlsym(RTLD_NEXT, "fsync"));
    {
        std::lock_guard lock(syncedMutex);
        if (syncedPaths) {
            std::error_code ec;
            const auto p = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), ec);
            if (!ec) syncedPaths->push_back(p.string());
        }
    }
    return next ? next(fd) : 0;
}

namespace kvtest {
namespace {

namespace fs = std::filesystem;
using kv::kSecond;
using kv::TDateTime;

// The paths flushed while it lives.
class SyncedPaths {
  public:
    SyncedPaths() {
        std::lock_guard lock(syncedMutex);
        syncedPaths = &paths_;
    }
    ~SyncedPaths() {
        std::lock_guard lock(syncedMutex);
        syncedPaths = nullptr;
    }
    std::vector<std::string> take() {
        std::lock_guard lock(syncedMutex);
        return std::exchange(paths_, {});
    }

  private:
    std::vector<std::string> paths_;
};

class RowDataTest : public RowsFixture {
  protected:
    void SetUp() override { build(); }

    // A running row on the given cells, hourly values, `days` long.
    std::shared_ptr<kv::TRow> started(const std::string& name, std::vector<int> cells,
                                      double days = 1) {
        auto r = newRow(name, cells);
        r->Interval = 1;
        r->SIInterval = kv::TimeUnit::Hours;
        r->Duration = days;
        r->SIDuration = kv::TimeUnit::Days;
        EXPECT_TRUE(r->StartRow(false));
        for (int s = 1; s <= r->NrCells; ++s) r->StartCellInRow(s, 0);
        return r;
    }
    std::vector<std::string> fileLines(const std::string& path) {
        std::vector<std::string> out;
        const std::string content = readFile(path);
        for (auto l : kv::split(content, '\n')) {
            if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
            out.emplace_back(l);
        }
        if (!out.empty() && out.back().empty()) out.pop_back();
        return out;
    }
};

TEST_F(RowDataTest, UpdateTakesOneValuePerIntervalAndCatchesUp) {
    auto r = started("Update", {1, 2});
    EXPECT_EQ(r->RTVSize, 24 + 1000);
    const TDateTime start = r->Start;
    cells().SetCellCount(1, 5);
    advanceSeconds(59);
    r->Update(false);
    EXPECT_EQ(r->iRTV, 0);
    advanceSeconds(1);
    ASSERT_TRUE(r->Update(false));
    ASSERT_EQ(r->iRTV, 1);
    EXPECT_DOUBLE_EQ(r->RTV[1].dt, start + 60 * kSecond);
    EXPECT_EQ(r->RowCells[1].Values.count(1), 5);
    EXPECT_EQ(r->RowCells[1].LastCount, 5);
    EXPECT_EQ(r->iRTV_lastSaved, 1);
    // The line is on the disk as soon as Update returns.
    auto lines = fileLines(r->DataFileName());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Date/Time;O2 1;O2 2;T");
    EXPECT_EQ(lines[1], kv::dateTimeToText(start + 60 * kSecond) + ";5;0;");

    // Three hours late: one value per tick until NextCycle is ahead again.
    advanceSeconds(3 * 3600 + 10);
    for (int k = 0; k < 5; ++k) r->Update(false);
    EXPECT_EQ(r->iRTV, 4);
    EXPECT_DOUBLE_EQ(r->RTV[4].dt, start + 60 * kSecond + 3.0 / 24);

    // Forced values: an empty line before each; two within a second are one value.
    r->Update(true);
    advanceSeconds(0.5);
    r->Update(true);
    EXPECT_EQ(r->iRTV, 5);
    lines = fileLines(r->DataFileName());
    ASSERT_EQ(lines.size(), 1u + 4 + 2 * 2);
    EXPECT_EQ(lines[5], "");
    EXPECT_EQ(lines[7], "");

    // The stop time passes: a last value at that moment and the row stops itself.
    clock_.set(r->Stop + 5 * kSecond);
    r->Update(false);
    EXPECT_EQ(r->State, kv::RowState::Stopped);
    EXPECT_DOUBLE_EQ(r->RTV[static_cast<size_t>(r->iRTV)].dt, r->Stop + 5 * kSecond);
    EXPECT_TRUE(hasMessage("Reason: TRow.Update/Now>=Stop ("));
    const int n = r->iRTV;
    r->Update(false);
    EXPECT_EQ(r->iRTV, n);
}

TEST_F(RowDataTest, AFullTimeVectorGrowsWithEveryCellsValues) {
    auto r = started("Grow", {1, 2, 3});
    {
        auto lock = rows().lock();
        r->DurDays = 1.0 / 24;
        r->AllocRTV();
        ASSERT_EQ(r->RTVSize, 1 + 1000);
        // A full vector, as a long run with a short planned duration leaves it.
        r->ensureEntry(1001);
        for (int i = 1; i <= 1001; ++i) {
            r->RTV[static_cast<size_t>(i)].dt = r->Start - (1002 - i) * kSecond;
            for (int s = 1; s <= 3; ++s) r->RowCells[static_cast<size_t>(s)].Values.setCount(i, i);
        }
        r->iRTV = 1001;
        ASSERT_EQ(r->RTVSize, 1001);
    }
    for (int k = 1; k <= 3; ++k) {
        cells().SetCellCount(3, 2000 + k);
        advanceSeconds(2);
        ASSERT_TRUE(r->Update(true));
    }
    EXPECT_EQ(r->iRTV, 1004);
    EXPECT_EQ(r->RTVSize, 2001);
    EXPECT_EQ(r->RowCells[3].NValues, 2001);
    EXPECT_EQ(r->RowCells[3].Values.count(1004), 2003);
    EXPECT_EQ(r->RowCells[2].Values.count(1001), 1001);
    const int lastIndex = 1004;

    // fillRTV grows too, never past now, and at most one interval past upTo.
    {
        auto lock = rows().lock();
        r->Stop = clock_.now() + 10;
        r->Interval = 1;
        r->SIInterval = kv::TimeUnit::Minutes;
    }
    const TDateTime last = r->RTV[static_cast<size_t>(lastIndex)].dt;
    advanceSeconds(1100 * 60 + 30);
    r->fillRTV(clock_.now() - 30 * 60 * kSecond + 20 * kSecond);
    EXPECT_GT(r->iRTV, 2001);
    EXPECT_EQ(r->RTVSize, 3001);
    EXPECT_LE(r->RTV[static_cast<size_t>(r->iRTV)].dt, clock_.now());
    EXPECT_NEAR(r->RTV[static_cast<size_t>(r->iRTV)].dt - last,
                (r->iRTV - lastIndex) * 60 * kSecond, 1e-6);
    EXPECT_EQ(r->RowCells[3].Values.count(r->iRTV), 2003);
    EXPECT_EQ(r->iRTV0, lastIndex);
}

TEST_F(RowDataTest, FillAndLookupByTime) {
    auto r = started("Lookup", {1});
    r->fillRTV(clock_.now() + 1);  // no entries yet
    EXPECT_EQ(r->iRTV, 0);
    EXPECT_EQ(r->get_iRTV(clock_.now()), 0);
    for (int h = 0; h < 3; ++h) {
        advanceSeconds(3600);
        r->Update(false);
    }
    ASSERT_EQ(r->iRTV, 3);
    r->fillRTV(r->Start - 1);  // before the start: nothing
    EXPECT_EQ(r->iRTV, 3);
    const TDateTime t1 = r->RTV[1].dt, t2 = r->RTV[2].dt, t3 = r->RTV[3].dt;
    EXPECT_EQ(r->get_iRTV(t1), 1);
    EXPECT_EQ(r->get_iRTV(t1 - 30 * kSecond), 1);
    EXPECT_EQ(r->get_iRTV(t1 + kSecond), 2);
    EXPECT_EQ(r->get_iRTV(t2), 2);
    EXPECT_EQ(r->get_iRTV(t3), 3);
    EXPECT_EQ(r->get_iRTV(t3 + 10 * kSecond), 3);
    EXPECT_EQ(r->get_iRTV(t3 + 11 * kSecond), 0);
}

TEST_F(RowDataTest, ValueFunctionsAgainstHandComputedNumbers) {
    auto r = newRow("Values", {});
    r->AddCell(1, "check a", 250, 1, 0, 2.0, 50, 2.0);
    r->AddCell(2, "check b", 250, 1, 0, 2.0, 40, 2.5);
    r->AddCell(3, "blind a", 250, 2, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal);
    r->AddCell(4, "blind b", 250, 2, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal);
    r->AddCell(5, "blind cancelled", 250, 2, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal);
    r->AddCell(6, "reference", 500, 3, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal);
    r->BuildSpecialCellTable();
    auto lock = rows().lock();
    r->Tact = 30;
    r->LF2CO2 = 2.0;
    r->DurDays = 1;
    r->IntDays = 1.0 / 24;
    r->AllocRTV();
    r->ensureEntry(1);
    r->iRTV = 1;
    const int counts[] = {100, 120, 10, 20, 500, 300};
    for (int s = 1; s <= 6; ++s)
        r->RowCells[static_cast<size_t>(s)].Values.setCount(1, counts[s - 1]);
    r->RowCells[5].State = kv::CellState::cs_Cancelled;
    r->RowCells[1].TS = 2.0;

    EXPECT_DOUBLE_EQ(r->O2Consumption(1, 1), 25.0);  // 100 x 0.25
    EXPECT_DOUBLE_EQ(r->BOD(1, 1), 100.0);           // 100 / 250 x 250
    EXPECT_DOUBLE_EQ(r->O2PerDriedMatter(1, 1), (25.0 / 250) / 0.02);
    EXPECT_TRUE(kv::isNoValue(r->O2PerDriedMatter(2, 1)));  // no dried matter
    EXPECT_TRUE(kv::isNoValue(r->BOD(7, 1)));
    EXPECT_TRUE(kv::isNoValue(r->BOD(1, 2)));
    r->Tact = 3;
    EXPECT_DOUBLE_EQ(r->O2Consumption(1, 1), 2.5);
    r->Tact = 30;
    // Check substance 1 (index 2.0): (mean(100, 120) - mean(10, 20)) / 40, the P(TC) of
    // the last check cell; degradation / BTh1 of the last one that is not cancelled.
    EXPECT_DOUBLE_EQ(r->MeanBODCheck(1, 1), 110.0);
    EXPECT_DOUBLE_EQ(r->SpecificBOD(1, 1), (110.0 - 15.0) / 40.0);
    EXPECT_DOUBLE_EQ(r->Degradation(1, 1), (110.0 - 15.0) / 40.0 / 2.5 * 100.0);
    EXPECT_DOUBLE_EQ(r->MeanBODReference(1), 300.0 / 500 * 250);
    r->RowCells[2].State = kv::CellState::cs_Cancelled;
    EXPECT_DOUBLE_EQ(r->MeanBODCheck(1, 1), 100.0);
    EXPECT_DOUBLE_EQ(r->SpecificBOD(1, 1), (110.0 - 15.0) / 40.0);  // cancelled checks count here
    EXPECT_DOUBLE_EQ(r->Degradation(1, 1), (110.0 - 15.0) / 40.0 / 2.0 * 100.0);

    // CO2 from raw values (calibration 0..1023 -> 0..100) and from device conductivities.
    r->RowCells[1].aiCO2_start = 800;
    r->RowCells[1].Values.setLf(1, 700);
    EXPECT_DOUBLE_EQ(r->ConductivityFromRaw(1, 1), 700 * 100.0 / 1023);
    EXPECT_DOUBLE_EQ(r->CO2FromRaw(1, -1), 800 * 100.0 / 1023 * 2.0);
    EXPECT_NEAR(r->CO2ProducedWithoutDevice(1, 1), 100 * 100.0 / 1023 * 2.0, 1e-9);
    r->RowCells[1].Values.setLf(1, 1024);
    EXPECT_TRUE(kv::isNoValue(r->CO2FromRaw(1, 1)));
    r->RowCells[2].cdm_LF_0 = 2.0;
    r->RowCells[2].CO2Factor = 1.5;
    r->RowCells[2].Values.setLf(1, 1500000);
    EXPECT_NEAR(r->CO2FromConductivity(2, 1), 3.0, 1e-9);
    EXPECT_NEAR(r->CO2ProducedWithDevice(2, 1), (4.0 - 3.0) * 1.5, 1e-9);
    r->RowCells[2].Values.setLf(1, 2500000);
    EXPECT_DOUBLE_EQ(r->CO2ProducedWithDevice(2, 1), 0.0);
    r->RowCells[2].cdm_LF_0 = -1.0;
    EXPECT_TRUE(kv::isNoValue(r->CO2ProducedWithDevice(2, 1)));
}

TEST_F(RowDataTest, LinesWithCO2AndTheDecimalComma) {
    kv::setDecimalCommaFlag(true);
    cfg_.CDM_Present = true;
    auto r = started("CO2", {5, 6});
    {
        auto lock = rows().lock();
        r->withCO2 = true;
        r->storeEC71_T = true;
    }
    cells().update(5, [](kv::TCell& c) {
        c.cdm_LF = 1.25;
        c.cdm_T = 21.125;
        c.cdm_LF_0 = 1.5;
    });
    cells().SetCellCount(6, 12);
    advanceSeconds(61);
    ASSERT_TRUE(r->Update(false));
    const auto lines = fileLines(r->DataFileName());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Date/Time;O2 5;O2 6;T;LF 5;LF 6;T(LF) 5;T(LF) 6");
    // Cell 6 has no conductivity yet: -1.0 stored as x 1 000 000.
    EXPECT_EQ(lines[1], kv::dateTimeToText(r->RTV[1].dt) + ";0;12;;1250000;-1000000;21,125;0");
    EXPECT_DOUBLE_EQ(r->RowCells[1].cdm_LF_0, 1.5);
    kv::setDecimalCommaFlag(false);
}

TEST_F(RowDataTest, ReloadRepairsAndRestarts) {
    auto r = started("Reload", {1, 2}, 2);
    const TDateTime s = r->Start;
    auto at = [&](double hours, bool iso = false) {
        return kv::dateTimeToText(s + hours / 24, !iso);
    };
    std::string f = "Date/Time;O2 1;O2 2;T\r\n";
    f += at(2) + ";10;20;21.5\r\n";
    f += at(1) + ";5;8;21.4\r\n";          // second earlier than first: accepted
    f += at(3, true) + ";15;30;21,6\r\n";  // the other date style, decimal comma
    f += "\r\n";
    f += "Date/Time;O2 1;O2 2;T\r\n";  // a header again
    f += at(2.5) + ";99;99;20.0\r\n";  // earlier than the previous: dropped, file rewritten
    f += "\x01\x02garbage\xff\xfe\r\n";
    f += at(4) + ";16;abc;;;" + std::string(600, ';') + "\r\n";  // damaged fields, 200+ fields
    f += std::string("\0\0\0\0binary", 10) + "\r\n";
    f += at(5) + ";17;33;21.7\r\n";
    f += at(5.2) + ";18;3";  // no line end: cut short by a crash, removed
    writeFile(r->DataFileName(), f);
    {
        auto lock = rows().lock();
        r->AllocRTV();
    }
    advanceSeconds(5.5 * 3600);
    r->Reload();

    ASSERT_EQ(r->iRTV, 5);
    EXPECT_EQ(r->RowCells[1].Values.count(2), 5);
    EXPECT_EQ(r->RowCells[2].Values.count(3), 30);
    EXPECT_EQ(r->RTV[3].T, 216);
    EXPECT_EQ(r->RowCells[2].Values.count(4), kv::NoValueInt);
    EXPECT_EQ(r->RTV[4].T, kv::NoValueInt);
    EXPECT_EQ(r->RowCells[1].Values.count(5), 17);
    EXPECT_EQ(r->iRTV_lastLoaded, 5);
    EXPECT_EQ(r->lastValidTemp, 217);
    EXPECT_NE(log().find("smaller date/time (" + at(2.5) + ") than last d/t (" + at(3)),
              std::string::npos);
    // Rewritten without the dropped line, in one date style.
    const std::string rewritten = readFile(r->DataFileName());
    EXPECT_EQ(rewritten.find(";99;99;"), std::string::npos);
    EXPECT_EQ(rewritten.find("garbage"), std::string::npos);
    EXPECT_EQ(rewritten.find(";18;3"), std::string::npos);
    EXPECT_TRUE(hasMessage("Meas.series Reload: the last line of data file"));
    // Restarted: the counts go back into the cell model; the next value is on the grid.
    EXPECT_TRUE(r->bActive);
    EXPECT_EQ(cells().GetCellCount(1), 17);
    EXPECT_NEAR(r->NextCycle, s + 6.0 / 24, 1e-9);
    EXPECT_TRUE(hasMessage("Meas.series Reload reloaded and restarted."));
}

TEST_F(RowDataTest, ReloadLimitsStopsAndAppendsAfterACutLine) {
    std::vector<std::string> boxes;
    rows().env().hooks.errorBox = [&boxes](const std::string& t) { boxes.push_back(t); };
    auto r = started("Limit", {1});
    std::string f = "Date/Time;O2 1;T\r\n";
    for (int k = 1; k <= 1030; ++k)
        f += kv::dateTimeToText(r->Start + k * 60 * kSecond) + ";" + std::to_string(k) + ";\r\n";
    f += kv::dateTimeToText(r->Start + 1031 * 60 * kSecond) + ";1031;21.";  // cut short
    writeFile(r->DataFileName(), f);
    {
        auto lock = rows().lock();
        r->DurDays = r->IntDays * 24;
        r->AllocRTV();
    }
    r->Reload();
    EXPECT_EQ(r->iRTV, 1024);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "!!! Reloading row Limit: iRTV(1024) > RTVSize(1024) !!!");
    EXPECT_TRUE(hasMessage(boxes[0]));
    // The lines beyond stay in the file, the cut one is gone, and the next line starts on a
    // line of its own (the clock past the file's lines, which run 17 hours).
    advanceSeconds(1031 * 60 + 3600);
    ASSERT_TRUE(r->Update(true));
    const std::string after = readFile(r->DataFileName());
    EXPECT_NE(after.find(";1030;"), std::string::npos);
    EXPECT_EQ(after.find(";1031;21."), std::string::npos);
    EXPECT_NE(after.find(";1030;\r\n\r\n" + kv::dateTimeToText(clock_.now())), std::string::npos);
    // Nor does a rewrite (the synchronisation changed values already written): it appends
    // what is new and keeps the rest.
    EXPECT_TRUE(r->bIncompleteLoad);
    {
        auto lock = rows().lock();
        const int n = r->iRTV + 1;
        r->ensureEntry(n);
        r->RTV[static_cast<size_t>(n)] = kv::RTVElement{clock_.now() + 60 * kSecond, 215};
        r->RowCells[1].Values.setCount(n, 4242);
        r->RowCells[1].Values.setCount(5, 555);
        r->iRTV = n;
    }
    ASSERT_TRUE(r->RewriteDataFile());
    const std::string kept = readFile(r->DataFileName());
    EXPECT_EQ(kept.rfind(after, 0), 0u);
    EXPECT_NE(kept.find(";4242;21.5\r\n"), std::string::npos);
    EXPECT_EQ(r->iRTV_lastSaved, r->iRTV);

    // A running row whose stop passed while the program was away stops; one with cell
    // control (8) is restarted whatever the time.
    auto late = started("Late", {2});
    clock_.set(late->Stop + 1);
    late->Reload();
    EXPECT_EQ(late->State, kv::RowState::Stopped);
    EXPECT_TRUE(hasMessage("Reason: TRow.Reload/Now>=Stop ("));
    auto control = started("Control", {3});
    {
        auto lock = rows().lock();
        control->State = kv::RowState::StoppedControl;
        control->bActive = false;
    }
    control->Reload();
    EXPECT_TRUE(control->bActive);
    EXPECT_TRUE(hasMessage("Meas.series Control data file"));
}

TEST_F(RowDataTest, DatesFarOutsideTheRowsSpanDoNotStretchTheTimeVector) {
    auto r = started("Far", {1}, 2);
    const TDateTime s = r->Start;
    advanceSeconds(3.5 * 3600);
    std::string f = "Date/Time;O2 1;T\r\n";
    f += kv::dateTimeToText(kv::encodeDateTime(2000, 1, 1, 12)) + ";3;20.0\r\n";
    f += kv::dateTimeToText(s - 1.5) + ";2;20.0\r\n";  // before Start, after realStart
    f += kv::dateTimeToText(s + 1.0 / 24) + ";4;20.0\r\n";
    f += kv::dateTimeToText(clock_.now() + 3) + ";5;20.0\r\n";
    writeFile(r->DataFileName(), f);
    {
        // As loading leaves a row whose first cell started two days after the row.
        auto lock = rows().lock();
        r->realStart = s - 2;
        r->AllocRTV();
    }
    r->Reload();
    ASSERT_EQ(r->iRTV, 2);
    EXPECT_EQ(r->RowCells[1].Values.count(1), 2);
    EXPECT_EQ(r->RowCells[1].Values.count(2), 4);
    EXPECT_NE(log().find("): date/time (" + kv::dateTimeToText(kv::encodeDateTime(2000, 1, 1, 12)) +
                         ") outside "),
              std::string::npos);

    // A last entry dated long before the start: the gap is filled from the start on.
    {
        auto lock = rows().lock();
        r->realStart = s;
        r->RTV[2].dt = kv::encodeDateTime(2000, 1, 1, 12);
    }
    r->fillRTV(clock_.now());
    EXPECT_EQ(r->iRTV, 2 + 3);
    EXPECT_DOUBLE_EQ(r->RTV[3].dt, s + 1.0 / 24);
    EXPECT_EQ(r->RowCells[1].Values.count(5), 4);
}

TEST_F(RowDataTest, ANewDataFileIsFlushedWithItsDirectoryEntry) {
    auto r = started("Durable", {1});
    SyncedPaths synced;
    advanceSeconds(61);
    ASSERT_TRUE(r->Update(false));
    const std::string file = fs::canonical(r->DataFileName()).string();
    const std::string dir = fs::canonical(r->DataDir).string();
    auto has = [](const std::vector<std::string>& v, const std::string& p) {
        return std::find(v.begin(), v.end(), p) != v.end();
    };
    const auto first = synced.take();
    EXPECT_TRUE(has(first, file));
    EXPECT_TRUE(has(first, dir));
    // An append to the existing file flushes the file alone.
    advanceSeconds(3600);
    ASSERT_TRUE(r->Update(false));
    const auto next = synced.take();
    EXPECT_TRUE(has(next, file));
    EXPECT_FALSE(has(next, dir));
}

TEST_F(RowDataTest, AnUnwritableLineIsTriedAgain) {
    auto r = started("Disk", {1});
    fs::create_directory(r->DataFileName());  // the data file cannot be opened
    advanceSeconds(61);
    EXPECT_FALSE(r->Update(false));
    EXPECT_FALSE(r->Update(false));
    EXPECT_EQ(r->iRTV, 1);  // taken when due, kept in memory until it can be written
    EXPECT_EQ(r->iRTV_lastSaved, 0);
    int reports = 0;
    for (const auto& m : messages()) reports += m.find("Runtime Error") != std::string::npos;
    EXPECT_EQ(reports, 1);
    fs::remove(r->DataFileName());
    EXPECT_TRUE(r->Update(false));
    EXPECT_EQ(r->iRTV, 1);
    EXPECT_EQ(r->iRTV_lastSaved, 1);
    EXPECT_NEAR(r->RTV[1].dt, r->Start + 60 * kSecond, 1e-9);
}

}  // namespace
}  // namespace kvtest

namespace kvtest {
namespace {

// The acquisition thread updates the rows and asks for them while the window thread starts,
// stops, saves, exports and deletes rows (the rows lock is let go during the pauses between
// cells). Nothing may race or deadlock.
TEST_F(RowDataTest, TheAcquisitionThreadAndTheWindowThreadShareTheRows) {
    cfg_.DelayBetweenStopCells = 5;
    cfg_.DelayBetweenStartCells = 5;
    std::atomic<bool> done{false};
    std::thread acquisition([&] {
        while (!done.load()) {
            rows().UpdateAll(false);
            for (const auto& r : rows().Snapshot()) rows().findRow(r->UniqueNr);
            rows().RowForCellAt(1, clock_.now());
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (int round = 0; round < 20; ++round) {
        auto r = newRow("Round " + std::to_string(round), {1, 2, 3});
        {
            auto lock = rows().lock();
            r->Interval = 1;
            r->SIInterval = kv::TimeUnit::Minutes;
        }
        ASSERT_TRUE(r->StartDialogStartAll(false));
        advanceSeconds(70);
        r->SuspendCell(2, true, false);
        rows().SaveRowFile(rowFile(), false);
        rows().ExportRow(*r, dir_.file("x.krw"));
        r->Update(true);
        r->StopRow("btnStartStopRowClick");
        rows().DeleteRow(r->UniqueNr);
    }
    done = true;
    acquisition.join();
    EXPECT_EQ(rows().Count(), 0);
}

}  // namespace
}  // namespace kvtest
