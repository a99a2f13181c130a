#include "co2/ec71.h"

#include <algorithm>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/datetime.h"
#include "common/escapes.h"
#include "common/numtext.h"
#include "common/strutil.h"

namespace kv {

const std::array<std::string_view, kEC71FrameSectionCount> kEC71FrameSections = {
    "EC71-InitDevice",
    "EC71-RequestDeviceData",
    "EC71-GetRequestedDeviceData",
    "EC71-iM",
    "EC71-ConfirmSerialNr",
    "EC71-SendCalibrationData.Preamble",
    "EC71-SendCalibrationData.cal1",
    "EC71-SendCalibrationData.cal2",
    "EC71-SendCalibrationData.cal3",
    "EC71-SendCalibrationData.Postamble",
    "EC71-SendMeasureData",
    "EC71-PrepareForMeasure",
    "EC71-GetDeviceReadySignal",
    "EC71-StartMeasure",
    "EC71-GetMeasureData",
    "EC71-MeasureFinished",
    "EC71-iC",
    "EC71-SendCalibrationConcentrations",
    "EC71-PrepareForCalibration",
    "EC71-GetCalibrationReadySignal",
    "EC71-StartCalibration",
    "EC71-GetCalibrationData",
    "EC71-GetCalibration-2-ReadySignal",
    "EC71-CalibrationFinished",
};

namespace {

// Each poll for an acknowledgement that finds nothing gives a byte in flight a moment to
// arrive. Back-to-back polls take about a microsecond each on current machines, so
// EC71_sendFrameLine_nMax of them would not even cover the time a line needs on the wire
// at 9600 baud. With the wait (about 0.1 ms in practice, timer slack included) the default
// limit gives a silent meter some seconds per line.
constexpr int kAckPollWaitUs = 10;
// A read of an answer that finds nothing waits this long for the block to go on.
constexpr int kBlockReadWaitUs = 10000;
constexpr int kBlockReads = 11;
// A meter that streams blocks without ever sending the end marker must not hold the
// caller forever, nor grow an answer without bound.
constexpr int kMaxAnswerBlocks = 64;
constexpr size_t kMaxAnswerBytes = 64 * 1024;
constexpr size_t kMaxPendingBytes = 16 * 1024;
constexpr int kStartupAttempts = 3;
// After a block's acknowledgement the meter needs a moment before it sends the next one.
constexpr int kAfterAckPauseMs = 99;
// Between the frames of the initialisation the meter takes a breath.
constexpr int kInitFramePauseMs = 100;

bool isBlockEnd(char c) {
    return c == kETX || c == kACK;
}

// At least two bytes and the last or second-to-last is ETX or ACK (a meter may add one
// byte, a check sum, after the end byte).
bool endsBlock(std::string_view s) {
    return s.size() >= 2 && (isBlockEnd(s[s.size() - 1]) || isBlockEnd(s[s.size() - 2]));
}

// Numbers in frames: up to 10 decimals, never a decimal comma, no value gives "".
std::string frameNumber(double v) {
    return realToText(v, 0, -10, false);
}

std::string lengthText(const std::string& s) {
    return std::to_string(s.size());
}

void replaceValue(std::string& line, const std::string& placeholder, const std::string& value) {
    if (line.find(placeholder) != std::string::npos) line = replaceAll(line, placeholder, value);
}

// The value and, when lengthPlaceholder is given, its length.
void replaceWithLength(std::string& line, const std::string& placeholder,
                       const std::string& lengthPlaceholder, const std::string& value) {
    replaceValue(line, placeholder, value);
    replaceValue(line, lengthPlaceholder, lengthText(value));
}

}  // namespace

// ------------------------------------------------------------------------------------------
// Frames

const std::string& TFrame::line(int n) const {
    static const std::string kEmpty;
    if (n < 1 || n > kMaxFrameLines) return kEmpty;
    return Lines[size_t(n - 1)];
}

const TFrame& TFrames::operator[](int slot) const {
    static const TFrame kEmpty;
    if (slot < 1 || slot > kMaxFrames) return kEmpty;
    return frames_[size_t(slot - 1)];
}

TFrame& TFrames::at(int slot) {
    if (slot < 1 || slot > kMaxFrames) {
        scratch_ = {};
        return scratch_;
    }
    return frames_[size_t(slot - 1)];
}

void TFrames::load(const IniFile& ini) {
    frames_ = {};
    for (int k = 1; k <= kEC71FrameSectionCount; ++k) {
        const std::string_view sec = kEC71FrameSections[size_t(k - 1)];
        TFrame& f = frames_[size_t(k - 1)];
        f.Name = ini.readString(sec, "Name", "");
        f.nLines = std::clamp(ini.readInteger(sec, "nLines", 0), 0, kMaxFrameLines);
        // Lines go to the meter byte for byte, so they are read as stored.
        for (int n = 1; n <= f.nLines; ++n)
            f.Lines[size_t(n - 1)] = ini.readRaw(sec, "Line-" + std::to_string(n), "");
        f.Keywords = ini.readString(sec, "Keywords", "");
        f.EndString = ini.readString(sec, "EndString", "");
    }
}

// ------------------------------------------------------------------------------------------
// TEC71

TEC71::TEC71(std::atomic<int>* measureCount)
    : measureCount_(measureCount ? measureCount : &ownMeasureCount_) {}

void TEC71::configure(const Config& cfg, int meterNr) {
    const EC71MeterSettings& m = cfg.ec71Meters[size_t(std::clamp(meterNr, 1, kMaxEC71Meters) - 1)];
    PortNr = m.port.port;
    PortSetting = m.portSet ? formatSerialPort(m.port) : std::string();
    Baud = m.port.baud;
    DataBits = m.port.dataBits;
    StopBits = m.port.stopBits;
    Parity = m.port.parity;
    CellFrom = m.firstCell;
    CellTo = m.lastCell;
    CellRangeText = std::to_string(CellFrom) + "-" + std::to_string(CellTo);
    CalibrationValue = cfg.EC71_CalibrationValues;
    CalibrationUnit = cfg.EC71_CalibrationUnit;
    MaxOfflineCount = cfg.EC71_maxOfflineCount;
    sendFrameLine_nMax = cfg.EC71_sendFrameLine_nMax;
}

std::string TEC71::SerialNr() const {
    std::lock_guard lock(textMutex_);
    return serialNr_;
}
std::string TEC71::ModEqu() const {
    std::lock_guard lock(textMutex_);
    return modEqu_;
}
std::string TEC71::VEquip() const {
    std::lock_guard lock(textMutex_);
    return vEquip_;
}
std::string TEC71::StatusText() const {
    std::lock_guard lock(textMutex_);
    return statusText_;
}
void TEC71::setSerialNr(std::string s) {
    std::lock_guard lock(textMutex_);
    serialNr_ = std::move(s);
}
void TEC71::setStatusText(std::string s) {
    std::lock_guard lock(textMutex_);
    statusText_ = std::move(s);
}

std::string TEC71::deviceTag() const {
    return "EC71 [" + CellRangeText + "]";
}

void TEC71::logLine(const std::string& text) const {
    if (dbg().rs232.load()) WriteDbg(deviceTag(), text);
}

int TEC71::getFrameIndexByName(std::string_view name) const {
    for (int slot = 1; slot <= kMaxFrames; ++slot) {
        if (Frames[slot].Name == name) {
            logLine("EC71.getFrameIndexByName(" + std::string(name) + ") returns " +
                    std::to_string(slot));
            return slot;
        }
    }
    logLine("EC71.getFrameIndexByName(" + std::string(name) + ") returns -1 (not found)");
    return -1;
}

int TEC71::sendFrameLine(int slot, int lineNr, HCOM port) {
    const std::string& raw = Frames[slot].line(lineNr);
    logLine("sendFrameLine(l=" + std::to_string(lineNr) + ") *" + raw + "*");
    if (raw.empty()) return 0;
    const std::string expanded = expandPlaceholders(raw, measureCount());
    logLine("  -->*" + expanded + "*");
    {
        // A new command starts a new exchange: what was left of an earlier answer is stale.
        std::lock_guard lock(pendingMutex_);
        pending_.clear();
    }
    com_Purge(port);
    if (com_Write(port, decodeEscapes(expanded)) != 0) return -1;

    int polls = 0;
    std::string reply;
    do {
        reply = "x";
        ++polls;
        if (com_InQueue(port) > 0)
            reply = com_Read_n(port, 1);
        else
            com_WaitInput(port, kAckPollWaitUs);
        if (reply.find(kNAK) != std::string::npos) NackSeen = true;
    } while ((reply.empty() || reply[0] != kACK) && polls <= sendFrameLine_nMax);
    logLine("  --> n=" + std::to_string(polls));
    return polls >= sendFrameLine_nMax ? -1 : 0;
}

int TEC71::sendFrame(int slot, HCOM port) {
    if (slot < 1 || slot > kMaxFrames) return -1;
    int rc = 0;
    for (int n = 1; n <= Frames[slot].nLines; ++n)
        if (sendFrameLine(slot, n, port) != 0) rc = -1;
    return rc;
}

int TEC71::sendFrame(std::string_view name, HCOM port) {
    return sendFrame(getFrameIndexByName(name), port);
}

TEC71::Block TEC71::readBlock(HCOM port) {
    Block b;
    const int queued = com_InQueue(port);
    if (queued <= 0) return b;
    b.text = com_Read_n(port, std::min(queued, int(kComBufferSize)));
    if (b.text.find(kNAK) != std::string::npos) NackSeen = true;
    b.endsBlock = endsBlock(b.text);
    return b;
}

TEC71::Answer TEC71::waitForFrame(std::string_view endMarker, HCOM port) {
    Answer a;
    std::string block;
    {
        std::lock_guard lock(pendingMutex_);
        block.swap(pending_);
    }
    for (int blocks = 0; blocks < kMaxAnswerBlocks; ++blocks) {
        // The end is judged on the block collected so far, not on the last read alone: a
        // block whose end byte arrives on its own must still count as finished.
        bool finished = false;
        for (int reads = 0; reads < kBlockReads && !finished; ++reads) {
            const Block b = readBlock(port);
            block += b.text;
            finished = endsBlock(block);
            if (!finished && b.text.empty()) com_WaitInput(port, kBlockReadWaitUs);
        }
        if (!finished) {
            if (block.size() <= kMaxPendingBytes) {
                std::lock_guard lock(pendingMutex_);
                pending_ = std::move(block);
            }
            return a;
        }
        if (com_Write(port, std::string(1, kACK)) == 0) clock().sleepMs(kAfterAckPauseMs);
        a.text += block;
        block.clear();
        if (a.text.find(endMarker) != std::string::npos) {
            a.ok = true;
            return a;
        }
        if (a.text.size() > kMaxAnswerBytes) break;
    }
    logLine("waitForFrame(" + std::string(endMarker) + "): answer too long, given up");
    return a;
}

std::string TEC71::expandPlaceholders(std::string_view lineIn, int cell) const {
    std::string line(lineIn);
    if (line.find("%%") == std::string::npos) return line;
    const std::string serial = SerialNr();
    replaceWithLength(line, "%%SerialNr%%", "%%Length(SerialNr)%%", serial);
    replaceWithLength(line, "%%MeasureCount%%", "%%Length(MeasureCount)%%", std::to_string(cell));

    const EC71CellCalibration cal = calibration_ ? calibration_->get(cell) : EC71CellCalibration{};
    for (int i = 1; i <= 2; ++i) {
        const TCalibration& c = cal.Calibration[size_t(i - 1)];
        const std::string p = "%%Cal-" + std::to_string(i) + "-";
        const std::string lp = "%%Length(Cal-" + std::to_string(i) + "-";
        replaceValue(line, p + "patroSI%%", CalibrationUnit);
        replaceValue(line, p + "tempSI%%", c.tempSI);
        replaceValue(line, p + "tempsSI%%", c.tempsSI);
        replaceValue(line, p + "mesuraSI%%", c.mesuraSI);
        replaceValue(line, p + "ag1SI%%", c.ag1SI);
        replaceWithLength(line, p + "patro%%", lp + "patro)%%",
                          frameNumber(CalibrationValue[size_t(i - 1)]));
        replaceWithLength(line, p + "temp%%", lp + "temp)%%", frameNumber(c.temp));
        replaceWithLength(line, p + "temps%%", lp + "temps)%%", frameNumber(c.temps));
        replaceWithLength(line, p + "mesura%%", lp + "mesura)%%", frameNumber(c.mesura));
        replaceWithLength(line, p + "ag1%%", lp + "ag1)%%", frameNumber(c.ag1));
        const std::string is = std::to_string(i);
        replaceWithLength(line, "%%m-" + is + "%%", "%%Length(m-" + is + ")%%", frameNumber(c.m));
        replaceWithLength(line, "%%b-" + is + "%%", "%%Length(b-" + is + ")%%", frameNumber(c.b));
    }
    replaceWithLength(line, "%%canRecSI%%", "%%Length(canRecSI)%%", cal.canRec.text);
    replaceWithLength(line, "%%canRec%%", "%%Length(canRec)%%", frameNumber(cal.canRec.value));
    return line;
}

TEC71::InitResult TEC71::InitDevice(bool sendCalibration, HCOM port) {
    if (sendFrame("InitDevice", port) != 0) return InitResult::Stopped;
    clock().sleepMs(kInitFramePauseMs);
    if (sendFrame("RequestDeviceData", port) != 0) return InitResult::Stopped;
    clock().sleepMs(kInitFramePauseMs);
    const Answer data = waitForFrame("</oP>", port);
    const bool failed = !data.ok;
    if (data.ok) {
        std::lock_guard lock(textMutex_);
        modEqu_ = getAttributeValue(data.text, "modEqu");
        vEquip_ = getAttributeValue(data.text, "vEquip");
        serialNr_ = getAttributeValue(data.text, "numSer");
    }
    int expected = 0;
    measureCount_->compare_exchange_strong(expected, 1);

    if (sendCalibration) {
        const int rc = sendFrame("iM", port);
        if (failed || rc != 0) return InitResult::Stopped;
        clock().sleepMs(kInitFramePauseMs);
        for (std::string_view name :
             {"ConfirmSerialNr", "SendCalibrationData.Preamble", "SendCalibrationData.cal1",
              "SendCalibrationData.cal2", "SendCalibrationData.Postamble", "SendMeasureData"}) {
            if (sendFrame(name, port) != 0) return InitResult::Stopped;
            clock().sleepMs(kInitFramePauseMs);
        }
    }
    OfflineCount = 0;
    Online = !failed;
    setStatusText(failed ? "Initialize failed." : "");
    return failed ? InitResult::DataMissing : InitResult::Done;
}

// ------------------------------------------------------------------------------------------

std::string getAttributeValue(std::string_view answer, std::string_view name) {
    const std::string quoted = "'" + std::string(name) + "'";
    const size_t at = answer.find(quoted);
    if (at == std::string_view::npos) return {};
    return quotedAfter(answer.substr(at), "va='");
}

std::string quotedAfter(std::string_view text, std::string_view start) {
    const size_t p = text.find(start);
    if (p == std::string_view::npos) return {};
    const size_t from = p + start.size();
    const size_t end = text.find('\'', from);
    if (end == std::string_view::npos) return {};
    return std::string(text.substr(from, end - from));
}

std::span<TEC71* const> ec71MetersInUse(const Config& cfg, std::span<TEC71* const> meters) {
    return meters.first(size_t(std::clamp(cfg.EC71_NrDevices, 0, int(meters.size()))));
}

int ec71MeterForCell(std::span<TEC71* const> meters, int cell) {
    if (meters.size() == 1) return 1;
    for (size_t i = 0; i < meters.size(); ++i)
        if (meters[i] && meters[i]->servesCell(cell)) return int(i) + 1;
    return 0;
}

namespace {

// One meter of the start-up check; true when it answered.
bool startupCheckMeter(TEC71& m, const std::function<void()>& allRelaysOff) {
    const std::string com = "COM" + std::to_string(m.PortNr);
    WriteDbg("App", "... .. try to open " + m.PortSetting);
    m.Online = false;
    m.ReportedOnline = false;
    for (int attempt = 1; attempt <= kStartupAttempts; ++attempt) {
        const HCOM h = com_Open(com);
        m.hCOM = h;
        WriteDbg("App", "... .. --> " + com + " return hWinSIO=" + std::to_string(h));
        WriteDbg("RS232", "com_Open(" + com + ")");
        WriteDbg("RS232", "hWinSIO=" + std::to_string(h));
        com_Set(h, m.Baud, m.DataBits, m.Parity, m.StopBits);
        com_Purge(h);
        if (allRelaysOff) allRelaysOff();
        if (m.sendFrame(1, h) == 0) {
            m.setStatusText("");
            m.Online = true;
            m.ReportedOnline = true;
            m.OpenTime = clock().now();
            return true;
        }
        com_Close(h);
        // The closed handle must not look usable to the reconnect of the cycle.
        m.hCOM = kInvalidHCOM;
        WriteDbg("RS232", "com_Close()");
    }
    const std::string msg =
        GetTextFmt("WinSIO", "NoResponse", "No response from serial device COM%s !",
                   std::to_string(m.PortNr)) +
        " " + dateTimeToText(clock().now());
    AddMsg(msg, false);
    WriteDbg("RS232", msg);
    m.setStatusText(msg);
    return false;
}

}  // namespace

int EC71_StartupCheck(const Config& cfg, std::span<TEC71* const> meters,
                      const std::function<void()>& allRelaysOff) {
    // The caller logs "... checking EC71", also when no meter is present.
    if (!cfg.EC71_Present) return 0;
    WriteDbg("App",
             "... .. EC71 should be present (" + std::to_string(cfg.EC71_NrDevices) + " devices)");
    int online = 0;
    for (TEC71* m : ec71MetersInUse(cfg, meters))
        if (m && startupCheckMeter(*m, allRelaysOff)) ++online;
    return online;
}

}  // namespace kv
