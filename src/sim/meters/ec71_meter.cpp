#include "sim/meters/ec71_meter.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace kv::sim {
namespace {

constexpr char kSTX = 2;
constexpr char kETX = 3;
constexpr char kACK = 6;
constexpr char kNAK = 21;
constexpr size_t kMaxLine = 4096;
constexpr size_t kMaxHistory = 500;

// The tag of a line "<sM ce='3'/>" is "sM"; of "</sC>" it is "/sC".
std::string tagOf(const std::string& line) {
    const size_t lt = line.find('<');
    if (lt == std::string::npos) return {};
    size_t i = lt + 1;
    std::string tag;
    if (i < line.size() && line[i] == '/') tag += line[i++];
    while (i < line.size() && line[i] != ' ' && line[i] != '/' && line[i] != '>') tag += line[i++];
    return tag;
}

// The value of name='value' in a line; empty when absent.
std::string attr(const std::string& line, const std::string& name) {
    const std::string key = " " + name + "='";
    const size_t at = line.find(key);
    if (at == std::string::npos) return {};
    const size_t start = at + key.size();
    const size_t end = line.find('\'', start);
    return end == std::string::npos ? std::string() : line.substr(start, end - start);
}

std::string number(double v, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

std::string pa(const std::string& no, const std::string& un, const std::string& va) {
    return "<pa no='" + no + "'" + (un.empty() ? "" : " un='" + un + "'") + " va='" + va + "'/>";
}

}  // namespace

EC71Meter::EC71Meter(EC71MeterOptions options, ReadingSource source, uint64_t seed)
    : options_(std::move(options)), source_(std::move(source)), rng_(seed) {
    if (options_.blockSize == 0) options_.blockSize = 64;
}

void EC71Meter::write(std::string_view bytes) {
    std::lock_guard lock(mutex_);
    if (fault_ == MeterFault::Echo) {
        out_.append(bytes);
        return;
    }
    const TDateTime now = clock().now();
    for (char c : bytes) {
        if (inLine_) {
            if (c == kETX) {
                inLine_ = false;
                lineLocked(line_, now);
            } else if (c == kSTX) {
                line_.clear();
            } else if (line_.size() < kMaxLine) {
                line_ += c;
            } else {
                inLine_ = false;  // not a line of ours: forget it
            }
        } else if (c == kSTX) {
            inLine_ = true;
            line_.clear();
        } else if (c == kACK) {
            ++blockAcks_;
            awaitingAck_ = false;
        }
    }
}

void EC71Meter::lineLocked(const std::string& line, TDateTime now) {
    received_.push_back(line);
    if (received_.size() > kMaxHistory) received_.erase(received_.begin());
    switch (fault_) {
        case MeterFault::Silent:
            return;
        case MeterFault::Garbage: {
            const int n = rng_.range(1, 30);
            for (int i = 0; i < n; ++i) out_ += static_cast<char>(rng_.range(0, 255));
            return;
        }
        case MeterFault::Nak:
            out_ += kNAK;
            return;
        default:
            break;
    }
    if (nakLines_ > 0) {
        --nakLines_;
        out_ += kNAK;
        return;
    }
    // A new command ends whatever answer was still going out.
    blocks_.clear();
    awaitingAck_ = false;
    const std::string reply = acceptLocked(tagOf(line), line, now);
    if (fault_ == MeterFault::NakThenAck && reply == std::string(1, kACK)) out_ += kNAK;
    out_ += reply;
}

// The reply byte for a line, scheduling the answer it asks for.
std::string EC71Meter::acceptLocked(const std::string& tag, const std::string& line,
                                    TDateTime now) {
    const std::string ack(1, kACK), nak(1, kNAK);
    if (line.find("%%") != std::string::npos) return nak;
    if (tag == "iD" || tag == "iM" || tag == "sC" || tag == "ca" || tag == "cb" || tag == "/sC" ||
        tag == "fM" || tag == "iC" || tag == "cF")
        return ack;
    if (tag == "cS") return attr(line, "ns") == options_.serialNr ? ack : nak;
    if (tag == "sM") {
        cell_ = std::atoi(attr(line, "ce").c_str());
        return ack;
    }
    if (tag == "rP") {
        answerLocked("<oP>" + pa("modEqu", "", options_.model) +
                         pa("vEquip", "", options_.version) + pa("numSer", "", options_.serialNr) +
                         "</oP>",
                     now);
        return ack;
    }
    if (tag == "pM") {
        answerLocked("<oM>", now);
        return ack;
    }
    if (tag == "sT") {
        ++measurements_;
        MeterReading r = source_ ? source_() : MeterReading{};
        if (!r.connected) r.lf = 0.0;
        // The ready indicator comes first: the program looks for the values after it.
        answerLocked(pa("estat", "", "estabilitat") + pa("mesura", "mS/cm", number(r.lf, 4)) +
                         pa("temp", "C", number(r.temp, 1)) + "</oM>",
                     now + options_.measureSeconds * kSecond);
        return ack;
    }
    if (tag == "sK") {
        for (int i = 0; i < 2; ++i) {
            const std::string v = attr(line, "n" + std::to_string(i + 1));
            if (!v.empty()) concentration_[i] = std::atof(v.c_str());
        }
        calStep_ = 0;
        return ack;
    }
    if (tag == "pC") {
        answerLocked("<oC>", now);
        return ack;
    }
    if (tag == "sA") {
        const TDateTime at = now + options_.calibrateSeconds * kSecond;
        if (options_.calibrationPoints == 2 && calStep_ == 0) {
            calStep_ = 1;
            answerLocked(pa("punt", "", "1") + "</mP>", at);
            return ack;
        }
        calStep_ = 0;
        const MeterReading r = source_ ? source_() : MeterReading{};
        answerLocked("<rC>" + pa("mesura", "mS/cm", number(concentration_[0] * 1.002, 3)) +
                         pa("temp", "C", number(r.temp, 1)) + pa("temps", "s", "30") +
                         pa("ag1", "%", "1.2") + "</rC><re>" + pa("m", "", "1.002") +
                         pa("b", "", "0.01") + "</re></oC>",
                     at);
        return ack;
    }
    return nak;
}

void EC71Meter::answerLocked(const std::string& text, TDateTime at) {
    blocks_.clear();
    // Blocks are cut between elements, never inside one: the host reads values across
    // the raw block bytes.
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = pos;
        while (end < text.size()) {
            size_t next = text.find('>', end);
            next = next == std::string::npos ? text.size() : next + 1;
            if (end > pos && next - pos > options_.blockSize) break;
            end = next;
        }
        const std::string chunk = text.substr(pos, end - pos);
        pos = end;
        std::string block = kSTX + chunk + options_.endByte;
        if (options_.checkByte) {
            char x = 0;
            for (char c : chunk) x = static_cast<char>(x ^ c);
            // Never a byte the host could take for a block end of its own.
            block += (x == kETX || x == kACK || x == kNAK) ? 'x' : x;
        }
        blocks_.push_back(std::move(block));
    }
    releaseAt_ = at;
    awaitingAck_ = false;
}

void EC71Meter::advanceLocked(TDateTime now) {
    if (awaitingAck_ || blocks_.empty() || now < releaseAt_) return;
    out_ += blocks_.front();
    blocks_.pop_front();
    awaitingAck_ = true;
}

size_t EC71Meter::queued() {
    std::lock_guard lock(mutex_);
    advanceLocked(clock().now());
    return out_.size();
}

std::string EC71Meter::read(size_t maxBytes) {
    std::lock_guard lock(mutex_);
    advanceLocked(clock().now());
    const size_t n = std::min(maxBytes, out_.size());
    std::string out = out_.substr(0, n);
    out_.erase(0, n);
    return out;
}

void EC71Meter::setFault(MeterFault f) {
    std::lock_guard lock(mutex_);
    fault_ = f;
}

void EC71Meter::nakNextLines(int n) {
    std::lock_guard lock(mutex_);
    nakLines_ = std::max(0, n);
}

std::vector<std::string> EC71Meter::received() {
    std::lock_guard lock(mutex_);
    return received_;
}
int EC71Meter::measurements() {
    std::lock_guard lock(mutex_);
    return measurements_;
}
int EC71Meter::blockAcks() {
    std::lock_guard lock(mutex_);
    return blockAcks_;
}
int EC71Meter::cell() {
    std::lock_guard lock(mutex_);
    return cell_;
}

std::string EC71Meter::frameSections() {
    struct Frame {
        const char* section;
        const char* name;
        std::vector<std::string> lines;
        const char* endString;
    };
    auto cmd = [](const std::string& body) { return "\\002" + body + "\\003"; };
    auto cal = [&](int i) {
        const std::string n = std::to_string(i);
        return std::vector<std::string>{
            cmd("<ca nu='" + n + "' pa='%%Cal-" + n + "-patro%%' pl='%%Length(Cal-" + n +
                "-patro)%%' paSI='%%Cal-" + n + "-patroSI%%' te='%%Cal-" + n +
                "-temp%%' teSI='%%Cal-" + n + "-tempSI%%' ts='%%Cal-" + n +
                "-temps%%' tsSI='%%Cal-" + n + "-tempsSI%%'/>"),
            cmd("<cb nu='" + n + "' me='%%Cal-" + n + "-mesura%%' meSI='%%Cal-" + n +
                "-mesuraSI%%' ag='%%Cal-" + n + "-ag1%%' agSI='%%Cal-" + n + "-ag1SI%%' m='%%m-" +
                n + "%%' b='%%b-" + n + "%%'/>")};
    };
    const std::vector<Frame> frames = {
        {"EC71-InitDevice", "InitDevice", {cmd("<iD/>")}, ""},
        {"EC71-RequestDeviceData", "RequestDeviceData", {cmd("<rP/>")}, ""},
        {"EC71-GetRequestedDeviceData", "GetRequestedDeviceData", {}, "</oP>"},
        {"EC71-iM", "iM", {cmd("<iM/>")}, ""},
        {"EC71-ConfirmSerialNr",
         "ConfirmSerialNr",
         {cmd("<cS ns='%%SerialNr%%' ln='%%Length(SerialNr)%%'/>")},
         ""},
        {"EC71-SendCalibrationData.Preamble",
         "SendCalibrationData.Preamble",
         {cmd("<sC ce='%%MeasureCount%%'>")},
         ""},
        {"EC71-SendCalibrationData.cal1", "SendCalibrationData.cal1", cal(1), ""},
        {"EC71-SendCalibrationData.cal2", "SendCalibrationData.cal2", cal(2), ""},
        {"EC71-SendCalibrationData.cal3", "SendCalibrationData.cal3", {}, ""},
        {"EC71-SendCalibrationData.Postamble", "SendCalibrationData.Postamble", {cmd("</sC>")}, ""},
        {"EC71-SendMeasureData", "SendMeasureData", {cmd("<sM ce='%%MeasureCount%%'/>")}, ""},
        {"EC71-PrepareForMeasure", "PrepareForMeasure", {cmd("<pM/>")}, ""},
        {"EC71-GetDeviceReadySignal", "GetDeviceReadySignal", {}, "<oM>"},
        {"EC71-StartMeasure", "StartMeasure", {cmd("<sT/>")}, ""},
        {"EC71-GetMeasureData", "GetMeasureData", {}, "</oM>"},
        {"EC71-MeasureFinished", "MeasureFinished", {cmd("<fM/>")}, ""},
        {"EC71-iC", "iC", {cmd("<iC/>")}, ""},
        {"EC71-SendCalibrationConcentrations",
         "SendCalibrationConcentrations",
         {cmd("<sK n1='%%Cal-1-patro%%' n2='%%Cal-2-patro%%' un='%%Cal-1-patroSI%%'/>")},
         ""},
        {"EC71-PrepareForCalibration", "PrepareForCalibration", {cmd("<pC/>")}, ""},
        {"EC71-GetCalibrationReadySignal", "GetCalibrationReadySignal", {}, "<oC>"},
        {"EC71-StartCalibration", "StartCalibration", {cmd("<sA/>")}, ""},
        {"EC71-GetCalibrationData", "GetCalibrationData", {}, "</oC>"},
        {"EC71-GetCalibration-2-ReadySignal", "GetCalibration-2-ReadySignal", {}, "</mP>"},
        {"EC71-CalibrationFinished", "CalibrationFinished", {cmd("<cF/>")}, ""},
    };
    std::string ini;
    for (const Frame& f : frames) {
        ini += "[" + std::string(f.section) + "]\r\n";
        ini += "Name=" + std::string(f.name) + "\r\n";
        ini += "nLines=" + std::to_string(f.lines.size()) + "\r\n";
        for (size_t i = 0; i < f.lines.size(); ++i)
            ini += "Line-" + std::to_string(i + 1) + "=" + f.lines[i] + "\r\n";
        ini += "Keywords=\r\n";
        ini += "EndString=" + std::string(f.endString) + "\r\n\r\n";
    }
    return ini;
}

}  // namespace kv::sim
