#include "e2e_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <thread>

#include "common/datetime.h"

namespace e2e {

namespace {

std::string joined(const std::vector<std::string>& args) {
    std::string s;
    for (const auto& a : args) s += (s.empty() ? "" : " ") + a;
    return s;
}

std::string mapText(const std::map<int, long long>& m) {
    std::string s;
    for (const auto& [cell, n] : m) s += " " + std::to_string(cell) + ":" + std::to_string(n);
    return s;
}

}  // namespace

void EndToEnd::TearDown() {
    const char* keep = std::getenv("KELVORA_E2E_KEEP");
    if (!keep || !*keep || !HasFailure()) return;
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::string target = std::string(keep) + "/" + name;
    std::error_code ec;
    std::filesystem::remove_all(target, ec);
    std::filesystem::create_directories(target, ec);
    // The by-id folder holds the simulator's links; they are not worth copying. Only regular
    // files: the control socket of a program still running would end the copy.
    namespace fs = std::filesystem;
    for (auto it = fs::recursive_directory_iterator(dir_.path(), ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) break;
        const fs::path rel = fs::relative(it->path(), dir_.path(), ec);
        if (!rel.empty() && *rel.begin() == "by-id") {
            it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file(ec)) continue;
        fs::create_directories((fs::path(target) / rel).parent_path(), ec);
        fs::copy_file(it->path(), fs::path(target) / rel, fs::copy_options::overwrite_existing, ec);
    }
    std::fprintf(stderr, "files of the failed run kept in %s\n", target.c_str());
}

void EndToEnd::startLab(const std::string& labText, const std::vector<LabDevice>& data,
                        const std::string& caseSerial, int cells, const std::string& extraKelvora) {
    devices_ = data;
    cells_ = cells;
    std::filesystem::create_directories(home_ + "/Dbg");
    writeFile(dir_.file("lab.ini"), labText);

    std::ostringstream ini;
    // The debug log keeps every line the checks may need to explain a failure.
    ini << "[Kelvora]\r\nCells=" << cells
        << "\r\nbDebug=1\r\nbDebug_Sync=1\r\nbDebug_USB_Data=1\r\n"
        << extraKelvora << "[FT232R]\r\nBackend=tty\r\nByIdDir=" << byId_ << "\r\n";
    ini << "[USB]\r\nDevices=" << data.size() + 1 << "\r\n";
    int n = 0;
    for (const LabDevice& d : data) {
        ini << "[USBDevice-" << ++n << "]\r\nSerialNr=" << d.serial
            << "\r\nType=1\r\nCase=1\r\nphysCells=" << d.firstCell << ", " << d.firstCell + 5
            << "\r\n";
    }
    ini << "[USBDevice-" << ++n << "]\r\nSerialNr=" << caseSerial << "\r\nType=2\r\nCase=1\r\n";
    writeFile(home_ + "/Kelvora.Ini", ini.str());

    std::string error;
    ASSERT_TRUE(sim_.start(dir_.file("lab.ini"), byId_, dir_.path(), error)) << error;
    program_ = std::make_unique<Program>(home_);
}

void EndToEnd::startProgram(int run, const std::function<void()>& whileStarting) {
    std::string error;
    ASSERT_TRUE(program_->start(run, error, whileStarting)) << error;
}

CtlResult EndToEnd::ctlOk(const std::vector<std::string>& args) {
    CtlResult r = ctl(args);
    EXPECT_TRUE(r.ok()) << "kelvora ctl " << joined(args) << " -> status " << r.status << ":\n"
                        << r.out;
    return r;
}

long long EndToEnd::truth(int cell, kv::TDateTime upTo) {
    for (const LabDevice& d : devices_) {
        if (cell < d.firstCell || cell > d.firstCell + 5) continue;
        const auto counts = sim_.impulses(d.serial, upTo);
        if (counts.size() != 6) {
            ADD_FAILURE() << "kelvora-sim gave no ground truth for " << d.serial;
            return -1;
        }
        return counts[static_cast<size_t>(cell - d.firstCell)];
    }
    ADD_FAILURE() << "cell " << cell << " belongs to no data device of the lab";
    return -1;
}

std::map<int, long long> EndToEnd::truthAll(kv::TDateTime upTo) {
    std::map<int, long long> out;
    for (const LabDevice& d : devices_) {
        const auto counts = sim_.impulses(d.serial, upTo);
        for (size_t k = 0; k < counts.size(); ++k)
            out[d.firstCell + static_cast<int>(k)] = counts[k];
    }
    return out;
}

std::map<int, long long> EndToEnd::programCounts() {
    std::map<int, long long> out;
    const CtlResult r = ctl({"cells"});
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        const std::string cell = field(line, "cell"), count = field(line, "count");
        if (!cell.empty() && !count.empty() && field(line, "state") != "-")
            out[std::stoi(cell)] = std::stoll(count);
    }
    return out;
}

int EndToEnd::allowanceAt(kv::TDateTime t) const {
    int n = 0;
    for (kv::TDateTime s : syncs_)
        if (s < t) ++n;
    return n;
}

void EndToEnd::expectLinesMatchTruth(const DataFile& file, double slackSec) {
    for (const DataLine& line : file.lines) {
        ASSERT_GT(line.t, 0) << "unreadable date in data line: " << line.text;
        const auto before = truthAll(line.t - slackSec * kv::kSecond);
        const auto after = truthAll(line.t + slackSec * kv::kSecond);
        const int allowed = allowanceAt(line.t);
        for (size_t c = 0; c < file.cells.size(); ++c) {
            const int cell = file.cells[c];
            const long long n = line.counts[c];
            EXPECT_NE(n, kNoCount) << "cell " << cell << " has no count in: " << line.text;
            if (n == kNoCount) continue;
            EXPECT_TRUE(n >= before.at(cell) - allowed && n <= after.at(cell))
                << "data line \"" << line.text << "\": cell " << cell << " recorded " << n
                << " impulses; the lab had dosed " << before.at(cell) << " by " << slackSec
                << " s before and " << after.at(cell) << " by " << slackSec << " s after"
                << (allowed ? " (tolerance " + std::to_string(allowed) + ")" : std::string());
        }
    }
}

void EndToEnd::expectNoGap(const DataFile& file, double intervalSec) {
    const DataLine* previous = nullptr;
    for (const DataLine& line : file.lines) {
        if (line.forced) continue;
        if (previous) {
            const double step = (line.t - previous->t) / kv::kSecond;
            EXPECT_NEAR(step, intervalSec, 2.0) << "lines \"" << previous->text << "\" and \""
                                                << line.text << "\" are not one interval apart";
        }
        previous = &line;
    }
}

void EndToEnd::freezeLab() {
    for (const LabDevice& d : devices_)
        for (int k = 1; k <= 6; ++k)
            ASSERT_EQ(sim_.command("stuck " + d.serial + " " + std::to_string(k) + " 1"), "ok");
    // Every tick (2 s) reads the newest tact, so two unchanged readings of the program's
    // counts, a tact and a tick apart, mean that it has taken everything the lab dosed.
    // Counts that then still differ from the lab's are impulses the program lost; the
    // comparison of the final line reports them.
    std::map<int, long long> previous = programCounts();
    const bool settled = waitUntil(Seconds(60), [&] {
        std::this_thread::sleep_for(std::chrono::seconds(5));
        const std::map<int, long long> now = programCounts();
        const bool same = !now.empty() && now == previous;
        previous = now;
        return same;
    });
    EXPECT_TRUE(settled) << "the program's counts still changed 60 s after the lab stopped "
                            "dosing:"
                         << mapText(previous);
}

void EndToEnd::expectFinalLineMatchesTruth(const DataFile& file) {
    ASSERT_FALSE(file.lines.empty());
    const DataLine& last = file.lines.back();
    EXPECT_TRUE(last.forced) << "the stop did not write a line of its own: " << last.text;
    const auto total = truthAll(0);
    const int allowed = static_cast<int>(syncs_.size());
    for (size_t c = 0; c < file.cells.size(); ++c) {
        const int cell = file.cells[c];
        const long long n = last.counts[c];
        EXPECT_TRUE(n <= total.at(cell) && n >= total.at(cell) - allowed)
            << "cell " << cell << ": the last line \"" << last.text << "\" holds " << n
            << " impulses, the lab dosed " << total.at(cell) << " (tolerance " << allowed
            << "): " << total.at(cell) - n << " lost";
    }
}

DataFile EndToEnd::dataFile() {
    DataFile f;
    std::string error;
    const std::string path = findDataFile(home_);
    EXPECT_FALSE(path.empty()) << "no single KLVdata.1 below " << home_ << "/Data";
    if (!path.empty()) {
        EXPECT_TRUE(readDataFile(path, f, error)) << error;
    }
    return f;
}

std::string EndToEnd::messages() {
    return ctl({"msgs", "200"}).out;
}

// Thread, Address, Leak and UndefinedBehavior sanitizers all sign their reports so.
void EndToEnd::expectNoRaceReports() {
    EXPECT_EQ(program_->allStderr().find("Sanitizer"), std::string::npos)
        << "sanitizer report from kelvora:\n"
        << program_->allStderr();
    EXPECT_EQ(sim_.stderrText().find("Sanitizer"), std::string::npos)
        << "sanitizer report from kelvora-sim:\n"
        << sim_.stderrText();
}

}  // namespace e2e
