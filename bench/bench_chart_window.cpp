// The chart window's preview drawing a row of 120 cells with 40,000 values each (four weeks
// at one-minute steps): the page at a window size of 1200 x 850, as the preview's drawing
// thread makes it on every resize and every new time value of a running row, and the window
// thread's share of a paint once the page is there. Prints the median, fastest and slowest
// drawing.
//
//   bench_chart_window [repetitions]   (default 5)
//   bench_chart_window --smoke         one paint of 120 curves of 500 points
// A paint that leaves the page blank is a failure.

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPrinter>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>
#include <vector>

#include "common/datetime.h"
#include "ui/chart_window.h"

namespace {

kv::ChartData bigChart(int curves, int points) {
    kv::ChartData d;
    d.hasRow = true;
    d.title = "Benchmark row, 120 cells";
    d.footer = "Kelvora - bench";
    d.xTitle = "date/time";
    d.yTitle = "BOD mg/l";
    const double t0 = kv::encodeDateTime(2026, 1, 5);
    d.xMin = t0;
    d.xMax = t0 + points / 1440.0;
    d.xStep = std::max(1.0 / 24, (d.xMax - d.xMin) / 7);
    d.left = {0, 250, 25, true};
    for (int k = 0; k < curves; ++k) {
        kv::ChartCurve c;
        c.legend = "Cell " + std::to_string(k + 1);
        c.style = 1 + k % 5;
        c.colour = 1 + k % 14;
        c.symbol = 1 + k % 6;
        c.legendBox = 1 + k % 2;
        c.points.reserve(static_cast<size_t>(points));
        for (int i = 0; i < points; ++i) {
            const double t = i / 1440.0;
            const double v =
                (120 + k) / (1 + std::exp(-(t - 10 - k % 7) / 2.5)) + 2 * std::sin(i * 0.7 + k);
            c.points.push_back({t0 + t, std::max(0.0, v)});
        }
        d.curves.push_back(std::move(c));
    }
    return d;
}

// The process's processor time: on a shared machine the wall-clock figure includes the
// waits for a core.
double cpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

int inkOf(const QImage& img) {
    int n = 0;
    for (int y = 0; y < img.height(); y += 2)
        for (int x = 0; x < img.width(); x += 2)
            if (qGray(img.pixel(x, y)) < 160) ++n;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    const bool smoke = argc > 1 && std::strcmp(argv[1], "--smoke") == 0;
    const int reps = smoke ? 1 : (argc > 1 ? std::max(1, std::atoi(argv[1])) : 5);
    const int points = smoke ? 500 : 40000;
    kv::ChartData data = bigChart(120, points);
    QPrinter printer;
    printer.setPageOrientation(QPageLayout::Landscape);
    kv::ui::ChartPreview preview(printer);
    preview.setData(std::make_shared<const kv::ChartData>(std::move(data)));
    preview.resize(1200, 850);
    std::vector<double> ms, cpu;
    int ink = 0;
    for (int r = 0; r < reps; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        const double c0 = cpuMs();
        const QImage img = preview.drawPage(preview.size(), 1.0);
        cpu.push_back(cpuMs() - c0);
        const auto t1 = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        ink = inkOf(img);
    }
    // What the window thread spends on a paint once the drawing thread has delivered the
    // page.
    QImage shown(preview.size(), QImage::Format_RGB32);
    preview.render(&shown);
    for (int i = 0; i < 60000 && !preview.pageCurrent(); ++i) {
        app.processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const auto r0 = std::chrono::steady_clock::now();
    preview.render(&shown);
    const double repaint =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - r0).count();
    std::sort(ms.begin(), ms.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf(
        "chart window preview, 120 curves x %d points, 1200x850: drawing (on its own thread) "
        "median %.1f ms (fastest %.1f, slowest %.1f; processor time median %.1f ms; %d runs), "
        "window thread per paint %.1f ms%s\n",
        points, ms[ms.size() / 2], ms.front(), ms.back(), cpu[cpu.size() / 2], reps, repaint,
        preview.pageCurrent() ? "" : " (page not delivered)");
    if (ink < 1000) {
        std::printf("ERROR: the preview came out blank\n");
        return 1;
    }
    return 0;
}
