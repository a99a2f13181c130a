#pragma once
// The CDM conductivity meter on its serial port: the link state, the start-up check, the
// close at shutdown, and the reading of its display text. The meter is driven with four
// configurable command texts (initialise, start a sample, read the display, close).

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "app/config.h"
#include "co2/winsio.h"
#include "common/numtext.h"

namespace kv {

// The meter's character set: micro sign before "S/cm", degree sign before "C".
inline constexpr char kCdmMicroSign = static_cast<char>(230);
inline constexpr char kCdmDegreeSign = static_cast<char>(248);

// What the display text says. LF in mS/cm and T in degrees; NoValueReal when absent or
// unreadable.
struct CdmDisplay {
    std::string sLF = "xx";
    std::string sT = "xx";
    char unitPrefix = '-';
    bool unitFound = false;  // the text holds "S/cm"
    double LF = NoValueReal;
    double T = NoValueReal;
};
CdmDisplay parseCdmDisplay(std::string_view text);

// The CDM's state in the device manager. Written by start-up and the CDM cycle, read by
// the display: the flags are atomic, the last answer is locked.
class TCdmLink {
  public:
    std::atomic<HCOM> hWinSIO{kInvalidHCOM};
    std::atomic<bool> Online{false};
    std::atomic<bool> ReportedOnline{false};  // the second online flag (the device check's)
    int emptyReads = 0;                       // the serving thread only

    std::string lastInput() const;
    void setLastInput(std::string text);

  private:
    mutable std::mutex mutex_;
    std::string lastInput_;
};

using ErrorBoxFn = std::function<void(const std::string& text)>;

// Start-up check: with CDM_Present, up to three attempts to open the port, send the
// initialisation command twice (1 s apart) and read an answer. Any answer: online. None:
// "No response from serial device COM%s !" and the time go to the message list, the debug
// log and errorBox; the port is left closed and the cycle reconnects on its own. Returns
// the online state.
bool CDM_StartupCheck(const Config& cfg, TCdmLink& cdm, const ErrorBoxFn& errorBox);

// Shutdown: sends CDM_Cmd_Close as written (no escapes) and closes the port.
void CDM_Shutdown(const Config& cfg, TCdmLink& cdm);

}  // namespace kv
