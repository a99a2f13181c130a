#include "sim/lab.h"

#include <fstream>
#include <sstream>

#include "common/strutil.h"
#include "sim/textparse.h"

namespace kv::sim {

namespace {

// One [Device] section as read, before it becomes a device.
struct DeviceSection {
    int line = 0;
    std::string serial;
    int type = 1;
    std::string version = "KLV/USB V1.4.1";
    std::string description;
    long locId = -1;
    int caseNr = 1;
    size_t queueCapacity = 100000;
    std::string cells[6];
    double temperature = 21.5, drift = 0.3, driftHours = 12.0;
};

std::string at(int line, const std::string& msg) {
    return "line " + std::to_string(line) + ": " + msg;
}

bool parseLocId(std::string_view v, long& out) {
    long long x = 0;
    if (istartsWith(v, "0x")) {
        const std::string hex(v.substr(2));
        if (hex.empty() || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
            hex.size() > 8)
            return false;
        x = std::stoll(hex, nullptr, 16);
    } else if (!parseLong(v, x) || x < 0 || x > 0xffffffffLL) {
        return false;
    }
    out = static_cast<long>(x);
    return true;
}

bool applyKey(DeviceSection& d, const std::string& key, const std::string& value,
              std::string& err) {
    int i = 0;
    if (key == "serial") {
        d.serial = value;
    } else if (key == "type") {
        if (!parseInt(value, d.type) || d.type < 1 || d.type > 3) err = "Type must be 1, 2 or 3";
    } else if (key == "version") {
        d.version = value;
    } else if (key == "description") {
        d.description = value;
    } else if (key == "locid") {
        if (!parseLocId(value, d.locId)) err = "bad LocId";
    } else if (key == "case") {
        if (!parseInt(value, d.caseNr)) err = "bad Case";
    } else if (key == "queuecapacity") {
        if (!parseInt(value, i) || i < 1) err = "bad QueueCapacity";
        d.queueCapacity = static_cast<size_t>(i);
    } else if (key.size() == 5 && startsWith(key, "cell") && key[4] >= '1' && key[4] <= '6') {
        d.cells[key[4] - '1'] = value;
    } else if (key == "temp") {
        if (!parseReal(value, d.temperature)) err = "bad Temp";
    } else if (key == "drift") {
        if (!parseReal(value, d.drift)) err = "bad Drift";
    } else if (key == "drifthours") {
        if (!parseReal(value, d.driftHours) || d.driftHours <= 0) err = "bad DriftHours";
    } else {
        err = "unknown key '" + key + "'";
    }
    return err.empty();
}

bool parseDataCell(const std::string& text, SampleParams& sample, DataCellConfig& cfg,
                   const std::string& baseDir, std::string& err) {
    std::string rest;
    if (!parseSampleParams(text, sample, rest, &err)) return false;
    if (!sample.curveFile.empty()) {
        // A curve file named by a lab description lies beside it.
        std::string path = sample.curveFile;
        if (!baseDir.empty() && path[0] != '/') path = baseDir + "/" + path;
        if (!loadSampleCurve(path, sample, &err)) return false;
    }
    for (const auto& [key, value] : keyValueWords(rest)) {
        int v = 0;
        if (key == "active") {
            cfg.active = 1;
            continue;
        }
        if (!parseInt(value, v) || v < 0) {
            err = "bad cell entry '" + key + "=" + value + "'";
            return false;
        }
        if (key == "tact")
            cfg.tact = v;
        else if (key == "divider")
            cfg.divider = v;
        else if (key == "lower")
            cfg.lower = v;
        else if (key == "upper")
            cfg.upper = v;
        else {
            err = "unknown cell entry '" + key + "'";
            return false;
        }
    }
    return true;
}

bool parseCo2Cell(const std::string& text, Co2CellParams& p, std::string& err) {
    for (const auto& [key, value] : keyValueWords(text)) {
        double* target = key == "raw"     ? &p.raw
                         : key == "slope" ? &p.slope
                         : key == "min"   ? &p.minRaw
                         : key == "noise" ? &p.noise
                                          : nullptr;
        if (!target) {
            err = "unknown CO2 cell entry '" + key + "'";
            return false;
        }
        if (!parseReal(value, *target)) {
            err = "bad CO2 cell entry '" + key + "=" + value + "'";
            return false;
        }
    }
    return true;
}

bool buildDevice(Lab& lab, const DeviceSection& d, uint64_t labSeed, const std::string& baseDir,
                 std::string& err) {
    DeviceIdentity id;
    id.serial = d.serial;
    id.description = d.description;
    id.locId = d.locId;
    id.version = d.version;
    id.caseNr = d.caseNr;
    if (labSeed) id.seed = seedFromText(d.serial) ^ (labSeed * 0x9E3779B97F4A7C15ULL);
    bool added = false;
    if (d.type == 1) {
        DataDeviceSetup s;
        s.id = id;
        s.queueCapacity = d.queueCapacity;
        for (int k = 0; k < 6; ++k) {
            if (!parseDataCell(d.cells[k], s.samples[k], s.cells[k], baseDir, err)) {
                err = "Cell" + std::to_string(k + 1) + ": " + err;
                return false;
            }
        }
        added = lab.addDataDevice(std::move(s)) != nullptr;
    } else if (d.type == 2) {
        CaseDeviceSetup s;
        s.id = id;
        s.temperature = d.temperature;
        s.drift = d.drift;
        s.driftHours = d.driftHours;
        added = lab.addCaseDevice(std::move(s)) != nullptr;
    } else {
        Co2DeviceSetup s;
        s.id = id;
        for (int k = 0; k < 6; ++k) {
            if (!parseCo2Cell(d.cells[k], s.cells[k], err)) {
                err = "Cell" + std::to_string(k + 1) + ": " + err;
                return false;
            }
        }
        added = lab.addCo2Device(std::move(s)) != nullptr;
    }
    if (!added) err = "serial number '" + d.serial + "' is empty or used twice";
    return added;
}

}  // namespace

std::unique_ptr<Lab> Lab::fromText(std::string_view text, std::string* error,
                                   const std::string& baseDir) {
    auto lab = std::make_unique<Lab>();
    std::vector<DeviceSection> sections;
    uint64_t seed = 0;
    enum { None, LabSection, Device, Other } where = None;
    int lineNr = 0;
    std::string err;
    auto fail = [&](int line, const std::string& msg) -> std::unique_ptr<Lab> {
        if (error) *error = at(line, msg);
        return nullptr;
    };
    for (auto raw : split(text, '\n')) {
        ++lineNr;
        std::string_view line = trim(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        const auto semi = line.find(';');
        if (semi != std::string_view::npos) line = trim(line.substr(0, semi));
        if (line.front() == '[') {
            if (line.back() != ']') return fail(lineNr, "bad section header");
            const std::string_view name = trim(line.substr(1, line.size() - 2));
            const auto blank = name.find(' ');
            const std::string word = toLowerAscii(name.substr(0, blank));
            if (word == "lab") {
                where = LabSection;
            } else if (word == "device") {
                where = Device;
                sections.emplace_back();
                sections.back().line = lineNr;
                if (blank != std::string_view::npos)
                    sections.back().serial = trimmed(name.substr(blank + 1));
            } else {
                return fail(lineNr, "unknown section [" + std::string(name) + "]");
            }
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos) return fail(lineNr, "expected key=value");
        const std::string key = toLowerAscii(trim(line.substr(0, eq)));
        const std::string value = trimmed(line.substr(eq + 1));
        if (where == LabSection) {
            long long s = 0;
            if (key != "seed" || !parseLong(value, s)) return fail(lineNr, "expected Seed=number");
            seed = static_cast<uint64_t>(s);
        } else if (where == Device) {
            if (!applyKey(sections.back(), key, value, err)) return fail(lineNr, err);
        } else {
            return fail(lineNr, "key outside a section");
        }
    }
    for (const DeviceSection& d : sections) {
        if (!buildDevice(*lab, d, seed, baseDir, err)) return fail(d.line, err);
    }
    return lab;
}

std::unique_ptr<Lab> Lab::fromFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error) *error = "cannot read " + path;
        return nullptr;
    }
    std::stringstream ss;
    ss << in.rdbuf();
    const auto slash = path.find_last_of('/');
    return fromText(ss.str(), error, slash == std::string::npos ? "." : path.substr(0, slash));
}

// ---------------------------------------------------------------------------------------

bool Lab::prepare(DeviceIdentity& id) const {
    if (trim(id.serial).empty() || find(id.serial)) return false;
    if (id.locId < 0) id.locId = 0x1000 + static_cast<long>(devices_.size()) + 1;
    return true;
}

DataDevice* Lab::addDataDevice(DataDeviceSetup setup) {
    if (!prepare(setup.id)) return nullptr;
    auto d = std::make_shared<DataDevice>(setup);
    DataDevice* p = d.get();
    devices_.push_back(std::move(d));
    return p;
}

CaseDevice* Lab::addCaseDevice(CaseDeviceSetup setup) {
    if (!prepare(setup.id)) return nullptr;
    auto d = std::make_shared<CaseDevice>(setup);
    CaseDevice* p = d.get();
    devices_.push_back(std::move(d));
    return p;
}

Co2Device* Lab::addCo2Device(Co2DeviceSetup setup) {
    if (!prepare(setup.id)) return nullptr;
    auto d = std::make_shared<Co2Device>(setup);
    Co2Device* p = d.get();
    devices_.push_back(std::move(d));
    return p;
}

std::vector<std::shared_ptr<SimPort>> Lab::ports() const {
    std::vector<std::shared_ptr<SimPort>> out;
    for (const auto& d : devices_) out.push_back(d);
    return out;
}

SimDevice* Lab::find(std::string_view serial) const {
    for (const auto& d : devices_)
        if (d->serialNr() == serial) return d.get();
    return nullptr;
}

DataDevice* Lab::dataDevice(std::string_view serial) const {
    return dynamic_cast<DataDevice*>(find(serial));
}

CaseDevice* Lab::caseDevice(std::string_view serial) const {
    return dynamic_cast<CaseDevice*>(find(serial));
}

Co2Device* Lab::co2Device(std::string_view serial) const {
    return dynamic_cast<Co2Device*>(find(serial));
}

void Lab::advanceTo(TDateTime now) {
    for (const auto& d : devices_) d->advanceTo(now);
}

// ---------------------------------------------------------------------------------------
// Fault commands

std::string Lab::commandHelp() {
    return "commands: unplug S | replug S | restart S | silence S [SECONDS] | speak S | "
           "garbage S [N] | drop S P | double S P | noise S P | garbagerate S P | "
           "inputdrop S P | slow S MS | skip S N | stuck S CELL [0|1] | adc S CELL VALUE | "
           "temp S CELSIUS | clear S | garble S N | fields S N | status [S] | impulses S [UPTO] | "
           "help";
}

std::string Lab::status(std::string_view serial) {
    std::string out;
    for (const auto& d : devices_) {
        if (!serial.empty() && d->serialNr() != serial) continue;
        if (!out.empty()) out += '\n';
        out += d->serialNr() + " type=" + std::to_string(static_cast<int>(d->type())) +
               (d->plugged() ? " plugged" : " unplugged");
        if (auto* data = dynamic_cast<DataDevice*>(d.get())) {
            out += " tact=" + std::to_string(data->tactNr()) +
                   " queue=" + std::to_string(data->queueSize());
        } else if (auto* c = dynamic_cast<CaseDevice*>(d.get())) {
            out += " temp=" + std::to_string(c->temperature());
        } else if (auto* co2 = dynamic_cast<Co2Device*>(d.get())) {
            out += " relays=" + std::to_string(co2->relayMask());
        }
    }
    return out.empty() ? "error: no such device" : out;
}

std::string Lab::impulses(const std::vector<std::string>& words) {
    if (words.size() < 2 || words.size() > 3) return "error: usage: impulses S [UPTO]";
    DataDevice* data = dataDevice(words[1]);
    if (!data) return "error: " + words[1] + " is not a data device of the lab";
    // UPTO is a date-time day count; without it, everything dosed so far.
    double upTo = 0;
    if (words.size() == 3 && (!parseReal(words[2], upTo) || upTo <= 0))
        return "error: impulses takes a date-time as a day count (like 46000.5)";
    std::string out = words[1] + " impulses=";
    for (int k = 1; k <= DataDevice::kCells; ++k) {
        if (k > 1) out += ';';
        out += std::to_string(words.size() == 3 ? data->impulsesBetween(k, 0, upTo)
                                                : data->impulses(k));
    }
    return out;
}

std::string Lab::command(std::string_view line) {
    // The words are views into this text, so it must outlive the loop.
    const std::string text = replaceAll(std::string(line), "\t", " ");
    std::vector<std::string> w;
    for (auto word : split(text, ' '))
        if (!trim(word).empty()) w.emplace_back(trim(word));
    if (w.empty()) return "error: empty command";
    const std::string verb = toLowerAscii(w[0]);
    if (verb == "help") return commandHelp();
    if (verb == "status") return status(w.size() > 1 ? std::string_view(w[1]) : "");
    if (verb == "impulses") return impulses(w);
    if (w.size() < 2) return "error: " + verb + " needs a serial number";
    SimDevice* dev = find(w[1]);
    if (!dev) return "error: unknown serial " + w[1];

    auto number = [&](size_t i, double& v) { return i < w.size() && parseReal(w[i], v); };
    auto integer = [&](size_t i, int& v) { return i < w.size() && parseInt(w[i], v); };
    auto probability = [&](double LinkFaults::*field) -> std::string {
        double p = 0;
        if (!number(2, p) || p < 0 || p > 1) return "error: " + verb + " needs a probability";
        LinkFaults f = dev->linkFaults();
        f.*field = p;
        dev->setLinkFaults(f);
        return "ok";
    };
    DataDevice* data = dynamic_cast<DataDevice*>(dev);
    auto needData = [&]() { return "error: " + w[1] + " is not a data device"; };

    double x = 0;
    int n = 0, k = 0;
    if (verb == "unplug") {
        dev->unplug();
    } else if (verb == "replug") {
        dev->replug();
    } else if (verb == "restart") {
        dev->restart();
    } else if (verb == "silence") {
        if (w.size() > 2 && !number(2, x)) return "error: silence needs seconds";
        dev->silence(w.size() > 2 ? x : 0);
    } else if (verb == "speak") {
        dev->speak();
    } else if (verb == "garbage") {
        if (w.size() > 2 && !integer(2, n)) return "error: garbage needs a count";
        dev->garbageNext(w.size() > 2 ? n : 1);
    } else if (verb == "drop") {
        return probability(&LinkFaults::dropProb);
    } else if (verb == "double") {
        return probability(&LinkFaults::doubleProb);
    } else if (verb == "noise") {
        return probability(&LinkFaults::noiseProb);
    } else if (verb == "garbagerate") {
        return probability(&LinkFaults::garbageProb);
    } else if (verb == "inputdrop") {
        return probability(&LinkFaults::inputDropProb);
    } else if (verb == "slow") {
        if (!integer(2, n) || n < 0) return "error: slow needs milliseconds";
        LinkFaults f = dev->linkFaults();
        f.delayMs = n;
        dev->setLinkFaults(f);
    } else if (verb == "clear") {
        dev->clearFaults();
    } else if (verb == "skip") {
        if (!data) return needData();
        if (!integer(2, n) || n < 1) return "error: skip needs a tact count";
        data->skipTacts(n);
    } else if (verb == "garble") {
        if (!data) return needData();
        if (!integer(2, n) || n < 0) return "error: garble needs a record count";
        data->garbleRecords(n);
    } else if (verb == "fields") {
        if (!data) return needData();
        if (!integer(2, n) || n < 0) return "error: fields needs a count of extra fields";
        data->setExtraRecordFields(n);
    } else if (verb == "stuck") {
        if (!data) return needData();
        if (!integer(2, k) || k < 1 || k > 6) return "error: stuck needs a cell 1..6";
        if (w.size() > 3 && !integer(3, n)) return "error: stuck takes 0 or 1";
        data->setStuckManometer(k, w.size() > 3 ? n != 0 : true);
    } else if (verb == "adc") {
        if (!data) return needData();
        if (!integer(2, k) || k < 1 || k > 6 || !integer(3, n))
            return "error: adc needs a cell 1..6 and a value";
        data->setAdc(k, n);
    } else if (verb == "temp") {
        auto* c = dynamic_cast<CaseDevice*>(dev);
        if (!c) return "error: " + w[1] + " is not a case control device";
        if (!number(2, x)) return "error: temp needs degrees";
        c->setTemperature(x);
    } else {
        return "error: unknown command '" + w[0] + "'; " + commandHelp();
    }
    return "ok";
}

}  // namespace kv::sim
