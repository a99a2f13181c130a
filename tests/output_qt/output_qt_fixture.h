#pragma once
// A finished five-day row of six cells with CO2 and the degradation evaluation: two samples,
// two blind cells, one check-substance cell and one reference cell, hourly values that rise
// like a respiration curve, and chart settings that show every curve.

#include <gtest/gtest.h>

#include <QImage>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "output/qt/gui_app.h"
#include "rows/rows_fixture.h"

namespace kvtest {

inline std::string artifactDir() {
    std::filesystem::create_directories(KV_ARTIFACT_DIR);
    return KV_ARTIFACT_DIR;
}

// The standard output of a shell command ("" when it could not run).
inline std::string runCommand(const std::string& cmd) {
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    if (f == nullptr) return out;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    pclose(f);
    return out;
}

inline std::string pdfText(const std::string& file) {
    return runCommand("pdftotext -layout '" + file + "' - 2>/dev/null");
}

struct PdfWord {
    std::string text;
    double xMin = 0, yMin = 0, xMax = 0;
};

// The words of a PDF with their boxes, in reading order (pdftotext -bbox).
inline std::vector<PdfWord> pdfWords(const std::string& file) {
    const std::string html = runCommand("pdftotext -bbox '" + file + "' - 2>/dev/null");
    std::vector<PdfWord> out;
    const std::regex word(
        "<word xMin=\"([0-9.]+)\" yMin=\"([0-9.]+)\" xMax=\"([0-9.]+)\" "
        "yMax=\"[0-9.]+\">([^<]*)</word>");
    for (std::sregex_iterator it(html.begin(), html.end(), word), end; it != end; ++it)
        out.push_back({(*it)[4].str(), std::stod((*it)[1].str()), std::stod((*it)[2].str()),
                       std::stod((*it)[3].str())});
    return out;
}

inline int pdfPages(const std::string& file) {
    const std::string info = runCommand("pdfinfo '" + file + "' 2>/dev/null");
    const auto p = info.find("Pages:");
    return p == std::string::npos ? -1 : std::atoi(info.c_str() + p + 6);
}

class OutputQtFixture : public RowsFixture {
  protected:
    static constexpr int kValues = 120;  // five days of hourly values

    void SetUp() override {
        ASSERT_TRUE(kv::EnsureGuiApp());
        cfg_.Title = "Kelvora";
        cfg_.generalVersion = "2.6.4";
        cfg_.CDM_Present = true;  // CO2 from the conductivity meter
        build();
    }

    // The sigmoid of a respiration curve, 0..top.
    static double rise(int i, double top, double mid) {
        return top / (1.0 + std::exp(-(i - mid) / 9.0));
    }

    std::shared_ptr<kv::TRow> makeRow() {
        const int nr = rows().NewRow(0);
        auto r = rows().FindByUniqueNr(nr);
        r->Name = "Sludge 301F week 12";
        r->Comment = {"Inoculum from plant A", "", "Second line"};
        const double nv = kv::NoValueReal;
        r->AddCell(1, "Sample A", 250, 0, 0, nv, nv, nv);
        r->AddCell(2, "Sample B", 250, 0, 0, nv, nv, nv);
        r->AddCell(3, "Blind 1", 250, 2, 0, nv, nv, nv);
        r->AddCell(4, "Blind 2", 250, 2, 0, nv, nv, nv);
        r->AddCell(5, "Check", 250, 1, 0, 1.0, 100.0, 1.6);
        r->AddCell(6, "Reference", 250, 3, 0, nv, nv, nv);
        r->BuildSpecialCellTable();
        r->withCO2 = true;
        r->LF2CO2 = 9.7216;
        r->State = kv::RowState::Stopped;
        t0_ = kv::encodeDateTime(2026, 3, 2, 8);
        r->Start = t0_;
        r->Stop = t0_ + 5;
        r->Duration = 5;
        r->SIDuration = kv::TimeUnit::Days;
        r->ensureEntry(kValues);
        r->iRTV = kValues;
        // Counts: BOD = count x 0.1 mg/l (250 ml, tact 3 s).
        const double tops[] = {0, 2900, 1500, 260, 240, 1750, 1300};
        const double mids[] = {0, 50, 58, 40, 42, 45, 52};
        for (int i = 1; i <= kValues; ++i) {
            r->RTV[static_cast<size_t>(i)] = {t0_ + i / 24.0, 200 + i % 7};
            for (int s = 1; s <= 6; ++s) {
                kv::RowCell& c = r->RowCells[static_cast<size_t>(s)];
                c.Values.setCount(i, static_cast<int>(std::lround(rise(i, tops[s], mids[s]))));
                // Conductivity falls from 2.0 mS/cm as the absorber takes up CO2.
                c.Values.setLf(
                    i, static_cast<int>(std::lround((2.0 - rise(i, 1.2, 60) * s / 6) * 1e6)));
            }
        }
        for (int s = 1; s <= 6; ++s) {
            kv::RowCell& c = r->RowCells[static_cast<size_t>(s)];
            c.cdm_LF_0 = 2.0;
            c.ChartSel1 = {1, {1 + (s - 1) % 5, colours_[s], 1 + (s - 1) % 5, 1, 1}};
            c.ChartSel2 = {s <= 2 ? 1 : 0, {2, s == 1 ? 13 : 4, 3, 2, 2}};
        }
        // Specific BOD, degradation and mean of the check substance, and the reference mean.
        kv::SpecialCell& sc = r->SpecialCells[1];
        sc.flag = {1, 1, 1};
        sc.arr = {{{1, 2, 3}, {7, 4, 8}, {6, 6, 2}, {2, 2, 2}, {1, 1, 1}}};
        kv::SpecialCell& ref = r->SpecialCells[2];
        ref.flag = {1, 0, 0};
        ref.arr = {{{4, 1, 1}, {5, 1, 1}, {4, 1, 1}, {2, 1, 1}, {1, 1, 1}}};
        r->XFromDate = t0_;
        r->XToDate = t0_ + 5;
        r->XStep = 12;
        r->XUnit = kv::TimeUnit::Hours;
        r->YValues = {0, 500, 50, 0, 250, 25, 0, 20, 2};
        r->YTexts = {"Impulse", "BOD mg/l", "CO2 mg"};
        r->LegendPosition = {0, 0};
        return r;
    }

    // Colours of the O2 curves by slot: red, green, blue, purple, teal, maroon. Sample A
    // rises above the left axis maximum (250 mg/l) after about 67 hours.
    static constexpr int colours_[7] = {0, 10, 3, 12, 6, 7, 2};
    kv::TDateTime t0_ = 0;
};

// Pixels in a rectangle that are not (nearly) white.
inline int inkIn(const QImage& img, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = std::max(0, y0); y <= std::min(img.height() - 1, y1); ++y)
        for (int x = std::max(0, x0); x <= std::min(img.width() - 1, x1); ++x)
            if (qGray(img.pixel(x, y)) < 160) ++n;
    return n;
}

// A pixel near (x, y) whose colour is close to c.
inline bool colourNear(const QImage& img, int x, int y, QColor c, int radius = 4) {
    for (int yy = y - radius; yy <= y + radius; ++yy)
        for (int xx = x - radius; xx <= x + radius; ++xx) {
            if (xx < 0 || yy < 0 || xx >= img.width() || yy >= img.height()) continue;
            const QColor p = img.pixelColor(xx, yy);
            if (std::abs(p.red() - c.red()) < 60 && std::abs(p.green() - c.green()) < 60 &&
                std::abs(p.blue() - c.blue()) < 60)
                return true;
        }
    return false;
}

}  // namespace kvtest
