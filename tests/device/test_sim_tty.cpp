// The whole device link through the tty backend against kelvora-sim on pseudo-terminals,
// in real time: enumeration by serial, identity, tact counter, a tact set with read-back,
// a value record, and an unplugged device found again.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "common/numtext.h"
#include "device/device_list.h"
#include "support/sim_process.h"
#include "support/temp_dir.h"

using namespace kv;
using kvtest::SimProcess;
using kvtest::simProgram;
using kvtest::TempDir;

namespace {

bool waitUntil(const std::function<bool()>& ok) {
    for (int i = 0; i < 100; ++i) {
        if (ok()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

TEST(SimOverTty, EnumerateOpenExchangeAndReplug) {
    const std::string program = simProgram();
    // The suite's own build makes the program: missing, it is a failure, never a skip.
    ASSERT_TRUE(std::filesystem::exists(program)) << "kelvora-sim missing: " << program;
    TempDir dir;
    debugLog().open(dir.file("t.Dbg"));
    kvtest::writeFile(dir.file("lab.ini"),
                      "[Device KLV0001]\nSerial=KLV0001\nType=1\nVersion=KLV/USB V1.4.1\n"
                      "Cell1=active tact=1 rate=2\n\n"
                      "[Device CASE001]\nSerial=CASE001\nType=2\nTemp=21.5\n");
    SimProcess sim;
    ASSERT_TRUE(sim.start(program, dir.file("lab.ini"), dir.file("byid")));

    IniFile ini(dir.file("Kelvora.Ini"));
    ini.writeString("FT232R", "Backend", "tty");
    ini.writeString("FT232R", "ByIdDir", dir.file("byid"));
    FTLink link(makeBackendFromConfig(ini));
    EXPECT_EQ(link.backend().name(), "tty");
    DeviceProtocol proto(link);
    DeviceList list(link, proto);

    list.USB_Init(0);
    ASSERT_EQ(list.nUSBDevices(), 2);
    EXPECT_EQ(list.usbDevice(1).SerialNr, "CASE001");  // sorted by link name
    EXPECT_EQ(list.usbDevice(2).SerialNr, "KLV0001");
    EXPECT_EQ(list.usbDevice(2).Description, "FT232R USB UART");
    EXPECT_GT(list.usbDevice(2).LocID, 0);

    Config cfg;
    UsbDeviceSettings data;
    data.SerialNr = "KLV0001";
    data.Type = DeviceType::Data;
    data.Case = 1;
    data.physCellNr_From = 1;
    data.physCellNr_To = 6;
    data.DelayInFT_Read = 10;  // generous: the machine may be busy
    UsbDeviceSettings caseDev;
    caseDev.SerialNr = "CASE001";
    caseDev.Type = DeviceType::Case;
    caseDev.Case = 1;
    caseDev.DelayInFT_Read = 10;
    cfg.devices = {data, caseDev};
    list.mapDevices(cfg);

    const LinkHandle h = list.handleOf(1);
    EXPECT_EQ(list.device(1).AppName, "KLV/USB V1.4.1");
    EXPECT_EQ(list.device(1).ErrorCode, 0);
    EXPECT_GE(textToInt(proto.tactCounter(h)), 0);
    const int temp = textToInt(proto.caseTemperature(list.handleOf(2)));
    EXPECT_GT(temp, 150);  // tenths of a degree
    EXPECT_LT(temp, 300);

    proto.setCellTact(h, 2, 10);
    EXPECT_EQ(list.device(1).ErrorCode, 0);
    EXPECT_EQ(proto.getAnswer(h, "T2#", "T2="), "10");

    proto.sendValueRequest(h, "V1#");
    std::string record;
    waitUntil([&] {
        record += link.FTReadAll(h);
        return record.find(";nCC") != std::string::npos;
    });
    EXPECT_NE(record.find("cv="), std::string::npos) << record;
    proto.acknowledgeRecord(h);

    // Unplugged: the link drops the handle; replugged: re-opened by serial number.
    EXPECT_EQ(sim.command("unplug KLV0001").substr(0, 2), "ok");
    EXPECT_EQ(proto.identity(h), "");
    EXPECT_EQ(list.device(1).ErrorCode, 4);
    EXPECT_EQ(sim.command("replug KLV0001").substr(0, 2), "ok");
    ASSERT_TRUE(waitUntil([&] { return link.get_FTDeviceCount() == 2; }));
    list.USB_ReOpen(list.device(1).iUSBDeviceList, "KLV0001");
    list.update(1, [](TKLVDeviceListEntry& e) { e.ErrorCode = 0; });
    EXPECT_NE(list.handleOf(1), h);
    EXPECT_EQ(proto.identity(list.handleOf(1)), "KLV/USB V1.4.1");

    list.Close_HW();
    debugLog().close();
}

}  // namespace
