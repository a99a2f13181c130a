#include "ui/cell_grid.h"

#include <algorithm>

#include "app/debuglog.h"
#include "app/texts.h"
#include "common/numtext.h"
#include "system/kelvora.h"
#include "ui/translate.h"

namespace kv::ui {

namespace {

constexpr int kCellsPerDevice = 6;
constexpr int kManometerOpen = 10;

QString part(const char* section, const char* key, const char* def, int index) {
    const QStringList parts = splitItems(langText(section, key, def));
    const QStringList defaults = splitItems(def);
    if (index < parts.size()) return parts[index];
    return index < defaults.size() ? defaults[index] : QString();
}

QString valueText(double v, const Config& cfg) {
    if (isNoValue(v)) return {};
    return qs(realToTextDC(v, cfg.valueWidth, cfg.valueDecimals)).trimmed();
}

CellColour colourOf(const TCell& c, bool deviceError) {
    using enum CellState;
    if (c.RowNr == 0) return deviceError ? CellColour::DeviceError : CellColour::Free;
    if (deviceError) return CellColour::DeviceError;
    switch (c.State) {
        case cs_Running:
        case cs_ControlOnly:
            return c.WaitForZero > 0 ? CellColour::WaitingForZero : CellColour::Running;
        case cs_Suspended:
        case cs_SuspendedO2:
        case cs_SuspendedCO2:
            return CellColour::Suspended;
        case cs_Cancelled:
        case cs_Stopped:
            return CellColour::Stopped;
        case cs_Assigned:
            return CellColour::Assigned;
        default:
            return CellColour::Free;
    }
}

}  // namespace

int cellGridRowCount(int cells) {
    if (cells <= 0) return 0;
    return (cells + kCellsPerDevice - 1) / kCellsPerDevice * 2;
}

int cellGridColumn0Width(int firstCell, int cells) {
    return firstCell + cells > 99 ? 125 : 110;
}

int cellAtGridPosition(int row, int col, int cells) {
    if (row < 0 || col < 1 || col > kCellsPerDevice) return 0;
    const int i = col + kCellsPerDevice * (row / 2);
    return i <= cells ? i : 0;
}

QStringList cellModeItems(bool withCO2) {
    QStringList items = splitItems(langText("frmMain", "rgCellModeItems", "Cnt|O2|O2 TS|CO2|LF"));
    const QStringList defaults = {"Cnt", "O2", "O2 TS", "CO2", "LF"};
    while (items.size() < defaults.size()) items << defaults[items.size()];
    return items.mid(0, withCO2 ? 5 : 3);
}

QColor cellColour(CellColour c) {
    switch (c) {
        case CellColour::Running:
            return QColor(198, 239, 206);
        case CellColour::WaitingForZero:
            return QColor(255, 242, 170);
        case CellColour::Suspended:
            return QColor(255, 214, 153);
        case CellColour::Stopped:
            return QColor(215, 215, 215);
        case CellColour::Assigned:
            return QColor(210, 228, 250);
        case CellColour::DeviceError:
            return QColor(255, 170, 170);
        case CellColour::Free:
            break;
    }
    return QColor(Qt::white);
}

void buildCellGrid(TKelvora& k, CellDisplayMode mode, CellGridView& view) {
    const Config& cfg = k.cfg;
    const int cells = std::clamp(cfg.Cells, 0, kMaxCells);
    view.rows = cellGridRowCount(cells);
    view.column0Width = cellGridColumn0Width(cfg.firstCell, cells);
    view.texts.assign(static_cast<size_t>(view.rows * 7), QString());
    view.colours.assign(static_cast<size_t>(view.rows * 7), CellColour::Free);
    const TKLVDeviceList devices = k.devices.devices();
    auto deviceAt = [&](int d) -> const TKLVDeviceListEntry* {
        return d >= 1 && d <= static_cast<int>(devices.size())
                   ? &devices[static_cast<size_t>(d - 1)]
                   : nullptr;
    };
    const QString caseText = langText("frmMain", "Case", "Case");
    const QString degree = langText("*", "GrdCelcius",
                                    "\xC2\xB0"
                                    "C");
    const QString manClosed = part("uCells", "Manometer", "[I]|[X]", 0);
    const QString manOpen = part("uCells", "Manometer", "[I]|[X]", 1);
    const QString maOut = part("uCells", "mA", "mA!|mA*", 0);
    const QString maIn = part("uCells", "mA", "mA!|mA*", 1);
    const bool meters = cfg.CDM_Present || cfg.EC71_Present;

    for (int t = 1; t <= view.rows / 2; ++t) {
        const int r = (t - 1) * 2;
        const int firstPhys = kCellsPerDevice * t - 5;
        const int first = cfg.firstCell + kCellsPerDevice * t - kCellsPerDevice;
        const TKLVDeviceListEntry* data = deviceAt(k.devices.dataDeviceByCell(firstPhys, false));
        const int caseNr = data ? data->Case + cfg.firstCase - 1 : 0;
        QString range = QString("%1-%2").arg(first).arg(first + 5).leftJustified(9, ' ');
        view.texts[static_cast<size_t>(r * 7)] =
            range + "  [" + caseText + " " + QString("%1").arg(caseNr, 2) + "]";
        if (cfg.displayTemp == 1) {
            const TKLVDeviceListEntry* caseDev =
                data ? deviceAt(k.devices.caseDeviceByCase(data->Case, false)) : nullptr;
            const double temp = caseDev ? caseDev->curTemp : NoValueReal;
            view.texts[static_cast<size_t>((r + 1) * 7)] =
                QString(16, ' ') +
                "T=" + (isNoValue(temp) ? QString() : qs(realToTextDC(temp, 0, 1))) + " " + degree;
        }
        const bool deviceError = data && (data->ErrorCode != 0 || !data->bPresent);
        for (int pos = 1; pos <= kCellsPerDevice; ++pos) {
            const int i = firstPhys + pos - 1;
            if (i > cells) break;
            const TCell c = k.acq.cells.cell(i);
            const CellState shown = c.RowNr != 0 ? c.State : CellState::cs_Free;
            QString top = qs(TCells::StateShortName(shown)) + "  " +
                          (c.ManometerValue < kManometerOpen ? manClosed : manOpen);
            if (c.State == CellState::cs_Running && c.RowNr != 0) {
                if (cfg.bDisplay_mA && !isNoValue(c.ADCValue))
                    top += "  (" + QString::number(c.ADCValue) + ")";
                top += "  " + (c.OutOfRange ? maOut : maIn);
            }
            QString bottom;
            switch (mode) {
                case CellDisplayMode::Count:
                    bottom = qs(intToText(c.CellCount, cfg.valueWidth)).trimmed();
                    break;
                case CellDisplayMode::O2:
                    if (c.RowMode == 1) {
                        const QString v = valueText(k.acq.cells.O2Amount(i), cfg);
                        if (!v.isEmpty()) bottom = v + " mg";
                    } else {
                        const QString v = valueText(k.acq.cells.O2Concentration(i), cfg);
                        if (!v.isEmpty()) bottom = v + " mg/l";
                    }
                    break;
                case CellDisplayMode::O2PerDryMatter:
                    bottom = valueText(k.acq.cells.O2PerDryMatter(i), cfg);
                    break;
                case CellDisplayMode::CO2:
                case CellDisplayMode::Conductivity: {
                    bool co2 = c.LFFlag;
                    if (!co2 && c.RowNr != 0) {
                        const auto row = k.acq.cells.rowOf(c.RowNr);
                        co2 = row && row->withCO2;
                    }
                    if (!co2) break;
                    if (mode == CellDisplayMode::CO2)
                        bottom = valueText(k.acq.cells.CO2Produced(i), cfg);
                    else if (meters)
                        bottom = c.cdm_LF == -1.0 ? QString() : valueText(c.cdm_LF, cfg);
                    else
                        bottom = valueText(k.acq.cells.Conductivity(i, c.aiCO2_last), cfg);
                    break;
                }
            }
            view.texts[static_cast<size_t>(r * 7 + pos)] = top;
            view.texts[static_cast<size_t>((r + 1) * 7 + pos)] = bottom;
            const CellColour colour = colourOf(c, deviceError);
            view.colours[static_cast<size_t>(r * 7 + pos)] = colour;
            view.colours[static_cast<size_t>((r + 1) * 7 + pos)] = colour;
        }
    }
}

void checkManometerCurrent(TKelvora& k, int i) {
    const TCell c = k.acq.cells.cell(i);
    if (c.RowNr == 0 || c.State != CellState::cs_Running || isNoValue(c.ADCValue) ||
        c.ManometerValue >= kManometerOpen)
        return;
    const int d = k.devices.dataDeviceByCell(i, false);
    if (d == 0 || k.devices.device(d).lastTactNr <= 4) return;
    const bool inRange = c.AD_Lower <= c.ADCValue && c.ADCValue <= c.AD_Upper;
    const bool problem = c.OutOfRange || !inRange;
    const std::string category = "mA-OutOfRange cell# " + std::to_string(i);
    const std::string bounds = std::to_string(c.AD_Lower) + ".." + std::to_string(c.AD_Upper) + ")";
    const std::string value = std::to_string(c.ADCValue);
    if (problem && !c.OutOfRangeReported) {
        std::string line;
        if (c.OutOfRange && inRange)
            line = "Device.OutOfRange set but ADC-value (" + value + ") in AD_Lower..Upper  (" +
                   bounds;
        else if (!c.OutOfRange)
            line = "Device.OutOfRange NOT set but ADC-value (" + value +
                   ") out of AD_Lower..Upper  (" + bounds;
        else
            line = "Device.OutOfRange set because ADC-value (" + value +
                   ") NOT in AD_Lower..Upper  (" + bounds;
        WriteDbg(category, line);
        k.acq.cells.update(i, [](TCell& cell) { cell.OutOfRangeReported = true; });
    } else if (!problem && c.OutOfRangeReported) {
        WriteDbg(category, "ADC-value is again in AD_Lower..Upper");
        k.acq.cells.update(i, [](TCell& cell) { cell.OutOfRangeReported = false; });
    }
}

}  // namespace kv::ui
