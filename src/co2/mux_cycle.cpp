#include "co2/mux_cycle.h"

#include "common/datetime.h"

namespace kv {

std::string muxStateName(int state) {
    switch (state) {
        case muxst_Wait:
            return "muxst_Wait";
        case muxst_SetMUX:
            return "muxst_SetMUX";
        case muxst_SendCalibrationData_Preamble:
            return "muxst_SendCalibrationData.Preamble";
        case muxst_SendCalibrationData_cal1:
            return "muxst_SendCalibrationData.cal1";
        case muxst_SendCalibrationData_cal2:
            return "muxst_SendCalibrationData.cal2";
        case muxst_SendCalibrationData_Postamble:
            return "muxst_SendCalibrationData.Postamble";
        case muxst_SendMeasureData:
            return "muxst_SendMeasureData";
        case muxst_PrepareForMeasure:
            return "muxst_PrepareForMeasure";
        case muxst_GetDeviceReadySignal:
            return "muxst_GetDeviceReadySignal";
        case muxst_StartSample:
            return "muxst_StartSample";
        case muxst_ReadDisplay:
            return "muxst_ReadDisplay";
        case muxst_ReadData:
            return "muxst_ReadData";
        case muxst_SampleFinished:
            return "muxst_SampleFinished";
        case muxst_TestReConnect:
            return "muxst_TestReConnect";
        case muxst_ReConnected:
            return "muxst_ReConnected";
        case muxst_RequestReConnect:
            return "muxst_RequestReConnect";
        case muxst_RequestReConnect_ReOpen:
            return "muxst_RequestReConnect_ReOpen";
        case muxst_ReInit:
            return "muxst_ReInit";
        default:
            return "<<undefined>> (" + std::to_string(state) + ")";
    }
}

std::string TMuxCycle::statusText() const {
    std::lock_guard lock(mutex_);
    return statusText_;
}

void TMuxCycle::setStatusText(std::string s) {
    std::lock_guard lock(mutex_);
    statusText_ = std::move(s);
}

void TMuxCycle::restart(TDateTime now) {
    muxCell = 1;
    NextState = muxst_Wait;
    NextActivate = now;
    NextCycleStart = now;
}

bool TMuxCycle::nextCell(int cells, TDateTime now) {
    const int next = muxCell + 1;
    if (next > cells) {
        muxCell = 1;
        NextState = muxst_Wait;
        NextActivate = NextCycleStart.load();
        return true;
    }
    muxCell = next;
    NextState = muxst_SetMUX;
    NextActivate = now;
    return false;
}

std::string TMuxCycle::cycleEndLine() const {
    return "*** CycleEnd, mux_NextCycleStart=" + dateTimeToText(NextCycleStart) + " ***";
}

double Co2RowMemory::lastLF0(int rowNr) const {
    std::lock_guard lock(mutex_);
    const auto it = last_.find(rowNr);
    return it == last_.end() ? -1.0 : it->second;
}

void Co2RowMemory::setLastLF0(int rowNr, double lf0) {
    std::lock_guard lock(mutex_);
    last_[rowNr] = lf0;
}

void Co2RowMemory::setCellLF0(int rowNr, int cell, double lf0) {
    std::lock_guard lock(mutex_);
    cells_[{rowNr, cell}] = lf0;
}

double Co2RowMemory::cellLF0(int rowNr, int cell) const {
    std::lock_guard lock(mutex_);
    const auto it = cells_.find({rowNr, cell});
    return it == cells_.end() ? -1.0 : it->second;
}

}  // namespace kv
