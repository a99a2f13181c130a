// A full lab at full speed: the acquisition tick with 1, 5, 10, 20 and 40 data devices, and
// the start-up synchronisation of 1, 5 and 20 devices that each queued two hours of tacts,
// every figure beside the same run with the devices asked one after the other
// ([FT232R] ParallelDevices=0). Real time on the virtual lab behind the sim link backend,
// with the default delays (DelayBetweenFT_Write_Read 50 ms, the character pacing of the
// devices, the synchronisation's pauses).
//
//   bench_parallel [--ticks N] [--queue-hours H] [--tick-only | --sync-only] [--smoke]
//
// The tick target is 0.25 s for 20 devices; the synchronisation of 20 devices should take at
// most 1.3 times one device's. The figures are printed, never judged; a run that does not
// read every device (a tick that leaves a device out, a synchronisation that reads fewer
// records than queued) is a failure (exit status 1).

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "app/debuglog.h"
#include "common/clock.h"
#include "device/device_list.h"
#include "rows/rows.h"
#include "rows/sync.h"
#include "sim/lab.h"

namespace {

// Real time with an offset: the lab is built in the past, so that its devices have queued
// that much when the clock is set back to the present. Every wait is real.
class OffsetClock : public kv::Clock {
  public:
    kv::TDateTime now() override { return real_.now() + offset_.load(); }
    void sleepMs(int ms) override { real_.sleepMs(ms); }
    void setOffsetSeconds(double s) { offset_.store(s * kv::kSecond); }

  private:
    kv::RealClock real_;
    std::atomic<double> offset_{0};
};

class QuietStatus : public kv::StatusOutput {
  public:
    void setPanel(kv::StatusPanel, const std::string&, kv::StatusColor) override {}
    std::string panelText(kv::StatusPanel) const override { return {}; }
    bool usbDebugPageShown() const override { return false; }
    void setDeviceLabel(int, const std::string&) override {}
};

std::string serialOf(int d) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "KLV%04d", d);
    return buf;
}

// The program's objects over a lab of n data devices (cells 1..6n, all active).
struct Bench {
    std::unique_ptr<kv::sim::Lab> lab;
    kv::Config cfg;
    kv::RunFlagSet flags;
    QuietStatus status;
    std::unique_ptr<kv::FTLink> link;
    std::unique_ptr<kv::DeviceProtocol> proto;
    std::unique_ptr<kv::DeviceList> list;
    std::unique_ptr<kv::Acquisition> acq;
    std::unique_ptr<kv::TRows> rows;
    std::string home;

    Bench(int n, bool parallel, const std::string& folder) : home(folder) {
        lab = std::make_unique<kv::sim::Lab>();
        for (int d = 1; d <= n; ++d) {
            kv::sim::DataDeviceSetup s;
            s.id.serial = serialOf(d);
            for (auto& c : s.cells) {
                c.active = 1;
                c.tact = 1;
            }
            lab->addDataDevice(s);
        }
        cfg.Cells = 6 * n;
        cfg.ParallelDevices = parallel ? 1 : 0;
        cfg.DataRoot = home + "/Data";
        for (int d = 1; d <= n; ++d) {
            kv::UsbDeviceSettings s;
            s.SerialNr = serialOf(d);
            s.Type = kv::DeviceType::Data;
            s.Case = 1;
            s.physCellNr_From = 6 * d - 5;
            s.physCellNr_To = 6 * d;
            cfg.devices.push_back(s);
        }
        link = std::make_unique<kv::FTLink>(kv::makeSimBackend(lab->ports()));
        proto = std::make_unique<kv::DeviceProtocol>(*link);
        list = std::make_unique<kv::DeviceList>(*link, *proto, &flags.configCmdInProgress);
        list->USB_Init(0);
        list->mapDevices(cfg);
        acq = std::make_unique<kv::Acquisition>(cfg, *list, flags.refs(), status, home);
        for (int i = 1; i <= kv::kMaxCells; ++i) acq->cells.InitCell(i);
        kv::RowsEnv env{cfg,        nullptr,
                        acq->cells, *list,
                        acq->io,    flags.refs(),
                        nullptr,    nullptr,
                        home,       home + "/Kelvora.Row",
                        {}};
        rows = std::make_unique<kv::TRows>(env);
        acq->cells.setRowLookup(rows.get());
        // The synchronisation reads the queues only with a row loaded.
        rows->NewRow(0);
    }
    ~Bench() {
        rows.reset();
        acq.reset();
        list.reset();
        proto.reset();
        link.reset();
    }
    int present() const {
        int p = 0;
        for (const auto& e : list->devices())
            if (e.bPresent && e.ErrorCode == 0) ++p;
        return p;
    }
};

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Mean real time of a handled tick, after one that lets the devices settle.
bool benchTick(int n, bool parallel, int ticks, const std::string& folder, double& mean) {
    Bench b(n, parallel, folder);
    if (b.present() != n) {
        std::fprintf(stderr, "bench_parallel: %d of %d devices found\n", b.present(), n);
        return false;
    }
    b.acq->cycle.mmTimerCallback();
    const auto t0 = std::chrono::steady_clock::now();
    for (int k = 0; k < ticks; ++k) b.acq->cycle.mmTimerCallback();
    mean = seconds(std::chrono::steady_clock::now() - t0) / ticks;
    // Every device answered every tick.
    for (const auto& e : b.list->devices())
        if (e.emptyAnswerCount != 0 || e.ErrorCode != 0) {
            std::fprintf(stderr, "bench_parallel: %s was not read\n", e.SerialNr.c_str());
            return false;
        }
    return true;
}

bool benchSync(int n, bool parallel, double hours, const std::string& folder, OffsetClock& clk,
               double& took, long long& records) {
    clk.setOffsetSeconds(-hours * 3600.0);
    Bench b(n, parallel, folder);
    // The devices come up with an empty queue (the start-up's f0# of the previous run), and
    // then queue `hours` of tacts while the program is away.
    for (int d = 1; d <= n; ++d) {
        std::lock_guard io(b.acq->io.of(d));
        b.proto->clearQueue(b.list->device(d).FTHandle);
    }
    clk.setOffsetSeconds(0);
    const auto t0 = std::chrono::steady_clock::now();
    const kv::SyncResult r =
        kv::DeviceSync(b.cfg, *b.list, b.acq->io, b.acq->cells, *b.rows).SyncWithDevices(false);
    took = seconds(std::chrono::steady_clock::now() - t0);
    records = r.records;
    const long long expected = static_cast<long long>(hours * 3600.0 / 3.0) * n;
    if (r.devicesRead != n || records < expected - 2 * n) {
        std::fprintf(stderr, "bench_parallel: %d devices read, %lld of about %lld records\n",
                     r.devicesRead, records, expected);
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int ticks = 5;
    double hours = 2.0;
    bool doTick = true, doSync = true;
    std::vector<int> tickDevices = {1, 5, 10, 20, 40};
    std::vector<int> syncDevices = {1, 5, 20};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--ticks" && i + 1 < argc) {
            ticks = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--queue-hours" && i + 1 < argc) {
            hours = std::max(0.01, std::atof(argv[++i]));
        } else if (a == "--tick-only") {
            doSync = false;
        } else if (a == "--sync-only") {
            doTick = false;
        } else if (a == "--smoke") {
            ticks = 1;
            hours = 0.05;
            tickDevices = {1, 5};
            syncDevices = {1, 5};
        } else {
            std::fprintf(stderr,
                         "usage: bench_parallel [--ticks N] [--queue-hours H] "
                         "[--tick-only|--sync-only] [--smoke]\n");
            return 2;
        }
    }
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("bench_parallel." + std::to_string(getpid())))
            .string();
    std::filesystem::create_directories(folder);
    OffsetClock clk;
    kv::ScopedClock scoped(clk);
    bool ok = true;

    if (doTick) {
        std::printf("Acquisition tick (mean of %d, real time, default delays)\n", ticks);
        std::printf("%8s %14s %14s %8s\n", "devices", "at once [s]", "one by one [s]", "ratio");
        for (const int n : tickDevices) {
            double par = 0, seq = 0;
            ok = benchTick(n, true, ticks, folder, par) && ok;
            ok = benchTick(n, false, ticks, folder, seq) && ok;
            std::printf("%8d %14.3f %14.3f %8.2f\n", n, par, seq, par > 0 ? seq / par : 0);
            std::fflush(stdout);
        }
        std::printf("target: 20 devices at once <= 0.250 s\n\n");
    }
    if (doSync) {
        std::printf("Start-up synchronisation, %.2f h queued per device (real time)\n", hours);
        std::printf("%8s %10s %14s %14s %12s\n", "devices", "records", "at once [s]",
                    "one by one [s]", "vs 1 device");
        double one = 0;
        for (const int n : syncDevices) {
            double par = 0, seq = 0;
            long long recPar = 0, recSeq = 0;
            ok = benchSync(n, true, hours, folder, clk, par, recPar) && ok;
            ok = benchSync(n, false, hours, folder, clk, seq, recSeq) && ok;
            if (n == 1) one = par;
            std::printf("%8d %10lld %14.2f %14.2f %12.2f\n", n, recPar, par, seq,
                        one > 0 ? par / one : 0);
            std::fflush(stdout);
        }
        std::printf("target: 20 devices at once <= 1.3 x one device\n");
    }
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    return ok ? 0 : 1;
}
