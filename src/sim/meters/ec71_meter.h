#pragma once
// A virtual EC71 conductivity meter. Its command language is the frame set that
// frameSections() returns for the configuration file: every line is STX, a tag, ETX,
//   <iD/> initialise            <rP/> request device data   <iM/> measuring mode
//   <cS ns='serial' .../>       <sC ce='cell'> <ca .../> <cb .../> </sC>  calibration data
//   <sM ce='cell'/>             <pM/> prepare               <sT/> start     <fM/> finished
//   <iC/> <sK .../> <pC/> <sA/> <cF/>                        calibration
// Each line is answered with ACK (NAK for an unknown tag, an unexpanded %% placeholder, a
// wrong serial number, or under fault injection). Answers go out in blocks of
// STX, text, ETX; the meter sends the next block when the host acknowledges one with ACK:
//   device data   <oP>… no='modEqu' … no='vEquip' … no='numSer' …</oP>
//   prepare       <oM>
//   measurement   … va='estabilitat' … no='mesura' un='mS/cm' va='2.345' … no='temp' …</oM>
//   calibration   <oC>, then (second point first: …</mP>) <rC>…</rC><re>…</re></oC>

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "sim/meters/serial_meter.h"
#include "sim/rng.h"

namespace kv::sim {

struct EC71MeterOptions {
    std::string serialNr = "S0001";
    std::string model = "EC71-SIM";
    std::string version = "1.04";
    double measureSeconds = 1.0;    // from StartMeasure until the reading is sent
    double calibrateSeconds = 1.0;  // from StartCalibration until its answer
    int calibrationPoints = 1;      // 2: the first StartCalibration ends with </mP>
    size_t blockSize = 64;          // answer text per block (whole elements, at least one)
    char endByte = 3;               // ETX; ACK (6) is the meter's other block end
    bool checkByte = false;         // one more byte after the end byte
};

class EC71Meter : public SerialMeter {
  public:
    EC71Meter(EC71MeterOptions options, ReadingSource source, uint64_t seed = 1);

    void write(std::string_view bytes) override;
    size_t queued() override;
    std::string read(size_t maxBytes) override;

    void setFault(MeterFault f);
    // Refuses the next n lines with NAK, then works again.
    void nakNextLines(int n);

    // For tests: the lines received (text between STX and ETX, newest last, at most 500),
    // measurements started, block acknowledgements received.
    std::vector<std::string> received();
    int measurements();
    int blockAcks();
    int cell();  // the cell of the last <sM ce='n'/>

    // Frame sections for the configuration file that drive this meter.
    static std::string frameSections();

  private:
    void lineLocked(const std::string& line, TDateTime now);
    std::string acceptLocked(const std::string& tag, const std::string& line, TDateTime now);
    void answerLocked(const std::string& text, TDateTime at);
    void advanceLocked(TDateTime now);

    std::mutex mutex_;
    EC71MeterOptions options_;
    ReadingSource source_;
    Rng rng_;
    MeterFault fault_ = MeterFault::None;
    int nakLines_ = 0;

    bool inLine_ = false;
    std::string line_;
    std::string out_;
    std::deque<std::string> blocks_;
    TDateTime releaseAt_ = 0;
    bool awaitingAck_ = false;

    std::vector<std::string> received_;
    int measurements_ = 0;
    int blockAcks_ = 0;
    int cell_ = 0;
    int calStep_ = 0;
    double concentration_[2] = {12.88, 111.8};
};

}  // namespace kv::sim
