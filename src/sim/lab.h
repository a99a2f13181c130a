#pragma once
// The virtual lab: the simulated devices of one measuring system, built from a lab
// description, with fault commands addressed by serial number.
//
// Lab description (an ini-like text; keys are case-insensitive, lines starting with ";" or
// "#" are comments, and anything after a ";" on a line is a comment too):
//
//   [Lab]
//   Seed=7                      ; optional: changes every device's noise
//
//   [Device]                    ; one section per device; "[Device KLV0001]" also names it
//   Serial=KLV0001              ; FTDI serial number (unique in the lab)
//   Type=1                      ; 1 data device, 2 case control device, 3 CO2 device
//   Version=KLV/USB V1.4.1      ; answer to Z#
//   Description=FT232R USB UART ; FTDI description (this is the default)
//   LocId=0x1011                ; USB location id (default: 0x1000 + position in the lab)
//   Case=1                      ; case number (informational)
//   QueueCapacity=100000        ; data devices: tacts the queue holds
//   Cell1=active tact=10 rate=2 lag=3 growth=0.4 max=12 noise=0.05 settle=30 adc=512
//       data devices, cells 1..6: "active", "tact=" (3 s steps), "divider=", "lower=",
//       "upper=" preset the configuration stored in the device; the sample consumes
//       "rate" mg O2/h, after "lag" hours growing by exp("growth") per hour up to "max"
//       mg/h, with relative "noise" per tact; "settle" seconds of closed manometer after
//       switch-on; "adc" the manometer current. "demand" mg O2: once the consumption
//       above "rate" adds up to it, the sample falls back to "rate" (a substance fully
//       degraded, the bottle at the blank's rate). "curve=FILE": the sample follows a
//       measured curve instead, lines of "hours cumulative-mg", read between the points
//       (a relative FILE lies beside the description).
//   Cell1=raw=820 slope=3 min=100 noise=1
//       CO2 devices: raw value at the start, its fall per hour, floor, reading noise.
//   Temp=21.5                   ; case devices: °C, with a swing of Drift °C
//   Drift=0.3                   ;   over DriftHours hours
//   DriftHours=12
//
// Fault commands (Lab::command, and kelvora-sim's standard input), one per line:
//   unplug S | replug S | restart S | silence S [SECONDS] | speak S | garbage S [N]
//   drop S P | double S P | noise S P | garbagerate S P | inputdrop S P | slow S MS
//   skip S N | stuck S CELL [0|1] | adc S CELL VALUE | temp S CELSIUS | clear S
//   garble S N (the next N value records unreadable) | fields S N (N extra record fields)
//   status [S] | impulses S [UPTO] | help
// S is a serial number, P a probability (0..1), CELL 1..6.
// "impulses" is the ground truth of a data device: "S impulses=n1;...;n6", the impulses
// each cell dosed since the lab was built, or only those whose tact closed by UPTO (a
// date-time as a day count).
//
// Devices are added while the lab is built, before it is shared with other threads; the
// device list does not change afterwards (unplugging a device keeps it in the list).

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/case_device.h"
#include "sim/co2_device.h"
#include "sim/data_device.h"
#include "sim/sim_device.h"

namespace kv::sim {

class Lab {
  public:
    Lab() = default;
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;

    // nullptr and a message (with the line number) for a description it cannot use.
    // baseDir: where curve files named by the description lie (fromFile: its folder); by
    // default the current folder.
    static std::unique_ptr<Lab> fromText(std::string_view text, std::string* error,
                                         const std::string& baseDir = {});
    static std::unique_ptr<Lab> fromFile(const std::string& path, std::string* error);

    // nullptr when the serial number is empty or already in the lab. A locId below 0 is
    // replaced by 0x1000 + the device's position.
    DataDevice* addDataDevice(DataDeviceSetup setup);
    CaseDevice* addCaseDevice(CaseDeviceSetup setup);
    Co2Device* addCo2Device(Co2DeviceSetup setup);

    // Every device in description order, plugged or not. Shared, so a link backend may keep
    // its ports beyond the lab's lifetime.
    std::vector<std::shared_ptr<SimPort>> ports() const;
    const std::vector<std::shared_ptr<SimDevice>>& devices() const { return devices_; }
    SimDevice* find(std::string_view serial) const;
    DataDevice* dataDevice(std::string_view serial) const;
    CaseDevice* caseDevice(std::string_view serial) const;
    Co2Device* co2Device(std::string_view serial) const;

    void advanceTo(TDateTime now);

    // Executes one fault command; returns "ok ..." or "error: ...".
    std::string command(std::string_view line);
    static std::string commandHelp();
    // One line per device: serial, type, plugged, tact, queue.
    std::string status(std::string_view serial = {});
    // The "impulses" command: words[1] the serial number, words[2] an optional UPTO.
    std::string impulses(const std::vector<std::string>& words);

  private:
    bool prepare(DeviceIdentity& id) const;

    std::vector<std::shared_ptr<SimDevice>> devices_;
};

}  // namespace kv::sim
