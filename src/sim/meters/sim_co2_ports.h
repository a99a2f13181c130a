#pragma once
// Virtual conductivity meters for a program that runs on the in-process virtual lab: the
// CDM and the EC71 meters that the configuration names, each following the absorbers that
// the lab's CO2 devices switch to it, reached through the serial port layer as in-process
// ports ("COM" + n of the configured port). With them the CO2 cycles measure without
// hardware and without pseudo-terminals.
//
// Which absorbers a meter sees: the configured CO2 devices whose cells overlap the cells the
// meter serves (every cell for the CDM and for a single EC71 meter), each paired with the
// configured data device that holds its first cell, so the absorbers fall with the CO2 that
// device's samples produce. When the configuration names no CO2 device the lab has, every
// CO2 device of the lab drives the meter by its raw values.
//
// This part links the serial layer (co2) and is therefore a library of its own
// (kv_sim_co2); the meters themselves (kv_sim_meters) need only the lab.

#include <memory>
#include <vector>

#include "app/config.h"
#include "sim/lab.h"
#include "sim/meters/cdm_meter.h"
#include "sim/meters/ec71_meter.h"
#include "sim/meters/lab_absorbers.h"

namespace kv::sim {

class SimCo2Meters {
  public:
    struct Port {
        int comNr = 0;
        bool ec71 = false;
        int meterNr = 0;  // EC71: 1..3; CDM: 0
        std::shared_ptr<SerialMeter> meter;
        std::shared_ptr<LabAbsorbers> absorbers;
    };

    SimCo2Meters() = default;
    // Removes the in-process ports. A port that is open keeps its meter until it is closed;
    // the lab must outlive such a port.
    ~SimCo2Meters();
    SimCo2Meters(const SimCo2Meters&) = delete;
    SimCo2Meters& operator=(const SimCo2Meters&) = delete;

    // Adds a meter and registers it as "COM" + comNr. False (nothing registered) when the
    // port already carries a meter of this object.
    bool add(Port port);

    const std::vector<Port>& ports() const { return ports_; }
    // nullptr when not configured.
    CdmMeter* cdm() const;
    EC71Meter* ec71(int meterNr) const;
    LabAbsorbers* absorbersOfEC71(int meterNr) const;
    LabAbsorbers* absorbersOfCdm() const;

  private:
    const Port* find(bool ec71, int meterNr) const;

    std::vector<Port> ports_;
};

// The meters of cfg: a CDM on CDM_Port when CDM_Present (answering the configured command
// texts), EC71 meters 1..EC71_NrDevices on their ports when EC71_Present (serial numbers
// "S0001", "S0002", …; they answer the frames of EC71Meter::frameSections(), which the
// configuration file must hold). Call after the configuration is loaded and before the
// CO2 start-up checks. A meter whose port another meter already took is left out.
std::unique_ptr<SimCo2Meters> createSimCo2Meters(const Config& cfg, Lab& lab,
                                                 const AbsorberParams& params = {});

}  // namespace kv::sim
