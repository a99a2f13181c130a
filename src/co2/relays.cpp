#include "co2/relays.h"

#include <mutex>

#include "app/debuglog.h"
#include "common/clock.h"

namespace kv {

void TCO2Relays::CDM_SetCellRelais(int cell, int command) {
    const bool on = command == 1;
    if (on) {
        mux_.muxCell = cell;
        mux_.MeasureCount = cell;
    }
    const int d = dl_.co2DeviceByCell(cell, false);
    if (d == 0) return;
    const int bit = bitOf(cell);
    const std::string value = std::to_string(bit);
    if (dbg().rs232.load()) {
        const std::string shown =
            std::string(on ? "c" : "b") + value + (on ? "#   (ON)" : "#  (OFF)");
        WriteDbg("RS232", "CDM_SetCellRelais, DeviceNr=" + std::to_string(d) + ", BitNr=" + value +
                              ", Command=" + shown);
    }
    const LinkHandle h = dl_.device(d).FTHandle;
    std::lock_guard io(io_.of(d));
    dl_.protocol().setConfig(h, on ? "c" : "b", value, false);
}

void TCO2Relays::allOff() {
    for (int cell = 1; cell <= cfg_.Cells; ++cell) {
        CDM_SetCellRelais(cell, 0);
        clock().sleepMs(kAllOffPauseMs);
    }
}

}  // namespace kv
