#include "sim/meters/sim_co2_ports.h"

#include <algorithm>
#include <string>

#include "co2/winsio.h"
#include "common/escapes.h"

namespace kv::sim {
namespace {

// A meter as an in-process port. It shares the meter (which shares its absorbers), so that
// a port still open after the meters were removed does not reach a freed object.
class MeterPort : public ComEndpoint {
  public:
    explicit MeterPort(std::shared_ptr<SerialMeter> meter) : meter_(std::move(meter)) {}
    bool write(std::string_view bytes) override {
        meter_->write(bytes);
        return true;
    }
    size_t queued() override { return meter_->queued(); }
    std::string read(size_t maxBytes) override { return meter_->read(maxBytes); }

  private:
    std::shared_ptr<SerialMeter> meter_;
};

bool overlaps(const UsbDeviceSettings& d, int from, int to) {
    return d.physCellNr_From <= to && d.physCellNr_To >= from;
}

// The data device whose samples fill the absorbers of co2: the configured one holding the
// CO2 device's first cell.
DataDevice* partnerOf(const Config& cfg, Lab& lab, const UsbDeviceSettings& co2) {
    for (const UsbDeviceSettings& d : cfg.devices)
        if (d.Type == DeviceType::Data && co2.physCellNr_From >= d.physCellNr_From &&
            co2.physCellNr_From <= d.physCellNr_To)
            return lab.dataDevice(d.SerialNr);
    return nullptr;
}

// The absorbers a meter serving cells from..to sees.
std::shared_ptr<LabAbsorbers> absorbersFor(const Config& cfg, Lab& lab, int from, int to,
                                           const AbsorberParams& params) {
    auto a = std::make_shared<LabAbsorbers>(params);
    bool any = false;
    for (const UsbDeviceSettings& d : cfg.devices) {
        if (d.Type != DeviceType::CO2 || !overlaps(d, from, to)) continue;
        Co2Device* co2 = lab.co2Device(d.SerialNr);
        if (!co2) continue;
        a->add(co2, partnerOf(cfg, lab, d));
        any = true;
    }
    if (!any)
        for (const auto& dev : lab.devices())
            if (dev->type() == DeviceType::CO2) a->add(lab.co2Device(dev->serialNr()), nullptr);
    return a;
}

// The meter holds the absorbers it reads.
ReadingSource sourceOf(const std::shared_ptr<LabAbsorbers>& a) {
    return [a] { return a->reading(); };
}

}  // namespace

SimCo2Meters::~SimCo2Meters() {
    for (const Port& p : ports_) setComEndpoint(p.comNr, nullptr);
}

bool SimCo2Meters::add(Port port) {
    for (const Port& p : ports_)
        if (p.comNr == port.comNr) return false;
    setComEndpoint(port.comNr, std::make_shared<MeterPort>(port.meter));
    ports_.push_back(std::move(port));
    return true;
}

const SimCo2Meters::Port* SimCo2Meters::find(bool ec71, int meterNr) const {
    for (const Port& p : ports_)
        if (p.ec71 == ec71 && p.meterNr == meterNr) return &p;
    return nullptr;
}

CdmMeter* SimCo2Meters::cdm() const {
    const Port* p = find(false, 0);
    return p ? static_cast<CdmMeter*>(p->meter.get()) : nullptr;
}

EC71Meter* SimCo2Meters::ec71(int meterNr) const {
    const Port* p = find(true, meterNr);
    return p ? static_cast<EC71Meter*>(p->meter.get()) : nullptr;
}

LabAbsorbers* SimCo2Meters::absorbersOfEC71(int meterNr) const {
    const Port* p = find(true, meterNr);
    return p ? p->absorbers.get() : nullptr;
}

LabAbsorbers* SimCo2Meters::absorbersOfCdm() const {
    const Port* p = find(false, 0);
    return p ? p->absorbers.get() : nullptr;
}

std::unique_ptr<SimCo2Meters> createSimCo2Meters(const Config& cfg, Lab& lab,
                                                 const AbsorberParams& params) {
    auto meters = std::make_unique<SimCo2Meters>();
    if (cfg.CDM_Present) {
        CdmMeterOptions o;
        o.cmdInit = decodeEscapes(cfg.CDM_Cmd_Init);
        o.cmdSample = decodeEscapes(cfg.CDM_Cmd_Sample);
        o.cmdReadDisplay = decodeEscapes(cfg.CDM_Cmd_ReadDisplay);
        // The program sends the close command as written.
        o.cmdClose = cfg.CDM_Cmd_Close;
        auto a = absorbersFor(cfg, lab, 1, cfg.Cells, params);
        meters->add({cfg.CDM_Port.port, false, 0,
                     std::make_shared<CdmMeter>(std::move(o), sourceOf(a), 2000), a});
    }
    if (cfg.EC71_Present) {
        const int n = std::clamp(cfg.EC71_NrDevices, 0, kMaxEC71Meters);
        for (int k = 1; k <= n; ++k) {
            const EC71MeterSettings& s = cfg.ec71Meters[size_t(k - 1)];
            // A single meter serves every cell, whatever its range says.
            const int from = n == 1 ? 1 : s.firstCell;
            const int to = n == 1 ? cfg.Cells : s.lastCell;
            EC71MeterOptions o;
            const std::string nr = std::to_string(k);
            o.serialNr = "S" + std::string(4 - nr.size(), '0') + nr;
            o.calibrationPoints = std::clamp(cfg.EC71_NrOfCalibrationPoints, 1, 2);
            auto a = absorbersFor(cfg, lab, from, to, params);
            meters->add({s.port.port, true, k,
                         std::make_shared<EC71Meter>(std::move(o), sourceOf(a), 2000 + uint64_t(k)),
                         a});
        }
    }
    return meters;
}

}  // namespace kv::sim
