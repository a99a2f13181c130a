// One refresh of the main window's cell grid with 120 cells of a running series (twenty
// data devices on the virtual lab): the grid texts and colours computed from the cell
// table, and the whole refresh of the window (grid widget, lists, status panels). Prints
// the median and the slowest of the repetitions.
//
//   bench_grid [repetitions]   (default 200)
//   bench_grid --smoke         20 repetitions (the suite's check that a refresh completes)

#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/messages.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "sim/lab.h"
#include "system/kelvora.h"
#include "system/operation_queue.h"
#include "system/operations.h"
#include "ui/cell_grid.h"
#include "ui/main_window.h"
#include "ui/program_context.h"
#include "ui/window_frontend.h"

namespace {

constexpr int kDevices = 20;

std::string labText() {
    std::string t;
    for (int d = 1; d <= kDevices; ++d) {
        t += "[Device B" + std::to_string(d) + "]\nType=1\n";
        for (int c = 1; c <= 6; ++c) t += "Cell" + std::to_string(c) + "=rate=8\n";
    }
    return t + "[Device BCASE]\nType=2\nTemp=20\n";
}

std::string iniText() {
    std::string t =
        "[Kelvora]\r\nCells=120\r\nDelayBetweenStartCells=0\r\nDecimalComma=0\r\n"
        "[USB]\r\nDevices=" +
        std::to_string(kDevices + 1) + "\r\n";
    for (int d = 1; d <= kDevices; ++d)
        t += "[USBDevice-" + std::to_string(d) + "]\r\nSerialNr=B" + std::to_string(d) +
             "\r\nType=1\r\nCase=1\r\nphysCells=" + std::to_string(d * 6 - 5) + "," +
             std::to_string(d * 6) + "\r\n";
    return t + "[USBDevice-" + std::to_string(kDevices + 1) +
           "]\r\nSerialNr=BCASE\r\nType=2\r\nCase=1\r\n";
}

template <class F>
std::vector<double> timed(int reps, F f) {
    std::vector<double> ms;
    for (int i = 0; i < reps; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    int reps = 200;
    if (argc > 1) reps = std::string(argv[1]) == "--smoke" ? 20 : std::max(1, std::atoi(argv[1]));
    QApplication app(argc, argv);

    kv::ManualClock clock(kv::encodeDateTime(2026, 3, 2, 8));
    kv::ScopedClock scoped(clock);
    const std::filesystem::path home = std::filesystem::temp_directory_path() /
                                       ("kelvora-bench-grid-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    std::ofstream(home / "Kelvora.Ini") << iniText();
    std::string err;
    auto lab = kv::sim::Lab::fromText(labText(), &err);
    if (!lab) {
        std::fprintf(stderr, "bench_grid: %s\n", err.c_str());
        return 1;
    }
    int rc = 0;
    {
        kv::IniFile ini((home / "Kelvora.Ini").string());
        kv::TKelvora k(ini, home.string(), (home / "Kelvora.Row").string(), kv::RowsHooks{},
                       lab->ports());
        kv::loadConfig(ini, k.cfg);
        k.devices.USB_Init(0);
        k.devices.mapDevices(k.cfg);
        for (int i = 1; i <= kv::kMaxCells; ++i) k.acq.cells.InitCell(i);
        k.acq.cells.setRowLookup(&k.rows);
        k.acq.cycle.setRowsUpdate([&k](bool force) { k.rows.UpdateAll(force); });
        k.devices.sendInitToDataDevices(1);
        k.startupInProgress = false;
        k.systemRunning = true;
        k.rowCommandIdle = true;
        kv::ui::WindowFrontEnd fe;
        kv::Operations ops(k, fe);
        kv::RowSpec fields = ops.rowDefaults();
        fields.name = "Bench";
        for (int c = 1; c <= 120; ++c) fields.cells.push_back(c);
        const kv::OpResult row = ops.newRow(fields);
        if (!row.ok || !ops.startRow(row.rowNr, false).ok) {
            std::fprintf(stderr, "bench_grid: the series did not start: %s\n", row.error.c_str());
            return 1;
        }
        for (int t = 0; t < 10; ++t) {
            clock.advanceMs(3000);
            k.acq.cycle.mmTimerCallback();
        }
        kv::OperationQueue queue;
        queue.start();
        kv::ui::ProgramContext ctx(k, ops, queue, fe);
        kv::ui::TfrmMain w(ctx);
        w.resize(1200, 900);
        w.show();
        kv::ui::CellGridView view;
        const auto grid =
            timed(reps, [&] { kv::ui::buildCellGrid(k, kv::ui::CellDisplayMode::O2, view); });
        const auto refresh = timed(reps, [&] { w.refresh(); });
        if (view.rows != 40 || !view.text(1, 1).endsWith("mg/l") || w.gridView().rows != 40) {
            std::fprintf(stderr, "bench_grid: the grid is not the 120-cell grid\n");
            rc = 1;
        }
        std::printf("bench_grid: 120 cells, %d repetitions\n", reps);
        std::printf("  grid texts and colours (buildCellGrid): median %.3f ms, slowest %.3f ms\n",
                    grid[grid.size() / 2], grid.back());
        std::printf("  whole window refresh (TfrmMain::refresh): median %.3f ms, slowest %.3f ms\n",
                    refresh[refresh.size() / 2], refresh.back());
        queue.stop();
    }
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
    return rc;
}
