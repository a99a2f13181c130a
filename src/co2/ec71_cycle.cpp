#include "co2/ec71_cycle.h"

#include <algorithm>
#include <cmath>

#include "app/alarm_notify.h"
#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "common/strutil.h"

namespace kv {
namespace {

constexpr double kRequestReconnectWaitSec = 3;
constexpr double kReopenWaitSec = 5;
constexpr double kReInitFailedWaitSec = 60;
constexpr double kPeriodicRestartWaitSec = 5;
// A meter is taken offline by the eighth consecutive failure of a frame state.
constexpr int kMaxFailuresOnline = 7;
// A value is cut out of at most this many characters after its marker.
constexpr size_t kCutLength = 999;

// A reading in the log: empty for no value.
std::string valueText(double v, int decimals) {
    return isNoValue(v) ? std::string() : realToText(v, 0, decimals, false);
}

// The text from the first occurrence of marker on, at most kCutLength characters; empty
// when the marker is missing.
std::string_view cutAt(std::string_view text, std::string_view marker) {
    if (marker.empty()) return text.substr(0, kCutLength);
    const size_t p = text.find(marker);
    if (p == std::string_view::npos) return {};
    return text.substr(p, kCutLength);
}

bool ec71MeasuredState(CellState s) {
    return s == CellState::cs_Running || s == CellState::cs_SuspendedO2;
}

int startValueCount(const Config& cfg) {
    return std::clamp(cfg.EC71_NrStartValues, 1, kMaxStartValues);
}

std::string valuesText(std::span<const double> v) {
    std::string s;
    for (double x : v) s += realToText(x, 0, 3, false) + ", ";
    return s;
}

}  // namespace

// ------------------------------------------------------------------------------------------
// Answers, LF_0, ranges

EC71Measurement parseEC71Measurement(std::string_view answer, const Config& cfg) {
    EC71Measurement r;
    const std::string_view ready = cutAt(answer, cfg.EC71_DataReadyIndicator);
    if (ready.empty()) return r;
    r.ready = true;
    const std::string_view lf = cutAt(ready, cfg.EC71_LFData_Line);
    if (!lf.empty()) {
        r.unit = quotedAfter(lf, cfg.EC71_LFData_SI);
        r.LF = textToReal(quotedAfter(lf, cfg.EC71_LFData_val));
    }
    const std::string_view t = cutAt(ready, cfg.EC71_TempData_Line);
    if (!t.empty()) {
        r.tempUnit = quotedAfter(t, cfg.EC71_TempData_SI);
        r.T = textToReal(quotedAfter(t, cfg.EC71_TempData_val));
    }
    return r;
}

double computeLF0(std::span<const double> startValues, double& rowLastLF0,
                  const std::string& rowName, const Config& cfg, const std::string& category) {
    std::vector<double> v(startValues.begin(), startValues.end());
    double mn = 1000, mx = 0;
    for (double x : v) {
        mn = std::min(mn, x);
        mx = std::max(mx, x);
    }
    WriteDbg(category, "Initial StartValues: " + valuesText(v));
    const double threshold = mn * (1 + cfg.EC71_LF0_PrzDiff / 100);
    if (mx >= threshold) {
        mx = 0;
        for (double& x : v) {
            if (x > threshold) x = mn;
            mx = std::max(mx, x);
        }
        WriteDbg(category, "Corrected StartValues: " + valuesText(v));
    }
    double lf0 = mx;
    WriteDbg(category, "--> Determined LF_0 for cell: " + realToText(lf0, 0, 3, false));
    if (rowLastLF0 >= 0) {
        if (lf0 > rowLastLF0 * (1 + cfg.EC71_previousLF0_PrzDiff / 100)) {
            WriteDbg(category,
                     "determined cell-LF_0 (" + realToText(lf0, 0, 3, false) +
                         ") > row.last_LF_0*EC71_previousLF0_PrzDiff (" +
                         realToText(rowLastLF0 * cfg.EC71_previousLF0_PrzDiff, 0, 3, false) + ")");
            WriteDbg(category, "  Setting cell-LF_0 to row.last_LF_0: " +
                                   realToText(rowLastLF0, 0, 3, false));
            lf0 = rowLastLF0;
        }
    } else {
        WriteDbg(category,
                 "Setting first LF_0 for row [" + rowName + "]: " + realToText(lf0, 0, 3, false));
    }
    rowLastLF0 = lf0;
    return lf0;
}

std::vector<int> EC71_CheckCellRanges(const Config& cfg, std::span<TEC71* const> meters,
                                      int firstCell) {
    std::vector<int> unserved;
    const std::span<TEC71* const> used = ec71MetersInUse(cfg, meters);
    for (int cell = 1; cell <= cfg.Cells; ++cell)
        if (ec71MeterForCell(used, cell) == 0) unserved.push_back(cell);
    for (int cell : unserved) {
        const std::string msg =
            GetTextFmt("uMain", "EC71_CellNotServed",
                       "Cell %s lies in no EC71 cell range - its CO2 cannot be measured !",
                       std::to_string(cell + firstCell - 1));
        AddMsg(msg, true);
        WriteDbg("App", msg);
    }
    return unserved;
}

// ------------------------------------------------------------------------------------------

TEC71Cycle::TEC71Cycle(const Config& cfg, TCells& cells, std::span<TEC71* const> meters,
                       TCO2Relays& relays, TMuxCycle& mux, RunFlags flags, Co2RowAccess* rows)
    : cfg_(cfg),
      cells_(cells),
      meters_(meters.begin(), meters.end()),
      relays_(relays),
      mux_(mux),
      flags_(flags),
      rows_(rows) {
    if (!rows_) rows_ = &ownRows_;
}

std::span<TEC71* const> TEC71Cycle::metersInUse() const {
    return ec71MetersInUse(cfg_, meters_);
}

TEC71Cycle::~TEC71Cycle() {
    stop();
}

void TEC71Cycle::start() {
    timer_.start(cfg_.EC71_mmTimerInt, [this] { EC71_mmTimerCallback(); });
}

void TEC71Cycle::stop() {
    timer_.stop();
}

void TEC71Cycle::waitIdle() {
    std::lock_guard lock(tickMutex_);
}

int TEC71Cycle::meterForCell(int cell) const {
    return ec71MeterForCell(metersInUse(), cell);
}

TEC71* TEC71Cycle::meter(int index) const {
    const std::span<TEC71* const> used = metersInUse();
    return index >= 1 && index <= int(used.size()) ? used[size_t(index - 1)] : nullptr;
}

std::string TEC71Cycle::cellText(int cell) const {
    return std::to_string(cells_.logicalNr(cell));
}

std::string TEC71Cycle::category() const {
    return tag_ + " (Cell#=" + cellText(mux_.muxCell) + ")";
}

void TEC71Cycle::line(const std::string& text) const {
    if (dbg().rs232.load()) WriteDbg(category(), text);
}

void TEC71Cycle::alwaysLine(const std::string& text) const {
    WriteDbg(category(), text);
}

// ------------------------------------------------------------------------------------------
// The tick

void TEC71Cycle::EC71_mmTimerCallback() {
    auto blocked = [this] {
        return !flags_.systemRunning.load() || flags_.startupInProgress.load() ||
               flags_.usbCallbackBusy.load();
    };
    if (blocked()) return;
    const auto settings = cfg_.lock.reading();
    std::lock_guard lock(tickMutex_);
    if (forceRequested_.exchange(false)) resetCycle();
    runTick();
    if (forceRequested_.exchange(false)) resetCycle();
}

void TEC71Cycle::runTick() {
    const int cell = mux_.muxCell;
    const int mi = meterForCell(cell);
    mux_.currentMeter = mi;
    TEC71* m = meter(mi);
    tag_ = m ? m->deviceTag() : "EC71 [-]";

    if (dbg().rs232.load()) {
        std::string s = tag_ + " (Cell#=" + cellText(cell) + "): ";
        s += m && m->Online.load() ? " Status=Online" : " Status=OFFLINE";
        s += m && m->ReportedOnline.load() ? "(Online)" : "(OFFLINE)";
        s += "(#" + std::to_string(m ? m->OfflineCount.load() : 0) + ")";
        s += "; NextState=" + muxStateName(mux_.NextState);
        s += "; NextActivate=" + dateTimeToText(mux_.NextActivate);
        s += "; stateCount=" + std::to_string(mux_.stateCount.load());
        s += "; cntReadData=" + std::to_string(mux_.cntReadData.load());
        s += "; CellRetryCount=" + std::to_string(mux_.CellRetryCount.load());
        s = replaceAll(s, "\r", "\xC2\xA9");
        mux_.setStatusText(s);
        if (dbg().usbData.load()) WriteDbg(category(), s);
    }

    if (!flags_.systemRunning.load() || flags_.startupInProgress.load() ||
        flags_.usbCallbackBusy.load() || flags_.quitting.load())
        return;
    // Announce the tick before looking at the acquisition's flag once more, so that the
    // two callbacks cannot both go ahead.
    flags_.ec71CallbackBusy = true;
    if (flags_.usbCallbackBusy.load()) {
        flags_.ec71CallbackBusy = false;
        return;
    }
    const TDateTime now = clock().now();
    mux_.MeasureCount = cell;

    if (m && (!m->Online.load() || m->NackSeen.load())) {
        // A meter on its way back keeps its reconnect states and their waits.
        if (!isReconnectState(mux_.NextState)) {
            ++mux_.CellRetryCount;
            line("NACK detected; RequestReConnect");
            mux_.NextState = muxst_RequestReConnect;
            mux_.NextActivate = now;
        }
        m->NackSeen = false;
    }
    if (!m && mux_.NextState != muxst_Wait && mux_.NextState != muxst_SetMUX) {
        // No meter for this cell (a range changed under a running cycle): move on.
        mux_.NextState = muxst_SetMUX;
        mux_.NextActivate = now;
    }

    if (mux_.NextActivate.load() <= now) {
        line("EC71_mmTimerCallback: NextState=" + muxStateName(mux_.NextState));
        if (observer_) observer_(mux_.muxCell, mux_.NextState);
        if (m) {
            runState(*m, now);
        } else if (mux_.NextState == muxst_Wait) {
            stateWait(now);
        } else {
            stateSetMux(now);
        }
        afterState(m, now);
    }
    flags_.ec71CallbackBusy = false;
}

void TEC71Cycle::afterState(TEC71* m, TDateTime now) {
    if (mux_.CellRetryCount > cfg_.EC71_maxRetryCell) {
        mux_.stateCount = 0;
        mux_.CellRetryCount = 0;
        line("Force switch to next cell");
        relays_.CDM_SetCellRelais(mux_.muxCell, 0);
        nextCell(now);
    }
    if (mux_.stateCount > cfg_.EC71_maxReadData) {
        line("EC71_mmTimerCallback: EC71_mmT/EC71_Restart: stateCount=" +
             std::to_string(mux_.stateCount.load()));
        relays_.CDM_SetCellRelais(mux_.muxCell, 0);
        mux_.NextState = muxst_RequestReConnect;
        mux_.gl_EC71_Restart = true;
        mux_.stateCount = 0;
        ++mux_.CellRetryCount;
    }
    if (m && cfg_.EC71_COM_ReOpen_sec > 0 &&
        (now - m->OpenTime.load()) / kSecond >= cfg_.EC71_COM_ReOpen_sec - 1e-6) {
        m->OpenTime = now;
        line("EC71_mmTimerCallback: periodical EC71-Restart initiated");
        relays_.CDM_SetCellRelais(mux_.muxCell, 0);
        mux_.NextState = muxst_RequestReConnect;
        mux_.NextActivate = now + kPeriodicRestartWaitSec * kSecond;
        mux_.gl_EC71_Restart = true;
        mux_.stateCount = 0;
    }
    line("EC71_mmTimerCallback.@Exit: NextState=" + muxStateName(mux_.NextState) +
         "; NextActivate=" + dateTimeToText(mux_.NextActivate));
}

void TEC71Cycle::runState(TEC71& m, TDateTime now) {
    const int state = mux_.NextState;
    switch (state) {
        case muxst_Wait:
            stateWait(now);
            break;
        case muxst_SetMUX:
            stateSetMux(now);
            break;
        case muxst_SendCalibrationData_Preamble:
        case muxst_SendCalibrationData_cal1:
        case muxst_SendCalibrationData_cal2:
        case muxst_SendCalibrationData_Postamble:
        case muxst_SendMeasureData:
        case muxst_PrepareForMeasure:
            stateFrame(m, state, now);
            break;
        case muxst_GetDeviceReadySignal:
            stateReadySignal(m, now);
            break;
        case muxst_StartSample:
            stateStartSample(m, now);
            break;
        case muxst_ReadData:
            stateReadData(m, now);
            break;
        case muxst_SampleFinished:
            stateSampleFinished(m, now);
            break;
        case muxst_RequestReConnect:
            stateRequestReconnect(m, now);
            break;
        case muxst_RequestReConnect_ReOpen:
            stateReopen(m, now);
            break;
        case muxst_ReInit:
            stateReInit(m, now);
            break;
        default:
            // A state of the other cycle, or none at all: start the cycle over.
            line("EC71_mmTimerCallback: unknown state " + muxStateName(state));
            mux_.restart(now);
            break;
    }
}

// ------------------------------------------------------------------------------------------
// States

void TEC71Cycle::stateWait(TDateTime now) {
    mux_.NextCycleStart = now + cfg_.EC71_Loop_Duration * kSecond;
    line("*** CycleStart NOW ***");
    line("  --> mux_NextCycleStart=" + dateTimeToText(mux_.NextCycleStart));
    mux_.stateCount = 0;
    mux_.muxCell = 1;
    mux_.cntReadData = 0;
    mux_.NextState = muxst_SetMUX;
    mux_.NextActivate = now;
}

void TEC71Cycle::stateSetMux(TDateTime now) {
    const int cell = mux_.muxCell;
    mux_.stateCount = 0;
    if (measurable(cell)) {
        relays_.CDM_SetCellRelais(cell, 1);
        mux_.NextState = muxst_SendCalibrationData_Preamble;
        mux_.NextActivate = now + cfg_.EC71_setMUX_Start_Delay * kSecond;
        return;
    }
    const int next = cell + 1;
    mux_.muxCell = next;
    line("EC71_mmTimerCallback.muxst_SetMUX, switched to cell " + cellText(next));
    if (next > cfg_.Cells) {
        line("EC71_mmTimerCallback.muxst_SetMUX, start new loop");
        line(mux_.cycleEndLine());
        mux_.muxCell = 1;
        mux_.NextState = muxst_Wait;
        mux_.NextActivate = mux_.NextCycleStart.load();
    } else {
        mux_.NextState = muxst_SetMUX;
        mux_.NextActivate = now;
    }
}

void TEC71Cycle::frameOutcome(TEC71& m, bool ok) {
    if (ok) {
        m.Online = true;
        m.setStatusText("");
        mux_.stateCount = 0;
    } else {
        if (mux_.stateCount > kMaxFailuresOnline) m.Online = false;
        m.setStatusText("no response.");
    }
}

void TEC71Cycle::stateFrame(TEC71& m, int state, TDateTime now) {
    struct Step {
        int state;
        const char* frame;
        int next;
    };
    static constexpr Step kSteps[] = {
        {muxst_SendCalibrationData_Preamble, "SendCalibrationData.Preamble",
         muxst_SendCalibrationData_cal1},
        {muxst_SendCalibrationData_cal1, "SendCalibrationData.cal1",
         muxst_SendCalibrationData_cal2},
        {muxst_SendCalibrationData_cal2, "SendCalibrationData.cal2",
         muxst_SendCalibrationData_Postamble},
        {muxst_SendCalibrationData_Postamble, "SendCalibrationData.Postamble",
         muxst_SendMeasureData},
        {muxst_SendMeasureData, "SendMeasureData", muxst_PrepareForMeasure},
        {muxst_PrepareForMeasure, "PrepareForMeasure", muxst_GetDeviceReadySignal},
    };
    const Step* step = nullptr;
    for (const Step& s : kSteps)
        if (s.state == state) step = &s;
    if (!step) return;
    ++mux_.stateCount;
    const bool ok = m.sendFrame(step->frame, m.hCOM) == 0;
    if (state == muxst_PrepareForMeasure)
        line(ok ? "EC71_mmTimerCallback.muxst_PrepareForMeasure(0) SUCCESS"
                : "EC71_mmTimerCallback.muxst_PrepareForMeasure FAILURE(0)");
    else if (state == muxst_SendMeasureData)
        line(ok ? "EC71_mmTimerCallback.muxst_SendMeasureData finished SUCCESS"
                : "EC71_mmTimerCallback.muxst_SendMeasureData finished FAILURE");
    else
        line("EC71_mmTimerCallback." + std::string(step->frame) +
             (ok ? " finished SUCCESS" : " finished FAILURE"));
    frameOutcome(m, ok);
    mux_.NextState = ok ? step->next : state;
    mux_.NextActivate = now + cfg_.EC71_Sample_Delay * kSecond;
}

void TEC71Cycle::stateReadySignal(TEC71& m, TDateTime now) {
    ++mux_.stateCount;
    const TEC71::Answer a = m.waitForFrame("<oM>", m.hCOM);
    answer_ = a.text;
    if (a.ok) {
        line("EC71_mmTimerCallback.muxst_GetDeviceReadySignal SUCCESS");
        mux_.NextState = muxst_StartSample;
        mux_.NextActivate = now + cfg_.EC71_Sample_Delay * kSecond;
    } else {
        line("EC71_mmTimerCallback.muxst_GetDeviceReadySignal, FAILURE");
        mux_.NextState = muxst_GetDeviceReadySignal;
        mux_.NextActivate = now;
    }
}

void TEC71Cycle::stateStartSample(TEC71& m, TDateTime now) {
    ++mux_.stateCount;
    const bool ok = m.sendFrame("StartMeasure", m.hCOM) == 0;
    mux_.dataReady = false;
    line(ok ? "EC71_mmTimerCallback.muxst_StartSample, SUCCESS"
            : "EC71_mmTimerCallback.muxst_StartSample, FAILURE");
    frameOutcome(m, ok);
    if (ok) {
        mux_.NextState = muxst_ReadData;
        mux_.NextActivate = now + cfg_.EC71_Sample_Read_Delay * kSecond;
        mux_.cntReadData = 0;
        answer_.clear();
    } else {
        mux_.NextState = muxst_StartSample;
        mux_.NextActivate = now + cfg_.EC71_Sample_Delay * kSecond;
    }
}

void TEC71Cycle::stateReadData(TEC71& m, TDateTime now) {
    const int cell = mux_.muxCell;
    ++mux_.stateCount;
    ++mux_.cntReadData;
    mux_.mux_LF = NoValueReal;
    line("EC71_mmTimerCallback.muxst_ReadData: cntReadData/CellRetryCount=" +
         std::to_string(mux_.cntReadData.load()) + "/" +
         std::to_string(mux_.CellRetryCount.load()));
    if (!mux_.dataReady) {
        const TEC71::Answer a = m.waitForFrame("</oM>", m.hCOM);
        answer_ += a.text;
        mux_.dataReady = a.ok;
    }
    if (!mux_.dataReady) return awaitData(now);

    double t = NoValueReal;
    double lf = takeReading(m, t);
    if (!isNoValue(lf)) lf = acceptReading(cell, lf, t, now);
    mux_.mux_LF = lf;
    mux_.mux_T = t;
    if (isNoValue(lf)) return retryCell(cell, now);
    if (mux_.CellRetryCount < 1) {
        mux_.IgnoreFlag = false;
        return;
    }
    line(
        "EC71_mmTimerCallback.muxst_ReadData: CellRetryCount > 0; IgnoreFlag set for next "
        "cell");
    mux_.IgnoreFlag = true;
    mux_.stateCount = 0;
    relays_.CDM_SetCellRelais(cell, 0);
    mux_.NextState = muxst_SampleFinished;
    mux_.NextActivate = now;
}

// The measurement is not finished yet: read again after EC71_Read_Delay, or give the meter
// up (a restart) after EC71_maxReadData reads.
void TEC71Cycle::awaitData(TDateTime now) {
    if (mux_.cntReadData <= cfg_.EC71_maxReadData) {
        mux_.NextState = muxst_ReadData;
        mux_.NextActivate = now + cfg_.EC71_Read_Delay * kSecond;
        return;
    }
    line("EC71_mmTimerCallback: EC71_cntReadData > Kelvora.EC71_maxReadData (" +
         std::to_string(cfg_.EC71_maxReadData) + ")");
    line("                      setting gl_EC71_Restart to TRUE");
    mux_.mux_LF = NoValueReal;
    mux_.mux_T = NoValueReal;
    mux_.NextState = muxst_SampleFinished;
    mux_.NextActivate = now;
    mux_.gl_EC71_Restart = true;
}

// The conductivity of the finished answer (and its temperature into t); no value when the
// answer lacks the data-ready indicator.
double TEC71Cycle::takeReading(TEC71& m, double& t) {
    const EC71Measurement r = parseEC71Measurement(answer_, cfg_);
    if (!r.ready) {
        mux_.stateCount = 0;
        return NoValueReal;
    }
    m.Online = true;
    m.setStatusText("");
    line("EC71_mmTimerCallback.muxst_ReadData: DataReadyIndicator received");
    if (mux_.IgnoreFlag)
        line("EC71_mmTimerCallback.muxst_ReadData: ignoring measure due to IgnoreFlag");
    t = r.T;
    return r.LF;
}

// A plausible reading is stored and the cell finished; one below EC71_minLFValueAccepted
// gives no value (nor temperature).
double TEC71Cycle::acceptReading(int cell, double lf, double& t, TDateTime now) {
    line("EC71_mmTimerCallback.muxst_ReadData: LF=" + valueText(lf, -5) +
         "; T=" + valueText(t, -5));
    if (lf < cfg_.EC71_minLFValueAccepted) {
        t = NoValueReal;
        return NoValueReal;
    }
    lf = storeReading(cell, lf, t, now);
    mux_.NextState = muxst_SampleFinished;
    mux_.NextActivate = now + cfg_.EC71_Sample_Delay * kSecond;
    mux_.stateCount = 0;
    mux_.dataReady = false;
    relays_.CDM_SetCellRelais(cell, 0);
    return lf;
}

// Every reading without a usable value is charged to the cell, so that a cell whose
// absorber never gives one is left after EC71_maxRetryCell repetitions instead of holding
// the cycle for ever.
void TEC71Cycle::retryCell(int cell, TDateTime now) {
    ++mux_.CellRetryCount;
    mux_.stateCount = 0;
    mux_.NextActivate = now;
    if (mux_.CellRetryCount <= cfg_.EC71_maxRetryCell) {
        mux_.dataReady = false;
        mux_.NextState = muxst_SendCalibrationData_Preamble;
        return;
    }
    line(
        "EC71_mmTimerCallback.muxst_ReadData: EXIT due to no valid data after "
        "reaching EC71_maxRetryCell (" +
        std::to_string(cfg_.EC71_maxRetryCell) + ")");
    line("EC71_mmTimerCallback.muxst_ReadData: CellRetryCount=" +
         std::to_string(mux_.CellRetryCount.load()) + "; IgnoreFlag set for next cell");
    mux_.IgnoreFlag = true;
    relays_.CDM_SetCellRelais(cell, 0);
    mux_.NextState = muxst_SampleFinished;
}

void TEC71Cycle::stateSampleFinished(TEC71& m, TDateTime now) {
    ++mux_.stateCount;
    mux_.cntReadData = 0;
    const bool ok = m.sendFrame("MeasureFinished", m.hCOM) == 0;
    relays_.CDM_SetCellRelais(mux_.muxCell, 0);
    frameOutcome(m, ok);
    if (!ok) {
        mux_.NextState = muxst_SampleFinished;
        mux_.NextActivate = now + cfg_.EC71_Read_Delay * kSecond;
        return;
    }
    line("EC71_mmTimerCallback.muxst_SampleFinished SUCCESS");
    mux_.stateCount = 0;
    mux_.CellRetryCount = 0;
    nextCell(now);
}

void TEC71Cycle::stateRequestReconnect(TEC71& m, TDateTime now) {
    relays_.allOff();
    const HCOM h = m.hCOM.exchange(0);
    com_Close(h);
    line("EC71_mmTimerCallback.muxst_RequestReConnect: com_Close(" + std::to_string(h) + ")");
    m.Online = false;
    m.setStatusText("... requesting reconnect");
    mux_.stateCount = 0;
    mux_.NextState = muxst_RequestReConnect_ReOpen;
    mux_.NextActivate = now + kRequestReconnectWaitSec * kSecond;
}

void TEC71Cycle::stateReopen(TEC71& m, TDateTime now) {
    const std::string com = "COM" + std::to_string(m.PortNr);
    com_Close(m.hCOM.exchange(0));
    const HCOM h = com_Open(com);
    m.hCOM = h;
    m.OpenTime = now;
    com_Set(h, m.Baud, m.DataBits, m.Parity, m.StopBits);
    com_Purge(h);
    line("com_Open(" + com + ") --> " + std::to_string(h));
    m.setStatusText(h == kInvalidHCOM ? "... reconnect failed" : "... reconnecting");
    mux_.stateCount = 0;
    mux_.NextState = muxst_ReInit;
    mux_.NextActivate = now + kReopenWaitSec * kSecond;
}

void TEC71Cycle::stateReInit(TEC71& m, TDateTime now) {
    line("EC71_mmTimerCallback.muxst_ReInit");
    const TEC71::InitResult rc = m.InitDevice(true, m.hCOM);
    relays_.allOff();
    mux_.stateCount = 0;
    if (rc == TEC71::InitResult::Done) {
        mux_.gl_EC71_Restart = true;
        m.Online = true;
        // NAKs during a successful initialisation belong to the trouble just repaired.
        m.NackSeen = false;
        m.setStatusText("");
        mux_.NextState = muxst_SetMUX;
        mux_.NextActivate = now;
    } else {
        m.Online = false;
        m.setStatusText("... initialize failed");
        ++m.OfflineCount;
        mux_.NextState = muxst_RequestReConnect;
        mux_.NextActivate = now + kReInitFailedWaitSec * kSecond;
    }
}

void TEC71Cycle::nextCell(TDateTime now) {
    // Logged after the move: the line's category names cell 1 at a cycle's end.
    if (mux_.nextCell(cfg_.Cells, now)) line(mux_.cycleEndLine());
}

bool TEC71Cycle::measurable(int cell) const {
    if (cell < 1 || cell > cfg_.Cells || meterForCell(cell) == 0) return false;
    const TCell c = cells_.cell(cell);
    if (!ec71MeasuredState(c.State)) return false;
    if (c.LFFlag) return true;
    const auto row = cells_.rowOf(c.RowNr);
    return row && row->withCO2;
}

// ------------------------------------------------------------------------------------------
// Storing a reading

double TEC71Cycle::storeReading(int cell, double lf, double t, TDateTime now) {
    const int nStart = startValueCount(cfg_);
    std::vector<std::string> lines;
    bool determine = false;
    CellState state{};
    int rowNr = 0;
    TDateTime startTime = 0;
    std::vector<double> startValues;

    cells_.update(cell, [&](TCell& c) {
        state = c.State;
        rowNr = c.RowNr;
        startTime = c.StartTime;
        if (cfg_.EC71_correctLFValues && c.cdm_LF_0 >= 0 &&
            c.cdm_LF_Last >= cfg_.EC71_minLFValueAccepted && lf > c.cdm_LF_Last) {
            lines.push_back("LF-Correction: mux_LF / lastLF = " + valueText(lf, -5) + " / " +
                            valueText(c.cdm_LF_Last, -5));
            lf = c.cdm_LF_Last;
            lines.push_back("               mux_LF set to " + valueText(lf, -5));
        }
        if (c.cdm_LF_0 < 0 && c.nStartValues < nStart) {
            ++c.nStartValues;
            c.StartValues[size_t(c.nStartValues)] = lf;
            if (c.nStartValues >= nStart) {
                determine = true;
                startValues.assign(c.StartValues.begin() + 1, c.StartValues.begin() + 1 + nStart);
            }
        } else {
            int n = c.nStartValues + 1;
            if (n > kMaxStartValues) {
                for (int k = 1; k < kMaxStartValues; ++k) {
                    c.StartValues[size_t(k)] = c.StartValues[size_t(k + 1)];
                    c.Gradients[size_t(k)] = c.Gradients[size_t(k + 1)];
                }
                n = kMaxStartValues;
            }
            c.nStartValues = n;
            c.StartValues[size_t(n)] = lf;
            if (n > 1 && cfg_.EC71_DeepDiveFactor > 0) {
                // A gradient needs a previous reading at an earlier time.
                const double minutes = (now - c.cdm_LF_Ref) * 24 * 60;
                const double g = c.cdm_LF_Ref > 0 && c.cdm_LF_Last >= 0 && minutes > 0
                                     ? (lf - c.cdm_LF_Last) / minutes
                                     : 0.0;
                c.Gradients[size_t(n)] = g;
                lines.push_back("LF-Correction (DeepDive): Gradient = " + valueText(g, -5));
                if (g <= -std::fabs(cfg_.EC71_DeepDiveFactor)) {
                    lines.push_back("LF-Correction (DeepDive): mux_LF / lastLF = " +
                                    valueText(lf, -5) + " / " + valueText(c.cdm_LF_Last, -5));
                    lf = c.cdm_LF_Last;
                    lines.push_back("               mux_LF set to " + valueText(lf, -5));
                }
            }
        }
        c.cdm_LF = lf;
        c.cdm_T = t;
        c.cdm_LF_Last = lf;
        c.cdm_LF_Ref = now;
    });
    for (const std::string& l : lines) alwaysLine(l);

    if (determine) {
        const double lf0 = determineLF0(rowNr, cell, startValues);
        bool applied = false;
        // The window thread may have restarted or released the cell meanwhile; its new
        // start must not inherit this value.
        cells_.update(cell, [&](TCell& c) {
            if (c.RowNr != rowNr || c.StartTime != startTime || c.cdm_LF_0 >= 0) return;
            c.cdm_LF_0 = lf0;
            applied = true;
        });
        if (applied && rowNr != 0) rows_->setCellLF0(rowNr, cell, lf0);
    }
    mux_.newCO2Value = ec71MeasuredState(state);
    line("EC71_mmTimerCallback.muxst_ReadData: effective LF=" + valueText(lf, -5) +
         "; T=" + valueText(t, -5));
    return lf;
}

double TEC71Cycle::DetermineLF0(int rowNr, int cell) {
    const TCell c = cells_.cell(cell);
    const int n = startValueCount(cfg_);
    return determineLF0(rowNr, cell, std::span<const double>(c.StartValues.data() + 1, size_t(n)));
}

double TEC71Cycle::determineLF0(int rowNr, int cell, std::span<const double> values) {
    double last = rows_->lastLF0(rowNr);
    const TEC71* m = meter(meterForCell(cell));
    const std::string cat =
        (m ? m->deviceTag() : std::string("EC71 [-]")) + " (Cell#=" + cellText(cell) + ")";
    const double lf0 = computeLF0(values, last, cells_.rowName(rowNr), cfg_, cat);
    rows_->setLastLF0(rowNr, last);
    return lf0;
}

// ------------------------------------------------------------------------------------------

void TEC71Cycle::forceNewCycle() {
    // A running tick resets the cycle when it ends; waiting for it here could deadlock with
    // a caller that holds the rows' lock, which the tick needs.
    std::unique_lock lock(tickMutex_, std::try_to_lock);
    if (lock.owns_lock())
        resetCycle();
    else
        forceRequested_ = true;
}

void TEC71Cycle::resetCycle() {
    const int s = mux_.NextState;
    // A cell between relay on and its reading still has its relay on.
    if (s != muxst_Wait && s != muxst_SetMUX && !isReconnectState(s))
        relays_.CDM_SetCellRelais(mux_.muxCell, 0);
    if (!isReconnectState(s)) mux_.restart(clock().now());
}

bool TEC71Cycle::deviceCheck() {
    TEC71* m = meter(1);
    if (!m) return false;
    const std::string cat = m->deviceTag();
    if (m->Online.load()) {
        if (!m->ReportedOnline.load()) {
            const std::string msg =
                GetText("uMain", "ConnectionUp_CO2", "Connection to CO2-Device established !");
            AddMsg(msg, true);
            // The first contact after the start is no return.
            if (m->OfflineCount >= m->MaxOfflineCount) NotifyAlarm(AlarmKind::DeviceBack, msg);
            WriteDbg(cat, msg);
            m->ReportedOnline = true;
            m->OfflineCount = 0;
        }
        return false;
    }
    if (++m->OfflineCount < m->MaxOfflineCount) return false;
    if (m->ReportedOnline.exchange(false)) {
        const std::string msg =
            GetText("uMain", "ConnectionDown_CO2", "Connection to CO2-Device lost !");
        AddMsg(msg, true);
        NotifyAlarm(AlarmKind::DeviceLost, msg);
        WriteDbg(cat, msg);
    }
    return true;
}

}  // namespace kv
