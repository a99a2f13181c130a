#pragma once
// The acquisition in virtual time: a manual clock, devices behind the sim backend (scripted
// ones for exact value records, the virtual lab for realistic runs), the device list, the
// whole acquisition subsystem and a fake rows collection. The debug log goes to a
// temporary folder.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "app/debuglog.h"
#include "app/messages.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "device/device_list.h"
#include "sim/lab.h"
#include "support/command_device.h"
#include "support/temp_dir.h"

namespace kvtest {

// A data device whose value record the test writes; it answers V1# with that record and
// may be made silent (commands are still recorded).
class ScriptedDevice : public CommandDevice {
  public:
    explicit ScriptedDevice(std::string serial, std::string identity = "KLV/USB V1.4.1")
        : CommandDevice(std::move(serial), std::move(identity), 0x200) {}

    // The answer to V1# (complete with ";nCC;" unless the test says otherwise).
    void setRecord(const std::string& answer) {
        std::lock_guard lock(mutex_);
        record_ = answer;
    }
    // "cv=<tact>;<impulses>;<out of range>;63;<queued>;512 x6;0;<manometer> x6#;nCC;\r\n";
    // queued 1: the device queues nothing but the record's own tact.
    static std::string record(int tact, int impulses, int manometer = 200, int outOfRange = 0,
                              int queued = 1) {
        std::string s = "cv=" + std::to_string(tact) + ";" + std::to_string(impulses) + ";" +
                        std::to_string(outOfRange) + ";63;" + std::to_string(queued);
        for (int k = 0; k < 6; ++k) s += ";512";
        s += ";0";
        for (int k = 0; k < 6; ++k) s += ";" + std::to_string(manometer);
        return s + "#;nCC;\r\n";
    }
    void setSilent(bool on) {
        std::lock_guard lock(mutex_);
        silent_ = on;
    }
    // Called with every complete command as it arrives (under the device's lock).
    void setOnCommand(std::function<void(const std::string&)> f) {
        std::lock_guard lock(mutex_);
        onCommand_ = std::move(f);
    }

  private:
    std::string answerLocked(const std::string& cmd) override {
        if (onCommand_) onCommand_(cmd);
        if (silent_) return {};
        return cmd == "V1#" ? record_ : standardAnswer(cmd);
    }

    bool silent_ = false;
    std::string record_;
    std::function<void(const std::string&)> onCommand_;
};

// The rows as the cell model sees them. The alarm suspends the cell like a row without CO2.
class FakeRows : public kv::RowLookup {
  public:
    std::optional<kv::RowInfo> findRow(int uniqueNr) const override {
        std::lock_guard lock(mutex_);
        const auto it = rows_.find(uniqueNr);
        if (it == rows_.end()) return std::nullopt;
        return it->second;
    }
    void suspendCellForAlarm(int uniqueNr, int cell) override {
        {
            std::lock_guard lock(mutex_);
            suspended_.emplace_back(uniqueNr, cell);
        }
        if (cells_) cells_->SuspendCell(cell, true, false);
    }
    void set(int uniqueNr, kv::RowInfo info) {
        std::lock_guard lock(mutex_);
        rows_[uniqueNr] = std::move(info);
    }
    void erase(int uniqueNr) {
        std::lock_guard lock(mutex_);
        rows_.erase(uniqueNr);
    }
    std::vector<std::pair<int, int>> suspended() const {
        std::lock_guard lock(mutex_);
        return suspended_;
    }
    kv::TCells* cells_ = nullptr;

  private:
    mutable std::mutex mutex_;
    std::map<int, kv::RowInfo> rows_;
    std::vector<std::pair<int, int>> suspended_;
};

inline kv::RowInfo runningRow(const std::string& name, int tactSeconds = 30) {
    kv::RowInfo r;
    r.name = name;
    r.state = kv::RowState::Running;
    r.tactSeconds = tactSeconds;
    return r;
}

inline kv::UsbDeviceSettings deviceSettings(const std::string& serial, kv::DeviceType type,
                                            int from, int to, int caseNr = 1, int maxErrors = 1) {
    kv::UsbDeviceSettings s;
    s.SerialNr = serial;
    s.Type = type;
    s.Case = caseNr;
    s.physCellNr_From = from;
    s.physCellNr_To = to;
    s.maxUSBErrorCount = maxErrors;
    return s;
}

class AcqTest : public ::testing::Test {
  protected:
    AcqTest() : clock_(kv::encodeDateTime(2026, 3, 2, 8, 0, 0)), scoped_(clock_) {
        kv::debugLog().open(dir_.file("t.Dbg"));
        kv::messageList().deleteAll();
        cfg_.Cells = 12;
    }
    ~AcqTest() override {
        if (acq_) acq_->stopTimers();
        acq_.reset();
        list_.reset();
        proto_.reset();
        link_.reset();
        kv::debugLog().close();
        kv::dbg().usbData = false;
        kv::dbg().cells = false;
        kv::dbg().mmTimerInt = false;
    }

    // Links the ports, maps the configured devices and builds the acquisition over them;
    // every cell is initialised as the configuration load does it.
    void build(std::vector<std::shared_ptr<kv::sim::SimPort>> ports,
               std::vector<kv::UsbDeviceSettings> devices) {
        cfg_.devices = std::move(devices);
        // A rebuild drops the previous objects first: each refers to the one below it.
        acq_.reset();
        list_.reset();
        proto_.reset();
        link_.reset();
        link_ = std::make_unique<kv::FTLink>(kv::makeSimBackend(std::move(ports)));
        proto_ = std::make_unique<kv::DeviceProtocol>(*link_);
        list_ = std::make_unique<kv::DeviceList>(*link_, *proto_, &flags_.configCmdInProgress);
        list_->USB_Init(0);
        list_->mapDevices(cfg_);
        acq_ = std::make_unique<kv::Acquisition>(cfg_, *list_, flags_.refs(), status_, dir_.path());
        rows_.cells_ = &acq_->cells;
        acq_->cells.setRowLookup(&rows_);
        for (int i = 1; i <= kv::kMaxCells; ++i) acq_->cells.InitCell(i);
        tickTime_ = clock_.now();
    }
    std::shared_ptr<ScriptedDevice> scripted(const std::string& serial,
                                             const std::string& identity = "KLV/USB V1.4.1") {
        auto d = std::make_shared<ScriptedDevice>(serial, identity);
        d->setRecord(ScriptedDevice::record(0, 0));
        return d;
    }

    // Maps cell i to row r and starts it (no waiting for zero unless asked).
    void startCell(int i, int rowNr, int zeroNeeded = 0) {
        acq_->cells.MapCellToRow(i, rowNr);
        acq_->cells.StartCell(i, 0, zeroNeeded, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal,
                              0, 0, 250);
    }

    // One tick at the next period boundary of virtual time.
    void tick() {
        tickTime_ += cfg_.mmTimerInt / 86400000.0;
        if (clock_.now() < tickTime_) clock_.set(tickTime_);
        acq_->cycle.mmTimerCallback();
    }
    void check() { acq_->check.DeviceCheckTimerTimer(); }
    void advanceSec(double s) { clock_.advanceMs(s * 1000.0); }

    kv::TCells& cells() { return acq_->cells; }
    kv::TKLVDeviceListEntry device(int d) const { return list_->device(d); }
    std::string log() const { return readFile(dir_.file("t.Dbg")); }
    static int countIn(const std::string& text, const std::string& what) {
        int n = 0;
        for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
        return n;
    }
    static bool hasMessage(const std::string& text) {
        for (const auto& l : kv::messageList().newestFirst())
            if (l.find(text) != std::string::npos) return true;
        return false;
    }

    TempDir dir_;
    kv::ManualClock clock_;
    kv::ScopedClock scoped_;
    kv::Config cfg_;
    kv::RunFlagSet flags_;
    kv::HeadlessStatusOutput status_;
    FakeRows rows_;
    std::unique_ptr<kv::FTLink> link_;
    std::unique_ptr<kv::DeviceProtocol> proto_;
    std::unique_ptr<kv::DeviceList> list_;
    std::unique_ptr<kv::Acquisition> acq_;
    kv::TDateTime tickTime_ = 0;
};

}  // namespace kvtest
