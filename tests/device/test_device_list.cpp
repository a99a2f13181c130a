// The device list: binding configured devices to attached ones, lookups and names, start-up
// commands, re-opening and shutdown, two threads on the link at once, and the guard of the
// configuration-command flag.

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "device/config_cmd_guard.h"
#include "device/device_fixture.h"

using namespace kv;
using kvtest::DeviceFixture;
using kvtest::FakeDevice;

namespace {

using DeviceListTest = DeviceFixture;

TEST_F(DeviceListTest, MappingBySerialNamesAndLookups) {
    auto a = addDevice("A1B2C3D4");
    auto c = addDevice("CASE0001");
    a->setValue("S", "120");
    start();
    cfg_.firstCell = 101;
    cfg_.firstCase = 1;
    auto late = dataDevice("a1b2c3d4", 13, 18);  // letter case differs: not the same device
    auto second = dataDevice("A1B2C3D4", 7, 12, 2);
    second.lastTactNr = 100;
    map({dataDevice("A1B2C3D4", 1, 6, 2), second, otherDevice("CASE0001", DeviceType::Case, 2),
         late});

    // The same serial twice: both bound to the same attached device and handle.
    const auto d1 = list_->device(1), d2 = list_->device(2);
    EXPECT_EQ(d1.iUSBDeviceList, 1);
    EXPECT_EQ(d2.iUSBDeviceList, 1);
    EXPECT_EQ(d1.FTHandle, d2.FTHandle);
    EXPECT_EQ(d1.AppName, "KLV/USB V1.4.1");
    EXPECT_EQ(a->count("Z#"), 2);

    // Shown numbers, names and lookups.
    EXPECT_EQ(d2.logName, "Cell 107-112");
    EXPECT_EQ(list_->dataDeviceByCell(9, true), 2);
    EXPECT_EQ(list_->dataDeviceByCell(3, true), 1);
    EXPECT_EQ(list_->dataDeviceByCell(15, true), 0);
    EXPECT_EQ(list_->dataDeviceByCell(15, false), 4);
    EXPECT_EQ(list_->device(3).logName, "Case 2");
    EXPECT_EQ(list_->caseDeviceByCase(2, true), 3);
    EXPECT_EQ(list_->fullName(1, false), "Cell 101-106\\Case 2");
    EXPECT_EQ(list_->fullName(3, true),
              "Case 2 [CASE0001/" + std::to_string(list_->handleOf(3)) + "]");
    EXPECT_EQ(list_->fullName(4, false), "Cell 113-118\\");  // no case control device 1
    EXPECT_EQ(list_->fullNameByHandle(9999, true), "(unknown?)");
    EXPECT_EQ(list_->deviceByHandle(d1.FTHandle), 1);
    EXPECT_EQ(list_->deviceByHandle(kInvalidHandle), 0);

    // Not found: message, error state 2, never talked to.
    const auto d4 = list_->device(4);
    EXPECT_FALSE(d4.bPresent);
    EXPECT_EQ(d4.ErrorCode, 2);
    EXPECT_EQ(d4.Message, "Startup: Device for Cell 113-118 (SerialNr=a1b2c3d4) not found !");
    EXPECT_TRUE(hasMessage("Device for Cell 113-118 (SerialNr=a1b2c3d4) not found !"));

    // The device counts 120, more than the stored 100: no restart.
    EXPECT_EQ(list_->device(2).lastTactNr, 100);

    // The dump, always written at the end of the mapping.
    const std::string l = log();
    EXPECT_NE(l.find("{KLV/DeviceList}"), std::string::npos);
    EXPECT_NE(l.find("  Kelvora.Devices[2].logName=Cell 107-112"), std::string::npos);
    EXPECT_NE(l.find("  Kelvora.Devices[2].physCellNr_From/To=7 / 12"), std::string::npos);
    EXPECT_NE(l.find("  Kelvora.Devices[2].logCellNr_From/To=107 / 112"), std::string::npos);
    EXPECT_NE(l.find("  Kelvora.Devices[3].Type=Case"), std::string::npos);
    EXPECT_NE(l.find("  Kelvora.Devices[1].CO2-correctionFactor=1"), std::string::npos);
    EXPECT_NE(l.find("  USBDevices[2].SerialNr=CASE0001"), std::string::npos);
    EXPECT_NE(l.find(std::string(98, '-')), std::string::npos);
    EXPECT_NE(l.find("get_FTDeviceCount returns nUSBDevices=2"), std::string::npos);
}

TEST_F(DeviceListTest, RestartedDeviceAndStateWriteBack) {
    auto a = addDevice("A1");
    auto c = addDevice("C1");
    auto co2 = addDevice("G1");
    a->setValue("S", "40");
    start();
    auto data = dataDevice("A1", 1, 6);
    data.lastTactNr = 500;
    auto caseDev = otherDevice("C1", DeviceType::Case, 1);
    caseDev.lastTemp = 20.5;
    cfg_.CDM_Present = true;
    map({data, caseDev, otherDevice("G1", DeviceType::CO2, 1)});

    EXPECT_EQ(list_->device(1).lastTactNr, 40);
    EXPECT_TRUE(hasMessage("Device for cells Cell 1-6 restarted - data loss possible !"));
    EXPECT_EQ(list_->device(2).curTemp, 20.5);
    // CO2 devices: e# when matched, a# with a CDM.
    EXPECT_EQ(co2->commands(), (std::vector<std::string>{"e#", "Z#", "a#"}));

    list_->update(1, [](TKLVDeviceListEntry& e) {
        e.lastTactNr = 77;
        e.lastTactTime = 46000.5;
    });
    list_->update(2, [](TKLVDeviceListEntry& e) { e.curTemp = 21.25; });
    list_->writeBackState(cfg_);
    EXPECT_EQ(cfg_.devices[0].lastTactNr, 77);
    EXPECT_EQ(cfg_.devices[0].lastTactTime, 46000.5);
    EXPECT_EQ(cfg_.devices[2].lastTactNr, 0);
    EXPECT_EQ(cfg_.devices[1].lastTemp, 21.25);

    // A silent S# says nothing about a restart: the stored counter stays.
    auto b = addDevice("B1");
    b->setHook([](const std::string& cmd, FakeDevice& d) -> std::string {
        return cmd == "S#" ? std::string() : d.standardAnswer(cmd);
    });
    start();
    data.SerialNr = "B1";
    map({data});
    EXPECT_EQ(list_->device(1).lastTactNr, 500);
    EXPECT_EQ(list_->device(1).ErrorCode, 4);
}

TEST_F(DeviceListTest, StartupCommandsToDataDevices) {
    auto a = addDevice("A1");
    auto g = addDevice("G1");
    a->setValue("S", "0");
    start();
    map({dataDevice("A1", 1, 6), otherDevice("G1", DeviceType::CO2, 1), dataDevice("X9", 7, 12)});
    // i to present data devices resets their counters, s to all data devices.
    list_->update(1, [](TKLVDeviceListEntry& e) { e.lastTactNr = 9; });
    a->clearCommands();
    g->clearCommands();
    list_->sendInitToDataDevices(0);
    list_->sendSToDataDevices();
    EXPECT_EQ(a->commands(), (std::vector<std::string>{"i0#", "I#", "s#"}));
    EXPECT_TRUE(g->commands().empty());
    EXPECT_EQ(list_->device(1).lastTactNr, 0);
}

// Two sequences that overlap (the window thread configures a cell while the device check
// resynchronises): the flag stays set until both have ended, whichever ends first.
TEST(ConfigCmdGuard, OverlappingHoldersKeepTheFlagUntilTheLastEnds) {
    std::atomic<bool> flag{false};
    auto first = std::make_unique<ConfigCmdGuard>(flag);
    EXPECT_TRUE(flag.load());
    {
        ConfigCmdGuard second(flag);
        first.reset();  // the first one ends while the second still runs
        EXPECT_TRUE(flag.load());
        EXPECT_EQ(ConfigCmdGuard::holders(flag), 1);
        {
            ConfigCmdGuard nested(flag);
            EXPECT_EQ(ConfigCmdGuard::holders(flag), 2);
        }
        EXPECT_TRUE(flag.load());
    }
    EXPECT_FALSE(flag.load());
    EXPECT_EQ(ConfigCmdGuard::holders(flag), 0);
    std::atomic<bool> other{false};  // each flag counts its own holders
    {
        ConfigCmdGuard g(other);
        EXPECT_FALSE(flag.load());
    }

    // Two threads taking and leaving the guard in turn: the flag is set whenever one holds it.
    std::atomic<int> clearWhileHeld{0};
    auto worker = [&] {
        for (int n = 0; n < 2000; ++n) {
            ConfigCmdGuard g(flag);
            if (!flag.load()) ++clearWhileHeld;
        }
    };
    std::thread t1(worker), t2(worker);
    t1.join();
    t2.join();
    EXPECT_EQ(clearWhileHeld.load(), 0);
    EXPECT_FALSE(flag.load());
}

TEST_F(DeviceListTest, ReOpenAfterUnplugAndCloseHW) {
    auto a = addDevice("A1");
    auto g = addDevice("G1");
    start();
    map({dataDevice("A1", 1, 6), otherDevice("G1", DeviceType::CO2, 1)});
    const LinkHandle h0 = list_->handleOf(1);

    a->setPlugged(false);
    EXPECT_EQ(proto_->identity(h0), "");
    EXPECT_EQ(list_->device(1).ErrorCode, 4);
    list_->USB_ReOpen(1, "A1");  // not attached: nothing changes
    EXPECT_EQ(list_->handleOf(1), h0);

    a->setPlugged(true);
    list_->USB_ReOpen(1, "A1");
    const LinkHandle h1 = list_->handleOf(1);
    EXPECT_NE(h1, h0);
    EXPECT_EQ(list_->usbDevice(1).FTHandle, h1);
    EXPECT_TRUE(link_->FTClose(h0));  // the old handle was already closed
    EXPECT_NE(log().find("ReOpen: KLVDevices[1].logName=Cell 1-6"), std::string::npos);
    list_->update(1, [](TKLVDeviceListEntry& e) { e.ErrorCode = 0; });
    EXPECT_EQ(proto_->identity(h1), "KLV/USB V1.4.1");

    a->clearCommands();
    g->clearCommands();
    list_->Close_HW();
    EXPECT_EQ(a->commands(), std::vector<std::string>{"f0#"});
    EXPECT_EQ(g->commands(), std::vector<std::string>{"a#"});
    EXPECT_EQ(link_->FTWriteChars(h1, "Z#"), -1);  // closed
}

TEST_F(DeviceListTest, OnlyFortyDevicesAreUsed) {
    for (int i = 1; i <= 42; ++i) addDevice("S" + std::to_string(i));
    start();
    EXPECT_EQ(list_->nUSBDevices(), 40);
    EXPECT_EQ(list_->usbDevice(40).SerialNr, "S40");
    EXPECT_TRUE(hasMessage("42 USB devices attached, only the first 40 are used !"));
    const size_t before = messageList().newestFirst().size();
    list_->USB_Init(0);
    EXPECT_EQ(messageList().newestFirst().size(), before);  // reported once

    std::vector<UsbDeviceSettings> many;
    for (int i = 1; i <= 41; ++i)
        many.push_back(otherDevice("S" + std::to_string(i), DeviceType::Case, i));
    map(many);
    EXPECT_EQ(list_->nDevices(), 40);
    EXPECT_TRUE(hasMessage("41 devices configured, only the first 40 are used !"));
}

// Run under ThreadSanitizer: the acquisition thread and the window thread on the link.
TEST_F(DeviceListTest, TwoThreadsOnTheLink) {
    auto a = addDevice("A1");
    auto b = addDevice("B1");
    a->setValue("S", "1");
    b->setValue("S", "2");
    start();
    map({dataDevice("A1", 1, 6), dataDevice("B1", 7, 12)});

    // Different devices at the same time: each gets its own answers.
    std::atomic<int> wrong{0};
    auto poll = [&](int d, const char* expect, int rounds) {
        for (int i = 0; i < rounds; ++i) {
            if (proto_->tactCounter(list_->handleOf(d)) != expect) ++wrong;
            list_->update(d, [](TKLVDeviceListEntry& e) { ++e.lastTactNr; });
        }
    };
    std::thread t1(poll, 1, "1", 200), t2(poll, 2, "2", 200);
    t1.join();
    t2.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(list_->device(1).lastTactNr, 200);

    // One thread re-opens device 2 while the other polls it: answers or clean failures.
    std::atomic<bool> stop{false};
    std::thread poller([&] {
        while (!stop.load()) {
            const LinkHandle h = list_->handleOf(2);
            link_->FTWriteChars(h, "S#");
            link_->FTReadAll(h);
            list_->device(2);
        }
    });
    for (int i = 0; i < 50; ++i) list_->USB_ReOpen(2, "B1");
    stop = true;
    poller.join();
    list_->update(2, [](TKLVDeviceListEntry& e) { e.ErrorCode = 0; });
    EXPECT_EQ(proto_->tactCounter(list_->handleOf(2)), "2");
    EXPECT_EQ(list_->usbDevice(2).FTHandle, list_->handleOf(2));
}

}  // namespace
