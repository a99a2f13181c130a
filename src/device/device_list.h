#pragma once
// The two lists that connect the configuration to the hardware: the attached FTDI devices
// as the link enumerates them (all opened at start-up), and the configured measuring
// devices, each bound to an attached one by its FTDI serial number. Also the lookups the
// rest of the program uses (device by handle, by cell, by case) and the devices' full names.
// The command sequences that configure a cell live with the cell table (TCells), which
// holds the device's I/O lock around them.
//
// Built and changed on the window thread (start-up, device check, configuration dialog),
// read by the acquisition thread: every access goes through one mutex, which is never held
// during device I/O. Readers get copies; writers change an entry through update().

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/config.h"
#include "device/ftlink.h"
#include "device/protocol.h"

namespace kv {

// One attached FTDI device.
struct TUSBDeviceListEntry {
    std::string SerialNr = "n/a";
    LinkHandle FTHandle = kInvalidHandle;
    std::string Description = "n/a";
    long LocID = -1;
    std::string spare;
};

// One configured measuring device ("USBDevice-" + n).
struct TKLVDeviceListEntry {
    int iUSBDeviceList = 0;  // matching attached device, 0 = not found
    std::string SerialNr;
    LinkHandle FTHandle = kInvalidHandle;
    int DelayInFT_Write = 5;  // ms, kept for the configuration only
    int DelayInFT_Read = 5;   // ms, pause per character and before reading an answer
    DeviceType Type = DeviceType::None;
    int Case = 0;
    bool Master = false;
    int physCellNr_From = 0, physCellNr_To = 0;
    int logCellNr_From = 0, logCellNr_To = 0;  // shown cell numbers
    std::string logName;
    bool bPresent = false;
    int ErrorCode = 0;  // link error state; 2 = not found at start-up
    int lastErrorCode = 0;
    int actUSBErrorCount = 0;
    int maxUSBErrorCount = 1;
    double O2_correctionFactor = 1.0;   // "O2-correctionFactor"
    double CO2_correctionFactor = 1.0;  // "CO2-correctionFactor"
    std::string Message;
    bool bErrorMsgSuppressed = false;
    std::string AppName;  // identity, the answer to Z#
    int lastTactNr = 0;
    TDateTime lastTactTime = 0;
    double lastTemp = NoValueReal;
    double curTemp = NoValueReal;
    int emptyAnswerCount = 0;
    // Back after being reported lost: not read by the acquisition until the
    // resynchronisation has run (set and cleared by the device check).
    bool needsResync = false;
    // Consecutive ticks whose answer held no readable value record, and whether the operator
    // has been told of this episode (the device check shows the device in error meanwhile).
    int unreadableTicks = 0;
    bool unreadableReported = false;
    // The acquisition found more unacknowledged tacts in the queue than it reads back: the
    // device check resynchronises the device, which reads them all.
    bool resyncRequested = false;
    // A tact number that did not follow from the last one (back, or far ahead): taken only
    // when the next record goes on from it (a restarted device), -1 when there is none.
    int suspectTact = -1;
    TDateTime suspectTime = 0;
};

using TKLVDeviceList = std::vector<TKLVDeviceListEntry>;  // [0] is device 1

// The device check's error limit of a device. A limit below 1 would report every healthy
// device as "back" at every check and resynchronise without end.
inline int usbErrorLimit(const TKLVDeviceListEntry& e) {
    return e.maxUSBErrorCount > 1 ? e.maxUSBErrorCount : 1;
}
// A device that was reported lost and answers again, but has not been resynchronised yet:
// its queue holds the outage, which reading and acknowledging its values would discard.
inline bool awaitingResync(const TKLVDeviceListEntry& e) {
    return e.needsResync || e.resyncRequested ||
           (e.ErrorCode == 0 && e.actUSBErrorCount >= usbErrorLimit(e));
}

// "O2-data", "Case", "CO2-data"; the number for any other type.
std::string deviceTypeName(DeviceType type);

class DeviceList : public LinkDeviceLookup {
  public:
    // Registers itself as the link's device lookup. The third argument is no longer used
    // (the cell sequences that set the configuration flag moved to TCells); it stays until
    // every caller has dropped it.
    DeviceList(FTLink& link, DeviceProtocol& protocol,
               std::atomic<bool>* /*unusedConfigCmdFlag*/ = nullptr);
    ~DeviceList() override;
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    FTLink& link() { return link_; }
    DeviceProtocol& protocol() { return proto_; }

    // --- building and changing the lists (window thread) ---------------------------------
    // n = 0: enumerate and open every attached device. n > 0: refresh entry n only.
    void USB_Init(int n);
    // The device part of the configuration load: binds each configured device to an
    // attached one, sets its line, asks its identity (and a data device's tact counter),
    // reports missing and restarted devices, and dumps both lists. USB_Init(0) first.
    struct MappingResult {
        // lastTemp of the (last) case control device: the system's current temperature.
        std::optional<double> currentTemperature;
    };
    MappingResult mapDevices(const Config& cfg);
    // Re-finds the device with serial s and opens it again as attached device a. The
    // previous handle is closed first.
    void USB_ReOpen(int a, const std::string& serial);
    // Final commands to the devices (f0# to data devices, a# to CO2 devices), then every
    // handle closed.
    void Close_HW();
    // Both lists to the debug log; enabled false writes nothing.
    void dumpDeviceList(bool enabled);
    // The device state the configuration's state save writes: lastTactNr, lastTactTime
    // and a case control device's current temperature (as lastTemp).
    void writeBackState(Config& cfg) const;

    // --- reading ----------------------------------------------------------------------------
    int nUSBDevices() const;  // -1 when enumeration failed
    int nDevices() const;
    TUSBDeviceListEntry usbDevice(int i) const;  // 1-based; a default entry when out of range
    TKLVDeviceListEntry device(int d) const;     // 1-based; a default entry when out of range
    TKLVDeviceList devices() const;
    LinkHandle handleOf(int d) const;
    // Changes device d under the list's lock; f must not talk to devices.
    void update(int d, const std::function<void(TKLVDeviceListEntry&)>& f);

    // Lookups; 0 when none. Cells are physical cell numbers.
    int deviceByHandle(LinkHandle h) const;
    int dataDeviceByCell(int cell, bool presentOnly) const;
    int co2DeviceByCell(int cell, bool presentOnly) const;
    int caseDeviceByCase(int caseNr, bool presentOnly) const;
    // "Cell 1-6\Case 2", with address " [A1B2C3D4/7]"; "(unknown?)" for no device.
    std::string fullName(int d, bool withAddress) const;
    std::string fullNameByHandle(LinkHandle h, bool withAddress) const;

    // --- device commands of start-up -----------------------------------------------------
    // i<value> with read-back to every present data device; their lastTactNr becomes 0.
    void sendInitToDataDevices(int value);
    // s# to every data device (those not present or in error are skipped by the link).
    void sendSToDataDevices();

    // --- LinkDeviceLookup ----------------------------------------------------------------
    int linkPauseMs(LinkHandle h) const override;
    int linkErrorState(LinkHandle h) const override;
    void setLinkErrorState(LinkHandle h, int state) override;
    std::string linkFullName(LinkHandle h) const override;

  private:
    // Attached device i as the link describes it, opened; the log line of the enumeration.
    TUSBDeviceListEntry openAttached(int i);
    int deviceByHandleLocked(LinkHandle h) const;
    int deviceByCellLocked(DeviceType type, int cell, bool presentOnly) const;
    std::string fullNameLocked(int d, bool withAddress) const;
    std::vector<int> presentOfType(DeviceType type) const;
    void reportOverflowOnce(bool& reported, const char* key, const char* def, int count);

    FTLink& link_;
    DeviceProtocol& proto_;

    mutable std::mutex mutex_;
    int nUSBDevices_ = 0;
    std::vector<TUSBDeviceListEntry> usb_;  // [0] is entry 1
    TKLVDeviceList dev_;
    int firstCell_ = 1;
    int firstCase_ = 1;
    int ftBaudrate_ = 115200;
    bool reportedUsbOverflow_ = false;
    bool reportedDeviceOverflow_ = false;
};

}  // namespace kv
