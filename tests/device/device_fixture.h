#pragma once
// A lab of fake devices behind the sim backend, in virtual time, with the debug log in a
// temporary folder.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/debuglog.h"
#include "app/messages.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "device/device_list.h"
#include "device/fake_device.h"
#include "support/temp_dir.h"

namespace kvtest {

class DeviceFixture : public ::testing::Test {
  protected:
    DeviceFixture() : clock_(kv::encodeDateTime(2026, 3, 1, 8)), scoped_(clock_) {
        kv::debugLog().open(dir_.file("t.Dbg"));
    }
    ~DeviceFixture() override {
        kv::debugLog().close();
        kv::dbg().ft = false;
        kv::dbg().usb = false;
        kv::dbg().general = false;
    }

    std::shared_ptr<FakeDevice> addDevice(const std::string& serial,
                                          const std::string& identity = "KLV/USB V1.4.1") {
        auto d = std::make_shared<FakeDevice>(serial, identity);
        devices_.push_back(d);
        return d;
    }
    // Builds link, protocol and list over the devices added so far and enumerates them.
    void start() {
        std::vector<std::shared_ptr<kv::sim::SimPort>> ports(devices_.begin(), devices_.end());
        list_.reset();  // the list refers to the link it replaces
        proto_.reset();
        link_ = std::make_unique<kv::FTLink>(kv::makeSimBackend(ports));
        proto_ = std::make_unique<kv::DeviceProtocol>(*link_);
        list_ = std::make_unique<kv::DeviceList>(*link_, *proto_);
        list_->USB_Init(0);
    }
    static kv::UsbDeviceSettings dataDevice(const std::string& serial, int from, int to,
                                            int caseNr = 1) {
        kv::UsbDeviceSettings s;
        s.SerialNr = serial;
        s.Type = kv::DeviceType::Data;
        s.Case = caseNr;
        s.physCellNr_From = from;
        s.physCellNr_To = to;
        return s;
    }
    static kv::UsbDeviceSettings otherDevice(const std::string& serial, kv::DeviceType type,
                                             int caseNr) {
        kv::UsbDeviceSettings s;
        s.SerialNr = serial;
        s.Type = type;
        s.Case = caseNr;
        return s;
    }
    void map(std::vector<kv::UsbDeviceSettings> devices) {
        cfg_.devices = std::move(devices);
        list_->mapDevices(cfg_);
    }

    std::string log() const { return readFile(dir_.file("t.Dbg")); }
    static bool hasMessage(const std::string& text) {
        for (const auto& l : kv::messageList().newestFirst())
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    double msSince(kv::TDateTime t0) { return (clock_.now() - t0) * 86400000.0; }

    TempDir dir_;
    kv::ManualClock clock_;
    kv::ScopedClock scoped_;
    std::vector<std::shared_ptr<FakeDevice>> devices_;
    std::unique_ptr<kv::FTLink> link_;
    std::unique_ptr<kv::DeviceProtocol> proto_;
    std::unique_ptr<kv::DeviceList> list_;
    kv::Config cfg_;
};

}  // namespace kvtest
