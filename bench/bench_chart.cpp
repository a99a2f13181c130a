// Draws a chart with one curve of 40,000 points (four weeks of values at one-minute steps)
// on an A4 landscape page: as a 150 dpi image (the PNG export and the preview), as a 600 dpi
// image (a printer's resolution) and as a PDF, each with a solid line and symbols and with a
// dashed line without symbols. Prints the median time of each drawing.
//
//   bench_chart [repetitions [folder]]   (default 5; with a folder, the 150 dpi images are
//                                         saved there as bench_chart_solid/dashed.png)
//   bench_chart --smoke                  one run of each drawing with 2,000 points (the
//                                         suite's check that every drawing completes)
// A drawing that comes out empty (a blank image, a PDF without content) is a failure.

#include <QBuffer>
#include <QImage>
#include <QPainter>
#include <QPdfWriter>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/datetime.h"
#include "output/qt/chart_draw.h"
#include "output/qt/gui_app.h"

namespace {

int kPoints = 40000;
constexpr double kW = 2970, kH = 2100;

kv::ChartData chart(int style, int symbol) {
    kv::ChartData d;
    d.hasRow = true;
    d.title = "Benchmark row";
    d.footer = "Kelvora - bench";
    d.xTitle = "date/time";
    d.yTitle = "BOD mg/l";
    const double t0 = kv::encodeDateTime(2026, 1, 5);
    d.xMin = t0;
    d.xMax = t0 + 28;
    d.xStep = 4;
    d.left = {0, 250, 25, true};
    kv::ChartCurve c;
    c.legend = "40000 points";
    c.style = style;
    c.colour = 10;
    c.symbol = symbol;
    for (int i = 0; i < kPoints; ++i) {
        const double t = i / 1440.0;
        // A respiration curve with measuring noise, so that neighbouring points differ.
        const double v = 240 / (1 + std::exp(-(t - 10) / 2.5)) + 3 * std::sin(i * 0.7);
        c.points.push_back({t0 + t, std::max(0.0, v)});
    }
    d.curves.push_back(std::move(c));
    return d;
}

double medianMs(int reps, const std::function<void()>& f) {
    std::vector<double> ms;
    for (int r = 0; r < reps; ++r) {
        const auto a = std::chrono::steady_clock::now();
        f();
        const auto b = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(b - a).count());
    }
    std::sort(ms.begin(), ms.end());
    return ms[ms.size() / 2];
}

// The last drawing, looked at after the timing to tell that something was drawn.
QImage lastImage;
qint64 lastPdfBytes = 0;
bool lastWasPdf = false;

// Non-white pixels of the last image, or the bytes of the last PDF.
qint64 drawnAmount() {
    if (lastWasPdf) return lastPdfBytes;
    qint64 n = 0;
    for (int y = 0; y < lastImage.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(lastImage.constScanLine(y));
        for (int x = 0; x < lastImage.width(); ++x) n += line[x] != qRgb(255, 255, 255);
    }
    return n;
}

QImage drawImage(const kv::ChartData& d, int dpi) {
    const int w = static_cast<int>(std::lround(297 / 25.4 * dpi));
    const int h = static_cast<int>(std::lround(210 / 25.4 * dpi));
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(Qt::white);
    {
        QPainter p(&img);
        kv::DrawChart(p, QRectF(0, 0, w, h), kW, kH, d);
    }
    lastImage = img;
    lastWasPdf = false;
    return img;
}

void drawPdf(const kv::ChartData& d) {
    QBuffer buf;
    buf.open(QIODevice::WriteOnly);
    QPdfWriter pdf(&buf);
    pdf.setResolution(600);
    pdf.setPageLayout(QPageLayout(QPageSize(QSizeF(297, 210), QPageSize::Millimeter),
                                  QPageLayout::Portrait, QMarginsF(0, 0, 0, 0)));
    {
        QPainter p(&pdf);
        kv::DrawChart(p, QRectF(0, 0, pdf.width(), pdf.height()), kW, kH, d);
    }
    lastPdfBytes = buf.size();
    lastWasPdf = true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool smoke = argc > 1 && std::string(argv[1]) == "--smoke";
    const int reps = smoke ? 1 : argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    if (smoke) kPoints = 2000;
    if (!kv::EnsureGuiApp()) {
        std::fprintf(stderr, "no graphics system\n");
        return 1;
    }
    const kv::ChartData solid = chart(1, 1);
    const kv::ChartData dashed = chart(2, 6);
    drawImage(solid, 150);  // fonts and caches warmed up once
    std::printf("chart with one curve of %d points, median of %d runs:\n", kPoints, reps);
    struct Case {
        const char* name;
        std::function<void()> f;
    };
    const Case cases[] = {
        {"image 150 dpi, solid + symbols", [&] { drawImage(solid, 150); }},
        {"image 150 dpi, dashed", [&] { drawImage(dashed, 150); }},
        {"image 600 dpi, solid + symbols", [&] { drawImage(solid, 600); }},
        {"image 600 dpi, dashed", [&] { drawImage(dashed, 600); }},
        {"PDF, solid + symbols", [&] { drawPdf(solid); }},
        {"PDF, dashed", [&] { drawPdf(dashed); }},
    };
    int empty = 0;
    for (const Case& c : cases) {
        std::printf("  %-32s %8.1f ms\n", c.name, medianMs(reps, c.f));
        // A blank page or an empty PDF (a few hundred bytes of frame) drew nothing.
        if (drawnAmount() < 1000) {
            std::printf("  %s: the drawing came out empty\n", c.name);
            ++empty;
        }
    }
    if (empty > 0) return 1;
    if (!smoke && argc > 2) {
        const std::string dir = argv[2];
        drawImage(solid, 150).save(QString::fromStdString(dir + "/bench_chart_solid.png"));
        drawImage(dashed, 150).save(QString::fromStdString(dir + "/bench_chart_dashed.png"));
    }
    return 0;
}
