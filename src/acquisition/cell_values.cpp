// Texts and display values of a cell.

#include <cmath>

#include "acquisition/cells.h"
#include "app/texts.h"

namespace kv {

namespace {

// "short name|text" per state; a language file replaces them entry by entry.
const char* defaultStateText(CellState state) {
    switch (state) {
        case CellState::cs_Free:
            return "Free|Cell is free";
        case CellState::cs_NotAvailable:
            return "N/A|Cell not available";
        case CellState::cs_Assigned:
            return "Assigned|Cell assigned to a row";
        case CellState::cs_Running:
            return "Running|Cell running";
        case CellState::cs_Suspended:
            return "Suspended|Cell suspended (O2 and CO2)";
        case CellState::cs_Cancelled:
            return "Cancelled|Cell cancelled";
        case CellState::cs_Stopped:
            return "Stopped|Cell stopped";
        case CellState::cs_ControlOnly:
            return "Control|Row ended, cell control goes on";
        case CellState::cs_SuspendedO2:
            return "Susp.O2|O2 suspended, CO2 measured";
        case CellState::cs_SuspendedCO2:
            return "Susp.CO2|CO2 suspended, O2 measured";
        default:
            return "";
    }
}

std::string beforeBar(const std::string& s) {
    return s.substr(0, s.find('|'));
}

std::string afterBar(const std::string& s) {
    const auto p = s.find('|');
    return p == std::string::npos ? s : s.substr(p + 1);
}

bool positive(double v) {
    return !isNoValue(v) && v > 0.0001;
}

}  // namespace

// The language file keys the state texts by their numbers.
std::string TCells::StateShortName(CellState state) {
    if (!isNamedCellState(state)) return {};
    return beforeBar(GetText("uCells", std::to_string(toInt(state)), defaultStateText(state)));
}

std::string TCells::StateText(CellState state) {
    if (!isNamedCellState(state)) return GetText("uCells", "12", "<<< invalid state >>>");
    const std::string t = GetText("uCells", std::to_string(toInt(state)), defaultStateText(state));
    return afterBar(t) + "  (" + beforeBar(t) + ")";
}

std::string TCells::CellStateText(int i) const {
    return StateText(cell(i).State);
}

std::string TCells::MethodText(int method) {
    const std::string m = std::to_string(method);
    return beforeBar(GetText("uCells", "m" + m, "Method " + m));
}

std::string TCells::MethodParamText(int i) const {
    const TCell c = cell(i);
    std::string t = MethodText(c.Method);
    if (c.Method == 1)
        t += ", Index=" + realToText(c.Index, 0, -5) + ", P(TC)=" + realToText(c.P_TC, 0, -5) +
             ", BTH1=" + realToText(c.BTH1, 0, -5);
    return t;
}

double TCells::o2AmountOf(const TCell& c) const {
    if (!positive(c.Volume)) return NoValueReal;
    if (c.RowNr == 0) return c.CellCount * 0.25;
    const auto row = rowOf(c.RowNr);
    if (!row || c.CellCount < 0) return NoValueReal;
    return c.CellCount * 0.25 * row->tactSeconds / 30.0;
}

double TCells::O2Amount(int i) const {
    return o2AmountOf(cell(i));
}

double TCells::O2Concentration(int i) const {
    const TCell c = cell(i);
    // A cell without a row shows no concentration: it has no sample to refer to.
    if (c.RowNr == 0) return NoValueReal;
    const double mg = o2AmountOf(c);
    if (isNoValue(mg)) return NoValueReal;
    return mg * 1000.0 / c.Volume;
}

double TCells::O2PerDryMatter(int i) const {
    const TCell c = cell(i);
    if (!positive(c.Volume) || !positive(c.Weight)) return NoValueReal;
    const double mg = o2AmountOf(c);
    if (isNoValue(mg)) return NoValueReal;
    return (mg / c.Volume) / (c.Weight * 0.01);
}

double TCells::conductivityOf(const TCell& c, double a) const {
    if (std::isnan(a) || a < 0 || a > 1023 || a < cfg_.CO2_minADC) return NoValueReal;
    if (std::fabs(static_cast<double>(c.maxADC) - c.minADC) < 0.001) return NoValueReal;
    return c.minLF + (a - c.minADC) * (c.maxLF - c.minLF) / (c.maxADC - c.minADC);
}

double TCells::Conductivity(int i, double a) const {
    return conductivityOf(cell(i), a);
}

double TCells::co2Of(const TCell& c, const std::optional<RowInfo>& row, double x) const {
    if (isNoValue(x) || x < 0) return NoValueReal;
    return x * ((c.RowNr != 0 && row) ? row->lf2co2 : cfg_.DefLF2CO2_const1);
}

double TCells::CO2FromConductivity(int i, double x) const {
    const TCell c = cell(i);
    return co2Of(c, rowOf(c.RowNr), x);
}

double TCells::CO2Produced(int i) const {
    const TCell c = cell(i);
    const auto row = rowOf(c.RowNr);
    double r = NoValueReal;
    if (cfg_.CDM_Present || cfg_.EC71_Present) {
        if (c.cdm_LF_0 < 0 || c.cdm_LF < 0) return NoValueReal;
        double factor = 1.0;
        if (const int d = dl_.co2DeviceByCell(c.CellNr, false); d != 0)
            factor = dl_.device(d).CO2_correctionFactor;
        r = (co2Of(c, row, c.cdm_LF_0) - co2Of(c, row, c.cdm_LF)) * factor;
    } else {
        if (c.aiCO2_start < 0 || c.aiCO2 < 0) return NoValueReal;
        const double x0 = co2Of(c, row, conductivityOf(c, c.aiCO2_start));
        const double x1 = co2Of(c, row, conductivityOf(c, c.aiCO2));
        if (isNoValue(x0) || isNoValue(x1)) return NoValueReal;
        r = x0 - x1;
    }
    if (r < 0) return 0;
    if (r > 1e35) return NoValueReal;
    return r;
}

}  // namespace kv
