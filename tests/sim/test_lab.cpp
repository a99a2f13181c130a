// The lab description, the fault commands, and the case control and CO2 devices.

#include <gtest/gtest.h>

#include "sim/lab.h"
#include "sim_test_util.h"

using kvtest::answerValue;
using kvtest::ask;

namespace {

class LabTest : public kvtest::VirtualTimeTest {};

TEST_F(LabTest, DescriptionBuildsDevices) {
    auto l = lab(R"(
; a small lab
[Lab]
Seed=9
[Device]
Serial=KLV-D1
Type=1
Version=KLV/USB V1.3.2   ; older firmware
Description=Kelvora O2
LocId=0x2211
Cell1=active tact=10 divider=3 lower=100 upper=900 rate=1.5
[Device KLV-C1]
Type=2
Temp=20
Drift=0
[Device KLV-X1]
Type=3
Cell2=raw=700 slope=10 min=100
)");
    ASSERT_TRUE(l);
    ASSERT_EQ(l->ports().size(), 3u);
    auto* d = l->dataDevice("KLV-D1");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->description(), "Kelvora O2");
    EXPECT_EQ(d->locId(), 0x2211);
    EXPECT_EQ(d->version(), "KLV/USB V1.3.2");
    EXPECT_EQ(d->storedCellConfig(1).divider, 3);
    EXPECT_EQ(ask(*d, "T1#") + ask(*d, "L1#") + ask(*d, "A#"), "T1=10#L1=100#A=2#");
    EXPECT_EQ(l->find("KLV-C1")->type(), kv::DeviceType::Case);
    EXPECT_EQ(l->caseDevice("KLV-C1")->description(), "FT232R USB UART");
    EXPECT_EQ(l->caseDevice("KLV-C1")->locId(), 0x1002);  // default: position in the lab
    EXPECT_EQ(l->dataDevice("KLV-C1"), nullptr);
    EXPECT_EQ(l->find("klv-d1"), nullptr);  // serial numbers are case-sensitive
}

TEST_F(LabTest, BadDescriptionsAreRefusedWithTheLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"[Device A]\nColour=red\n", "line 2: unknown key 'colour'"},
        {"[Device A]\nType=4\n", "line 2: Type must be 1, 2 or 3"},
        {"[Device A]\n[Device A]\n", "line 2: serial number 'A' is empty or used twice"},
        {"[Device]\nType=1\n", "line 1: serial number '' is empty or used twice"},
        {"[Device A]\nCell1=rate=fast\n", "line 1: Cell1: bad value for rate: 'fast'"},
        {"[Device A]\nCell3=tact=-1\n", "line 1: Cell3: bad cell entry 'tact=-1'"},
        {"[Devices]\n", "line 1: unknown section [Devices]"},
        {"Type=1\n", "line 1: key outside a section"},
        {"[Device A]\njust words\n", "line 2: expected key=value"},
    };
    for (const auto& [text, message] : cases) {
        std::string error;
        EXPECT_EQ(kv::sim::Lab::fromText(text, &error), nullptr) << text;
        EXPECT_EQ(error, message) << text;
    }
    std::string error;
    EXPECT_EQ(kv::sim::Lab::fromFile("/nonexistent/lab.ini", &error), nullptr);
    EXPECT_FALSE(error.empty());
    // The example shipped with the sources stays usable.
    auto example = kv::sim::Lab::fromFile(KELVORA_SOURCE_DIR "/src/sim/example-lab.ini", &error);
    ASSERT_TRUE(example) << error;
    EXPECT_EQ(example->ports().size(), 4u);
}

TEST_F(LabTest, FaultCommandsBySerial) {
    auto l = lab("[Device D1]\n[Device C1]\nType=2\nTemp=21\nDrift=0\n");
    auto& d = *l->dataDevice("D1");
    EXPECT_EQ(l->command("silence D1 10"), "ok");
    EXPECT_EQ(ask(d, "Z#"), "");
    EXPECT_EQ(l->command("speak D1"), "ok");
    EXPECT_EQ(ask(d, "Z#"), "Z=KLV/USB V1.4.1#");
    EXPECT_EQ(l->command("slow D1 150"), "ok");
    EXPECT_EQ(d.linkFaults().delayMs, 150);
    EXPECT_EQ(l->command("drop D1 0.5"), "ok");
    EXPECT_DOUBLE_EQ(d.linkFaults().dropProb, 0.5);
    EXPECT_EQ(l->command("clear D1"), "ok");
    EXPECT_EQ(d.linkFaults().delayMs, 0);
    EXPECT_EQ(l->command("stuck D1 2"), "ok");
    advanceSec(3);
    EXPECT_LT(d.manometerValue(2), 10);
    EXPECT_EQ(l->command("adc D1 1 1000"), "ok");
    advanceSec(3);
    EXPECT_EQ(d.adcValue(1), 1000);
    // A firmware's garbled records and extra fields.
    EXPECT_EQ(l->command("fields D1 2"), "ok");
    EXPECT_NE(ask(d, "V1#").find(";7;14#"), std::string::npos);
    EXPECT_EQ(l->command("garble D1 1"), "ok");
    EXPECT_NE(ask(d, "V1#").find(";?"), std::string::npos);
    EXPECT_EQ(ask(d, "V1#").find(";?"), std::string::npos);
    EXPECT_EQ(l->command("garble D1 x"), "error: garble needs a record count");
    EXPECT_EQ(l->command("temp C1 25.5"), "ok");
    EXPECT_EQ(ask(*l->caseDevice("C1"), "T2#"), "T2=255#");
    EXPECT_EQ(l->command("unplug C1"), "ok");
    EXPECT_EQ(l->status("C1"), "C1 type=2 unplugged temp=25.500000");

    EXPECT_EQ(l->command("unplug NOPE"), "error: unknown serial NOPE");
    EXPECT_EQ(l->command("drop D1 2"), "error: drop needs a probability");
    EXPECT_EQ(l->command("skip C1 2"), "error: C1 is not a data device");
    EXPECT_EQ(l->command("stuck D1 7"), "error: stuck needs a cell 1..6");
    EXPECT_EQ(l->command("restart"), "error: restart needs a serial number");
    EXPECT_TRUE(l->command("jump D1").starts_with("error: unknown command 'jump'"));
    EXPECT_EQ(l->command("  "), "error: empty command");
}

TEST_F(LabTest, ImpulsesCommandGivesTheGroundTruth) {
    auto l =
        lab("[Device D1]\nCell1=active tact=1 rate=20 settle=0\nCell3=active tact=1 rate=9\n"
            "[Device C1]\nType=2\n");
    auto& d = *l->dataDevice("D1");
    const kv::TDateTime start = now();
    advanceSec(60);
    const kv::TDateTime half = start + 31.5 * kv::kSecond;  // between two tacts
    advanceSec(60);
    ASSERT_GT(d.impulses(1), d.impulsesBetween(1, 0, half));
    auto expected = [&](auto count) {
        std::string s = "D1 impulses=";
        for (int k = 1; k <= 6; ++k) s += (k > 1 ? ";" : "") + std::to_string(count(k));
        return s;
    };
    EXPECT_EQ(l->command("impulses D1"), expected([&](int k) { return d.impulses(k); }));
    EXPECT_EQ(l->command("impulses D1 " + std::to_string(half)),
              expected([&](int k) { return d.impulsesBetween(k, 0, half); }));
    EXPECT_TRUE(l->command("impulses C1").starts_with("error: C1 is not a data device"));
    EXPECT_TRUE(l->command("impulses D1 soon").starts_with("error: impulses takes a date-time"));
    EXPECT_TRUE(l->command("impulses").starts_with("error: usage"));
}

TEST_F(LabTest, CaseTemperatureDriftsSlowly) {
    auto l =
        lab("[Device C1]\nType=2\nVersion=KLV/USB V1.4.1\nTemp=21.5\nDrift=0.4\nDriftHours=8\n");
    auto& c = *l->caseDevice("C1");
    EXPECT_EQ(ask(c, "Z#"), "Z=KLV/USB V1.4.1#");
    EXPECT_EQ(ask(c, "T2#"), "T2=215#");
    advanceSec(2 * 3600);  // a quarter of the swing: the top
    EXPECT_EQ(ask(c, "T2#"), "T2=219#");
    int lo = 1000, hi = 0, last = 0, maxStep = 0;
    for (int i = 0; i < 200; ++i) {
        advanceSec(360);
        const int t = std::stoi(answerValue(ask(c, "T2#"), "T2"));
        if (i) maxStep = std::max(maxStep, std::abs(t - last));
        lo = std::min(lo, t);
        hi = std::max(hi, t);
        last = t;
    }
    EXPECT_EQ(lo, 211);
    EXPECT_EQ(hi, 219);
    EXPECT_LE(maxStep, 1);                        // a tenth per 6 minutes at most
    EXPECT_EQ(ask(c, "S#") + ask(c, "V1#"), "");  // not a data device
}

TEST_F(LabTest, Co2RawValuesAndRelays) {
    auto l = lab("[Device X1]\nType=3\nCell1=raw=800 slope=10 min=500\nCell6=raw=300\n");
    auto& x = *l->co2Device("X1");
    EXPECT_EQ(ask(x, "T#"), "T=800;800;800;800;800;300#");
    ask(x, "g#");
    advanceSec(3600);
    EXPECT_EQ(ask(x, "T#"), "T=800;800;800;800;800;300#");  // still the latched reading
    ask(x, "g#");
    EXPECT_EQ(ask(x, "T#"), "T=790;800;800;800;800;300#");
    advanceSec(100 * 3600);
    ask(x, "g#");
    EXPECT_EQ(answerValue(ask(x, "T#"), "T").substr(0, 4), "500;");  // absorber spent
    EXPECT_EQ(x.readings(), 3);

    ask(x, "c3#");
    ask(x, "c5#");
    EXPECT_EQ(x.relayMask(), 0b10100);
    ask(x, "b3#");
    EXPECT_TRUE(x.relayOn(5));
    EXPECT_FALSE(x.relayOn(3));
    ask(x, "a#");
    EXPECT_EQ(x.relayMask(), 0);
    EXPECT_EQ(ask(x, "e#") + ask(x, "l#") + ask(x, "m#") + ask(x, "c9#"), "");
    EXPECT_EQ(x.commandCount("l"), 1);
}

}  // namespace
