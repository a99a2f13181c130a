#pragma once
// Calibration of a cell's conductivity electrode with the EC71 meter that serves the cell:
// the cell's absorber is switched to the meter, the meter is put into calibration mode and
// measures the standard(s) the user confirms; the values it reports become the cell's
// calibration point 1, which the measuring cycle hands back to the meter before every
// measurement of the cell.
//
// Runs on the window thread with the EC71 cycle held off (system-running flag cleared and
// the cycle idle): it uses the meter's port and the relays itself. Questions, progress and
// errors go through CalibrationUi, which the GUI answers with its dialog and the console
// from its command.

#include <span>
#include <string>

#include "acquisition/status_output.h"
#include "app/config.h"
#include "co2/ec71.h"
#include "co2/ec71_calibration.h"
#include "co2/relays.h"

namespace kv {

class IniFile;

class CalibrationUi {
  public:
    virtual ~CalibrationUi() = default;
    // A Yes/No question; true for Yes.
    virtual bool ask(const std::string& question) = 0;
    // The dialog's status line.
    virtual void status(const std::string& text, StatusColor color) = 0;
    // The dialog's cancel button was pressed; polled during the waits.
    virtual bool cancelled() = 0;
    virtual void errorBox(const std::string& text) = 0;
};

struct EC71CalibrationResult {
    enum class Outcome {
        Declined,    // the user said No to the first question
        NoMeter,     // no meter serves the cell
        Aborted,     // No to a later question
        Cancelled,   // the cancel button
        Timeout,     // an answer of the meter did not come within 200 s
        MeterError,  // the meter reported an error ("no='err'")
        Finished,    // the calibration ran to its end
    };
    Outcome outcome = Outcome::Declined;
    int rc = 0;  // minus the number of failed frames; 0 when every frame succeeded
    std::string error;
    // The new point 1 (stored only when the calibration finished with rc 0).
    bool stored = false;
    TCalibration point;
};

// Calibrates the electrode of physical cell `cell`. With saveTo, the calibration section is
// written to that file after a stored point; otherwise the next configuration save writes
// it. Every way out switches all relays off.
EC71CalibrationResult EC71_CalibrateCell(int cell, const Config& cfg,
                                         std::span<TEC71* const> meters, TCO2Relays& relays,
                                         EC71CalibrationData& data, CalibrationUi& ui,
                                         IniFile* saveTo = nullptr);

// Point 1 as the meter reports it: from "<rC>" on the sections mesura, temp, temps and ag1
// (unit un='…', value va='…'), from "<re>" on m and b.
TCalibration parseCalibrationAnswer(std::string_view answer);

}  // namespace kv
