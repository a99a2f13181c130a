#include "co2_e2e.h"

#include <sstream>

#include "common/datetime.h"
#include "common/numtext.h"
#include "e2e_support.h"

namespace e2e {

namespace {

std::vector<std::string> fields(const std::string& line, char sep) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string item;
    while (std::getline(in, item, sep)) out.push_back(item);
    return out;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

std::string withCrLf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

}  // namespace

std::string co2LabText(const std::vector<double>& rates) {
    std::ostringstream lab;
    lab << "[Lab]\nSeed=7\n[Device " << kCo2Data << "]\nType=1\n";
    // No noise: the program's conductivities are compared with the impulses the lab dosed.
    for (size_t k = 0; k < rates.size(); ++k)
        lab << "Cell" << k + 1 << "=rate=" << rates[k] << " noise=0 settle=0\n";
    lab << "[Device " << kCo2Case << "]\nType=2\nTemp=20.5\n"
        << "[Device " << kCo2Device << "]\nType=3\n"
        << "[Meter " << kCo2Meter << "]\nType=EC71\nAbsorbers=" << kCo2Device << ":" << kCo2Data
        << "\nLF0=" << kLF0 << "\nMgPerLF=" << kMgPerLF << "\nRQ=1\nMeasureSeconds=0.2\n";
    return lab.str();
}

std::string co2IniText(const std::string& byIdDir) {
    const std::string example =
        readFile(std::string(KELVORA_SOURCE_DIR) + "/examples/Kelvora-co2.Ini");
    const size_t frames = example.find("\n[EC71-");
    if (frames == std::string::npos) return {};
    std::ostringstream ini;
    // The EC71 cycle runs with short waits (fractions of a second) so that a cell is read
    // every few seconds; LF_0 comes from the first two readings.
    ini << "[Kelvora]\nCells=6\nbDebug=1\nbDebug_USB_Data=1\nwithCO2=1\nDecimalComma=0\n"
        << "ValueWidth=10,-4\nDelayBetweenStartCells=0\n"
        << "EC71_Present=y\nEC71_NrDevices=1\nEC71_1_Port=5,9600,n,8,1\nEC71_1_CellRange=1, 6\n"
        << "EC71_mmTimerInt=50\nEC71_Loop_Duration=6\nEC71_setMUX_Start_Delay=0.5\n"
        << "EC71_Sample_Delay=0.1\nEC71_Sample_Read_Delay=0.4\nEC71_Read_Delay=0.2\n"
        << "EC71_NrStartValues=2\n"
        << "[FT232R]\nBackend=tty\nByIdDir=" << byIdDir << "\n"
        << "[Ports]\nCOM5=" << byIdDir << "/" << kCo2Meter << "\n"
        << "[USB]\nDevices=3\n"
        << "[USBDevice-1]\nSerialNr=" << kCo2Data << "\nType=1\nCase=1\nphysCells=1, 6\n"
        << "[USBDevice-2]\nSerialNr=" << kCo2Case << "\nType=2\nCase=1\n"
        << "[USBDevice-3]\nSerialNr=" << kCo2Device << "\nType=3\nCase=1\nphysCells=1, 6\n"
        << example.substr(frames + 1);
    return withCrLf(ini.str());
}

bool readLfColumns(const std::string& path, LfFile& out, std::string& error) {
    out = LfFile{};
    const std::string text = readFile(path);
    if (text.empty()) {
        error = "no data file " + path;
        return false;
    }
    std::vector<size_t> columns;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        const std::vector<std::string> f = fields(line, ';');
        if (line.find("Dat") != std::string::npos) {
            if (!columns.empty()) continue;
            for (size_t c = 0; c < f.size(); ++c)
                if (f[c].rfind("LF ", 0) == 0) {
                    columns.push_back(c);
                    out.cells.push_back(std::atoi(f[c].c_str() + 3));
                }
            continue;
        }
        LfLine l;
        l.t = f.empty() ? 0 : kv::textToDateTime(f[0]);
        for (size_t c : columns) {
            const int v = c < f.size() ? kv::textToInt(f[c]) : kv::NoValueInt;
            l.lf.push_back(v == kv::NoValueInt || v < 0 ? -1.0 : v * 1e-6);
        }
        out.lines.push_back(std::move(l));
    }
    if (columns.empty()) {
        error = "data file without conductivity columns: " + path;
        return false;
    }
    return true;
}

std::vector<ValueLine> parseValueTable(const std::string& answer, size_t cells) {
    std::vector<ValueLine> out;
    std::istringstream in(answer);
    std::string line;
    while (std::getline(in, line)) {
        // "dd.mm.yyyy hh:mm:ss  v1  v2 ..."; a cell without a value leaves its column blank.
        const std::vector<std::string> w = words(line);
        if (w.size() != 2 + cells) continue;
        ValueLine v;
        v.t = kv::textToDateTime(w[0] + " " + w[1]);
        if (v.t <= 0) continue;
        bool numbers = true;
        for (size_t c = 0; c < cells; ++c) {
            const double x = kv::textToReal(w[2 + c]);
            numbers = numbers && !kv::isNoValue(x);
            v.values.push_back(x);
        }
        if (numbers) out.push_back(std::move(v));
    }
    return out;
}

}  // namespace e2e
