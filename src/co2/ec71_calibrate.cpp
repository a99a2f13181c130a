#include "co2/ec71_calibrate.h"

#include <algorithm>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "app/texts.h"
#include "common/clock.h"
#include "common/numtext.h"

namespace kv {
namespace {

constexpr double kAnswerTimeoutSec = 200;
constexpr int kFramePauseMs = 200;
// Pauses between the polls for an answer: the first point's, and the second point's (which
// the meter answers sooner).
constexpr int kAnswerPollMs = 190;
constexpr int kSecondPointPollMs = 140;
// The meter finishes the calibration frame before the relays may switch.
constexpr int kFinishPauseMs = 100;

using Outcome = EC71CalibrationResult::Outcome;

// One attribute section of an answer: from the quoted name up to the next name.
std::string_view section(std::string_view text, std::string_view name) {
    const std::string quoted = "'" + std::string(name) + "'";
    const size_t at = text.find(quoted);
    if (at == std::string_view::npos) return {};
    const size_t from = at + quoted.size();
    const size_t next = text.find("no='", from);
    return text.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at);
}

std::string_view fromMarker(std::string_view text, std::string_view marker) {
    const size_t p = text.find(marker);
    return p == std::string_view::npos ? std::string_view{} : text.substr(p);
}

class Calibration {
  public:
    Calibration(int cell, const Config& cfg, TEC71& meter, TCO2Relays& relays, CalibrationUi& ui)
        : cell_(cell),
          shown_(std::to_string(cell + cfg.firstCell - 1)),
          cfg_(cfg),
          m_(meter),
          relays_(relays),
          ui_(ui) {}

    EC71CalibrationResult run();

  private:
    void line(const std::string& text) const {
        if (dbg().rs232.load()) WriteDbg(m_.deviceTag(), text);
    }
    int send(std::string_view frame) {
        ui_.status("sendFrame <" + std::string(frame) + ">", StatusColor::Black);
        const int rc = m_.sendFrame(frame, m_.hCOM);
        clock().sleepMs(kFramePauseMs);
        return rc;
    }
    // Waits for an answer holding marker, pausing pauseMs between attempts.
    Outcome wait(std::string_view marker, int pauseMs);
    EC71CalibrationResult finish(Outcome o);
    std::string readyQuestion(int point) const {
        return GetTextFmt("frmConfigDlg", "EC71_ReadyForCalibrate", "Calibration ready for %s %s ?",
                          realToText(cfg_.EC71_CalibrationValues[size_t(point - 1)], 0, -5),
                          cfg_.EC71_CalibrationUnit);
    }

    int cell_;
    std::string shown_;
    const Config& cfg_;
    TEC71& m_;
    TCO2Relays& relays_;
    CalibrationUi& ui_;
    std::string answer_;
    EC71CalibrationResult result_;
};

Outcome Calibration::wait(std::string_view marker, int pauseMs) {
    const TDateTime deadline = clock().now() + kAnswerTimeoutSec * kSecond;
    for (;;) {
        const TEC71::Answer a = m_.waitForFrame(marker, m_.hCOM);
        answer_ += a.text;
        if (a.ok || answer_.find(marker) != std::string::npos) return Outcome::Finished;
        if (ui_.cancelled()) return Outcome::Cancelled;
        if (clock().now() >= deadline) break;
        clock().sleepMs(pauseMs);
    }
    const std::string m(marker);
    ui_.status("Calibration aborted due to Timeout waiting for Frame " + m, StatusColor::Red);
    ui_.errorBox(GetText("frmConfigDlg", "EC71_CalibrateTimeout", "Timeout during Calibration"));
    line("EC71_calib/Timeout waiting for " + m);
    return Outcome::Timeout;
}

EC71CalibrationResult Calibration::finish(Outcome o) {
    // No way out may leave an absorber switched to the meter.
    relays_.allOff();
    if (o == Outcome::Cancelled) m_.InitDevice(false, m_.hCOM);
    if (o == Outcome::Cancelled || o == Outcome::Aborted)
        ui_.status("Calibration aborted.", StatusColor::Red);
    result_.outcome = o;
    return result_;
}

EC71CalibrationResult Calibration::run() {
    const int points = cfg_.EC71_NrOfCalibrationPoints;
    relays_.allOff();
    relays_.CDM_SetCellRelais(cell_, 1);
    line("EC71_calib/Start, cell#=" + shown_);
    ui_.status("Calibrate cell# " + shown_ + ": ", StatusColor::Black);

    int& rc = result_.rc;
    // Each failure counts -1, so that results of different signs cannot cancel out.
    auto count = [&rc](bool failed) { rc -= failed ? 1 : 0; };
    count(m_.InitDevice(false, m_.hCOM) != TEC71::InitResult::Done);
    for (std::string_view f :
         {"iC", "ConfirmSerialNr", "SendMeasureData", "SendCalibrationData.Preamble",
          "SendCalibrationConcentrations", "PrepareForCalibration"})
        count(send(f) != 0);

    if (Outcome o = wait("<oC>", kAnswerPollMs); o != Outcome::Finished) return finish(o);
    if (points == 2 && !ui_.ask(readyQuestion(1))) return finish(Outcome::Aborted);
    count(send("StartCalibration") != 0);
    if (Outcome o = wait(points == 2 ? "</mP>" : "</oC>", kAnswerPollMs); o != Outcome::Finished)
        return finish(o);
    if (points == 2) {
        if (!ui_.ask(readyQuestion(2))) return finish(Outcome::Aborted);
        count(send("StartCalibration") != 0);
        if (Outcome o = wait("</oC>", kSecondPointPollMs); o != Outcome::Finished) return finish(o);
    }

    line("EC71_calib/Calibration finished");
    if (answer_.find("no='err'") != std::string::npos) {
        result_.error = getAttributeValue(answer_, "err");
        line("EC71_calib/... with error " + result_.error);
        const std::string msg = GetTextFmt("frmConfigDlg", "EC71_CalibrateError",
                                           "Calibration finished with error [%s]", result_.error);
        ui_.status(msg, StatusColor::Red);
        ui_.errorBox(msg);
        return finish(Outcome::MeterError);
    }
    relays_.CDM_SetCellRelais(cell_, 0);
    if (rc == 0) {
        result_.point = parseCalibrationAnswer(answer_);
        result_.stored = true;
        const TCalibration& p = result_.point;
        line("EC71_calib: cal-1-mesura=" + p.mesuraSI + " " + realToText(p.mesura, 0, -5));
        line("EC71_calib: cal-1-temp=" + p.tempSI + " " + realToText(p.temp, 0, -5));
        line("EC71_calib: cal-1-temps=" + p.tempsSI + " " + realToText(p.temps, 0, -5));
        line("EC71_calib: cal-1-ag1=" + p.ag1SI + " " + realToText(p.ag1, 0, -5));
        line("EC71_calib: cal-1-m=" + realToText(p.m, 0, -5));
        line("EC71_calib: cal-1-b=" + realToText(p.b, 0, -5));
    }
    send("CalibrationFinished");
    ui_.status("Calibrate cell# " + shown_ + ": OK", StatusColor::Green);
    clock().sleepMs(kFinishPauseMs);
    relays_.allOff();
    line("EC71_calib/Stop, rc=" + std::to_string(rc));
    result_.outcome = Outcome::Finished;
    return result_;
}

}  // namespace

TCalibration parseCalibrationAnswer(std::string_view answer) {
    TCalibration c;
    const std::string_view rc = fromMarker(answer, "<rC>");
    auto take = [&](std::string_view name, std::string& unit, double& value) {
        const std::string_view s = section(rc, name);
        unit = quotedAfter(s, "un='");
        value = textToReal(quotedAfter(s, "va='"));
    };
    take("mesura", c.mesuraSI, c.mesura);
    take("temp", c.tempSI, c.temp);
    take("temps", c.tempsSI, c.temps);
    take("ag1", c.ag1SI, c.ag1);
    const std::string_view re = fromMarker(answer, "<re>");
    c.m = textToReal(quotedAfter(section(re, "m"), "va='"));
    c.b = textToReal(quotedAfter(section(re, "b"), "va='"));
    return c;
}

EC71CalibrationResult EC71_CalibrateCell(int cell, const Config& cfg,
                                         std::span<TEC71* const> meters, TCO2Relays& relays,
                                         EC71CalibrationData& data, CalibrationUi& ui,
                                         IniFile* saveTo) {
    EC71CalibrationResult r;
    const std::string shown = std::to_string(cell + cfg.firstCell - 1);
    std::string question =
        GetTextFmt("frmConfigDlg", "EC71_CalibrateMsg", "Perform Calibration for Cell %s ?", shown);
    if (cfg.EC71_NrOfCalibrationPoints == 1)
        question += "\n" + GetTextFmt("frmConfigDlg", "EC71_ReadyForCalibrate",
                                      "Calibration ready for %s %s ?",
                                      realToText(cfg.EC71_CalibrationValues[0], 0, -5),
                                      cfg.EC71_CalibrationUnit);
    if (!ui.ask(question)) return r;

    const int mi =
        cell >= 1 && cell <= cfg.Cells ? ec71MeterForCell(ec71MetersInUse(cfg, meters), cell) : 0;
    if (mi == 0 || !meters[size_t(mi - 1)]) {
        r.outcome = Outcome::NoMeter;
        ui.status("Calibrate cell# " + shown + ": no EC71 meter serves this cell",
                  StatusColor::Red);
        return r;
    }
    r = Calibration(cell, cfg, *meters[size_t(mi - 1)], relays, ui).run();
    if (r.stored) {
        data.setPoint(cell, 1, r.point);
        if (saveTo) data.save(*saveTo, cfg.Cells, cfg.EC71_NrOfCalibrationPoints);
    }
    return r;
}

}  // namespace kv
