#include "console/simulated_lab.h"

#include <algorithm>
#include <array>

#include "app/config.h"
#include "common/strutil.h"
#include "device/device_list.h"

namespace kv {

namespace {

constexpr std::array<double, kCellsPerDevice> kSampleRates{6.0, 4.5, 3.0, 2.0, 1.0, 0.1};

struct ConfiguredDevice {
    std::string serial;
    DeviceType type = DeviceType::None;
    int caseNr = 1;
};

std::vector<ConfiguredDevice> configuredDevices(const IniFile& ini) {
    std::vector<ConfiguredDevice> out;
    const int n = std::clamp(readIntValue(ini, kSecUSB, "Devices", 0), 0, kMaxDevices);
    for (int d = 1; d <= n; ++d) {
        const std::string sec = std::string(kSecUSBDevicePrefix) + std::to_string(d);
        ConfiguredDevice c;
        c.serial = trimmed(ini.readString(sec, "SerialNr", ""));
        c.type = static_cast<DeviceType>(readIntValue(ini, sec, "Type", 0));
        c.caseNr = readIntValue(ini, sec, "Case", 1);
        if (!c.serial.empty()) out.push_back(std::move(c));
    }
    return out;
}

sim::DeviceIdentity identity(const ConfiguredDevice& d) {
    sim::DeviceIdentity id;
    id.serial = d.serial;
    id.version = "KLV/USB V1.4.1";
    id.caseNr = d.caseNr;
    return id;
}

// False for a type the lab has no device for.
bool addDefaultDevice(sim::Lab& lab, const ConfiguredDevice& d) {
    if (d.type == DeviceType::Data) {
        sim::DataDeviceSetup s;
        s.id = identity(d);
        for (size_t k = 0; k < s.samples.size(); ++k) {
            s.samples[k].rate = kSampleRates[k];
            s.samples[k].noise = 0.05;
            s.samples[k].settleSec = 10;
        }
        return lab.addDataDevice(std::move(s)) != nullptr;
    }
    if (d.type == DeviceType::Case) {
        sim::CaseDeviceSetup s;
        s.id = identity(d);
        s.temperature = 20.0;
        s.drift = 0.2;
        s.driftHours = 12;
        return lab.addCaseDevice(std::move(s)) != nullptr;
    }
    if (d.type == DeviceType::CO2) {
        sim::Co2DeviceSetup s;
        s.id = identity(d);
        for (auto& c : s.cells) c = sim::Co2CellParams{820.0, 1.0, 80.0, 1.0};
        return lab.addCo2Device(std::move(s)) != nullptr;
    }
    return false;
}

}  // namespace

std::unique_ptr<sim::Lab> buildSimulatedLab(const IniFile& ini, const std::string& labFile,
                                            std::string& error) {
    const std::vector<ConfiguredDevice> devices = configuredDevices(ini);
    if (devices.empty() && labFile.empty()) {
        error = "the configuration [" + ini.path() +
                "] lists no devices ([USB] Devices and [USBDevice-n] sections)";
        return nullptr;
    }
    std::unique_ptr<sim::Lab> lab;
    if (labFile.empty()) {
        lab = std::make_unique<sim::Lab>();
    } else {
        std::string why;
        lab = sim::Lab::fromFile(labFile, &why);
        if (!lab) {
            error = labFile + ": " + why;
            return nullptr;
        }
    }
    for (const ConfiguredDevice& d : devices)
        if (!lab->find(d.serial)) addDefaultDevice(*lab, d);
    return lab;
}

}  // namespace kv
