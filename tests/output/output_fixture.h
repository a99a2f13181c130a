#pragma once
// Rows with hand-made time values for the export tests: no devices, the shipped templates,
// results in a temporary folder.

#include <filesystem>
#include <string>
#include <vector>

#include "rows/rows_fixture.h"
#include "xlsx_test_util.h"

namespace kvtest {

class OutputFixture : public RowsFixture {
  protected:
    OutputFixture() {
        cfg_.Template_AT4 = templatePath("AT4.xlsx");
        cfg_.Template_301f = templatePath("301F.xlsx");
        cfg_.ResultPath = resultDir();
        cfg_.csvStrDelim = "\"";
        cfg_.csvColSep = ";";
        cfg_.csvfValue = 2;
        cfg_.csvDecimalComma = false;
        build();
    }

    std::string resultDir() const { return dir_.file("Results"); }

    // A row with Tact 30 (one impulse = 0.25 mg O2) and the given cells, volumes 100 ml.
    std::shared_ptr<kv::TRow> row(const std::string& name, int cells, int rowMode = 0) {
        std::vector<int> nrs;
        for (int c = 1; c <= cells; ++c) nrs.push_back(c);
        auto r = newRow(name, nrs);
        r->Tact = 30;
        r->RowMode = rowMode;
        for (int s = 1; s <= cells; ++s) {
            r->RowCells[static_cast<size_t>(s)].Vol = 100;
            r->RowCells[static_cast<size_t>(s)].TS = 20;
        }
        return r;
    }

    // Appends a time value with one count per cell (missing counts: none recorded).
    static void add(kv::TRow& r, double t, const std::vector<int>& counts, int T = kv::NoValueInt,
                    const std::vector<int>& lf = {}) {
        const int n = r.iRTV + 1;
        r.ensureEntry(n);
        r.iRTV = n;
        r.RTV[static_cast<size_t>(n)] = kv::RTVElement{t, T};
        for (int s = 1; s <= r.NrCells; ++s) {
            kv::CellValues& v = r.RowCells[static_cast<size_t>(s)].Values;
            const auto k = static_cast<size_t>(s - 1);
            v.setCount(n, k < counts.size() ? counts[k] : kv::NoValueInt);
            v.setLf(n, k < lf.size() ? lf[k] : -1);
        }
    }

    static double at(int hour, int minute, int second = 0) {
        return kv::encodeDateTime(2026, 3, 1, hour, minute, second);
    }

    // Files in a folder and its subfolders.
    static std::vector<std::string> filesIn(const std::string& dir) {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec))
            if (e.is_regular_file()) out.push_back(e.path().string());
        return out;
    }
};

}  // namespace kvtest
