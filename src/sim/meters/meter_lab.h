#pragma once
// Conductivity meters in a lab description, for kelvora-sim. A [Meter NAME] section adds a
// CDM or EC71 meter that follows the relays of the lab's CO2 devices (lab_absorbers.h) and
// is served on a pseudo-terminal with the link DIR/NAME:
//
//   [Meter ec71-1]
//   Type=EC71                      ; or CDM
//   Absorbers=KLV30001:KLV10001    ; CO2 device whose relays switch the absorbers, and the
//                                  ; data device whose samples fill them ("KLV30001" alone:
//                                  ; the CO2 device's raw values drive them); several
//                                  ; separated by ","; default every CO2 device of the lab
//   LF0=2.5  MgPerLF=9.7216  RQ=1  MinLF=0.05  Temp=20    ; the absorbers (lab_absorbers.h)
//   Serial=S0001  Model=EC71-SIM  Version=1.04            ; EC71 identity
//   MeasureSeconds=1  CalibrateSeconds=1  CalibrationPoints=1  BlockSize=64   ; EC71
//   Init=I\013  Sample=S\013  ReadDisplay=D\013  Close=C\013   ; CDM command texts, with
//                                  ; "\\" and backslash-three-digit escapes (";" is \059)
//
// The [Meter] sections are taken out before the rest goes to Lab::fromText (their lines
// become comments, so line numbers in messages stay right).
//
// Meter faults, as commands on kelvora-sim's standard input:
//   meter NAME ok|silent|garbage|echo|nak|nakthenack    meter NAME nak N (next N lines)

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sim/lab.h"
#include "sim/meters/cdm_meter.h"
#include "sim/meters/ec71_meter.h"
#include "sim/meters/lab_absorbers.h"
#include "sim/meters/pty_serial.h"

namespace kv::sim {

struct MeterSpec {
    std::string name;
    bool ec71 = true;
    std::vector<std::pair<std::string, std::string>> absorbers;  // CO2 serial, data serial
    AbsorberParams params;
    EC71MeterOptions ec71Options;
    CdmMeterOptions cdmOptions;
    int line = 0;
};

// Splits the [Meter] sections off a lab description. False with a message (and line
// number) for a section it cannot use.
bool extractMeterSections(std::string_view text, std::string& labText,
                          std::vector<MeterSpec>& meters, std::string* error);

class LabMeters {
  public:
    LabMeters() = default;
    ~LabMeters();
    LabMeters(const LabMeters&) = delete;
    LabMeters& operator=(const LabMeters&) = delete;

    // Builds the meters over the lab (which must outlive this object).
    bool build(Lab& lab, const std::vector<MeterSpec>& specs, std::string* error);
    // One pty per meter with the link dir/NAME.
    bool serve(const std::string& dir, std::string* error);
    void stop();

    // "NAME type=EC71 LINK -> /dev/pts/N", one per meter.
    std::vector<std::string> banner() const;
    // "meter …" commands; "error: …" or "ok".
    std::string command(std::string_view line);

    size_t size() const { return meters_.size(); }
    SerialMeter* meter(std::string_view name) const;
    LabAbsorbers* absorbers(std::string_view name) const;

  private:
    struct Served {
        MeterSpec desc;
        std::unique_ptr<LabAbsorbers> absorbers;
        std::unique_ptr<SerialMeter> meter;
        std::unique_ptr<PtySerialPort> pty;
    };
    const Served* find(std::string_view name) const;

    std::vector<std::unique_ptr<Served>> meters_;
};

}  // namespace kv::sim
