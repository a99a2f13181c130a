#include "acquisition/o2tanks.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "common/strutil.h"

namespace kv {

namespace {

std::string inFolder(const std::string& folder, const char* name) {
    return folder.empty() ? std::string(name) : folder + "/" + name;
}

// Empty text: never refilled (0). A date alone or a date with a time, in either style;
// false when the text is no date.
bool readTankDate(std::string_view text, TDateTime& out) {
    text = trim(text);
    if (text.empty()) {
        out = 0;
        return true;
    }
    const std::string withTime = text.find(' ') == std::string_view::npos
                                     ? std::string(text) + " 00:00:00"
                                     : std::string(text);
    out = textToDateTime(withTime);
    return out != 0;
}

}  // namespace

O2TankFile::O2TankFile(TCells& cells, std::string folder)
    : cells_(cells), folder_(std::move(folder)) {}

std::string O2TankFile::path() const {
    return inFolder(folder_, "O2_TankData.Txt");
}

std::string O2TankFile::tankLine(int i) const {
    const TCell c = cells_.cell(i);
    return "C" + std::to_string(i) + "=" + std::to_string(c.O2ImpTotal) + ", " +
           dateToText(c.O2TankDate) + ", " + std::to_string(c.O2TankMax) + ", " +
           std::to_string(c.O2TankUsed);
}

bool O2TankFile::write_O2TankData() {
    const std::string p = path();
    const char* cat = "Kelvora/write_O2TankData";
    WriteDbg(cat, "start writing O2_TankData to [" + p + "]");
    std::string content;
    const int n = std::clamp(cells_.cellCount(), 0, kMaxCells);
    for (int i = 1; i <= n; ++i) content += tankLine(i) + "\r\n";
    std::string error;
    bool report = false;
    {
        std::lock_guard lock(writeMutex_);
        error = writeFileAtomically(p, content);
        // Written every fifty ticks: an unwritable folder is told to the operator once.
        report = !error.empty() && !writeErrorReported_;
        writeErrorReported_ = !error.empty();
    }
    if (!error.empty()) {
        WriteDbg(cat, error);
        if (report) AddMsg("O2_TankData: " + error, true);
        return false;
    }
    WriteDbg(cat, "stop writing O2_TankData to [" + p + "]");
    return true;
}

void O2TankFile::read_O2TankData() {
    const std::string p = path();
    const char* cat = "Kelvora/read_O2TankData";
    WriteDbg(cat, "start reading O2_TankData from [" + p + "]");
    std::ifstream in(p, std::ios::binary);
    if (!in) {
        const std::string msg = "O2_TankData file not found: " + p;
        WriteDbg(cat, msg);
        AddMsg(msg, false);
        return;
    }
    std::string line;
    int lineNr = 0;
    while (std::getline(in, line)) {
        ++lineNr;
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq < 1) continue;
        const int i = textToInt(std::string_view(line).substr(1, eq - 1));
        if (isNoValue(i)) continue;
        if (!TCells::validCell(i)) {
            WriteDbg(cat, "line " + std::to_string(lineNr) + " skipped: cell number " +
                              std::to_string(i) + " out of range");
            continue;
        }
        const auto parts = splitList(std::string_view(line).substr(eq + 1), ',');
        auto part = [&](size_t k) { return k < parts.size() ? parts[k] : std::string(); };
        TDateTime date = 0;
        if (!readTankDate(part(1), date)) {
            WriteDbg(cat, "line " + std::to_string(lineNr) + " skipped: unreadable date [" +
                              part(1) + "]");
            continue;
        }
        const int total = textToInt(part(0)), max = textToInt(part(2)), used = textToInt(part(3));
        cells_.update(i, [&](TCell& c) {
            c.O2ImpTotal = total;
            c.O2TankDate = date;
            c.O2TankMax = max;
            c.O2TankUsed = used;
        });
    }
    WriteDbg(cat, "stop reading O2_TankData from [" + p + "]");
}

std::string O2TankFile::refillQuestion(int i) const {
    return GetTextFmt("frmCellStatus", "O2TankRefill_Confirm", "Refill O2 Tank of cell %s",
                      std::to_string(cells_.logicalNr(i)));
}

void O2TankFile::refill(int i) {
    if (!TCells::validCell(i)) return;
    const TDateTime today = std::floor(clock().now());
    const int full = cells_.config().DefMaxO2Imp;
    cells_.update(i, [&](TCell& c) {
        c.O2TankDate = today;
        c.O2TankMax = full;
        c.O2TankUsed = 0;
    });
    AddMsg(refillQuestion(i), true);
}

std::string O2TankFile::usedPercentText(const TCell& c) {
    if (c.O2TankMax <= 0) return {};
    return realToTextDC(100.0 * c.O2TankUsed / c.O2TankMax, 0, 1) + "%";
}

// ---------------------------------------------------------------------------------------

TempLog::TempLog(DeviceList& devices, std::string folder)
    : dl_(devices), folder_(std::move(folder)) {}

std::string TempLog::path() const {
    return inFolder(folder_, "TempLog.Txt");
}

TDateTime TempLog::lastLogTime() const {
    std::lock_guard lock(mutex_);
    return lastLog_;
}

void TempLog::write_TempLog(TDateTime now) {
    const std::string p = path();
    WriteDbg("Kelvora/write_LogTemp", "start writing temp to [" + p + "]");
    std::string header = "d/t", line = dateTimeToText(now);
    for (const auto& d : dl_.devices()) {
        if (d.Type != DeviceType::Case) continue;
        header += ";" + std::to_string(d.Case);
        line += ";";
        if (!isNoValue(d.curTemp)) line += realToTextDC(d.curTemp, 0, 1);
    }
    {
        std::lock_guard lock(mutex_);
        std::error_code ec;
        const bool exists = std::filesystem::exists(p, ec);
        if (std::FILE* f = std::fopen(p.c_str(), "ab")) {
            if (!exists) std::fputs((header + "\r\n").c_str(), f);
            std::fputs((line + "\r\n").c_str(), f);
            std::fflush(f);
            std::fclose(f);
        } else {
            WriteDbg("Kelvora/write_TempLog", "cannot open [" + p + "]");
        }
        lastLog_ = now;
    }
    WriteDbg("Kelvora/write_TempLog", "stop writing temp to [" + p + "]");
}

}  // namespace kv
