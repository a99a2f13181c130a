// The link layer and the command protocol against fake devices in virtual time.

#include <gtest/gtest.h>

#include "device/device_fixture.h"
#include "device/protocol.h"

using namespace kv;
using kvtest::DeviceFixture;
using kvtest::FakeDevice;

namespace {

class LinkTest : public DeviceFixture {
  protected:
    // One data device serving cells 1..6, mapped and answering like a real one.
    std::shared_ptr<FakeDevice> mappedDevice(const std::string& identity = "KLV/USB V1.4.1") {
        auto dev = addDevice("A1B2C3D4", identity);
        dev->setValue("S", "10");
        start();
        map({dataDevice("A1B2C3D4", 1, 6)});
        dev->clearCommands();
        return dev;
    }
    LinkHandle handle() { return list_->handleOf(1); }
    int errorCode() { return list_->device(1).ErrorCode; }
};

TEST(LinkTexts, StatusTextsAndIdentityOrder) {
    EXPECT_EQ(FTStatusText(0), "OK");
    EXPECT_EQ(FTStatusText(4), " - General IO error...");
    EXPECT_EQ(FTStatusText(8), " Device not opened for erase...");
    EXPECT_EQ(FTStatusText(18), " - Communication hangs (USB reset?) ...");
    EXPECT_EQ(FTStatusText(20), "");

    // Plain text order: 1.10 sorts before 1.3 and is refused.
    EXPECT_FALSE(firmwareUsable("KLV/USB V1.10.0"));
    EXPECT_TRUE(firmwareUsable("KLV/USB V1.3.0"));
    EXPECT_FALSE(firmwareUsable("(unknown)"));
    EXPECT_FALSE(sendsAttritionDivider("KLV/USB V1.3.1"));
    EXPECT_TRUE(sendsAttritionDivider("KLV/USB V1.3.2"));
    EXPECT_FALSE(readsTactListWithT("KLV/USB V1.3.2"));
    EXPECT_TRUE(readsTactListWithT("KLV/USB V1.4.1"));
    EXPECT_EQ(activeCellsText(0b1010010), "100101");

    EXPECT_EQ(configCommand("f1", "1"), "f1=1");
    EXPECT_EQ(configCommand("f", "0"), "f0");
    EXPECT_EQ(configCommand("z", ""), "z");
    EXPECT_EQ(extractAnswerValue("xxS=77#S=78#", "S="), "77");
    EXPECT_EQ(extractAnswerValue("S=77", "S="), "");
    EXPECT_EQ(extractAnswerValue("V=1#S=77#", "S="), "");  // a leftover before the answer
}

TEST_F(LinkTest, PacedWritesReadLimitAndZeroByte) {
    auto dev = addDevice("X1");
    start();  // no configured device: every handle is unknown
    const LinkHandle h = list_->usbDevice(1).FTHandle;
    ASSERT_NE(h, kInvalidHandle);

    // Unknown handle: 5 ms after every character.
    const TDateTime t0 = clock_.now();
    EXPECT_EQ(link_->FTWriteChars(h, "Z#"), 2);
    EXPECT_NEAR(msSince(t0), 10.0, 0.01);
    EXPECT_EQ(dev->commands(), std::vector<std::string>{"Z#"});
    EXPECT_EQ(link_->FTReadAll(h), "Z=KLV/USB V1.4.1#");

    dev->push(std::string(6000, 'a'));
    EXPECT_EQ(link_->FTReadAll(h).size(), 4999u);
    EXPECT_EQ(link_->FTReadAll(h).size(), 1001u);
    EXPECT_EQ(link_->FTReadAll(h), "");

    dev->push(std::string("S=1\0#tail", 9));
    EXPECT_EQ(link_->FTReadAll(h), "S=1");

    // A failed write to an unknown handle is counted but never logged.
    dev->setPlugged(false);
    EXPECT_EQ(link_->FTWriteChars(h, "S#"), -1);
    EXPECT_EQ(log().find("FT.DLL/FT_Write"), std::string::npos);
    EXPECT_EQ(link_->get_FTDeviceCount(), 0);
    EXPECT_EQ(link_->get_FTSerialNr(1), "n/a");
    EXPECT_EQ(link_->FTOpenByIndex(1), kInvalidHandle);
}

TEST_F(LinkTest, ErrorStateIsSetOnceAndClearedByData) {
    auto dev = mappedDevice();
    list_->update(1, [](TKLVDeviceListEntry& e) { e.DelayInFT_Read = 7; });
    const TDateTime t0 = clock_.now();
    link_->FTWriteChars(handle(), "S#");
    EXPECT_NEAR(msSince(t0), 14.0, 0.01);  // the device's own pause
    EXPECT_EQ(link_->FTReadAll(handle()), "S=10#");

    dev->setPlugged(false);
    EXPECT_EQ(link_->FTWriteChars(handle(), "S#"), -1);
    EXPECT_EQ(errorCode(), FT_IO_ERROR);
    link_->FTWriteChars(handle(), "S#");
    size_t n = 0;
    for (size_t p = log().find("FT.DLL/FT_Write"); p != std::string::npos;
         p = log().find("FT.DLL/FT_Write", p + 1))
        ++n;
    EXPECT_EQ(n, 1u);  // logged once, not per character or per call
    EXPECT_NE(log().find(" - General IO error...: Cell 1-6\\ [A1B2C3D4/"), std::string::npos);

    // The sim handle stays dead after a replug; the state is cleared through a new one.
    dev->setPlugged(true);
    list_->update(1, [](TKLVDeviceListEntry& e) { e.ErrorCode = 4; });
    dev->push("junk");
    EXPECT_EQ(link_->FTReadAll(handle()), "");
    EXPECT_EQ(errorCode(), 4);

    list_->USB_ReOpen(1, "A1B2C3D4");
    list_->update(1, [](TKLVDeviceListEntry& e) { e.ErrorCode = 4; });
    dev->push("S=5#");
    EXPECT_EQ(link_->FTReadAll(handle()), "junkS=5#");  // nothing the device sent is lost
    EXPECT_EQ(errorCode(), 0);
    EXPECT_NE(log().find("FT.DLL/FT_Read"), std::string::npos);
    EXPECT_NE(log().find(": SUCCESS after FAILURE"), std::string::npos);
}

TEST_F(LinkTest, GetAnswerExtractsRetriesAndMarksSilence) {
    auto dev = mappedDevice();
    int sRequests = 0;
    dev->setHook([&](const std::string& cmd, FakeDevice& d) -> std::string {
        if (cmd == "S#") return ++sRequests < 3 ? "S=77" : "xxS=77#S=78#";
        if (cmd == "F3#") return "F3=#";  // empty value counts as no answer
        return d.standardAnswer(cmd);
    });
    EXPECT_EQ(proto_->tactCounter(handle()), "77");
    EXPECT_EQ(sRequests, 3);  // two answers without "#" were retried
    EXPECT_EQ(errorCode(), 0);

    // Silence: 11 attempts, error state 4 with one log line.
    EXPECT_EQ(proto_->queueCount(handle()), "");
    EXPECT_EQ(dev->count("F3#"), 11);
    EXPECT_EQ(errorCode(), 4);
    EXPECT_NE(log().find("Command: F3#, ReRead: F3= - General IO error..."), std::string::npos);

    // The next good answer clears the state.
    EXPECT_EQ(proto_->identity(handle()), "KLV/USB V1.4.1");
    EXPECT_EQ(errorCode(), 0);

    // mA readings never put the device into error.
    EXPECT_EQ(proto_->currentInput(handle(), 2), "");
    EXPECT_EQ(dev->count("C2#"), 11);
    EXPECT_EQ(errorCode(), 0);

    // A silent device costs 11 x (request length + 2) pauses.
    const TDateTime t0 = clock_.now();
    proto_->deviceSetting(handle(), "W");
    EXPECT_NEAR(msSince(t0), 11 * 4 * 5.0, 0.01);
}

TEST_F(LinkTest, SetConfigFramingReadBackAndErrorState) {
    auto dev = mappedDevice();
    proto_->setQueueField(handle(), 1, 1);
    proto_->clearQueue(handle());
    proto_->storeConfig(handle());
    proto_->setInit(handle(), 1);
    proto_->enableCurrentInput(handle(), 3);
    proto_->setDeviceSetting(handle(), 'e', 5);
    EXPECT_EQ(dev->commands(), (std::vector<std::string>{"f1=1#", "F1#", "f0#", "z#", "i1#", "I#",
                                                         "c31#", "e5#", "E#"}));
    EXPECT_EQ(errorCode(), 0);

    // A device that keeps reporting another value: 11 writes, log line, state 4.
    dbg().usb = true;
    dev->setHook([](const std::string& cmd, FakeDevice& d) -> std::string {
        if (cmd == "T3#") return "T3=4#";
        return d.standardAnswer(cmd);
    });
    dev->clearCommands();
    proto_->setCellTact(handle(), 3, 5);
    EXPECT_EQ(dev->count("t3=5#"), 11);
    EXPECT_EQ(dev->count("T3#"), 11);
    EXPECT_NE(log().find("Error writing t3=5#, value reread: >4<"), std::string::npos);
    EXPECT_EQ(errorCode(), 4);

    // From now on nothing is written to it.
    const long before = dev->bytesIn();
    proto_->storeConfig(handle());
    proto_->setCellActive(handle(), 1, true);
    EXPECT_EQ(dev->bytesIn(), before);

    // Nor to a handle that belongs to no configured device.
    const long before2 = dev->bytesIn();
    proto_->setConfig(12345, "z", "", false);
    EXPECT_EQ(dev->bytesIn(), before2);
}

TEST_F(LinkTest, NonNumericReadBackNeverMatches) {
    auto dev = mappedDevice();
    dev->setHook([](const std::string& cmd, FakeDevice& d) -> std::string {
        if (cmd == "A1#") return "A1=on#";
        return d.standardAnswer(cmd);
    });
    proto_->setCellActive(handle(), 1, true);
    EXPECT_EQ(dev->count("a1=1#"), 11);
    EXPECT_EQ(errorCode(), 4);
}

}  // namespace
