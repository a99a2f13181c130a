#pragma once
// The virtual lab of `kelvora --simulate`: every device of the configuration's device list
// ([USB] Devices, [USBDevice-n] SerialNr, Type, Case) present and answering, data devices
// with the identity "KLV/USB V1.4.1". A lab description file (the format of sim/lab.h) may
// give devices their own samples and temperatures; configured devices it lacks are added
// with the defaults below.
//
// Default samples of a data device, by position: 1 to 5 consume 6, 4.5, 3, 2 and 1 mg O2/h
// (so a 3 s tact sees an impulse every few seconds), position 6 is a blank with 0.1 mg/h.
// Case devices keep 20 °C with a small swing; CO2 devices start at raw 820 and fall slowly.

#include <memory>
#include <string>

#include "app/inifile.h"
#include "sim/lab.h"

namespace kv {

// nullptr and the reason when the lab file cannot be read or the configuration lists no
// device.
std::unique_ptr<sim::Lab> buildSimulatedLab(const IniFile& ini, const std::string& labFile,
                                            std::string& error);

}  // namespace kv
