#include "co2/cdm_cycle.h"

#include <cmath>

#include "app/alarm_notify.h"
#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "common/escapes.h"
#include "common/strutil.h"

namespace kv {
namespace {

constexpr std::string_view kCat = "RS232";
constexpr double kReconnectWaitSec = 50;
// One display answer is a line or two. A meter that keeps sending (a stuck line, an echo of
// a flood) must not hold the tick: the collection stops after this many reads or bytes.
constexpr int kMaxDisplayReads = 64;
constexpr size_t kMaxDisplayBytes = 8 * 1024;

std::string lfText(double v, int decimals) {
    return isNoValue(v) ? std::string() : realToText(v, 0, decimals, false);
}

// A cell in one of these states has its absorber read by the CDM.
bool cdmMeasuredState(CellState s) {
    return s == CellState::cs_Assigned || s == CellState::cs_Running ||
           s == CellState::cs_Suspended || s == CellState::cs_SuspendedO2;
}

bool co2CountingState(CellState s) {
    return s == CellState::cs_Running || s == CellState::cs_SuspendedO2;
}

}  // namespace

TCdmCycle::TCdmCycle(const Config& cfg, TCells& cells, TCdmLink& cdm, TCO2Relays& relays,
                     TMuxCycle& mux, RunFlags flags, std::atomic<bool>& busy, Co2RowAccess* rows)
    : cfg_(cfg),
      cells_(cells),
      cdm_(cdm),
      relays_(relays),
      mux_(mux),
      flags_(flags),
      busy_(busy),
      rows_(rows) {}

TCdmCycle::~TCdmCycle() {
    stop();
}

void TCdmCycle::start() {
    timer_.start(cfg_.cdm_mmTimerInt, [this] { cdm_mmTimerCallback(); });
}

void TCdmCycle::stop() {
    timer_.stop();
}

void TCdmCycle::rsLine(const std::string& text) const {
    if (dbg().rs232.load()) WriteDbg(kCat, text);
}

std::string TCdmCycle::cellText(int cell) const {
    return std::to_string(cells_.logicalNr(cell));
}

// ------------------------------------------------------------------------------------------
// The tick

void TCdmCycle::cdm_mmTimerCallback() {
    if (!flags_.systemRunning.load() || flags_.startupInProgress.load() ||
        flags_.configCmdInProgress.load() || flags_.deviceCheckInProgress.load())
        return;
    const auto settings = cfg_.lock.reading();
    std::lock_guard lock(tickMutex_);
    busy_ = true;
    tickThread_ = std::this_thread::get_id();
    if (forceRequested_.exchange(false)) resetCycle(clock().now());
    if (!flags_.quitting.load()) runTick(clock().now());
    if (forceRequested_.exchange(false)) resetCycle(clock().now());
    tickThread_ = std::thread::id{};
    busy_ = false;
}

void TCdmCycle::runTick(TDateTime now) {
    if (!cdm_.Online.load()) {
        // While offline the reconnect states run on consecutive ticks.
        const int s = mux_.NextState;
        // The cell being measured keeps no relay on through the reconnect: the new cycle
        // afterwards starts at cell 1.
        if (s == muxst_StartSample || s == muxst_ReadDisplay || s == muxst_ReadData)
            relays_.CDM_SetCellRelais(mux_.muxCell, 0);
        if (s != muxst_TestReConnect && s != muxst_ReConnected && s != muxst_RequestReConnect)
            mux_.NextState = muxst_RequestReConnect;
        mux_.NextActivate = now;
    }
    updateStatus();
    if (mux_.NextActivate.load() > now) return;
    const int state = mux_.NextState;
    if (observer_) observer_(mux_.muxCell, state);
    runState(state, now);
}

void TCdmCycle::updateStatus() {
    std::string s = "CDM: ";
    s += cdm_.Online.load() ? " Status=Online" : " Status=OFFLINE";
    s += "; NextState=" + muxStateName(mux_.NextState);
    s += "; NextActivate=" + dateTimeToText(mux_.NextActivate);
    s += "; Cell=" + cellText(mux_.muxCell);
    s += "; LastInput={" + printableText(cdm_.lastInput()) + "}";
    s += "; hWinSIO=" + std::to_string(cdm_.hWinSIO.load());
    s = replaceAll(s, "\r", "\xC2\xA9");
    mux_.setStatusText(s);
    if (dbg().usbData.load()) WriteDbg(kCat, s);
    rsLine("cdm_mmTimerCallback, Cell=" + cellText(mux_.muxCell) +
           ", NextState=" + muxStateName(mux_.NextState));
}

void TCdmCycle::runState(int state, TDateTime now) {
    switch (state) {
        case muxst_Wait:
            return stateWait(now);
        case muxst_SetMUX:
            return stateSetMux(now);
        case muxst_StartSample:
        case muxst_ReadDisplay:
        case muxst_ReadData:
            return stateOfCell(state, now);
        case muxst_TestReConnect:
            return stateTestReconnect(now);
        case muxst_ReConnected:
            return stateReconnected(now);
        case muxst_RequestReConnect:
            return reconnectOpen(now);
        default:
            // A state this cycle does not know (another cycle's): start over.
            return resetCycle(now);
    }
}

void TCdmCycle::stateWait(TDateTime now) {
    rsLine("cdm_mmTimerCallback.muxst_Wait");
    mux_.NextCycleStart = now + cfg_.CDM_MUX_Loop_Duration * kSecond;
    rsLine("*** CycleStart NOW ***");
    rsLine("mux_NextCycleStart=" + dateTimeToText(mux_.NextCycleStart));
    mux_.muxCell = 1;
    mux_.NextState = muxst_SetMUX;
    mux_.NextActivate = now;
}

// The states of a measurement at the current cell. A cell that is no longer measured
// (stopped, held, released meanwhile) is left at once for the next one.
void TCdmCycle::stateOfCell(int state, TDateTime now) {
    const int cell = mux_.muxCell;
    const char* name = state == muxst_StartSample   ? "muxst_StartSample"
                       : state == muxst_ReadDisplay ? "muxst_ReadDisplay"
                                                    : "muxst_ReadData";
    rsLine(std::string("cdm_mmTimerCallback.") + name + ", Cell=" + cellText(cell));
    if (!stillValid(cell)) {
        relays_.CDM_SetCellRelais(cell, 0);
        mux_.NextState = muxst_SetMUX;
        mux_.NextActivate = now;
        return;
    }
    const HCOM h = cdm_.hWinSIO;
    if (state == muxst_StartSample) {
        com_Write(h, decodeEscapes(cfg_.CDM_Cmd_Sample));
        retryCount_ = 0;
        mux_.NextState = muxst_ReadDisplay;
        mux_.NextActivate = now + cfg_.CDM_Sample_ReadDisplay_Delay * kSecond;
    } else if (state == muxst_ReadDisplay) {
        com_Purge(h);
        com_Write(h, decodeEscapes(cfg_.CDM_Cmd_ReadDisplay));
        mux_.NextState = muxst_ReadData;
        mux_.NextActivate = now + cfg_.CDM_ReadDisplay_Read_Delay * kSecond;
    } else {
        stateReadData(now);
    }
}

void TCdmCycle::stateTestReconnect(TDateTime now) {
    const std::string text = com_Read(cdm_.hWinSIO);
    cdm_.setLastInput(text);
    rsLine("Kelvora.comRead returns *" + printableText(text) + "*");
    mux_.NextState = text.empty() ? muxst_RequestReConnect : muxst_ReConnected;
    mux_.NextActivate = now + kReconnectWaitSec * kSecond;
}

void TCdmCycle::stateReconnected(TDateTime now) {
    if (!cdm_.Online.exchange(true)) {
        cdm_.emptyReads = 0;
        WriteDbg(kCat, "CDM_comRead has contact again");
        AddMsg(GetText("uMain", "CDM_Online", "Connection to CDM-Device established again !"),
               true);
    }
    mux_.muxCell = 1;
    mux_.NextCycleStart = now;
    mux_.NextState = muxst_Wait;
    mux_.NextActivate = now;
}

void TCdmCycle::stateSetMux(TDateTime now) {
    int cell = mux_.muxCell;
    rsLine("cdm_mmTimerCallback.muxst_SetMUX, Cell=" + cellText(cell));
    if (measurable(cell)) {
        relays_.CDM_SetCellRelais(cell, 1);
        mux_.NextState = muxst_StartSample;
        mux_.NextActivate = now + cfg_.CDM_MUX_Sample_Delay * kSecond;
        return;
    }
    ++cell;
    mux_.muxCell = cell;
    rsLine("cdm_mmTimerCallback.muxst_SetMUX, switched to cell " + cellText(cell));
    if (cell > cfg_.Cells) {
        rsLine("cdm_mmTimerCallback.muxst_SetMUX, start new loop");
        mux_.muxCell = 1;
        rsLine(mux_.cycleEndLine());
        mux_.NextState = muxst_Wait;
        mux_.NextActivate = mux_.NextCycleStart.load();
    } else {
        mux_.NextState = muxst_SetMUX;
        mux_.NextActivate = now;
    }
}

void TCdmCycle::reconnectOpen(TDateTime now) {
    const SerialPortSettings& ps = cfg_.CDM_Port;
    HCOM h = cdm_.hWinSIO;
    if (!com_IsOpen(h)) {
        com_Close(h);
        h = com_Open("COM" + std::to_string(ps.port));
        cdm_.hWinSIO = h;
        rsLine("com_Open(COM" + std::to_string(ps.port) + ")");
    }
    rsLine("hWinSIO=" + std::to_string(h));
    com_Set(h, ps.baud, ps.dataBits, ps.parity, ps.stopBits);
    com_Purge(h);
    com_Write(h, decodeEscapes(cfg_.CDM_Cmd_Init));
    mux_.NextState = muxst_TestReConnect;
    mux_.NextActivate = now + kReconnectWaitSec * kSecond;
}

// ------------------------------------------------------------------------------------------
// The display

void TCdmCycle::stateReadData(TDateTime now) {
    const int cell = mux_.muxCell;
    mux_.mux_LF = NoValueReal;
    std::string text;
    const int pauseMs = static_cast<int>(std::lround(std::max(0.0, cfg_.CDM_Read_Delay)));
    for (int reads = 0; reads < kMaxDisplayReads && text.size() < kMaxDisplayBytes; ++reads) {
        const std::string part = comRead();
        if (part.empty()) break;
        text += part;
        clock().sleepMs(pauseMs);
    }
    cdm_.setLastInput(text);
    rsLine("cdm_mmTimerCallback.muxst_ReadData, Data read *" + printableText(text) + "*");
    processReading(cell, text, now);
}

void TCdmCycle::processReading(int cell, const std::string& text, TDateTime now) {
    const CdmDisplay d = parseCdmDisplay(text);
    rsLine("cdm_mmTimerCallback.muxst_ReadData, mux_sLF/T=" + d.sLF + "/" + d.sT);
    const double lf = d.unitFound ? d.LF : NoValueReal;
    // The temperature of this text only: a value left from another cell's reading must
    // not be handed to this one.
    const double t = d.T;
    mux_.mux_LF = lf;
    mux_.mux_T = t;
    if (d.unitFound)
        rsLine("cdm_mmTimerCallback.muxst_ReadData, mux_LF/mux_T=" + lfText(lf, -2) + "/" +
               lfText(t, -2));

    bool stored = false;
    double corrected = NoValueReal, raised = NoValueReal, kept = NoValueReal, lf0 = NoValueReal;
    CellState state{};
    int rowNr = 0;
    cells_.update(cell, [&](TCell& c) {
        state = c.State;
        rowNr = c.RowNr;
        if (!isNoValue(t)) c.cdm_T = t;
        if (isNoValue(lf)) return;
        double x = c.LFFactor * lf / (1.0 - c.LFOffset * lf / 1000.0);
        // A correction that divides by zero (or worse) gives no value, not an infinity.
        if (!std::isfinite(x) || isNoValue(x)) return;
        if (co2CountingState(c.State) && c.cdm_LF_Last > 0) {
            const double rise = (x - c.cdm_LF_Last) / c.cdm_LF_Last;
            if (rise > cfg_.LF_upIgnore) {
                raised = x;
                kept = c.cdm_LF_Last;
                x = c.cdm_LF_Last;
            }
        }
        c.cdm_LF = x;
        c.cdm_LF_Last = x;
        c.cdm_LF_Ref = now;
        // The cell's starting conductivity is its first reading after the start; without
        // it no CO2 value could ever be computed for a CDM cell.
        if (co2CountingState(c.State) && c.cdm_LF_0 < 0) {
            c.cdm_LF_0 = x;
            lf0 = x;
        }
        corrected = x;
        stored = true;
    });
    if (!isNoValue(raised))
        WriteDbg("CO2",
                 "Setting LF of cell " + cellText(cell) + " from " + realToText(raised, 0, 3) +
                     " to " + realToText(kept, 0, 3) + " due to LF_upIgnore",
                 dbg().cells.load());
    if (stored) {
        rsLine("cdm_mmTimerCallback.muxst_ReadData, mux_LF recalc=" + lfText(corrected, -5));
        if (!isNoValue(lf0) && rows_ && rowNr != 0) rows_->setCellLF0(rowNr, cell, lf0);
    }
    mux_.newCO2Value = stored && (co2CountingState(state) || state == CellState::cs_Suspended);

    if (!stored) {
        ++retryCount_;
        if (retryCount_ > cfg_.CDM_ReadDisplay_Retries) {
            rsLine(
                "cdm_mmTimerCallback.muxst_ReadData, bad mux_LF received, max RetryCount "
                "reached");
            finishCell(cell, now);
        } else {
            rsLine("cdm_mmTimerCallback.muxst_ReadData, bad mux_LF received, RetryCount=" +
                   std::to_string(retryCount_));
            mux_.NextState = muxst_ReadDisplay;
            mux_.NextActivate = now;
        }
        return;
    }
    finishCell(cell, now);
}

void TCdmCycle::finishCell(int cell, TDateTime now) {
    relays_.CDM_SetCellRelais(cell, 0);
    mux_.muxCell = cell;
    nextCell(now);
}

void TCdmCycle::nextCell(TDateTime now) {
    if (mux_.nextCell(cfg_.Cells, now)) rsLine(mux_.cycleEndLine());
}

bool TCdmCycle::stillValid(int cell) const {
    return cdmMeasuredState(cells_.GetCellState(cell));
}

bool TCdmCycle::measurable(int cell) const {
    if (cell < 1 || cell > cfg_.Cells) return false;
    const TCell c = cells_.cell(cell);
    if (!cdmMeasuredState(c.State)) return false;
    if (c.LFFlag) return true;
    const auto row = cells_.rowOf(c.RowNr);
    return row && row->withCO2;
}

// ------------------------------------------------------------------------------------------
// Connection watch, forced cycle, device check

std::string TCdmCycle::comRead() {
    std::string text = com_Read(cdm_.hWinSIO);
    if (!text.empty()) {
        cdm_.emptyReads = 0;
        if (!cdm_.Online.exchange(true)) {
            WriteDbg(kCat, "CDM_comRead has contact again");
            const std::string msg =
                GetText("uMain", "CDM_Online", "Connection to CDM-Device established again !");
            AddMsg(msg, true);
            NotifyAlarm(AlarmKind::DeviceBack, msg);
            forceNewCycle();
        }
    } else if (cdm_.Online.load()) {
        if (++cdm_.emptyReads > cfg_.CDM_maxEmptyReads) {
            cdm_.Online = false;
            WriteDbg(kCat, "CDM_comRead fails");
            const std::string msg =
                GetText("uMain", "CDM_Offline", "Connection to CDM-Device lost !");
            AddMsg(msg, true);
            NotifyAlarm(AlarmKind::DeviceLost, msg);
        }
    }
    return text;
}

void TCdmCycle::forceNewCycle() {
    WriteDbg(kCat, "TRYING TO FORCE NEW CDM CYCLE");
    if (tickThread_.load() == std::this_thread::get_id()) {
        resetCycle(clock().now());
        return;
    }
    // A tick that runs now resets the cycle when it ends. Waiting for it here could
    // deadlock: the caller (a row start) may hold the rows' lock, which the tick needs to
    // look up the rows of its cells.
    std::unique_lock lock(tickMutex_, std::try_to_lock);
    if (lock.owns_lock())
        resetCycle(clock().now());
    else
        forceRequested_ = true;
}

void TCdmCycle::resetCycle(TDateTime now) {
    WriteDbg(kCat, "FORCE NEW CDM CYCLE");
    // A cell in the middle of its measurement still has its relay on; the new cycle must
    // not connect a second absorber to the meter.
    const int s = mux_.NextState;
    if (s == muxst_StartSample || s == muxst_ReadDisplay || s == muxst_ReadData)
        relays_.CDM_SetCellRelais(mux_.muxCell, 0);
    mux_.restart(now);
}

void TCdmCycle::deviceCheck() {
    const bool online = cdm_.Online.load();
    if (online == cdm_.ReportedOnline.load()) return;
    if (!online) com_Close(cdm_.hWinSIO.exchange(kInvalidHCOM));
    cdm_.ReportedOnline = online;
}

}  // namespace kv
