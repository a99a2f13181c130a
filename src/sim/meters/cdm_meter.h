#pragma once
// A virtual CDM conductivity meter. It knows the four command texts the program is
// configured with (as bytes, escapes decoded) and answers them:
//   initialise    -> an identification line
//   sample        -> takes a reading of the connected absorber (no answer)
//   read display  -> the display text of the last sample, in the meter's character set:
//                    "LF 12.34mS/cm T  20.5°C\r\n", below 1 mS/cm " 523.1µS/cm"
//                    (µ = byte 230, ° = byte 248)
//   close         -> nothing
// Commands are recognised in the byte stream wherever they end, so stray bytes in front
// of a command do not matter.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "sim/meters/serial_meter.h"
#include "sim/rng.h"

namespace kv::sim {

struct CdmMeterOptions {
    std::string cmdInit;
    std::string cmdSample;
    std::string cmdReadDisplay;
    std::string cmdClose;
    std::string ident = "CDM-SIM V1.0\r\n";
};

class CdmMeter : public SerialMeter {
  public:
    CdmMeter(CdmMeterOptions options, ReadingSource source, uint64_t seed = 1);

    void write(std::string_view bytes) override;
    size_t queued() override;
    std::string read(size_t maxBytes) override;

    void setFault(MeterFault f);
    // Counters for tests.
    int inits();
    int samples();
    int displayReads();

    // The display line for a conductivity (mS/cm) and a temperature.
    static std::string displayText(double lf, double temp);

  private:
    void commandLocked(int which);

    std::mutex mutex_;
    CdmMeterOptions options_;
    ReadingSource source_;
    Rng rng_;
    MeterFault fault_ = MeterFault::None;
    std::string input_;
    std::string output_;
    MeterReading sample_;
    bool sampled_ = false;
    int inits_ = 0, samples_ = 0, displayReads_ = 0;
};

}  // namespace kv::sim
