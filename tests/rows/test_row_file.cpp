// The row definitions file, export and import, and deleting a row with its data.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "acquisition/cell_state.h"
#include "common/strutil.h"
#include "rows_fixture.h"
#include "sample_row_file.h"

namespace kvtest {
namespace {

namespace fs = std::filesystem;
using kv::kSecond;

class RowFileTest : public RowsFixture {
  protected:
    void SetUp() override { build(); }
    // A fresh program over the same folder, the row file loaded.
    void reload() {
        build();
        rows().LoadRowFile(rowFile());
    }
};

TEST_F(RowFileTest, EveryFieldSurvivesSaveAndLoad) {
    cfg_.CDM_Present = true;
    auto r = newRow("Klärschlamm \"Nord\"", {});
    r->AddCell(3, "Zulauf", 250.125, 0, 1, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal);
    r->AddCell(4, "Prüf|substanz", 100, 1, 1, 2.5, 47.5, 1.75);
    r->AddCell(5, "Blind", 100, 2, 1, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal);
    r->AddCell(6, "Toxicity", 100, 4, 1, kv::NoValueReal, 147.5, 1.9);
    r->BuildSpecialCellTable();
    r->bEvalWindow = false;
    r->LagRateHours = 2.5;
    r->LagRatePercent = 30;
    r->LagLinearHours = 12;
    r->SpecialCells[1].flag = {1, 0, 1};
    r->SpecialCells[1].arr[3] = {4, 5, 6};
    r->SampleDate = "01.03.2026";
    r->SampleTemp = "4";
    r->SampleAnalytiker = "B. Müller";
    r->Comment = {" leading blank", "'quoted'", ""};
    r->PassWd = "Geheim#1";
    r->Duration = 28;
    r->Interval = 30;
    r->SIInterval = kv::TimeUnit::Minutes;
    r->Tact = 30;
    r->RowMode = 1;
    r->ZeroNeeded = 1;
    r->withCO2 = true;
    r->storeEC71_T = true;
    r->CO2Mean = true;
    r->AttritionDivider = 2;
    r->AlarmCount = 80;
    r->AlarmHours = 3;
    r->bO2LeakageAlarm = true;
    r->LF2CO2 = 9.7216123;
    r->ContinueCellControl = true;
    r->bCountAfterAllCellsStarted = true;
    r->bAllCellsStarted = false;
    r->XFromDate = kv::encodeDate(2026, 3, 1);
    r->XFromTime = 0.25;
    r->XToDate = kv::encodeDate(2026, 3, 29);
    r->XToTime = 0.5;
    r->XStep = 2.5;
    r->XUnit = kv::TimeUnit::Hours;
    r->LegendPosition = {120, -4};
    r->YValues = {0, 400, 40, 0, 200, 20, 0, 50, 5};
    r->YTexts = {"Imp", "mg/l", "CO2|mg"};
    r->RowCells[2].ChartSel1 = {1, {2, 3, 4, 1, 2}};
    r->RowCells[2].ChartSel2 = {1, {5, 6, 2, 2, 1}};
    r->RowCells[2].cdm_LF_0 = 1.234567;
    r->RowCells[2].CO2Factor = 1.12345678;
    r->RowCells[1].TS = 2.5;
    r->Created = kv::encodeDateTime(2026, 3, 1, 9, 30, 15);
    auto t = newRow("Template", {}, true);
    t->AddCell(7, "T1", 50, 0, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal);
    t->RowCells[1].bMapped = false;
    ASSERT_TRUE(rows().SaveRowFile(rowFile(), false));
    const int nr = r->UniqueNr, tnr = t->UniqueNr;
    const std::string saved = readFile(rowFile());
    EXPECT_EQ(saved.substr(0, 30), "[Current]\r\n1=1\r\n2=2\r\n\r\n\r\n[1]\r\n");

    reload();
    ASSERT_EQ(rows().Count(), 2);
    EXPECT_EQ(rows().At(0)->UniqueNr, tnr);  // loaded backwards
    auto l = rows().FindByUniqueNr(nr);
    ASSERT_TRUE(l);
    EXPECT_EQ(l->Name, r->Name);
    EXPECT_EQ(l->SampleAnalytiker, r->SampleAnalytiker);
    EXPECT_EQ(l->Comment, r->Comment);
    EXPECT_EQ(l->PassWd, "Geheim#1");
    EXPECT_DOUBLE_EQ(l->Duration, 28);
    EXPECT_DOUBLE_EQ(l->Interval, 30);
    EXPECT_EQ(l->SIInterval, kv::TimeUnit::Minutes);
    EXPECT_EQ(l->Tact, 30);
    EXPECT_EQ(l->RowMode, 1);
    EXPECT_EQ(l->ZeroNeeded, 1);
    EXPECT_TRUE(l->withCO2 && l->storeEC71_T && l->CO2Mean && l->ContinueCellControl);
    EXPECT_TRUE(l->bCountAfterAllCellsStarted);
    EXPECT_FALSE(l->bAllCellsStarted);
    EXPECT_EQ(l->AttritionDivider, 2);
    EXPECT_EQ(l->AlarmCount, 80);
    EXPECT_EQ(l->AlarmHours, 3);
    EXPECT_TRUE(l->bO2LeakageAlarm);
    EXPECT_DOUBLE_EQ(l->LF2CO2, 9.7216123);
    EXPECT_FALSE(l->bEvalWindow);
    EXPECT_DOUBLE_EQ(l->LagRateHours, 2.5);
    EXPECT_DOUBLE_EQ(l->LagRatePercent, 30);
    EXPECT_DOUBLE_EQ(l->LagLinearHours, 12);
    EXPECT_EQ(l->RowCells[4].Mode, 4);
    EXPECT_DOUBLE_EQ(l->RowCells[4].PTC, 147.5);
    // The template never had them: the defaults.
    auto lTemplate = rows().FindByUniqueNr(tnr);
    ASSERT_TRUE(lTemplate);
    EXPECT_TRUE(lTemplate->bEvalWindow);
    EXPECT_DOUBLE_EQ(lTemplate->LagRatePercent, 25);
    EXPECT_DOUBLE_EQ(l->XFromDate, r->XFromDate);
    EXPECT_DOUBLE_EQ(l->XFromTime, 0.25);
    EXPECT_DOUBLE_EQ(l->XToTime, 0.5);
    EXPECT_DOUBLE_EQ(l->XStep, 2.5);
    EXPECT_EQ(l->XUnit, kv::TimeUnit::Hours);
    EXPECT_EQ(l->LegendPosition, r->LegendPosition);
    EXPECT_EQ(l->YValues, r->YValues);
    EXPECT_EQ(l->YTexts[2], "CO2/mg");
    EXPECT_DOUBLE_EQ(l->Created, r->Created);
    EXPECT_EQ(l->State, kv::RowState::Defined);
    EXPECT_EQ(l->SpecialCellMode, 1);
    ASSERT_EQ(l->NrSpecialCells, 2);
    EXPECT_EQ(l->SpecialCells[1], r->SpecialCells[1]);
    EXPECT_DOUBLE_EQ(l->SpecialCells[2].value, kv::kReferenceIndex);
    ASSERT_EQ(l->NrCells, 4);
    const kv::RowCell& c = l->RowCells[2];
    EXPECT_EQ(c.CellNr, 4);
    EXPECT_EQ(c.Name, "Prüf/substanz");
    EXPECT_DOUBLE_EQ(c.Vol, 100);
    EXPECT_EQ(c.Mode, 1);
    EXPECT_DOUBLE_EQ(c.Index, 2.5);
    EXPECT_DOUBLE_EQ(c.PTC, 47.5);
    EXPECT_DOUBLE_EQ(c.BTH1, 1.75);
    EXPECT_EQ(c.RowMode, 1);
    EXPECT_EQ(c.ChartSel1, r->RowCells[2].ChartSel1);
    EXPECT_EQ(c.ChartSel2, r->RowCells[2].ChartSel2);
    EXPECT_DOUBLE_EQ(c.cdm_LF_0, 1.234567);
    EXPECT_DOUBLE_EQ(c.CO2Factor, 1.12345678);
    EXPECT_DOUBLE_EQ(l->RowCells[1].Vol, 250.125);
    EXPECT_DOUBLE_EQ(l->RowCells[1].TS, 2.5);
    EXPECT_TRUE(kv::isNoValue(l->RowCells[1].Index));
    // Assigned cells are mapped again; the template's "??" cell is not.
    EXPECT_EQ(cells().cell(4).RowNr, nr);
    auto lt = rows().FindByUniqueNr(tnr);
    EXPECT_FALSE(lt->RowCells[1].bMapped);
    EXPECT_EQ(lt->RowCells[1].CellNr, 7);
    EXPECT_EQ(cells().cell(7).RowNr, 0);
    // Saving what was loaded gives the same definitions (in the reversed order).
    ASSERT_TRUE(rows().SaveRowFile(rowFile(), false));
    reload();
    EXPECT_EQ(rows().At(0)->UniqueNr, nr);
    EXPECT_EQ(rows().FindByUniqueNr(nr)->PassWd, "Geheim#1");
}

// Every value of the password line differs at each write (random filler); the rest of a
// loaded file is written back byte for byte.
std::string withoutPasswords(const std::string& file) {
    std::string out;
    for (const auto line : kv::split(file, '\n'))
        out += (line.starts_with("PassWd=") ? std::string("PassWd=*\r") : std::string(line)) + "\n";
    return out;
}

TEST_F(RowFileTest, AStoredFileIsWrittenBackUnchanged) {
    cfg_.CDM_Present = true;
    const std::string sample =
        kv::replaceAll(kv::replaceAll(kSampleRowFile, "\n", "\r\n"), "@DATA@", cfg_.DataRoot);
    writeFile(rowFile(), sample);
    reload();
    ASSERT_EQ(rows().Count(), 3);
    // Loaded backwards; each row under its own section name, in the file's order.
    std::string written = "[Current]\r\n1=1\r\n2=2\r\n3=3\r\n\r\n\r\n";
    for (const std::string section : {"1", "2", "3"})
        for (const auto& r : rows().Snapshot())
            if (r->RowSection == section) written += r->SectionText(section);
    EXPECT_EQ(withoutPasswords(written), withoutPasswords(sample));
    EXPECT_EQ(rows().FindByUniqueNr(608333333)->PassWd, "Geheim#1");
    EXPECT_EQ(rows().FindByUniqueNr(608333334)->PassWd, "");
}

TEST_F(RowFileTest, RunningAndStoppedRowsSurviveSaveAndLoad) {
    auto r = newRow("Running", {3, 4});
    r->SampleDate = "27.02.2026";
    r->SampleTemp = "4 °C";
    r->Interval = 30;
    r->SIInterval = kv::TimeUnit::Minutes;
    r->Duration = 3;
    r->SIDuration = kv::TimeUnit::Days;
    ASSERT_TRUE(r->StartRow(false));
    r->StartCellInRow(1, 0);
    r->StartCellInRow(2, 0);
    auto st = newRow("Stopped", {5});
    ASSERT_TRUE(st->StartDialogStartAll(false));
    advanceSeconds(3600);
    ASSERT_TRUE(r->Update(false));
    r->SuspendCell(2, true, false);
    ASSERT_TRUE(st->StopRow("btnStartStopRowClick"));
    {
        auto lock = rows().lock();
        r->Stop += 0.5;  // prolonged: Stop and orgStop differ
        r->RowCells[1].aiCO2_start = 612;
        r->Saved = false;
    }
    ASSERT_TRUE(rows().SaveRowFile(rowFile(), false));
    // The section as written, but for the password's random filler.
    auto text = [](kv::TRow& row, const std::string& sec) {
        std::string t = row.SectionText(sec);
        const auto p = t.find("PassWd=");
        return p == std::string::npos ? t : t.erase(p, t.find("\r\n", p) - p);
    };
    const std::string running = text(*r, "R"), stopped = text(*st, "S");
    const int nr = r->UniqueNr;

    reload();
    auto l = rows().FindByUniqueNr(nr);
    auto ls = rows().FindByUniqueNr(st->UniqueNr);
    ASSERT_TRUE(l && ls);
    EXPECT_EQ(text(*l, "R"), running);
    EXPECT_EQ(text(*ls, "S"), stopped);
    EXPECT_EQ(l->State, kv::RowState::Running);
    EXPECT_TRUE(l->bActive);
    EXPECT_DOUBLE_EQ(l->Start, r->Start);
    EXPECT_DOUBLE_EQ(l->realStart, r->realStart);
    EXPECT_DOUBLE_EQ(l->Stop, r->Stop);
    EXPECT_DOUBLE_EQ(l->orgStop, r->orgStop);
    EXPECT_NE(l->Stop, l->orgStop);
    EXPECT_DOUBLE_EQ(l->DurDays, r->DurDays);
    EXPECT_DOUBLE_EQ(l->IntDays, r->IntDays);
    EXPECT_EQ(l->SampleDate, "27.02.2026");
    EXPECT_EQ(l->SampleTemp, "4 °C");
    EXPECT_EQ(l->DataDir, r->DataDir);
    EXPECT_FALSE(l->Saved);
    EXPECT_EQ(l->RowCells[1].aiCO2_start, 612);
    EXPECT_EQ(l->RowCells[2].State, kv::CellState::cs_SuspendedO2);
    EXPECT_DOUBLE_EQ(l->RowCells[1].StartTime, r->RowCells[1].StartTime);
    EXPECT_DOUBLE_EQ(l->RowCells[1].StopTime, r->RowCells[1].StopTime);
    EXPECT_EQ(l->iRTV, 1);  // its value came back from the data file
    EXPECT_EQ(cells().cell(4).RowNr, nr);
    EXPECT_EQ(cells().GetCellState(4), kv::CellState::cs_SuspendedO2);
    EXPECT_EQ(ls->State, kv::RowState::Stopped);
    EXPECT_DOUBLE_EQ(ls->realStop, st->realStop);
    EXPECT_GT(ls->realStop, 0);
    EXPECT_EQ(ls->RowCells[1].State, kv::CellState::cs_Stopped);
    EXPECT_DOUBLE_EQ(ls->RowCells[1].StopTime, st->Stop);
    EXPECT_EQ(cells().cell(5).RowNr, 0);
}

TEST_F(RowFileTest, HandWrittenLegacyFileGetsDefaultsAndCorrections) {
    // Windows-1252 text, CR LF, old keys missing.
    std::string f =
        "[Current]\r\n1=1\r\n2=2\r\n3=3\r\n\r\n"
        "[1]\r\nUniqueNr=1000\r\nTact=3\r\nName=Abwasser S\xFC"
        "d\r\nState=7\r\nAlarmCount=95\r\n"
        "Start=01.02.2026 10:00:00\r\nStop=03.02.2026 10:01:00\r\n"
        "eXtDurInt=2, 1, 2, 1\r\nintDurInt=2, 0.0416666666666667\r\nwithCO2=\r\nY-Texts=|\r\n"
        "Cells=2\r\nC1=1|Zulauf|250|01.02.2026 10:00:05|03.02.2026 10:01:00|0,1,1,1|4|0||||\r\n"
        "C2=??2|Ablauf|250|||0,1,1,1,1,1|9|0\r\n\r\n"
        "[2]\r\nUniqueNr=2000\r\nName=Real start\r\nState=3\r\nAlarmCount=0\r\n"
        "Start=01.02.2026 10:00:00\r\nrealStart=01.02.2026 11:00:00\r\nCells=1\r\n"
        "C1=5|x|250||||3|0\r\n\r\n"
        "[3]\r\nName=broken\r\n";
    writeFile(rowFile(), f);
    build();
    rows().LoadRowFile(rowFile());
    ASSERT_EQ(rows().Count(), 2);
    EXPECT_TRUE(hasMessage("Invalid row definition detected  (UniqueNr=-1) - skipped."));

    auto a = rows().FindByUniqueNr(1000);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->Name, "Abwasser Süd");
    EXPECT_TRUE(a->bO2LeakageAlarm);  // missing: on because AlarmCount > 0
    EXPECT_DOUBLE_EQ(a->LF2CO2, cfg_.DefLF2CO2_const1);
    EXPECT_TRUE(a->withCO2);           // present but empty
    EXPECT_EQ(a->ZeroNeeded, 1);       // missing
    EXPECT_TRUE(a->bAllCellsStarted);  // missing
    EXPECT_EQ(a->YTexts[1], cfg_.O2_Y.text);
    EXPECT_DOUBLE_EQ(a->XFromDate, a->realStart);
    // realStart missing: the start; cell 1's start differs: the row follows it.
    EXPECT_DOUBLE_EQ(a->realStart, kv::encodeDateTime(2026, 2, 1, 10));
    EXPECT_DOUBLE_EQ(a->Start, kv::encodeDateTime(2026, 2, 1, 10, 0, 5));
    // A stopped row's cells are stopped, whatever the file says; none is mapped.
    EXPECT_EQ(a->RowCells[1].State, kv::CellState::cs_Stopped);
    EXPECT_EQ(a->RowCells[2].State, kv::CellState::cs_Stopped);
    EXPECT_FALSE(a->RowCells[2].bMapped);
    EXPECT_EQ(a->RowCells[1].ChartSel1.v[3], 1);
    EXPECT_EQ(a->RowCells[2].ChartSel2.v[4], 2);
    EXPECT_EQ(cells().cell(1).RowNr, 0);

    auto b = rows().FindByUniqueNr(2000);
    EXPECT_FALSE(b->bO2LeakageAlarm);
    EXPECT_DOUBLE_EQ(b->Start, kv::encodeDateTime(2026, 2, 1, 11));
    EXPECT_EQ(cells().cell(5).RowNr, 2000);
    EXPECT_EQ(cells().cell(5).State, kv::CellState::cs_Assigned);
    EXPECT_EQ(cells().cell(5).WaitForZero, -1);
}

TEST_F(RowFileTest, OnlyTheLast356RowsOfTheListAreLoaded) {
    std::string f = "[Current]\r\n";
    for (int k = 1; k <= 400; ++k) f += std::to_string(k) + "=" + std::to_string(k) + "\r\n";
    f += "\r\n";
    for (int k = 1; k <= 400; ++k)
        f += "[" + std::to_string(k) + "]\r\nUniqueNr=" + std::to_string(5000 + k) + "\r\nName=R" +
             std::to_string(k) + "\r\nState=3\r\nCells=0\r\n\r\n";
    writeFile(rowFile(), f);
    build();
    rows().LoadRowFile(rowFile());
    ASSERT_EQ(rows().Count(), 356);
    EXPECT_EQ(rows().At(0)->Name, "R400");
    EXPECT_EQ(rows().At(355)->Name, "R45");
    EXPECT_FALSE(rows().FindByUniqueNr(5044));
    // The next save writes the 356 only: the operator is told, and the whole file is kept.
    EXPECT_TRUE(hasMessage("lists 400 rows; Kelvora loads the newest 356"));
    int copies = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
        if (e.path().filename().string().rfind("Kelvora.Row.all-rows-", 0) == 0) {
            ++copies;
            EXPECT_EQ(readFile(e.path().string()), f);
        }
    EXPECT_EQ(copies, 1);
}

TEST_F(RowFileTest, RowPasswordsAreScrambled) {
    auto r = newRow("Empty password", {});
    auto p = newRow("Password", {});
    p->PassWd = "Top";
    ASSERT_TRUE(rows().SaveRowFile(rowFile(), false));
    const std::string file = readFile(rowFile());
    const auto pos = file.find("PassWd=");
    const std::string stored = file.substr(pos + 7, file.find("\r\n", pos) - pos - 7);
    ASSERT_EQ(stored.size(), 91u);
    EXPECT_EQ(static_cast<unsigned char>(stored.back()), ('0' - 106 + 256) % 256);
    EXPECT_EQ(file.find("Top"), std::string::npos);
    // The older plain form of 90 characters or less: the text after its first fifth.
    std::string f = file;
    const auto second = f.find("PassWd=", pos + 1);
    f.replace(second + 7, f.find("\r\n", second) - second - 7, "abcdeOld");
    writeFile(rowFile(), f);
    reload();
    EXPECT_EQ(rows().FindByUniqueNr(r->UniqueNr)->PassWd, "");
    EXPECT_EQ(rows().FindByUniqueNr(p->UniqueNr)->PassWd, "bcdeOld");
    EXPECT_TRUE(rows().FindByUniqueNr(r->UniqueNr)->CheckPassword("anything"));
    cfg_.passwordMaster = "master";
    auto q = rows().FindByUniqueNr(p->UniqueNr);
    EXPECT_FALSE(q->CheckPassword("bcdeold"));
    EXPECT_TRUE(q->CheckPassword("master"));
}

TEST_F(RowFileTest, AFailedSaveKeepsThePreviousFile) {
    newRow("First", {1});
    fs::create_directory(dir_.file("Dbg"));
    ASSERT_TRUE(rows().SaveRowFile(rowFile(), true));
    const std::string before = readFile(rowFile());
    newRow("Second", {2});
    // The temporary file cannot be made (as if the disk failed mid-save).
    fs::create_directory(rowFile() + ".tmp");
    EXPECT_FALSE(rows().SaveRowFile(rowFile(), true));
    EXPECT_EQ(rows().LastError(), "Error");
    EXPECT_TRUE(hasMessage("Runtime Error"));
    EXPECT_TRUE(hasMessage("reading/writing to file [" + rowFile() + "] ."));
    EXPECT_EQ(readFile(rowFile()), before);
    fs::remove(rowFile() + ".tmp");
    EXPECT_TRUE(rows().SaveRowFile(rowFile(), true));
    EXPECT_EQ(rows().LastError(), "");
    // The backups went to Dbg.
    int backups = 0;
    for (const auto& e : fs::directory_iterator(dir_.file("Dbg")))
        if (kv::startsWith(e.path().filename().string(), "Kelvora_") &&
            e.path().extension() == ".Row")
            ++backups;
    EXPECT_GE(backups, 1);
    reload();
    EXPECT_EQ(rows().Count(), 2);
}

TEST_F(RowFileTest, DeleteRemovesOnlyTheRowsOwnData) {
    auto a = newRow("A", {1, 2});
    auto b = newRow("B", {3});
    auto c = newRow("C", {4});
    auto d = newRow("D", {5});
    ASSERT_TRUE(a->MakeDataDir() && b->MakeDataDir());
    writeFile(a->DataFileName(), "x");
    writeFile(a->DataDir + "/notes.txt", "keep");
    writeFile(b->DataFileName(), "x");
    // C names a folder outside the data root; D names B's folder.
    fs::create_directory(dir_.file("elsewhere"));
    c->DataDir = dir_.file("elsewhere");
    writeFile(c->DataFileName(), "precious");
    d->DataDir = b->DataDir;

    rows().DeleteRow(a->UniqueNr);
    EXPECT_FALSE(fs::exists(a->DataFileName()));
    EXPECT_TRUE(fs::exists(a->DataDir + "/notes.txt"));
    EXPECT_EQ(cells().cell(1).RowNr, 0);
    EXPECT_TRUE(hasMessage("Deleted meas. series A"));
    rows().DeleteRow(d->UniqueNr);
    EXPECT_TRUE(fs::exists(b->DataFileName()));
    rows().DeleteRow(b->UniqueNr);
    EXPECT_FALSE(fs::exists(b->DataDir));
    rows().DeleteRow(c->UniqueNr);
    EXPECT_EQ(readFile(dir_.file("elsewhere/KLVdata.1")), "precious");
    EXPECT_EQ(rows().Count(), 0);
    rows().DeleteRow(12345);  // no such row: nothing happens
}

TEST_F(RowFileTest, ExportAndImportIntoTheSameInstallation) {
    kv::setDecimalCommaFlag(true);
    auto r = newRow("Export", {1, 2});
    r->Interval = 1;
    r->SIInterval = kv::TimeUnit::Hours;
    ASSERT_TRUE(r->StartRow(false));
    r->StartCellInRow(1, 0);
    r->StartCellInRow(2, 0);
    for (int h = 1; h <= 3; ++h) {
        cells().SetCellCount(1, h * 7);
        advanceSeconds(3600);
        ASSERT_TRUE(r->Update(false));
    }
    const std::string exported = dir_.file("export.krw");
    EXPECT_EQ(rows().ExportRow(*r, exported), 3);
    const std::string original = readFile(r->DataFileName());

    const std::string name = rows().ImportRow(exported);
    EXPECT_EQ(name, "Export");
    ASSERT_EQ(rows().Count(), 2);
    auto imp = rows().At(1);
    // Its own identity and folder: the original's data are not appended to.
    EXPECT_NE(imp->UniqueNr, r->UniqueNr);
    EXPECT_NE(imp->DataDir, r->DataDir);
    EXPECT_TRUE(rows().InsideDataRoot(imp->DataDir));
    EXPECT_EQ(readFile(r->DataFileName()), original);
    ASSERT_EQ(imp->iRTV, 3);
    EXPECT_EQ(imp->RowCells[1].Values.count(3), 21);
    EXPECT_NEAR(imp->RTV[3].dt, r->RTV[3].dt, kSecond);
    EXPECT_NE(readFile(imp->DataFileName()).find(";21;"), std::string::npos);
    // The cells stay with the row that has them; the copy of the running row is stopped.
    EXPECT_EQ(cells().cell(1).RowNr, r->UniqueNr);
    EXPECT_EQ(cells().GetCellState(1), kv::CellState::cs_Running);
    EXPECT_EQ(imp->State, kv::RowState::Stopped);
    EXPECT_EQ(imp->RowCells[1].State, kv::CellState::cs_Stopped);

    EXPECT_EQ(rows().ImportRow(dir_.file("missing.krw")), "");
    writeFile(dir_.file("junk.krw"), "\x01\x02 not a row\n[RowData]\n");
    EXPECT_EQ(rows().ImportRow(dir_.file("junk.krw")), "");
    EXPECT_EQ(rows().Count(), 2);
    kv::setDecimalCommaFlag(false);
}

TEST_F(RowFileTest, ARowNeverStopsOrOverwritesTheCellsOfAnotherRow) {
    auto a = newRow("Original", {1, 2});
    a->Interval = 1;
    a->SIInterval = kv::TimeUnit::Hours;
    ASSERT_TRUE(a->StartDialogStartAll(false));
    for (int h = 1; h <= 3; ++h) {
        cells().SetCellCount(1, h * 7);
        advanceSeconds(3600);
        ASSERT_TRUE(a->Update(false));
    }
    const std::string exported = dir_.file("running.krw");
    ASSERT_EQ(rows().ExportRow(*a, exported), 3);
    ASSERT_TRUE(a->StopRow("btnStartStopRowClick"));
    auto b = newRow("Successor", {1, 2});
    ASSERT_TRUE(b->StartDialogStartAll(false));
    cells().SetCellCount(1, 77);
    auto bAlone = [&](const char* step) {
        for (int c : {1, 2}) {
            EXPECT_EQ(cells().cell(c).RowNr, b->UniqueNr) << step << " cell " << c;
            EXPECT_EQ(cells().GetCellState(c), kv::CellState::cs_Running) << step << " cell " << c;
        }
        EXPECT_EQ(cells().GetCellCount(1), 77) << step;
    };

    // The export of the running original comes back after its stop time: stopped, and
    // its cells stay with the row that has them now.
    clock_.set(a->Stop + 1.0 / 24);
    ASSERT_EQ(rows().ImportRow(exported), "Original");
    auto imp = rows().At(rows().Count() - 1);
    EXPECT_EQ(imp->State, kv::RowState::Stopped);
    EXPECT_FALSE(imp->bActive);
    EXPECT_EQ(imp->RowCells[1].State, kv::CellState::cs_Stopped);
    EXPECT_EQ(imp->iRTV, 3);
    EXPECT_TRUE(
        hasMessage("Meas.series Original was running when it was exported - imported as stopped."));
    bAlone("import");

    // A row whose entries still say running (as a row file edited by hand would) restarts,
    // suspends, cancels and stops only its own record of those cells.
    {
        auto lock = rows().lock();
        imp->State = kv::RowState::Running;
        imp->Stop = clock_.now() + 1;
        for (int s = 1; s <= 2; ++s)
            imp->RowCells[static_cast<size_t>(s)].State = kv::CellState::cs_Running;
    }
    imp->Reload();
    EXPECT_TRUE(imp->bActive);
    bAlone("reload");
    imp->SuspendCell(1, true, false);
    EXPECT_EQ(imp->RowCells[1].State, kv::CellState::cs_Running);
    bAlone("suspend");
    imp->CancelCell(1, false);
    EXPECT_EQ(imp->RowCells[1].State, kv::CellState::cs_Cancelled);
    bAlone("cancel");
    ASSERT_TRUE(imp->StopRow("btnStartStopRowClick"));
    EXPECT_EQ(imp->RowCells[2].State, kv::CellState::cs_Stopped);
    bAlone("stop");
}

TEST_F(RowFileTest, ADataDirOutsideTheDataRootIsReplaced) {
    fs::create_directories(dir_.file("Data"));
    fs::create_directory(dir_.file("outside"));
    fs::create_directory_symlink(dir_.file("outside"), dir_.file("Data/link"));
    const std::string began = kv::dateTimeToText(clock_.now() - 1.0 / 24);
    const std::string later = kv::dateTimeToText(clock_.now() + 2);
    std::string f = "[Current]\r\n1=1\r\n2=2\r\n3=3\r\n4=4\r\n5=5\r\n\r\n";
    auto section = [&](int k, const std::string& dir, int state) {
        return "[" + std::to_string(k) + "]\r\nUniqueNr=" + std::to_string(3000 + k) +
               "\r\nName=R" + std::to_string(k) + "\r\nState=" + std::to_string(state) +
               "\r\nStart=" + began + "\r\nStop=" + later + "\r\neXtDurInt=2, 1, 2, 1\r\n" +
               "DataDir=" + dir + "\r\nCells=1\r\nC1=" + std::to_string(k) + "|x|250|" + began +
               "|" + later + "|0,1,1,1,1,1|" + std::to_string(state) + "|0\r\n\r\n";
    };
    f += section(1, dir_.file("outside"), 3);                      // somewhere else
    f += section(2, dir_.file("Data") + "/sub/../../outside", 3);  // climbs out
    f += section(3, dir_.file("Data/link"), 3);                    // a link out
    f += section(4, dir_.file("Data/own"), 3);                     // inside: kept
    f += section(5, dir_.file("outside"), 4);                      // running there
    writeFile(rowFile(), f);
    build();
    rows().LoadRowFile(rowFile());
    ASSERT_EQ(rows().Count(), 5);
    const std::string root = rows().DataRoot();
    for (int k : {1, 2, 3, 5})
        EXPECT_EQ(rows().FindByUniqueNr(3000 + k)->DataDir, root + "/" + std::to_string(3000 + k))
            << k;
    EXPECT_EQ(rows().FindByUniqueNr(3004)->DataDir, dir_.file("Data/own"));
    EXPECT_TRUE(hasMessage("Meas.series R1: data directory " + dir_.file("outside") +
                           " lies outside " + root + " - " + root + "/3001 is used instead."));
    EXPECT_TRUE(hasMessage("Meas.series R3: data directory"));
    // The running row writes its values inside the data root only.
    ASSERT_TRUE(rows().FindByUniqueNr(3005)->Update(true));
    EXPECT_TRUE(fs::exists(root + "/3005/KLVdata.1"));
    EXPECT_TRUE(fs::is_empty(dir_.file("outside")));
}

TEST_F(RowFileTest, AutoSaveSkipsBusyTurnsAndLoadReadsTheExportOptions) {
    newRow("Auto", {1});
    std::atomic<bool> blocked{true}, cdmBusy{false};
    rows().env().rowAutoSaveBlocked = &blocked;
    rows().env().cdmCallbackBusy = &cdmBusy;
    EXPECT_FALSE(rows().RowAutoSaveTimer());
    blocked = false;
    cdmBusy = true;
    EXPECT_FALSE(rows().RowAutoSaveTimer());
    cdmBusy = false;
    flagSet_.usbCallbackBusy = true;
    EXPECT_FALSE(rows().RowAutoSaveTimer());
    flagSet_.usbCallbackBusy = false;
    EXPECT_FALSE(fs::exists(rowFile()));
    EXPECT_TRUE(rows().RowAutoSaveTimer());
    EXPECT_TRUE(fs::exists(rowFile()));

    writeFile(dir_.file("Kelvora.Ini"),
              "[ExportOptions]\r\ncsvDecimalComma=J\r\ncsvColSep=|\r\n"
              "[Printer]\r\ntop=25\r\n");
    kv::IniFile ini(dir_.file("Kelvora.Ini"));
    build();
    rows().env().configIni = &ini;
    rows().LoadRowFile(rowFile());
    EXPECT_EQ(rows().Count(), 1);
    EXPECT_TRUE(kv::decimalCommaFlag());
    EXPECT_EQ(cfg_.csvColSep, "|");
    EXPECT_EQ(cfg_.marginTop, 250);
    kv::setDecimalCommaFlag(false);
}

TEST(SafeFileNameTest, RowNamesBecomeHarmlessFileNames) {
    EXPECT_EQ(kv::SafeFileName("../../etc/passwd"), "_.._etc_passwd");
    EXPECT_EQ(kv::SafeFileName("a:b*c?d\"e<f>g|h\\i"), "a_b_c_d_e_f_g_h_i");
    EXPECT_EQ(kv::SafeFileName("..."), "row");
    EXPECT_EQ(kv::SafeFileName(""), "row");
    EXPECT_EQ(kv::SafeFileName("Klärschlamm 2026"), "Klärschlamm 2026");
}

}  // namespace
}  // namespace kvtest
