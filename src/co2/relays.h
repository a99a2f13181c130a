#pragma once
// The multiplexer relays that switch a cell's absorber to the conductivity meter. They sit
// in the USB CO2 devices: a cell's relay belongs to the first configured CO2 device whose
// cell range holds the cell, bit ((cell - 1) mod 6) + 1, switched on with "c" bit "#" and
// off with "b" bit "#". Used by the CDM and EC71 cycles, the EC71 start-up and calibration,
// and by the rows when they stop or suspend a cell.

#include <atomic>

#include "acquisition/device_io.h"
#include "app/config.h"
#include "co2/mux_cycle.h"
#include "device/device_list.h"

namespace kv {

class TCO2Relays {
  public:
    static constexpr int kAllOffPauseMs = 50;

    // mux: the cycle variables that a relay switched on updates (mux cell, MeasureCount).
    TCO2Relays(const Config& cfg, DeviceList& devices, DeviceIoLocks& io, TMuxCycle& mux)
        : cfg_(cfg), dl_(devices), io_(io), mux_(mux) {}

    // command 1 = on (the cell becomes the mux cell and MeasureCount), 0 = off. Nothing is
    // sent when no CO2 device holds the cell; a device that is absent or in error takes
    // nothing either (the device layer skips it).
    void CDM_SetCellRelais(int cell, int command);
    // Every cell 1..Cells off, with a pause after each.
    void allOff();

    static int bitOf(int cell) { return ((cell - 1) % kCellsPerDevice) + 1; }

  private:
    const Config& cfg_;
    DeviceList& dl_;
    DeviceIoLocks& io_;
    TMuxCycle& mux_;
};

}  // namespace kv
