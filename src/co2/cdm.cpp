#include "co2/cdm.h"

#include <algorithm>

#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/escapes.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "common/strutil.h"

namespace kv {
namespace {

constexpr int kStartupAttempts = 3;
constexpr int kInitPauseMs = 1000;

// The `count` characters ending just before `end`, fewer near the start of the text.
std::string charsBefore(std::string_view text, size_t end, size_t count) {
    const size_t start = end > count ? end - count : 0;
    return std::string(text.substr(start, end - start));
}

}  // namespace

CdmDisplay parseCdmDisplay(std::string_view text) {
    CdmDisplay d;
    const size_t p = text.find("S/cm");
    if (p != std::string_view::npos) {
        d.unitFound = true;
        // The value stands directly before the unit prefix: "12.34mS/cm".
        if (p > 0) {
            d.unitPrefix = text[p - 1];
            d.sLF = charsBefore(text, p - 1, 5);
        } else {
            d.sLF.clear();
        }
    }
    const std::string degree{kCdmDegreeSign, 'C'};
    const size_t q = text.find(degree);
    if (q != std::string_view::npos) d.sT = charsBefore(text, q, 5);
    // Some displays bracket the temperature, "<20.5>°C"; the number inside is taken.
    const size_t r = text.find(">" + degree);
    if (r != std::string_view::npos) {
        std::string t = trimmed(charsBefore(text, r, 5));
        if (!t.empty() && t.front() == '<') t.front() = ' ';
        d.sT = t;
    }
    if (d.unitFound) {
        d.LF = textToReal(d.sLF);
        if (!isNoValue(d.LF) && d.unitPrefix == kCdmMicroSign) d.LF *= 0.001;
    }
    // Only a temperature that this text shows: a value from an earlier reading would be
    // handed to the wrong cell.
    d.T = textToReal(d.sT);
    return d;
}

std::string TCdmLink::lastInput() const {
    std::lock_guard lock(mutex_);
    return lastInput_;
}

void TCdmLink::setLastInput(std::string text) {
    std::lock_guard lock(mutex_);
    lastInput_ = std::move(text);
}

bool CDM_StartupCheck(const Config& cfg, TCdmLink& cdm, const ErrorBoxFn& errorBox) {
    // The caller logs "... checking CDM", also when no CDM is present.
    if (!cfg.CDM_Present) return false;
    WriteDbg("App", "... .. checking DCM should be present");
    cdm.Online = false;
    cdm.ReportedOnline = false;
    cdm.emptyReads = 0;
    cdm.setLastInput("");

    const SerialPortSettings& ps = cfg.CDM_Port;
    const std::string com = "COM" + std::to_string(ps.port);
    const std::string init = decodeEscapes(cfg.CDM_Cmd_Init);
    std::string answer;
    for (int attempt = 1; attempt <= kStartupAttempts && answer.empty(); ++attempt) {
        const HCOM h = com_Open(com);
        cdm.hWinSIO = h;
        WriteDbg("RS232", "com_Open(" + com + ")");
        WriteDbg("RS232", "hWinSIO=" + std::to_string(h));
        com_Set(h, ps.baud, ps.dataBits, ps.parity, ps.stopBits);
        com_Purge(h);
        com_Write(h, init);
        clock().sleepMs(kInitPauseMs);
        com_Write(h, init);
        clock().sleepMs(kInitPauseMs);
        answer += com_Read(h);
        WriteDbg("RS232", "Kelvora.comRead returns *" + printableText(answer) + "*",
                 dbg().rs232.load());
        if (answer.empty()) {
            com_Close(h);
            // The cycle's reconnect opens the port again only when the handle is invalid.
            cdm.hWinSIO = kInvalidHCOM;
            WriteDbg("RS232", "com_Close()");
        }
    }
    cdm.setLastInput(answer);
    if (!answer.empty()) {
        cdm.Online = true;
        cdm.ReportedOnline = true;
        return true;
    }
    const std::string msg =
        GetTextFmt("WinSIO", "NoResponse", "No response from serial device COM%s !",
                   std::to_string(ps.port)) +
        " " + dateTimeToText(clock().now());
    AddMsg(msg, false);
    WriteDbg("RS232", msg);
    if (errorBox) errorBox(msg);
    return false;
}

void CDM_Shutdown(const Config& cfg, TCdmLink& cdm) {
    if (!cfg.CDM_Present) return;
    const HCOM h = cdm.hWinSIO.exchange(kInvalidHCOM);
    com_Write(h, cfg.CDM_Cmd_Close);
    com_Close(h);
    cdm.Online = false;
}

}  // namespace kv
