// How fast the acquisition, the rows and the virtual lab can run: a day of the example
// 301F lab's twelve cells (hourly values, 3 s tact) on a manual clock, ticked every 2 s of
// its time as the program does, and the speed factor that gives — the ceiling of
// `kelvora --simulate --speed N` on this machine (the program adds its other timers).
//
//   bench_speed [--days D] [--lab FILE]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "acquisition/acquisition.h"
#include "acquisition/run_flags.h"
#include "acquisition/status_output.h"
#include "app/config.h"
#include "app/debuglog.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "device/device_list.h"
#include "device/ft_backend.h"
#include "device/ftlink.h"
#include "device/protocol.h"
#include "rows/rows.h"
#include "sim/lab.h"

namespace {

kv::UsbDeviceSettings device(const std::string& serial, kv::DeviceType type, int from, int to) {
    kv::UsbDeviceSettings s;
    s.SerialNr = serial;
    s.Type = type;
    s.Case = 1;
    s.physCellNr_From = from;
    s.physCellNr_To = to;
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    double days = 1;
    std::string labFile = std::string(KELVORA_SOURCE_DIR) + "/examples/lab-301f.ini";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--days") == 0) days = std::atof(argv[i + 1]);
        if (std::strcmp(argv[i], "--lab") == 0) labFile = argv[i + 1];
    }
    const std::string dir =
        (std::filesystem::temp_directory_path() / "kelvora-bench-speed").string();
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir + "/Data");
    kv::ManualClock clock(kv::encodeDateTime(2026, 3, 2, 8));
    kv::ScopedClock scoped(clock);
    std::string err;
    auto lab = kv::sim::Lab::fromFile(labFile, &err);
    if (!lab) {
        std::fprintf(stderr, "bench_speed: %s\n", err.c_str());
        return 1;
    }
    kv::Config cfg;
    cfg.DataRoot = dir + "/Data";
    cfg.Cells = 12;
    cfg.DelayBetweenStartCells = 0;
    cfg.DelayBetweenStopCells = 0;
    cfg.devices = {device("KLVDEMO1", kv::DeviceType::Data, 1, 6),
                   device("KLVDEMO2", kv::DeviceType::Data, 7, 12),
                   device("KLVDEMO3", kv::DeviceType::Case, 0, 0)};
    kv::RunFlagSet flags;
    kv::HeadlessStatusOutput status;
    kv::RowsHooks hooks;
    kv::FTLink link(kv::makeSimBackend(lab->ports()));
    kv::DeviceProtocol proto(link);
    kv::DeviceList list(link, proto, &flags.configCmdInProgress);
    list.USB_Init(0);
    list.mapDevices(cfg);
    kv::Acquisition acq(cfg, list, flags.refs(), status, dir);
    for (int i = 1; i <= kv::kMaxCells; ++i) acq.cells.InitCell(i);
    kv::RowsEnv env{cfg,          nullptr, acq.cells, list, acq.io,
                    flags.refs(), nullptr, nullptr,   dir,  dir + "/Kelvora.Row",
                    hooks};
    kv::TRows rows(env);
    acq.cells.setRowLookup(&rows);
    acq.cycle.setRowsUpdate([&rows](bool f) { rows.UpdateAll(f); });
    const int nr = rows.NewRow(0);
    auto r = rows.FindByUniqueNr(nr);
    {
        auto lock = rows.lock();
        for (int c = 1; c <= 12; ++c)
            r->AddCell(c, "Cell", 250, 0, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal);
        r->Tact = 3;
        r->Interval = 1;
        r->SIInterval = kv::TimeUnit::Hours;
        r->Duration = days + 1;
        r->SIDuration = kv::TimeUnit::Days;
        r->StartDialogStartAll(false);
    }
    const kv::TDateTime end = clock.now() + days;
    kv::TDateTime next = clock.now();
    long ticks = 0;
    const auto t0 = std::chrono::steady_clock::now();
    while (clock.now() < end) {
        next += cfg.mmTimerInt / 1000.0 * kv::kSecond;
        if (clock.now() < next) clock.set(next);
        acq.cycle.mmTimerCallback();
        ++ticks;
    }
    const double real =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double virt = days * 86400;
    std::printf("simulated %.2f days (%ld ticks of %d ms, 12 cells, %d values) in %.2f s real\n",
                days, ticks, cfg.mmTimerInt, r->iRTV, real);
    std::printf("speed factor %.0f (one tick takes %.1f us)\n", virt / real, real / ticks * 1e6);
    std::filesystem::remove_all(dir);
    return r->iRTV >= static_cast<int>(days * 24) ? 0 : 1;
}
