// The simulated data device against the command language the program speaks.

#include <gtest/gtest.h>

#include "common/strutil.h"
#include "sim/data_device.h"
#include "sim/lab.h"
#include "sim_test_util.h"
#include "support/temp_dir.h"

using kv::sim::DataDevice;
using kvtest::answerValue;
using kvtest::ask;

namespace {

class DataDeviceTest : public kvtest::VirtualTimeTest {
  protected:
    // Reads the whole queue in O# blocks, acknowledging each, and counts impulses per cell.
    std::string drainQueue(DataDevice& d) {
        std::string all;
        for (int guard = 0; guard < 100000; ++guard) {
            const std::string block = answerValue(ask(d, "O#"), "O");
            if (block.empty()) break;
            ask(d, "o#");
            all += block;
        }
        return all;
    }
};

TEST_F(DataDeviceTest, CommandsAndReadBacks) {
    auto l = lab("[Device D1]\nType=1\nVersion=KLV/USB V1.4.1\n");
    DataDevice& d = *l->dataDevice("D1");
    EXPECT_EQ(ask(d, "Z#"), "Z=KLV/USB V1.4.1#");
    EXPECT_EQ(ask(d, "S#"), "S=0#");

    // Activation sequence as setConfig writes it, each followed by its read-back.
    EXPECT_EQ(ask(d, "t3=5#"), "");
    EXPECT_EQ(ask(d, "T3#"), "T3=5#");
    ask(d, "h3=2#");
    EXPECT_EQ(ask(d, "H3#"), "H3=2#");
    ask(d, "a3=1#");
    EXPECT_EQ(ask(d, "A3#"), "A3=1#");
    EXPECT_EQ(ask(d, "b3=0#"), "");
    EXPECT_EQ(ask(d, "A#"), "A=8#");  // bit k for cell k; bit 0 unused
    EXPECT_EQ(ask(d, "T#"), "T=0;0;5;0;0;0#");

    // The current input: "c31" switches the ADC reading to C3#, "c3=0" switches it off.
    ask(d, "c31#");
    const int adc = std::stoi(answerValue(ask(d, "C3#"), "C3"));
    EXPECT_NEAR(adc, 512, 2);
    // Deactivation sequence with read-backs.
    ask(d, "a3=0#");
    ask(d, "t3=0#");
    ask(d, "c3=0#");
    EXPECT_EQ(ask(d, "A3#") + ask(d, "T3#") + ask(d, "C3#"), "A3=0#T3=0#C3=0#");
    EXPECT_EQ(ask(d, "A#"), "A=0#");

    // Limits and device settings of the edit dialog.
    ask(d, "l2=100#");
    ask(d, "u2=900#");
    EXPECT_EQ(ask(d, "L2#") + ask(d, "U2#"), "L2=100#U2=900#");
    ask(d, "e7#");
    ask(d, "n12#");
    ask(d, "w30#");
    ask(d, "d1#");
    EXPECT_EQ(ask(d, "E#") + ask(d, "N#") + ask(d, "W#") + ask(d, "D#"), "E=7#N=12#W=30#D=1#");
    ask(d, "f1=1#");
    ask(d, "f2=1#");
    ask(d, "f3=0#");
    EXPECT_EQ(ask(d, "F1#") + ask(d, "F2#") + ask(d, "F3#"), "F1=1#F2=1#F3=0#");
    // The master setting comes without "#", and the next command follows it directly.
    d.write("m1");
    EXPECT_EQ(ask(d, "M#"), "M=1#");
    d.write("m0");
    EXPECT_EQ(ask(d, "i0#"), "");
    EXPECT_EQ(ask(d, "M#") + ask(d, "I#"), "M=0#I=0#");

    // Commands it cannot use are ignored without an answer.
    EXPECT_EQ(ask(d, "X#") + ask(d, "t9=5#") + ask(d, "t2=abc#") + ask(d, "#"), "");
    EXPECT_EQ(ask(d, "T#"), "T=0;0;0;0;0;0#");
    EXPECT_EQ(ask(d, "s#") + ask(d, "z#") + ask(d, "l#") + ask(d, "f0#"), "");
    // Commands arrive one character at a time.
    for (char c : std::string("Z#")) d.write(std::string(1, c));
    EXPECT_EQ(d.read(d.queued()), "Z=KLV/USB V1.4.1#");
    EXPECT_EQ(d.commandCount("t3=5"), 1);
}

TEST_F(DataDeviceTest, OlderFirmwareLacksTactListAndDivider) {
    auto l = lab("[Device A]\nVersion=KLV/USB V1.3.0\n[Device B]\nVersion=KLV/USB V1.3.2\n");
    DataDevice& a = *l->dataDevice("A");
    DataDevice& b = *l->dataDevice("B");
    ask(a, "h1=3#");
    ask(b, "h1=3#");
    EXPECT_EQ(ask(a, "H1#"), "");
    EXPECT_EQ(ask(b, "H1#"), "H1=3#");
    EXPECT_EQ(ask(a, "T#") + ask(b, "T#"), "");
    EXPECT_EQ(ask(a, "T1#"), "T1=0#");
}

TEST_F(DataDeviceTest, ValueRecordsByFirmwareAndAcknowledgement) {
    auto l =
        lab("[Device NEW]\nVersion=KLV/USB V1.4.1\nCell1=active tact=1 rate=100\n"
            "[Device OLD]\nVersion=KLV/USB V1.3.0\nCell1=active tact=10\nCell2=active tact=20\n");
    DataDevice& nw = *l->dataDevice("NEW");
    DataDevice& old = *l->dataDevice("OLD");

    EXPECT_TRUE(kv::startsWith(ask(nw, "V1#"), "cv=0;0;0;2;0;"));  // before the first tact
    advanceSec(3);
    const std::string rec = ask(nw, "V1#");
    ASSERT_TRUE(kv::startsWith(rec, "cv=")) << rec;
    EXPECT_NE(rec.find("#;nCC;\r\n"), std::string::npos);
    EXPECT_EQ(rec.find(";T;"), std::string::npos);
    const std::string values = answerValue(rec, "cv");
    const auto fields = kv::split(values, ';');
    ASSERT_EQ(fields.size(), 18u);
    EXPECT_EQ(fields[0], "1");  // tact number
    EXPECT_EQ(fields[1], "1");  // cell 1 dosed: 100 mg/h is far above one impulse per tact
    EXPECT_EQ(fields[2], "0");  // no current out of range
    EXPECT_EQ(fields[3], "2");  // active mask
    EXPECT_LT(std::stoi(std::string(fields[12])), 10);  // cell 1's manometer still closed
    EXPECT_EQ(fields[13], "250");                       // idle cell: fully open

    const std::string oldRec = ask(old, "V1#");
    EXPECT_NE(oldRec.find("#;T;10;20;0;0;0;0;nCC;"), std::string::npos) << oldRec;

    // "o#" after a record drops the acknowledged tacts from the queue; the queue refills.
    advanceSec(12);
    EXPECT_EQ(ask(nw, "F3#"), "F3=5#");
    ask(nw, "V1#");
    ask(nw, "o#");
    EXPECT_EQ(ask(nw, "F3#"), "F3=0#");
    advanceSec(6);
    EXPECT_EQ(ask(nw, "F3#"), "F3=2#");
    // A current outside the configured limits sets the out-of-range bit.
    ask(nw, "l2=600#");
    ask(nw, "u2=900#");
    advanceSec(3);
    const std::string record = answerValue(ask(nw, "V1#"), "cv");
    EXPECT_EQ(kv::split(record, ';')[2], "2");
}

TEST_F(DataDeviceTest, VirtualDayOfTactsQueueAndGroundTruth) {
    auto l =
        lab("[Device D1]\nCell1=active tact=10 rate=2 noise=0.1\nCell2=active tact=2 rate=0.5\n"
            "Cell4=rate=1\n");
    DataDevice& d = *l->dataDevice("D1");
    const kv::TDateTime t0 = now();
    advanceSec(86400);
    EXPECT_EQ(ask(d, "S#"), "S=28800#");
    EXPECT_EQ(ask(d, "F3#"), "F3=28800#");

    // 2 mg/h at 0.25 mg per impulse, and 0.5 mg/h at 0.05 mg (tact 6 s).
    EXPECT_NEAR(d.impulses(1), 192, 2);
    EXPECT_NEAR(d.impulses(2), 240, 1);
    EXPECT_EQ(d.impulses(4), 0);  // never switched on: no sample in place
    EXPECT_NEAR(d.impulsesBetween(1, t0, t0 + 0.5), 96, 2);
    EXPECT_LE(d.dosedMg(1), d.consumedMg(1));
    EXPECT_LT(d.consumedMg(1) - d.dosedMg(1), d.impulseMg(1));

    // The queue holds one record per tact with bit 7 set and agrees with the ground truth.
    const std::string queue = drainQueue(d);
    ASSERT_EQ(queue.size(), 28800u);
    long long perCell[6] = {};
    bool bit7 = true;
    for (unsigned char c : queue) {
        bit7 = bit7 && (c & 0x80);
        for (int k = 0; k < 6; ++k) perCell[k] += (c >> k) & 1;
    }
    EXPECT_TRUE(bit7);
    EXPECT_EQ(perCell[0], d.impulses(1));
    EXPECT_EQ(perCell[1], d.impulses(2));
    EXPECT_EQ(ask(d, "F3#"), "F3=0#");
}

// kelvora-sim runs for weeks: the ground truth keeps exact times only for the recent
// impulses (older ones per hour), and the command statistics ignore line noise.
TEST_F(DataDeviceTest, LongRunsKeepBoundedHistory) {
    auto l = lab("[Device D1]\nCell1=active tact=1 rate=100 settle=0\n");
    DataDevice& d = *l->dataDevice("D1");
    const kv::TDateTime t0 = now();
    const double h = 1.0 / 24;
    advanceSec(48 * 3600);
    const long long total = d.impulses(1);
    EXPECT_NEAR(total, 57600, 2);  // one per 3 s tact
    EXPECT_EQ(d.impulseTimes(1).size(), DataDevice::kKeptImpulseTimes);
    EXPECT_EQ(d.impulsesBetween(1, 0, now()), total);
    EXPECT_NEAR(d.impulsesBetween(1, t0 + 2 * h, t0 + 3 * h), 1200, 1);    // per hour
    EXPECT_NEAR(d.impulsesBetween(1, t0 + 47 * h, t0 + 48 * h), 1200, 1);  // exact times
    EXPECT_EQ(d.impulsesBetween(1, t0 + 48 * h, t0 + 50 * h), 0);

    for (int n = 0; n < 3000; ++n) d.write("q" + std::to_string(n) + "#");
    d.write("!?x#");
    d.write("12=3#");
    EXPECT_EQ(d.commandCount("q1"), 1);
    EXPECT_EQ(d.commandCount("q2999"), 0);  // beyond the distinct commands counted
    EXPECT_EQ(d.commandCount("!?x"), 0);
    EXPECT_EQ(d.commandCount("12=3"), 0);
    d.write("q1#");
    EXPECT_EQ(d.commandCount("q1"), 2);
}

TEST_F(DataDeviceTest, SyncBlocksRejectedBlockComesBack) {
    auto l = lab("[Device D1]\nCell1=active tact=1 rate=30\nCell2=active tact=1 rate=10\n");
    DataDevice& d = *l->dataDevice("D1");
    advanceSec(360);
    EXPECT_EQ(ask(d, "F3#"), "F3=120#");
    ask(d, "o#");  // nothing outstanding: no effect
    const std::string b1 = answerValue(ask(d, "O#"), "O");
    EXPECT_EQ(b1.size(), 50u);
    EXPECT_EQ(ask(d, "F3#"), "F3=120#");  // a block leaves the queue only when acknowledged
    ask(d, "o#");
    EXPECT_EQ(ask(d, "F3#"), "F3=70#");

    // The host's answer to a short block: "o#" three times, then the same block again.
    const std::string b2 = answerValue(ask(d, "O#"), "O");
    ask(d, "o#");
    ask(d, "o#");
    ask(d, "o#");
    EXPECT_EQ(ask(d, "F3#"), "F3=70#");
    EXPECT_EQ(answerValue(ask(d, "O#"), "O"), b2);
    ask(d, "o#");
    // Another command in between makes the acknowledgement final: a later "o#" (the next
    // reader's, say) does not bring the block back.
    EXPECT_EQ(ask(d, "F3#"), "F3=20#");
    ask(d, "o#");
    EXPECT_EQ(ask(d, "F3#"), "F3=20#");
    EXPECT_EQ(answerValue(ask(d, "O#"), "O").size(), 20u);
    ask(d, "o#");
    EXPECT_EQ(ask(d, "F3#"), "F3=0#");

    advanceSec(30);
    ask(d, "f3=5#");
    EXPECT_EQ(ask(d, "F3#"), "F3=5#");
    ask(d, "f0#");
    EXPECT_EQ(ask(d, "F3#"), "F3=0#");
}

TEST_F(DataDeviceTest, SampleGrowthAndDosingLimit) {
    kv::sim::SampleParams p;
    p.rate = 1;
    p.lagHours = 2;
    p.growth = 0.5;
    p.maxRate = 8;
    EXPECT_DOUBLE_EQ(kv::sim::consumptionRate(p, 1.0), 1.0);
    EXPECT_NEAR(kv::sim::consumptionRate(p, 3.0), 1.6487, 1e-4);
    EXPECT_DOUBLE_EQ(kv::sim::consumptionRate(p, 20.0), 8.0);

    auto l =
        lab("[Device D1]\nCell1=active tact=10 rate=1 lag=2 growth=0.5 max=8\n"
            "Cell2=active tact=10 rate=60\n");
    DataDevice& d = *l->dataDevice("D1");
    const kv::TDateTime t0 = now();
    advanceSec(12 * 3600);
    const double h = 1.0 / 24;
    EXPECT_NEAR(d.impulsesBetween(1, t0, t0 + h), 4, 1);                 // lag phase
    EXPECT_NEAR(d.impulsesBetween(1, t0 + 10 * h, t0 + 11 * h), 32, 1);  // plateau
    // 60 mg/h is more than one impulse per 30 s tact can replace: the device doses at its
    // limit and the manometer stays closed.
    const double s1 = kv::kSecond;  // windows off the tact grid
    EXPECT_EQ(d.impulsesBetween(2, t0 + 5 * h + s1, t0 + 6 * h + s1), 120);
    EXPECT_LT(d.manometerValue(2), 10);
}

TEST_F(DataDeviceTest, DemandEndsInTheBlanksRateAndACurveIsReplayed) {
    kv::sim::SampleParams p;
    p.rate = 0.5;
    p.lagHours = 1;
    p.growth = 5;
    p.maxRate = 10.5;
    p.demand = 30;
    double extra = 0, total = 0;
    for (int m = 0; m < 24 * 60; ++m)
        total += kv::sim::sampleConsumption(p, m / 60.0, (m + 1) / 60.0, extra);
    // 24 h at the base rate plus the whole demand, no more.
    EXPECT_NEAR(total, 24 * 0.5 + 30, 1e-6);
    EXPECT_NEAR(extra, 30, 1e-9);

    kvtest::TempDir dir_;
    const std::string file = dir_.file("curve.txt");
    kvtest::writeFile(file, "# hours mg\n0 0\n10; 5\n\n20\t25 # fast\n30,25\n");
    kv::sim::SampleParams c;
    std::string err;
    ASSERT_TRUE(kv::sim::loadSampleCurve(file, c, &err)) << err;
    EXPECT_NEAR(kv::sim::sampleConsumption(c, 5, 15, extra), 2.5 + 10, 1e-9);
    EXPECT_NEAR(kv::sim::sampleConsumption(c, 25, 100, extra), 0, 1e-9);
    kvtest::writeFile(file, "0 0\n10 5\n9 6\n");
    EXPECT_FALSE(kv::sim::loadSampleCurve(file, c, &err));
    EXPECT_NE(err.find("line 3"), std::string::npos) << err;
    kvtest::writeFile(file, "0 zero\n");
    EXPECT_FALSE(kv::sim::loadSampleCurve(file, c, &err));

    // Through a lab description and the device: a curve of 48 mg over 8 h is 192
    // impulses of 0.25 mg (30 s tact).
    kvtest::writeFile(dir_.file("lab.ini"),
                      "[Device D1]\nCell1=active tact=10 curve=c2.txt\n"
                      "Cell2=active tact=10 rate=0.5 lag=0 growth=3 max=6.5 demand=12\n");
    kvtest::writeFile(dir_.file("c2.txt"), "0 0\n8 48\n");
    auto l = kv::sim::Lab::fromFile(dir_.file("lab.ini"), &err);
    ASSERT_TRUE(l) << err;
    DataDevice& d = *l->dataDevice("D1");
    const kv::TDateTime t0 = now();
    advanceSec(10 * 3600);
    EXPECT_NEAR(d.impulsesBetween(1, t0, t0 + 10.0 / 24), 192, 1);
    // 10 h at 0.5 mg/h plus the demand of 12 mg: 17 mg.
    EXPECT_NEAR(d.impulsesBetween(2, t0, t0 + 10.0 / 24), 68, 1);
    EXPECT_FALSE(kv::sim::Lab::fromText("[Device D1]\nCell1=curve=missing.txt\n", &err));
    EXPECT_NE(err.find("missing.txt"), std::string::npos) << err;
}

TEST_F(DataDeviceTest, ManometerSettlingStuckAndRestartCommand) {
    auto l = lab("[Device D1]\nCell1=rate=6 settle=60\n");
    DataDevice& d = *l->dataDevice("D1");
    ask(d, "t1=10#");
    ask(d, "a1=1#");
    advanceSec(57);
    EXPECT_LT(d.manometerValue(1), 10);
    EXPECT_EQ(d.impulses(1), 0);
    advanceSec(6);
    EXPECT_GE(d.manometerValue(1), 10);  // settled: the "zero" the program waits for
    advanceSec(3600);
    EXPECT_NEAR(d.impulses(1), 24, 1);

    d.setStuckManometer(1, true);
    const long long before = d.impulses(1);
    advanceSec(600);
    EXPECT_EQ(d.impulses(1), before);
    EXPECT_LT(d.manometerValue(1), 10);
    ask(d, "v#");
    EXPECT_EQ(d.manometerRestarts(), 1);
    advanceSec(600);
    // Catches up what the sample used meanwhile (1 mg in 10 min + 1 mg now).
    EXPECT_NEAR(d.impulses(1) - before, 8, 1);
}

TEST_F(DataDeviceTest, RestartLosesUnsavedConfigAndCounter) {
    auto l = lab("[Device D1]\nCell1=rate=1\n");
    DataDevice& d = *l->dataDevice("D1");
    ask(d, "t1=10#");
    ask(d, "a1=1#");
    ask(d, "z#");
    ask(d, "t1=20#");
    advanceSec(300);
    EXPECT_EQ(ask(d, "S#"), "S=100#");
    ASSERT_EQ(l->command("restart D1"), "ok");
    EXPECT_EQ(ask(d, "S#") + ask(d, "F3#") + ask(d, "T1#") + ask(d, "A1#"), "S=0#F3=0#T1=10#A1=1#");
    advanceSec(9);
    EXPECT_EQ(ask(d, "S#") + ask(d, "F3#"), "S=3#F3=3#");
    // i0/i1 restart the tact counter but keep the queue for the synchronisation.
    ask(d, "i1#");
    EXPECT_EQ(ask(d, "S#") + ask(d, "F3#") + ask(d, "I#"), "S=0#F3=3#I=1#");
    // A skipped tact shows as a jump of the counter.
    ASSERT_EQ(l->command("skip D1 3"), "ok");
    advanceSec(3);
    EXPECT_EQ(ask(d, "S#"), "S=4#");
}

TEST_F(DataDeviceTest, LinkFaults) {
    auto l = lab("[Device D1]\n");
    DataDevice& d = *l->dataDevice("D1");

    d.silence(30);
    EXPECT_EQ(ask(d, "Z#"), "");
    ask(d, "t1=4#");  // still obeyed while silent
    advanceSec(31);
    EXPECT_EQ(ask(d, "T1#"), "T1=4#");

    d.garbageNext(2);
    for (int i = 0; i < 2; ++i) {
        const std::string g = ask(d, "Z#");
        EXPECT_FALSE(g.empty());
        EXPECT_EQ(g.find_first_of("#="), std::string::npos) << g;
    }
    EXPECT_EQ(ask(d, "Z#"), "Z=KLV/USB V1.4.1#");

    kv::sim::LinkFaults f;
    f.doubleProb = 1.0;
    d.setLinkFaults(f);
    EXPECT_EQ(ask(d, "F1#"), "FF11==11##");
    f = {};
    f.dropProb = 1.0;
    d.setLinkFaults(f);
    EXPECT_EQ(ask(d, "F1#"), "");
    f = {};
    f.noiseProb = 1.0;
    d.setLinkFaults(f);
    const std::string noisy = ask(d, "F1#");
    EXPECT_TRUE(noisy.size() > 5 && noisy.substr(noisy.size() - 5) == "F1=1#") << noisy;
    EXPECT_FALSE(kv::startsWith(noisy, "F"));
    f = {};
    f.inputDropProb = 1.0;
    d.setLinkFaults(f);
    EXPECT_EQ(ask(d, "F1#"), "");
    f = {};
    f.delayMs = 200;
    d.setLinkFaults(f);
    d.write("F1#");
    EXPECT_EQ(d.queued(), 0u);
    advanceSec(0.21);
    EXPECT_EQ(d.read(100), "F1=1#");
    d.clearFaults();

    // Unplugged: no I/O, but the device goes on measuring and its queue fills.
    EXPECT_EQ(l->command("unplug D1"), "ok");
    EXPECT_FALSE(d.plugged());
    EXPECT_FALSE(d.write("S#"));
    EXPECT_EQ(d.queued(), 0u);
    advanceSec(30);
    EXPECT_EQ(l->command("replug D1"), "ok");
    EXPECT_TRUE(d.plugged());
    EXPECT_EQ(d.plugGeneration(), 1u);
    EXPECT_EQ(ask(d, "S#") + ask(d, "F3#"), "S=20#F3=20#");
}

TEST_F(DataDeviceTest, SameDescriptionGivesSameRun) {
    const std::string text = "[Lab]\nSeed=5\n[Device D1]\nCell1=active tact=10 rate=3 noise=0.5\n";
    auto a = lab(text);
    auto b = lab(text);
    advanceSec(6 * 3600);
    EXPECT_EQ(a->dataDevice("D1")->impulseTimes(1), b->dataDevice("D1")->impulseTimes(1));
    EXPECT_GT(a->dataDevice("D1")->impulses(1), 50);
}

}  // namespace
