#include "device/device_list.h"

#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/numtext.h"

namespace kv {

namespace {

const std::string kStars = "  ************************";
const std::string kDashes(98, '-');

bool logGeneral() {
    return dbg().general.load();
}

}  // namespace

std::string deviceTypeName(DeviceType type) {
    switch (type) {
        case DeviceType::Data:
            return "O2-data";
        case DeviceType::Case:
            return "Case";
        case DeviceType::CO2:
            return "CO2-data";
        default:
            return num(toInt(type));
    }
}

DeviceList::DeviceList(FTLink& link, DeviceProtocol& protocol, std::atomic<bool>*)
    : link_(link), proto_(protocol) {
    link_.setLookup(this);
}

DeviceList::~DeviceList() {
    if (link_.lookup() == this) link_.setLookup(nullptr);
}

void DeviceList::reportOverflowOnce(bool& reported, const char* key, const char* def, int count) {
    {
        std::lock_guard lock(mutex_);
        if (reported) return;
        reported = true;
    }
    const std::string msg = GetTextFmt("uMain", key, def, num(count));
    AddMsg(msg, true);
    WriteDbg("USB-HW", msg);
}

// ---------------------------------------------------------------------------------------
// Enumeration

TUSBDeviceListEntry DeviceList::openAttached(int i) {
    TUSBDeviceListEntry e;
    e.SerialNr = link_.get_FTSerialNr(i);
    e.Description = link_.get_FTDescription(i);
    e.LocID = link_.get_FTLocID(i);
    e.FTHandle = link_.FTOpenByIndex(i);
    WriteDbg("USB-HW",
             "  USBDeviceList[" + num(i) + "].SerialNr / FTHandle=" + e.SerialNr + " / " +
                 num(e.FTHandle),
             logGeneral());
    return e;
}

void DeviceList::USB_Init(int n) {
    WriteDbg("USB-HW", "Start Kelvora.USB_Init(" + num(n) + ")", logGeneral());
    if (n > 0) {
        LinkHandle old = kInvalidHandle;
        {
            std::lock_guard lock(mutex_);
            if (n > static_cast<int>(usb_.size())) return;
            old = usb_[static_cast<size_t>(n - 1)].FTHandle;
        }
        // Opening the device again while the old handle lives would hold it twice.
        if (old != kInvalidHandle) link_.FTClose(old);
        TUSBDeviceListEntry e = openAttached(n);
        std::lock_guard lock(mutex_);
        if (n <= static_cast<int>(usb_.size())) usb_[static_cast<size_t>(n - 1)] = e;
        return;
    }

    // Handles of an earlier enumeration that are still open are released first.
    std::vector<LinkHandle> stale;
    {
        std::lock_guard lock(mutex_);
        for (auto& e : usb_)
            if (e.FTHandle != kInvalidHandle) stale.push_back(e.FTHandle);
        usb_.clear();
        nUSBDevices_ = 0;
    }
    for (LinkHandle h : stale) link_.FTClose(h);

    const int count = link_.get_FTDeviceCount();
    WriteDbg("USB_Init", "get_FTDeviceCount returns nUSBDevices=" + num(count));
    if (count > kMaxDevices)
        reportOverflowOnce(reportedUsbOverflow_, "TooManyUSBDevices",
                           "%s USB devices attached, only the first 40 are used !", count);
    const int used = std::min(count, kMaxDevices);
    std::vector<TUSBDeviceListEntry> list;
    for (int i = 1; i <= used; ++i) list.push_back(openAttached(i));
    std::lock_guard lock(mutex_);
    usb_ = std::move(list);
    nUSBDevices_ = count < 0 ? -1 : used;
}

// ---------------------------------------------------------------------------------------
// Mapping

namespace {

std::string makeLogName(const TKLVDeviceListEntry& d, int firstCase) {
    switch (d.Type) {
        case DeviceType::Data:
            return "Cell " + num(d.logCellNr_From) + "-" + num(d.logCellNr_To);
        case DeviceType::CO2:
            return "CO2 " + num(d.logCellNr_From) + "-" + num(d.logCellNr_To);
        default:
            return "Case " + num(d.Case + firstCase - 1);
    }
}

TKLVDeviceListEntry entryFromSettings(const UsbDeviceSettings& s, int firstCell, int firstCase) {
    TKLVDeviceListEntry d;
    d.SerialNr = s.SerialNr;
    d.Type = s.Type;
    d.Case = s.Case;
    d.Master = s.Master;
    d.O2_correctionFactor = s.O2CorrectionFactor;
    d.CO2_correctionFactor = s.CO2CorrectionFactor;
    d.physCellNr_From = s.physCellNr_From;
    d.physCellNr_To = s.physCellNr_To;
    d.logCellNr_From = s.physCellNr_From + firstCell - 1;
    d.logCellNr_To = s.physCellNr_To + firstCell - 1;
    d.DelayInFT_Write = s.DelayInFT_Write;
    d.DelayInFT_Read = s.DelayInFT_Read;
    d.maxUSBErrorCount = s.maxUSBErrorCount;
    d.logName = makeLogName(d, firstCase);
    d.lastTactNr = s.lastTactNr;
    d.lastTactTime = s.lastTactTime;
    if (s.Type == DeviceType::Case) {
        d.lastTemp = s.lastTemp;
        d.curTemp = s.lastTemp;
    }
    return d;
}

}  // namespace

DeviceList::MappingResult DeviceList::mapDevices(const Config& cfg) {
    MappingResult result;
    const bool logG = logGeneral();
    const int configured = static_cast<int>(cfg.devices.size());
    const int n = std::min(configured, kMaxDevices);
    WriteDbg("KLV/USB", "Kelvora.Init", logG);
    WriteDbg("KLV/USB", "Kelvora.nDevices=" + num(configured), logG);
    if (configured > kMaxDevices)
        reportOverflowOnce(reportedDeviceOverflow_, "TooManyDevices",
                           "%s devices configured, only the first 40 are used !", configured);

    std::vector<TUSBDeviceListEntry> usb;
    {
        std::lock_guard lock(mutex_);
        firstCell_ = cfg.firstCell;
        firstCase_ = cfg.firstCase;
        ftBaudrate_ = cfg.FT_Baudrate;
        dev_.clear();
        usb = usb_;
    }

    for (int d = 1; d <= n; ++d) {
        TKLVDeviceListEntry e = entryFromSettings(cfg.devices[static_cast<size_t>(d - 1)],
                                                  cfg.firstCell, cfg.firstCase);
        // Exact, case-sensitive serial comparison; with several matches the last one wins.
        for (int j = 1; j <= static_cast<int>(usb.size()); ++j) {
            const auto& u = usb[static_cast<size_t>(j - 1)];
            if (e.SerialNr.empty() || u.SerialNr != e.SerialNr) continue;
            e.iUSBDeviceList = j;
            link_.FTSetLine(u.FTHandle, e.Type == DeviceType::Data ? cfg.FT_Baudrate : 9600);
            if (e.Type == DeviceType::CO2) proto_.sendE(u.FTHandle);
        }
        e.bPresent = e.iUSBDeviceList != 0;
        if (e.bPresent) e.FTHandle = usb[static_cast<size_t>(e.iUSBDeviceList - 1)].FTHandle;
        if (e.Type == DeviceType::Case) result.currentTemperature = e.lastTemp;
        {
            // Entered before the exchanges so the link finds its pause and error state.
            std::lock_guard lock(mutex_);
            dev_.push_back(e);
        }
        if (e.bPresent) {
            const std::string id = proto_.identity(e.FTHandle);
            update(d, [&](TKLVDeviceListEntry& x) { x.AppName = id; });
            WriteDbg("KLV/USB", "  Kelvora.Devices[" + num(d) + "].AppName=" + id, logG);
            WriteDbg("KLV/USB", kStars, logG);
        } else {
            const std::string msg =
                GetTextFmt("uMain", "DeviceNotFound", "Device for %s (SerialNr=%s) not found !",
                           e.logName, e.SerialNr);
            AddMsg(msg, true);
            WriteDbg("KLV/USB", "  Kelvora.Devices[" + num(d) + "]/Message=" + msg, logG);
            update(d, [&](TKLVDeviceListEntry& x) {
                x.ErrorCode = FT_DEVICE_NOT_FOUND;
                x.Message = "Startup: " + msg;
            });
        }
        if (e.bPresent && e.Type == DeviceType::Data) {
            // Only a number can say the device restarted; silence says nothing about it.
            const int tact = textToInt(proto_.tactCounter(e.FTHandle));
            if (!isNoValue(tact) && tact < e.lastTactNr) {
                const std::string msg =
                    GetTextFmt("uMain", "DeviceTactSmallerStored",
                               "Device for cells %s restarted - data loss possible !", e.logName);
                AddMsg(msg, true);
                WriteDbg("KLV/USB", "  Kelvora.Devices[" + num(d) + "]/Message=" + msg, logG);
                update(d, [&](TKLVDeviceListEntry& x) { x.lastTactNr = tact; });
            }
        }
    }
    if (cfg.CDM_Present)
        for (int d : presentOfType(DeviceType::CO2)) proto_.sendA(handleOf(d));
    dumpDeviceList(true);
    return result;
}

void DeviceList::USB_ReOpen(int a, const std::string& serial) {
    WriteDbg("USB-HW", "ReOpen Kelvora.USB_Device-" + num(a));
    LinkHandle old = kInvalidHandle;
    int baud = 115200;
    {
        std::lock_guard lock(mutex_);
        if (a < 1 || a > nUSBDevices_) return;
        old = usb_[static_cast<size_t>(a - 1)].FTHandle;
        baud = ftBaudrate_;
    }
    const int count = link_.get_FTDeviceCount();
    WriteDbg("USB_ReOpen", "get_FTDeviceCount returns nDevs=" + num(count));
    int found = 0;
    for (int j = 1; j <= count; ++j)
        if (link_.get_FTSerialNr(j) == serial) found = j;
    if (found == 0) return;

    // The old handle is closed first: a kept descriptor would hold the device twice and
    // leak one handle per re-open over a long run.
    if (old != kInvalidHandle) link_.FTClose(old);
    TUSBDeviceListEntry e;
    e.SerialNr = link_.get_FTSerialNr(found);
    e.Description = link_.get_FTDescription(found);
    e.LocID = link_.get_FTLocID(found);
    e.FTHandle = link_.FTOpenByIndex(found);

    // Every configured device with this serial follows, so none keeps the closed handle.
    std::vector<std::pair<int, TKLVDeviceListEntry>> bound;
    {
        std::lock_guard lock(mutex_);
        if (a <= static_cast<int>(usb_.size())) usb_[static_cast<size_t>(a - 1)] = e;
        for (size_t k = 0; k < dev_.size(); ++k) {
            auto& d = dev_[k];
            if (d.SerialNr != serial) continue;
            d.iUSBDeviceList = a;
            d.FTHandle = e.FTHandle;
            d.bPresent = true;
            bound.emplace_back(static_cast<int>(k + 1), d);
        }
    }
    WriteDbg("USB-HW", "ReOpen: USBDeviceList[" + num(a) + "].SerialNr / FTHandle=" + e.SerialNr +
                           " / " + num(e.FTHandle));
    for (const auto& [k, d] : bound) {
        link_.FTSetLine(e.FTHandle, d.Type == DeviceType::Data ? baud : 9600);
        WriteDbg("USB-HW", "ReOpen: KLVDevices[" + num(k) + "].SerialNr=" + serial);
        WriteDbg("USB-HW", "ReOpen: KLVDevices[" + num(k) + "].logName=" + d.logName);
    }
}

void DeviceList::Close_HW() {
    WriteDbg("HW/USB", "Kelvora.Close_HW", logGeneral());
    for (int d : presentOfType(DeviceType::Data)) proto_.clearQueue(handleOf(d));
    for (int d : presentOfType(DeviceType::CO2)) proto_.sendA(handleOf(d));
    std::vector<TUSBDeviceListEntry> usb;
    {
        std::lock_guard lock(mutex_);
        usb = usb_;
    }
    for (size_t i = 0; i < usb.size(); ++i) {
        WriteDbg("HW/USB",
                 "  closing USBDeviceList[" + num(static_cast<long>(i + 1)) +
                     "], FTHandle=" + num(usb[i].FTHandle),
                 logGeneral());
        if (usb[i].FTHandle != kInvalidHandle) link_.FTClose(usb[i].FTHandle);
    }
    // Closed handles are forgotten so that a new enumeration does not close them again.
    std::lock_guard lock(mutex_);
    for (auto& e : usb_) e.FTHandle = kInvalidHandle;
}

void DeviceList::dumpDeviceList(bool enabled) {
    if (!enabled) return;
    std::vector<TUSBDeviceListEntry> usb;
    TKLVDeviceList dev;
    std::vector<std::string> names;
    {
        std::lock_guard lock(mutex_);
        usb = usb_;
        dev = dev_;
        for (size_t d = 1; d <= dev_.size(); ++d)
            names.push_back(fullNameLocked(static_cast<int>(d), true));
    }
    const char* cu = "KLV/USBDeviceList";
    WriteDbg(cu, kStars);
    for (size_t i = 0; i < usb.size(); ++i) {
        const std::string p = "  USBDevices[" + num(static_cast<long>(i + 1)) + "]";
        WriteDbg(cu, p + ".Description=" + usb[i].Description);
        WriteDbg(cu, p + ".SerialNr=" + usb[i].SerialNr);
        WriteDbg(cu, p + ".FTHandle=" + num(usb[i].FTHandle));
        WriteDbg(cu, kDashes);
    }
    WriteDbg(cu, kStars);
    WriteDbg(cu, "");

    const char* cd = "KLV/DeviceList";
    WriteDbg(cd, kStars);
    for (size_t i = 0; i < dev.size(); ++i) {
        const auto& d = dev[i];
        const std::string p = "  Kelvora.Devices[" + num(static_cast<long>(i + 1)) + "]";
        WriteDbg(cd, p + ".fullName=" + names[i]);
        WriteDbg(cd, p + ".logName=" + d.logName);
        WriteDbg(cd, p + ".SerialNr=" + d.SerialNr);
        WriteDbg(cd, p + ".iUSBDeviceList=" + num(d.iUSBDeviceList));
        WriteDbg(cd, p + ".FTHandle=" + num(d.FTHandle));
        WriteDbg(cd, p + ".Type=" + deviceTypeName(d.Type));
        WriteDbg(
            cd, p + ".physCellNr_From/To=" + num(d.physCellNr_From) + " / " + num(d.physCellNr_To));
        WriteDbg(cd,
                 p + ".logCellNr_From/To=" + num(d.logCellNr_From) + " / " + num(d.logCellNr_To));
        WriteDbg(cd, p + ".CO2-correctionFactor=" + realToText(d.CO2_correctionFactor, 0, -8));
        WriteDbg(cd, kDashes);
    }
    WriteDbg(cd, kStars);
    WriteDbg(cd, "");
}

void DeviceList::writeBackState(Config& cfg) const {
    std::lock_guard lock(mutex_);
    const size_t n = std::min(dev_.size(), cfg.devices.size());
    for (size_t i = 0; i < n; ++i) {
        auto& s = cfg.devices[i];
        const auto& d = dev_[i];
        s.lastTactNr = d.lastTactNr;
        s.lastTactTime = d.lastTactTime;
        if (d.Type == DeviceType::Case && !isNoValue(d.curTemp)) s.lastTemp = d.curTemp;
    }
}

// ---------------------------------------------------------------------------------------
// Reading

int DeviceList::nUSBDevices() const {
    std::lock_guard lock(mutex_);
    return nUSBDevices_;
}
int DeviceList::nDevices() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(dev_.size());
}
TUSBDeviceListEntry DeviceList::usbDevice(int i) const {
    std::lock_guard lock(mutex_);
    if (i < 1 || i > static_cast<int>(usb_.size())) return {};
    return usb_[static_cast<size_t>(i - 1)];
}
TKLVDeviceListEntry DeviceList::device(int d) const {
    std::lock_guard lock(mutex_);
    if (d < 1 || d > static_cast<int>(dev_.size())) return {};
    return dev_[static_cast<size_t>(d - 1)];
}
TKLVDeviceList DeviceList::devices() const {
    std::lock_guard lock(mutex_);
    return dev_;
}
LinkHandle DeviceList::handleOf(int d) const {
    std::lock_guard lock(mutex_);
    if (d < 1 || d > static_cast<int>(dev_.size())) return kInvalidHandle;
    return dev_[static_cast<size_t>(d - 1)].FTHandle;
}
void DeviceList::update(int d, const std::function<void(TKLVDeviceListEntry&)>& f) {
    std::lock_guard lock(mutex_);
    if (d < 1 || d > static_cast<int>(dev_.size())) return;
    f(dev_[static_cast<size_t>(d - 1)]);
}

int DeviceList::deviceByHandleLocked(LinkHandle h) const {
    if (h == kInvalidHandle) return 0;
    for (size_t i = 0; i < dev_.size(); ++i)
        if (dev_[i].FTHandle == h) return static_cast<int>(i + 1);
    return 0;
}
int DeviceList::deviceByHandle(LinkHandle h) const {
    std::lock_guard lock(mutex_);
    return deviceByHandleLocked(h);
}

int DeviceList::deviceByCellLocked(DeviceType type, int cell, bool presentOnly) const {
    for (size_t i = 0; i < dev_.size(); ++i) {
        const auto& d = dev_[i];
        if (d.Type != type || (presentOnly && !d.bPresent)) continue;
        if (cell >= d.physCellNr_From && cell <= d.physCellNr_To) return static_cast<int>(i + 1);
    }
    return 0;
}
int DeviceList::dataDeviceByCell(int cell, bool presentOnly) const {
    std::lock_guard lock(mutex_);
    return deviceByCellLocked(DeviceType::Data, cell, presentOnly);
}
int DeviceList::co2DeviceByCell(int cell, bool presentOnly) const {
    std::lock_guard lock(mutex_);
    return deviceByCellLocked(DeviceType::CO2, cell, presentOnly);
}
int DeviceList::caseDeviceByCase(int caseNr, bool presentOnly) const {
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < dev_.size(); ++i) {
        const auto& d = dev_[i];
        if (d.Type == DeviceType::Case && d.Case == caseNr && (!presentOnly || d.bPresent))
            return static_cast<int>(i + 1);
    }
    return 0;
}

std::string DeviceList::fullNameLocked(int d, bool withAddress) const {
    if (d < 1 || d > static_cast<int>(dev_.size())) return "(unknown?)";
    const auto& e = dev_[static_cast<size_t>(d - 1)];
    std::string name = e.logName;
    if (e.Type == DeviceType::Data || e.Type == DeviceType::CO2) {
        name += "\\";
        for (const auto& c : dev_)
            if (c.Type == DeviceType::Case && c.Case == e.Case) {
                name += c.logName;
                break;
            }
    }
    if (withAddress) name += " [" + e.SerialNr + "/" + num(e.FTHandle) + "]";
    return name;
}
std::string DeviceList::fullName(int d, bool withAddress) const {
    std::lock_guard lock(mutex_);
    return fullNameLocked(d, withAddress);
}
std::string DeviceList::fullNameByHandle(LinkHandle h, bool withAddress) const {
    std::lock_guard lock(mutex_);
    return fullNameLocked(deviceByHandleLocked(h), withAddress);
}

std::vector<int> DeviceList::presentOfType(DeviceType type) const {
    std::lock_guard lock(mutex_);
    std::vector<int> r;
    for (size_t i = 0; i < dev_.size(); ++i)
        if (dev_[i].Type == type && dev_[i].bPresent) r.push_back(static_cast<int>(i + 1));
    return r;
}

// ---------------------------------------------------------------------------------------
// LinkDeviceLookup

int DeviceList::linkPauseMs(LinkHandle h) const {
    std::lock_guard lock(mutex_);
    const int d = deviceByHandleLocked(h);
    if (d == 0) return FTLink::kDefaultPauseMs;
    return std::max(0, dev_[static_cast<size_t>(d - 1)].DelayInFT_Read);
}
int DeviceList::linkErrorState(LinkHandle h) const {
    std::lock_guard lock(mutex_);
    const int d = deviceByHandleLocked(h);
    return d == 0 ? -1 : dev_[static_cast<size_t>(d - 1)].ErrorCode;
}
void DeviceList::setLinkErrorState(LinkHandle h, int state) {
    std::lock_guard lock(mutex_);
    const int d = deviceByHandleLocked(h);
    if (d != 0) dev_[static_cast<size_t>(d - 1)].ErrorCode = state;
}
std::string DeviceList::linkFullName(LinkHandle h) const {
    return fullNameByHandle(h, true);
}

// ---------------------------------------------------------------------------------------
// Device commands

void DeviceList::sendInitToDataDevices(int value) {
    for (int d : presentOfType(DeviceType::Data)) {
        proto_.setInit(handleOf(d), value);
        update(d, [](TKLVDeviceListEntry& e) { e.lastTactNr = 0; });
    }
}

void DeviceList::sendSToDataDevices() {
    std::vector<LinkHandle> handles;
    {
        std::lock_guard lock(mutex_);
        for (const auto& d : dev_)
            if (d.Type == DeviceType::Data) handles.push_back(d.FTHandle);
    }
    for (LinkHandle h : handles) proto_.sendS(h);
}

}  // namespace kv
