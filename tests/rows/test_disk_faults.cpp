// The data root fills up, turns read-only, or loses its data file under a running row; a
// power cut leaves a torn last line or the temporary file of an atomic replace. Nothing
// measured may be lost, and no file may keep half a line.

#include <sys/mount.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/inifile.h"
#include "common/fileio.h"
#include "common/strutil.h"
#include "rows_fixture.h"

namespace kvtest {
namespace {

namespace fs = std::filesystem;
using kv::kSecond;

// A small file system of its own (tmpfs, which needs root, as in CI). Where mounting is not
// permitted the tests make the writes fail through the seam in common/fileio instead, which
// breaks them off mid-line as a full disk does.
class SmallDisk {
  public:
    explicit SmallDisk(const std::string& path) : path_(path) {
        fs::create_directories(path_);
        // KELVORA_TEST_NO_MOUNT=1 takes the seam even where mounting works (to test it).
        const char* noMount = std::getenv("KELVORA_TEST_NO_MOUNT");
        mounted_ = !(noMount && *noMount == '1') &&
                   ::mount("tmpfs", path_.c_str(), "tmpfs", 0, "size=256k") == 0;
    }
    ~SmallDisk() {
        kv::setWriteFailureForTests(0);
        if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const std::string& path() const { return path_; }

    // Fills the disk to the last byte (with the seam: every write fails after a few bytes).
    void fill() {
        if (!mounted_) {
            kv::setWriteFailureForTests(ENOSPC, 7);
            return;
        }
        std::ofstream out(path_ + "/filler", std::ios::binary);
        const std::string block(4096, 'x');
        while (out.write(block.data(), static_cast<std::streamsize>(block.size()))) out.flush();
        out.close();
        std::ofstream tail(path_ + "/filler2", std::ios::binary);
        while (tail.put('x')) tail.flush();
    }
    void freeUp() {
        kv::setWriteFailureForTests(0);
        std::error_code ec;
        fs::remove(path_ + "/filler", ec);
        fs::remove(path_ + "/filler2", ec);
    }
    void setReadOnly(bool on) {
        if (!mounted_) {
            kv::setWriteFailureForTests(on ? EROFS : 0);
            return;
        }
        const unsigned long flags =
            on ? (MS_REMOUNT | MS_RDONLY) : static_cast<unsigned long>(MS_REMOUNT);
        ASSERT_EQ(::mount("tmpfs", path_.c_str(), "tmpfs", flags, "size=256k"), 0)
            << std::strerror(errno);
    }

  private:
    std::string path_;
    bool mounted_ = false;
};

class DiskFaultTest : public RowsFixture {
  protected:
    void SetUp() override {
        disk_ = std::make_unique<SmallDisk>(dir_.file("disk"));
        if (!disk_->mounted())
            std::cerr << "tmpfs cannot be mounted here: writes fail through the test seam\n";
        cfg_.DataRoot = disk_->path() + "/Data";
        build();
    }
    void TearDown() override {
        rows_.reset();
        disk_.reset();
    }
    // A running row on cells 1 and 2 with a value every minute.
    std::shared_ptr<kv::TRow> minuteRow(const std::string& name) {
        auto r = newRow(name, {1, 2});
        r->Interval = 1;
        r->SIInterval = kv::TimeUnit::Minutes;
        r->Duration = 2;
        r->SIDuration = kv::TimeUnit::Days;
        EXPECT_TRUE(r->StartRow(false));
        for (int s = 1; s <= r->NrCells; ++s) r->StartCellInRow(s, 0);
        return r;
    }
    // One minute of ticks (every 20 s here), cell 1 counting one impulse a minute.
    void minute(const std::shared_ptr<kv::TRow>& r) {
        cells().SetCellCount(1, cells().GetCellCount(1) + 1);
        for (int k = 0; k < 3; ++k) {
            advanceSeconds(20);
            r->Update(false);
        }
    }
    // Every data line: its time and the count of cell 1; fails on a line that is not whole.
    std::vector<std::pair<kv::TDateTime, int>> dataLines(const std::string& file) {
        const std::string content = readFile(file);
        EXPECT_TRUE(content.empty() || content.back() == '\n') << "torn last line";
        std::vector<std::pair<kv::TDateTime, int>> out;
        for (auto l : kv::split(content, '\n')) {
            if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
            if (l.empty() || l.find("Date") != std::string_view::npos) continue;
            const auto f = kv::split(l, ';');
            EXPECT_EQ(f.size(), 4u) << l;
            if (f.size() != 4) continue;
            out.emplace_back(kv::textToDateTime(f[0]), kv::textToInt(f[1]));
        }
        return out;
    }
    int countMessages(const std::string& text) {
        int n = 0;
        for (const auto& m : messages()) n += m.find(text) != std::string::npos;
        return n;
    }
    // The lines form one grid of minutes from the first on, with the count of each minute.
    void expectNoGap(const std::shared_ptr<kv::TRow>& r) {
        const auto lines = dataLines(r->DataFileName());
        ASSERT_EQ(static_cast<int>(lines.size()), r->iRTV);
        for (size_t k = 0; k < lines.size(); ++k) {
            EXPECT_NEAR(lines[k].first, r->Start + (static_cast<double>(k) + 1) * 60 * kSecond,
                        1e-6)
                << "line " << k + 1;
            EXPECT_EQ(lines[k].second, static_cast<int>(k) + 1) << "line " << k + 1;
        }
    }

    std::unique_ptr<SmallDisk> disk_;
};

TEST_F(DiskFaultTest, AFullDataRootLosesNothingAndLeavesNoTornLine) {
    auto r = minuteRow("Full");
    minute(r);
    ASSERT_EQ(r->iRTV_lastSaved, 1);
    const std::string rowFile = disk_->path() + "/Kelvora.Row";
    ASSERT_TRUE(rows().SaveRowFile(rowFile, false));
    const std::string goodRowFile = readFile(rowFile);
    kv::IniFile ini(disk_->path() + "/Kelvora.Ini");
    ini.writeString("Kelvora", "Cells", "12");
    const std::string goodIni = readFile(disk_->path() + "/Kelvora.Ini");
    ASSERT_FALSE(goodIni.empty());

    disk_->fill();
    // The file's last block may still hold a few lines; the disk is full after that.
    int minutes = 1;
    while (r->iRTV_lastSaved == r->iRTV && minutes < 400) {
        minute(r);
        ++minutes;
    }
    ASSERT_LT(r->iRTV_lastSaved, r->iRTV);
    for (int k = 0; k < 20; ++k) minute(r);
    minutes += 20;
    EXPECT_EQ(r->iRTV, minutes);  // every value taken when it was due, kept in memory
    EXPECT_EQ(r->State, kv::RowState::Running);
    EXPECT_EQ(countMessages("data lines cannot be written"), 1);
    dataLines(r->DataFileName());  // whole lines only

    // The row definitions and the configuration keep their last good version.
    {
        auto lock = rows().lock();
        r->Name = "Full, renamed";
    }
    EXPECT_FALSE(rows().SaveRowFile(rowFile, false));
    EXPECT_EQ(readFile(rowFile), goodRowFile);
    ini.writeString("Kelvora", "Cells", "24");
    EXPECT_EQ(readFile(disk_->path() + "/Kelvora.Ini"), goodIni);
    EXPECT_FALSE(fs::exists(rowFile + ".tmp"));
    EXPECT_FALSE(fs::exists(disk_->path() + "/Kelvora.Ini.tmp"));

    disk_->freeUp();
    minute(r);
    ++minutes;
    EXPECT_EQ(r->iRTV_lastSaved, r->iRTV);
    EXPECT_EQ(r->iRTV, minutes);
    expectNoGap(r);
    EXPECT_EQ(countMessages("data lines are written to"), 1);
}

TEST_F(DiskFaultTest, AReadOnlyDataRootLosesNothing) {
    auto r = minuteRow("ReadOnly");
    minute(r);
    disk_->setReadOnly(true);
    for (int k = 0; k < 10; ++k) minute(r);
    EXPECT_EQ(r->iRTV, 11);
    EXPECT_EQ(r->iRTV_lastSaved, 1);
    EXPECT_EQ(countMessages("data lines cannot be written"), 1);
    disk_->setReadOnly(false);
    minute(r);
    EXPECT_EQ(r->iRTV_lastSaved, 12);
    expectNoGap(r);
}

TEST_F(DiskFaultTest, ADataFileDeletedOrReplacedUnderARunningRowIsPutBack) {
    disk_->freeUp();
    auto r = minuteRow("Gone");
    for (int k = 0; k < 3; ++k) minute(r);
    fs::remove(r->DataFileName());
    minute(r);
    EXPECT_EQ(countMessages("was deleted or replaced while the row ran"), 1);
    expectNoGap(r);

    writeFile(r->DataFileName(), "somebody else's file\r\n");
    minute(r);
    expectNoGap(r);
    EXPECT_EQ(r->iRTV, 5);
    int kept = 0;
    for (const auto& e : fs::directory_iterator(r->DataDir))
        if (e.path().filename().string().rfind("KLVdata.1.replaced-", 0) == 0) {
            ++kept;
            EXPECT_EQ(readFile(e.path().string()), "somebody else's file\r\n");
        }
    EXPECT_EQ(kept, 1);
    EXPECT_TRUE(hasMessage("The file found there is kept as"));
}

// A power cut in the middle of an append: the complete lines stay, the torn one goes, and
// the next line starts on its own line. A temporary file of an interrupted replace is not
// read and is removed.
TEST_F(DiskFaultTest, ATornLastLineIsRepairedAtStartUp) {
    disk_->freeUp();
    auto r = minuteRow("Torn");
    for (int k = 0; k < 3; ++k) minute(r);
    const std::string fn = r->DataFileName();
    const std::string whole = readFile(fn);
    {
        std::ofstream out(fn, std::ios::binary | std::ios::app);
        out << kv::dateTimeToText(r->Start + 4 * 60 * kSecond) << ";3";  // ";4;0;" cut short
    }
    writeFile(fn + ".tmp", "Date/Time;O2 1;O2 2;T\r\n01.01.2020 00:00:00;999;999;\r\n");
    {
        auto lock = rows().lock();
        r->AllocRTV();
    }
    r->Reload();
    EXPECT_EQ(r->iRTV, 3);
    EXPECT_EQ(readFile(fn), whole);
    EXPECT_FALSE(fs::exists(fn + ".tmp"));
    EXPECT_TRUE(hasMessage("was cut short"));
    EXPECT_NE(log().find("Removed: {" + kv::dateTimeToText(r->Start + 4 * 60 * kSecond) + ";3}"),
              std::string::npos);
    cells().SetCellCount(1, 3);
    minute(r);
    const auto lines = dataLines(fn);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[3].second, 4);

    // Nothing but a torn header: the file starts again.
    writeFile(fn, "Date/Ti");
    {
        auto lock = rows().lock();
        r->AllocRTV();
    }
    r->Reload();
    EXPECT_EQ(r->iRTV, 0);
    EXPECT_EQ(readFile(fn), "");

    // The configuration's and the row file's temporaries go at start-up the same way.
    const std::string ini = disk_->path() + "/Kelvora.Ini";
    writeFile(ini, "[Kelvora]\r\nCells=12\r\n");
    writeFile(ini + ".tmp", "[Kelvora]\r\nCel");
    EXPECT_TRUE(kv::removeLeftoverTemporaryOf(ini));
    EXPECT_FALSE(fs::exists(ini + ".tmp"));
    EXPECT_EQ(readFile(ini), "[Kelvora]\r\nCells=12\r\n");
    EXPECT_FALSE(kv::removeLeftoverTemporaryOf(ini));
}

// A 10 MB line (a damaged file) costs neither memory nor lines: it is skipped with a
// message, the lines around it load, and the file is not rewritten.
TEST_F(DiskFaultTest, AHugeLineIsSkippedAndTheFileKept) {
    disk_->freeUp();
    auto r = newRow("Huge", {1, 2});
    r->DataDir = dir_.file("huge");
    fs::create_directories(r->DataDir);
    const std::string fn = r->DataFileName();
    std::string f = "Date/Time;O2 1;O2 2;T\r\n";
    f += kv::dateTimeToText(r->Start + 60 * kSecond) + ";2;1;21.0\r\n";
    f += kv::dateTimeToText(r->Start + 30 * kSecond) + ";" + std::string(10 << 20, '7') + "\r\n";
    f += kv::dateTimeToText(r->Start + 90 * kSecond) + ";1;1;21.0\r\n";  // out of order
    f += kv::dateTimeToText(r->Start + 120 * kSecond) + ";3;1;21.0\r\n";
    writeFile(fn, f);
    {
        auto lock = rows().lock();
        r->AllocRTV();
    }
    r->Reload();
    EXPECT_EQ(r->iRTV, 3);
    EXPECT_TRUE(hasMessage("longer than 65536 characters skipped"));
    EXPECT_EQ(readFile(fn).size(), f.size());  // not rewritten, though a line was out of order
}

}  // namespace
}  // namespace kvtest
