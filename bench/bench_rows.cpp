// Writes the data file of a 120-cell row with 40,320 lines (28 days at a 1-minute interval)
// and reloads it, printing the reload time and the memory the reload needed. The reload runs
// in a child process, so its peak memory is its own and not the writer's. The lines end at
// the present, as a finished four-week row's do (the reload ignores lines dated in the
// future). A reload that does not bring back every line is a failure (exit status 1).
//
//   bench_rows [--lines N] [folder]   N lines instead of 40,320 (the suite's smoke run);
//                                     folder: default a new one under /tmp, removed after

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "acquisition/acquisition.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "device/device_list.h"
#include "rows/rows.h"

namespace {

constexpr int kCells = 120;
constexpr int kFullLines = 28 * 24 * 60;
int kLines = kFullLines;

// VmRSS or VmHWM of this process in kB.
long procStatusKb(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::string(key).size());
    return -1;
}

// The program's objects without devices, around one row with kCells cells.
struct Program {
    kv::Config cfg;
    kv::RunFlagSet flags;
    kv::HeadlessStatusOutput status;
    std::unique_ptr<kv::FTLink> link;
    std::unique_ptr<kv::DeviceProtocol> proto;
    std::unique_ptr<kv::DeviceList> list;
    std::unique_ptr<kv::Acquisition> acq;
    std::unique_ptr<kv::TRows> rows;
    std::shared_ptr<kv::TRow> row;

    explicit Program(const std::string& dir) {
        cfg.Cells = kCells;
        cfg.DataRoot = dir + "/Data";
        link = std::make_unique<kv::FTLink>(kv::makeSimBackend({}));
        proto = std::make_unique<kv::DeviceProtocol>(*link);
        list = std::make_unique<kv::DeviceList>(*link, *proto, nullptr);
        acq = std::make_unique<kv::Acquisition>(cfg, *list, flags.refs(), status, dir);
        kv::RowsEnv env{
            cfg,     nullptr, acq->cells,           *list, acq->io, flags.refs(), nullptr,
            nullptr, dir,     dir + "/Kelvora.Row", {}};
        rows = std::make_unique<kv::TRows>(env);
        row = rows->FindByUniqueNr(rows->NewRow(0));
        row->Name = "Benchmark";
        row->isTemplate = true;  // keeps the cell model out of it
        for (int c = 1; c <= kCells; ++c)
            row->AddCell(c, "Cell " + std::to_string(c), 250, 0, 0, kv::NoValueReal,
                         kv::NoValueReal, kv::NoValueReal);
        row->Duration = 28;
        row->SIDuration = kv::TimeUnit::Days;
        row->Interval = 1;
        row->SIInterval = kv::TimeUnit::Minutes;
        row->DurDays = 28;
        row->IntDays = 60 * kv::kSecond;
        row->State = kv::RowState::Stopped;
        row->DataDir = cfg.DataRoot + "/bench";
        row->MakeDataDir();
    }
};

void writeFile(const std::string& dir, kv::TDateTime start) {
    Program p(dir);
    auto lock = p.rows->lock();
    kv::TRow& r = *p.row;
    r.AllocRTV();
    for (int i = 1; i <= kLines; ++i) {
        r.ensureEntry(i);
        r.RTV[static_cast<size_t>(i)] = kv::RTVElement{start + i * 60 * kv::kSecond, 200 + i % 50};
        for (int s = 1; s <= kCells; ++s)
            r.RowCells[static_cast<size_t>(s)].Values.setCount(i, i / 3 + s * 7);
        r.iRTV = i;
    }
    r.SaveAllData();
}

int reload(const std::string& dir, double& seconds, long& baseKb, long& peakKb, int& lines) {
    Program p(dir);
    baseKb = procStatusKb("VmRSS:");
    const auto t0 = std::chrono::steady_clock::now();
    p.row->AllocRTV();
    p.row->Reload();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    peakKb = procStatusKb("VmHWM:");
    lines = p.row->iRTV;
    return lines == kLines ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir;
    bool own = false;
    int arg = 1;
    if (arg + 1 < argc && std::string(argv[arg]) == "--lines") {
        kLines = std::atoi(argv[arg + 1]);
        arg += 2;
        if (kLines < 1 || kLines > kFullLines) {
            std::fprintf(stderr, "bench_rows: --lines takes 1..%d\n", kFullLines);
            return 2;
        }
    }
    if (arg < argc) {
        dir = argv[arg];
    } else {
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "kelvora-bench-XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) return 2;
        dir = tmpl;
        own = true;
    }
    kv::ManualClock clock(kv::encodeDateTime(2026, 3, 1, 8));
    kv::ScopedClock scoped(clock);
    kv::setDateTimeFormat("GE");

    std::printf("writing %d lines of %d cells ...\n", kLines, kCells);
    // The newest line is the present minute.
    writeFile(dir, clock.now() - kLines * 60 * kv::kSecond);
    std::string file;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir + "/Data"))
        if (e.path().filename() == kv::kDataFileName) file = e.path().string();
    const auto size = std::filesystem::file_size(file);
    std::printf("data file: %s, %.1f MB\n", file.c_str(), size / 1e6);

    // The reload in a child: its memory figures are not raised by the writer's.
    int pipefd[2];
    if (pipe(pipefd) != 0) return 2;
    const pid_t pid = fork();
    if (pid == 0) {
        close(pipefd[0]);
        double seconds = 0;
        long base = 0, peak = 0;
        int lines = 0;
        const int rc = reload(dir, seconds, base, peak, lines);
        char buf[128];
        const int n = std::snprintf(buf, sizeof buf, "%f %ld %ld %d", seconds, base, peak, lines);
        if (write(pipefd[1], buf, static_cast<size_t>(n)) != n) _exit(3);
        _exit(rc);
    }
    close(pipefd[1]);
    char buf[128] = {};
    const ssize_t got = read(pipefd[0], buf, sizeof buf - 1);
    int status = 0;
    waitpid(pid, &status, 0);
    if (own) std::filesystem::remove_all(dir);
    double seconds = 0;
    long base = 0, peak = 0;
    int lines = 0;
    if (got <= 0 || std::sscanf(buf, "%lf %ld %ld %d", &seconds, &base, &peak, &lines) != 4) {
        std::printf("reload failed\n");
        return 1;
    }
    const double fileMb = size / 1e6;
    const double usedMb = (peak - base) * 1024 / 1e6;
    std::printf("reload: %d lines in %.3f s (target < 0.5 s)\n", lines, seconds);
    if (lines != kLines) std::printf("reload failed: %d of %d lines came back\n", lines, kLines);
    std::printf(
        "memory: peak %.1f MB, %.1f MB for the reload = %.2f x the file size (target < 3)\n",
        peak * 1024 / 1e6, usedMb, usedMb / fileMb);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
