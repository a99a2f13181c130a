// The O2 tank file, refills and the tank-low detection; the count journal.

#include <cstdio>
#include <filesystem>

#include "acquisition/acq_fixture.h"

namespace kvtest {
namespace {

class O2TankTest : public AcqTest {
  protected:
    void SetUp() override {
        kv::setDateTimeFormat("GE");
        build({}, {});
    }
    kv::O2TankFile& tanks() { return acq_->tanks; }
    std::string tankFile() const { return dir_.file("O2_TankData.Txt"); }
};

TEST_F(O2TankTest, WriteAndReadBack) {
    cfg_.Cells = 3;
    cells().update(2, [](kv::TCell& c) {
        c.O2ImpTotal = 1500;
        c.O2TankUsed = 1200;
        c.O2TankDate = kv::encodeDate(2026, 3, 14);
    });
    ASSERT_TRUE(tanks().write_O2TankData());
    EXPECT_EQ(readFile(tankFile()),
              "C1=0, , 234000, 0\r\nC2=1500, 14.03.2026, 234000, 1200\r\nC3=0, , 234000, 0\r\n");
    EXPECT_NE(log().find("stop writing O2_TankData to [" + tankFile() + "]"), std::string::npos);

    for (int i = 1; i <= 3; ++i) cells().InitCell(i);
    tanks().read_O2TankData();
    const kv::TCell c = cells().cell(2);
    EXPECT_EQ(c.O2ImpTotal, 1500);
    EXPECT_EQ(c.O2TankUsed, 1200);
    EXPECT_EQ(c.O2TankDate, kv::encodeDate(2026, 3, 14));
    EXPECT_EQ(cells().cell(1).O2TankDate, 0);
}

TEST_F(O2TankTest, ReadingSkipsWhatItCannotUse) {
    writeFile(tankFile(),
              "no equals sign here\r\n"
              "C3=1200, 2026-03-14, 234000, 1200\r\n"
              "C121=5, 14.03.2026, 5, 5\r\n"
              "C0=5, 14.03.2026, 5, 5\r\n"
              "Cx=5, 14.03.2026, 5, 5\r\n"
              "C4=5, 31.02.2026, 5, 5\r\n"
              "C5=7, 14.03.2026, lots, 2\r\n"
              "C6=9\r\n");
    tanks().read_O2TankData();
    const kv::TCell c3 = cells().cell(3);
    EXPECT_EQ(c3.O2ImpTotal, 1200);
    EXPECT_EQ(c3.O2TankDate, kv::encodeDate(2026, 3, 14));
    EXPECT_EQ(c3.O2TankMax, 234000);
    EXPECT_EQ(c3.O2TankUsed, 1200);
    EXPECT_EQ(cells().cell(1).O2TankMax, 234000);  // untouched
    EXPECT_EQ(cells().cell(4).O2ImpTotal, 0);      // impossible date: skipped
    EXPECT_EQ(cells().cell(5).O2ImpTotal, 7);      // a bad number reads as no value
    EXPECT_TRUE(kv::isNoValue(cells().cell(5).O2TankMax));
    EXPECT_EQ(cells().cell(6).O2ImpTotal, 9);
    EXPECT_TRUE(kv::isNoValue(cells().cell(6).O2TankUsed));
    const std::string l = log();
    EXPECT_NE(l.find("cell number 121 out of range"), std::string::npos);
    EXPECT_NE(l.find("cell number 0 out of range"), std::string::npos);
    EXPECT_NE(l.find("unreadable date [31.02.2026]"), std::string::npos);

    std::remove(tankFile().c_str());
    cells().InitCell(3);
    tanks().read_O2TankData();
    EXPECT_TRUE(hasMessage("O2_TankData file not found: " + tankFile()));
    EXPECT_EQ(cells().cell(3).O2TankMax, cfg_.DefMaxO2Imp);
}

TEST_F(O2TankTest, RefillAndTankLow) {
    cfg_.firstCell = 11;
    cells().update(3, [](kv::TCell& c) {
        c.O2ImpTotal = 190000;
        c.O2TankUsed = 180000;
    });
    const bool comma = kv::decimalCommaFlag();
    kv::setDecimalCommaFlag(true);
    EXPECT_EQ(kv::O2TankFile::usedPercentText(cells().cell(3)), "76,9%");
    kv::setDecimalCommaFlag(comma);
    acq_->check.DeviceCheckTimerTimer();
    EXPECT_TRUE(acq_->alarms.tankLow());
    EXPECT_EQ(status_.panelText(kv::StatusPanel::Info2), "O2-Tank low for cell(s): 3; ");
    EXPECT_TRUE(hasMessage("O2-Tank low for cell(s): 3; "));
    kv::messageList().deleteAll();
    acq_->check.DeviceCheckTimerTimer();
    EXPECT_FALSE(hasMessage("O2-Tank low"));  // once per run

    EXPECT_EQ(tanks().refillQuestion(3), "Refill O2 Tank of cell 13");
    tanks().refill(3);
    const kv::TCell c = cells().cell(3);
    EXPECT_EQ(c.O2TankUsed, 0);
    EXPECT_EQ(c.O2ImpTotal, 190000);
    EXPECT_EQ(c.O2TankMax, cfg_.DefMaxO2Imp);
    EXPECT_EQ(c.O2TankDate, kv::encodeDate(2026, 3, 2));
    EXPECT_TRUE(hasMessage("Refill O2 Tank of cell 13"));
    acq_->check.DeviceCheckTimerTimer();
    EXPECT_FALSE(acq_->alarms.tankLow());
    EXPECT_EQ(status_.panelText(kv::StatusPanel::Info2), "");

    // Exactly at the limit counts as low; a tank without content has no percentage.
    cells().update(4, [](kv::TCell& c) { c.O2TankUsed = 175500; });
    cells().update(5, [](kv::TCell& c) {
        c.O2TankMax = 0;
        c.O2TankUsed = 10;
    });
    acq_->check.DeviceCheckTimerTimer();
    EXPECT_EQ(acq_->alarms.tankLowCells(), "O2-Tank low for cell(s): 4; ");
}

TEST_F(O2TankTest, UnwritableFileIsToldOnceAndKeepsThePrevious) {
    ASSERT_TRUE(tanks().write_O2TankData());
    const std::string before = readFile(tankFile());
    // The temporary file cannot be created where a folder of its name stands.
    std::filesystem::create_directory(tankFile() + ".tmp");
    cells().update(1, [](kv::TCell& c) { c.O2ImpTotal = 99; });
    EXPECT_FALSE(tanks().write_O2TankData());
    EXPECT_FALSE(tanks().write_O2TankData());
    EXPECT_EQ(readFile(tankFile()), before);
    int n = 0;
    for (const auto& l : kv::messageList().newestFirst())
        n += l.find("O2_TankData: ") != std::string::npos;
    EXPECT_EQ(n, 1);
}

// The journal keeps the counts between data lines; a restart gets them back only for cells
// that still belong to the same row, and only when they are higher than what the rows'
// data files gave.
TEST_F(O2TankTest, CountJournalRestoresCountsOfTheSameRow) {
    kv::CountJournal& journal = acq_->journal;
    auto set = [&](int i, int rowNr, int count) {
        cells().update(i, [&](kv::TCell& c) {
            c.RowNr = rowNr;
            c.CellCount = count;
        });
    };
    set(1, 501, 140);
    set(2, 501, 90);
    set(3, 502, 10);
    set(4, 503, 60);
    ASSERT_TRUE(journal.write(clock_.now()));
    const std::string first = readFile(journal.path());
    EXPECT_NE(first.find("C1=501;140\r\nC2=501;90\r\nC3=502;10\r\n"), std::string::npos) << first;
    EXPECT_EQ(first.find("C5="), std::string::npos);  // free cells are not kept
    // Nothing changed: the file is left alone.
    std::filesystem::remove(journal.path());
    ASSERT_TRUE(journal.write(clock_.now()));
    EXPECT_FALSE(std::filesystem::exists(journal.path()));
    set(1, 501, 141);
    ASSERT_TRUE(journal.write(clock_.now()));
    EXPECT_NE(readFile(journal.path()).find("C1=501;141"), std::string::npos);

    // The restart: the rows reloaded older counts from their data files.
    for (int i = 1; i <= 4; ++i) cells().InitCell(i);
    set(1, 501, 120);  // same row, counted on after the last line: restored
    set(2, 501, 95);   // the data file is newer (the counter was set): kept
    set(3, 777, 0);    // another row took the cell: kept
    set(4, 503, 40);   // its row wrote a line at the quit, after the journal: kept
    const kv::TDateTime journalTime = clock_.now();
    const auto newest = [&](int rowNr) {
        return rowNr == 503 ? journalTime + 5 * kv::kSecond : journalTime - 1.0 / 24;
    };
    EXPECT_EQ(journal.restore(newest), 1);
    EXPECT_EQ(cells().GetCellCount(1), 141);
    EXPECT_EQ(cells().GetCellCount(2), 95);
    EXPECT_EQ(cells().GetCellCount(3), 0);
    EXPECT_EQ(cells().GetCellCount(4), 40);

    // A damaged journal restores nothing it cannot read, and never crashes.
    writeFile(journal.path(), std::string("Time=x\r\nC1=501;9999;7\r\nC=1;2\r\nC2=501;-5\r\n") +
                                  std::string(3000, '\0') + "C999=501;5\r\nC2=abc;300\r\n");
    EXPECT_EQ(journal.restore(newest), 0);
    EXPECT_EQ(cells().GetCellCount(1), 141);
}

}  // namespace
}  // namespace kvtest
