#include "sim/meters/meter_lab.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "common/escapes.h"
#include "common/strutil.h"
#include "sim/textparse.h"

namespace kv::sim {
namespace {

std::string at(int line, const std::string& msg) {
    return "line " + std::to_string(line) + ": " + msg;
}

bool positive(double v) {
    return v > 0;
}

// One key of a [Meter] section; false with a message.
bool applyMeterKey(MeterSpec& m, const std::string& key, const std::string& value,
                   std::string& err) {
    double x = 0;
    int n = 0;
    auto real = [&](double& out, bool (*ok)(double)) {
        if (!parseReal(value, x) || (ok && !ok(x))) {
            err = "bad value for " + key;
            return false;
        }
        out = x;
        return true;
    };
    if (key == "type") {
        if (iequals(value, "EC71")) {
            m.ec71 = true;
        } else if (iequals(value, "CDM")) {
            m.ec71 = false;
        } else {
            err = "Type must be EC71 or CDM";
            return false;
        }
        return true;
    }
    if (key == "absorbers") {
        m.absorbers.clear();
        for (const std::string& item : splitList(value, ',')) {
            if (item.empty()) continue;
            const auto colon = item.find(':');
            m.absorbers.emplace_back(
                trimmed(item.substr(0, colon)),
                colon == std::string::npos ? std::string() : trimmed(item.substr(colon + 1)));
        }
        return true;
    }
    if (key == "lf0") return real(m.params.lf0, positive);
    if (key == "mgperlf") return real(m.params.mgPerLF, positive);
    if (key == "rq") return real(m.params.rq, positive);
    if (key == "minlf") return real(m.params.minLF, nullptr);
    if (key == "temp") return real(m.params.temp, nullptr);
    if (key == "serial") {
        if (value.empty()) {
            err = "empty Serial";
            return false;
        }
        m.ec71Options.serialNr = value;
        return true;
    }
    if (key == "model" || key == "version") {
        (key == "model" ? m.ec71Options.model : m.ec71Options.version) = value;
        return true;
    }
    if (key == "measureseconds") return real(m.ec71Options.measureSeconds, nullptr);
    if (key == "calibrateseconds") return real(m.ec71Options.calibrateSeconds, nullptr);
    if (key == "calibrationpoints" || key == "blocksize") {
        const bool points = key == "calibrationpoints";
        if (!parseInt(value, n) || n < 1 || (points && n > 2)) {
            err = "bad value for " + key;
            return false;
        }
        if (points)
            m.ec71Options.calibrationPoints = n;
        else
            m.ec71Options.blockSize = size_t(n);
        return true;
    }
    std::string* command = key == "init"          ? &m.cdmOptions.cmdInit
                           : key == "sample"      ? &m.cdmOptions.cmdSample
                           : key == "readdisplay" ? &m.cdmOptions.cmdReadDisplay
                           : key == "close"       ? &m.cdmOptions.cmdClose
                                                  : nullptr;
    if (command) {
        *command = decodeEscapes(value);
        return true;
    }
    err = "unknown key " + key;
    return false;
}

}  // namespace

bool extractMeterSections(std::string_view text, std::string& labText,
                          std::vector<MeterSpec>& meters, std::string* error) {
    labText.clear();
    meters.clear();
    bool inMeter = false;
    int lineNr = 0;
    std::string err;
    auto fail = [&](const std::string& msg) {
        if (error) *error = at(lineNr, msg);
        return false;
    };
    for (auto raw : split(text, '\n')) {
        ++lineNr;
        std::string_view line = trim(raw);
        const bool header = !line.empty() && line.front() == '[';
        if (header) {
            const auto close = line.find(']');
            const std::string_view name =
                trim(line.substr(1, close == std::string_view::npos ? 0 : close - 1));
            const auto blank = name.find(' ');
            inMeter = close != std::string_view::npos && iequals(name.substr(0, blank), "meter");
            if (inMeter) {
                MeterSpec m;
                m.line = lineNr;
                m.name = blank == std::string_view::npos ? "" : trimmed(name.substr(blank + 1));
                if (m.name.empty() || m.name.find('/') != std::string::npos || m.name == "." ||
                    m.name == "..")
                    return fail("a [Meter NAME] needs a plain name (it becomes the link's)");
                for (const MeterSpec& other : meters)
                    if (other.name == m.name) return fail("meter " + m.name + " twice");
                meters.push_back(std::move(m));
            }
        }
        if (!inMeter) {
            labText.append(raw);
            labText += '\n';
            continue;
        }
        labText += ";\n";
        if (header || line.empty() || line[0] == ';' || line[0] == '#') continue;
        const auto semi = line.find(';');
        if (semi != std::string_view::npos) line = trim(line.substr(0, semi));
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) return fail("expected key=value");
        const std::string key = toLowerAscii(trim(line.substr(0, eq)));
        const std::string value = trimmed(line.substr(eq + 1));
        if (!applyMeterKey(meters.back(), key, value, err)) return fail(err);
    }
    return true;
}

// ------------------------------------------------------------------------------------------

LabMeters::~LabMeters() {
    stop();
}

bool LabMeters::build(Lab& lab, const std::vector<MeterSpec>& specs, std::string* error) {
    for (const MeterSpec& desc : specs) {
        auto s = std::make_unique<Served>();
        s->desc = desc;
        s->absorbers = std::make_unique<LabAbsorbers>(desc.params);
        auto pairs = desc.absorbers;
        if (pairs.empty())
            for (const auto& d : lab.devices())
                if (d->type() == DeviceType::CO2) pairs.emplace_back(d->serialNr(), "");
        for (const auto& [co2Serial, dataSerial] : pairs) {
            Co2Device* co2 = lab.co2Device(co2Serial);
            DataDevice* data = dataSerial.empty() ? nullptr : lab.dataDevice(dataSerial);
            if (!co2 || (!dataSerial.empty() && !data)) {
                if (error)
                    *error = at(desc.line,
                                "no CO2 device " + co2Serial +
                                    (dataSerial.empty() ? "" : " or data device " + dataSerial));
                return false;
            }
            s->absorbers->add(co2, data);
        }
        const uint64_t seed = 1000 + meters_.size();
        if (desc.ec71)
            s->meter = std::make_unique<EC71Meter>(desc.ec71Options, s->absorbers->source(), seed);
        else
            s->meter = std::make_unique<CdmMeter>(desc.cdmOptions, s->absorbers->source(), seed);
        meters_.push_back(std::move(s));
    }
    return true;
}

bool LabMeters::serve(const std::string& dir, std::string* error) {
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        if (error) *error = "cannot create " + dir + ": " + std::strerror(errno);
        return false;
    }
    for (auto& s : meters_) {
        s->pty = std::make_unique<PtySerialPort>(*s->meter);
        if (!s->pty->start(dir + "/" + s->desc.name, error)) return false;
    }
    return true;
}

void LabMeters::stop() {
    for (auto& s : meters_)
        if (s->pty) s->pty->stop();
}

std::vector<std::string> LabMeters::banner() const {
    std::vector<std::string> out;
    for (const auto& s : meters_)
        out.push_back(s->desc.name + " type=" + (s->desc.ec71 ? "EC71" : "CDM") + " " +
                      (s->pty ? s->pty->linkPath() + " -> " + s->pty->slavePath() : "-"));
    return out;
}

const LabMeters::Served* LabMeters::find(std::string_view name) const {
    for (const auto& s : meters_)
        if (s->desc.name == name) return s.get();
    return nullptr;
}

SerialMeter* LabMeters::meter(std::string_view name) const {
    const Served* s = find(name);
    return s ? s->meter.get() : nullptr;
}

LabAbsorbers* LabMeters::absorbers(std::string_view name) const {
    const Served* s = find(name);
    return s ? s->absorbers.get() : nullptr;
}

std::string LabMeters::command(std::string_view line) {
    std::vector<std::string> w;
    for (const std::string& word : splitList(line, ' '))
        if (!word.empty()) w.push_back(word);
    if (w.size() < 3 || !iequals(w[0], "meter"))
        return "error: meter NAME ok|silent|garbage|echo|nak [N]|nakthenack";
    const Served* s = find(w[1]);
    if (!s) return "error: unknown meter " + w[1];
    const std::string what = toLowerAscii(w[2]);
    MeterFault f;
    if (what == "ok") {
        f = MeterFault::None;
    } else if (what == "silent") {
        f = MeterFault::Silent;
    } else if (what == "garbage") {
        f = MeterFault::Garbage;
    } else if (what == "echo") {
        f = MeterFault::Echo;
    } else if (what == "nak" && s->desc.ec71) {
        int n = 0;
        if (w.size() > 3) {
            if (!parseInt(w[3], n) || n < 0) return "error: nak takes a line count";
            static_cast<EC71Meter*>(s->meter.get())->nakNextLines(n);
            return "ok";
        }
        f = MeterFault::Nak;
    } else if (what == "nakthenack" && s->desc.ec71) {
        f = MeterFault::NakThenAck;
    } else {
        return "error: unknown meter fault '" + w[2] + "'";
    }
    if (s->desc.ec71)
        static_cast<EC71Meter*>(s->meter.get())->setFault(f);
    else
        static_cast<CdmMeter*>(s->meter.get())->setFault(f);
    return "ok";
}

}  // namespace kv::sim
