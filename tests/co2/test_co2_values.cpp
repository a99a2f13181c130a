// The value rules of the CO2 cycles that need no meter: LF_0 from start values, the
// measurement answer, the calibration answer, the lab's absorbers.

#include <gtest/gtest.h>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "co2/ec71_calibrate.h"
#include "co2/ec71_cycle.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "sim/lab.h"
#include "sim/meters/ec71_meter.h"
#include "sim/meters/lab_absorbers.h"
#include "sim/meters/meter_lab.h"
#include "support/temp_dir.h"

using namespace kv;

namespace {

TEST(EC71Values, DetermineLF0) {
    kvtest::TempDir dir;
    debugLog().open(dir.file("t.Dbg"));
    Config cfg;
    cfg.EC71_LF0_PrzDiff = 5;
    cfg.EC71_previousLF0_PrzDiff = 1;

    // 1.20 lies beyond 5 % above the smallest value: it is replaced, LF_0 is 1.02.
    double last = -1;
    const std::vector<double> v = {1.00, 1.02, 1.20};
    EXPECT_NEAR(computeLF0(v, last, "R", cfg, "T"), 1.02, 1e-12);
    EXPECT_NEAR(last, 1.02, 1e-12);
    // Close values: the largest.
    last = -1;
    EXPECT_NEAR(computeLF0(std::vector<double>{2.0, 2.05, 2.03}, last, "R", cfg, "T"), 2.05, 1e-12);
    // The row's previous LF_0 caps a higher new one, and the row keeps it.
    last = 1.00;
    EXPECT_NEAR(computeLF0(std::vector<double>{1.02, 1.02, 1.02}, last, "R", cfg, "T"), 1.00,
                1e-12);
    EXPECT_NEAR(last, 1.00, 1e-12);
    // Within 1 % it stands, and becomes the row's.
    last = 1.00;
    EXPECT_NEAR(computeLF0(std::vector<double>{1.005}, last, "R", cfg, "T"), 1.005, 1e-12);
    EXPECT_NEAR(last, 1.005, 1e-12);
    debugLog().close();
    const std::string lg = kvtest::readFile(dir.file("t.Dbg"));
    EXPECT_NE(lg.find("Initial StartValues: 1.000, 1.020, 1.200, "), std::string::npos);
    EXPECT_NE(lg.find("Corrected StartValues: 1.000, 1.020, 1.000, "), std::string::npos);
    EXPECT_NE(lg.find("Setting first LF_0 for row [R]: 1.020"), std::string::npos);
    EXPECT_NE(lg.find("  Setting cell-LF_0 to row.last_LF_0: 1.000"), std::string::npos);
}

TEST(EC71Values, MeasurementAnswer) {
    Config cfg;
    const std::string answer =
        "\x02<oM><pa no='estat' va='estabilitat'/><pa no='mesura' un='mS/cm' "
        "va='2,3456'/>\x03\x02<pa no='temp' un='C' va='21.5'/></oM>\x03";
    EC71Measurement m = parseEC71Measurement(answer, cfg);
    EXPECT_TRUE(m.ready);
    EXPECT_NEAR(m.LF, 2.3456, 1e-12);  // a decimal comma is read too
    EXPECT_EQ(m.unit, "mS/cm");
    EXPECT_NEAR(m.T, 21.5, 1e-12);
    EXPECT_EQ(m.tempUnit, "C");

    // Values before the ready indicator do not count; a value that is no number is none.
    m = parseEC71Measurement(
        "<pa no='mesura' va='2.1'/><x va='estabilitat'/>"
        "<pa no='temp' va='warm'/>",
        cfg);
    EXPECT_TRUE(m.ready);
    EXPECT_TRUE(isNoValue(m.LF));
    EXPECT_TRUE(isNoValue(m.T));
    EXPECT_FALSE(parseEC71Measurement("<pa no='mesura' va='2.1'/>", cfg).ready);

    // The attribute texts come from the configuration.
    cfg.EC71_DataReadyIndicator = "STABLE";
    cfg.EC71_LFData_Line = "[cond]";
    cfg.EC71_LFData_val = "v='";
    m = parseEC71Measurement("STABLE [cond] u='mS' v='1.75' ", cfg);
    EXPECT_NEAR(m.LF, 1.75, 1e-12);
}

TEST(EC71Values, CalibrationAnswer) {
    const TCalibration c = parseCalibrationAnswer(
        "<oC>\x03\x02<rC><pa no='mesura' un='mS/cm' va='12.905'/><pa no='temp' un='C' "
        "va='20.5'/><pa no='temps' un='s' va='30'/><pa no='ag1' un='%' va='1.2'/></rC>"
        "<re><pa no='m' va='1.002'/><pa no='b' va='0.01'/></re></oC>");
    EXPECT_EQ(c.mesuraSI, "mS/cm");
    EXPECT_NEAR(c.mesura, 12.905, 1e-12);
    EXPECT_EQ(c.tempSI, "C");
    EXPECT_NEAR(c.temp, 20.5, 1e-12);  // not the "temps" section
    EXPECT_EQ(c.tempsSI, "s");
    EXPECT_NEAR(c.temps, 30, 1e-12);
    EXPECT_NEAR(c.ag1, 1.2, 1e-12);
    EXPECT_NEAR(c.m, 1.002, 1e-12);
    EXPECT_NEAR(c.b, 0.01, 1e-12);
    EXPECT_TRUE(isNoValue(parseCalibrationAnswer("<oC></oC>").mesura));
}

// The absorbers follow the relays and the samples; [Meter] sections of a lab description.
TEST(LabMeters, AbsorbersAndMeterSections) {
    ManualClock clk(encodeDateTime(2026, 3, 2, 8));
    ScopedClock sc(clk);
    const std::string text =
        "[Device KLV1]\nType=1\nCell1=active tact=10 rate=4\n"
        "[Meter ec71-1]\nType=EC71\nAbsorbers=KLV3:KLV1\nLF0=3 ; mS/cm\nSerial=X9\n"
        "[Device KLV3]\nType=3\nCell1=raw=800 slope=100\n"
        "[Meter cdm]\nType=CDM\nAbsorbers=KLV3\nInit=I\\013\n";
    std::string labText, error;
    std::vector<sim::MeterSpec> specs;
    ASSERT_TRUE(sim::extractMeterSections(text, labText, specs, &error)) << error;
    ASSERT_EQ(specs.size(), 2u);
    EXPECT_TRUE(specs[0].ec71);
    EXPECT_EQ(specs[0].name, "ec71-1");
    EXPECT_EQ(specs[0].ec71Options.serialNr, "X9");
    EXPECT_DOUBLE_EQ(specs[0].params.lf0, 3);
    EXPECT_FALSE(specs[1].ec71);
    EXPECT_EQ(specs[1].cdmOptions.cmdInit, "I\r");
    auto lab = sim::Lab::fromText(labText, &error);
    ASSERT_TRUE(lab) << error;

    sim::LabMeters meters;
    ASSERT_TRUE(meters.build(*lab, specs, &error)) << error;
    sim::LabAbsorbers& fromSamples = *meters.absorbers("ec71-1");
    sim::LabAbsorbers& fromRaw = *meters.absorbers("cdm");
    EXPECT_FALSE(fromSamples.reading().connected);
    lab->co2Device("KLV3")->write("c1#");
    clk.advanceMs(3600 * 1000.0);
    const sim::MeterReading r = fromSamples.reading();
    EXPECT_TRUE(r.connected);
    // Four mg O2 in the hour: 5.5 mg CO2, 5.5 / 9.7216 mS/cm less.
    const double co2 = lab->dataDevice("KLV1")->consumedMg(1) * 44 / 32;
    EXPECT_GT(co2, 4);
    EXPECT_NEAR(r.lf, 3 - co2 / 9.7216, 1e-9);
    EXPECT_NEAR(fromSamples.co2Mg(0, 1), co2, 1e-9);
    // Raw values 800 -> 700: seven eighths of LF0.
    EXPECT_NEAR(fromRaw.reading().lf, 2.5 * 700 / 800, 1e-9);
    lab->co2Device("KLV3")->write("c2#");
    fromRaw.reading();
    EXPECT_EQ(fromRaw.overlaps(), 1);

    EXPECT_EQ(meters.command("meter ec71-1 nak 2"), "ok");
    EXPECT_EQ(meters.command("meter cdm silent"), "ok");
    EXPECT_EQ(meters.command("meter cdm nak"), "error: unknown meter fault 'nak'");
    EXPECT_EQ(meters.command("meter nope ok"), "error: unknown meter nope");

    EXPECT_FALSE(sim::extractMeterSections("[Meter]\nType=EC71\n", labText, specs, &error));
    EXPECT_FALSE(sim::extractMeterSections("[Meter a]\nType=pH\n", labText, specs, &error));
    EXPECT_NE(error.find("line 2"), std::string::npos);
    ASSERT_TRUE(sim::extractMeterSections("[Meter a]\nAbsorbers=NONE\n", labText, specs, &error));
    EXPECT_FALSE(sim::LabMeters().build(*lab, specs, &error));
}

// The shipped example lab builds with its meter, and the shipped frame sections are the
// ones the virtual meter understands.
TEST(LabMeters, ShippedExamples) {
    const std::string base = std::string(KELVORA_SOURCE_DIR) + "/src/sim/meters/";
    std::string labText, error;
    std::vector<sim::MeterSpec> specs;
    ASSERT_TRUE(sim::extractMeterSections(kvtest::readFile(base + "example-co2-lab.ini"), labText,
                                          specs, &error))
        << error;
    auto lab = sim::Lab::fromText(labText, &error);
    ASSERT_TRUE(lab) << error;
    sim::LabMeters meters;
    ASSERT_TRUE(meters.build(*lab, specs, &error)) << error;
    EXPECT_NE(meters.meter("ec71-1"), nullptr);

    const std::string frames = kvtest::readFile(base + "example-ec71-frames.ini");
    EXPECT_TRUE(frames.ends_with(sim::EC71Meter::frameSections()));
    TEC71 m;
    m.Frames.load(IniFile(base + "example-ec71-frames.ini"));
    EXPECT_EQ(m.getFrameIndexByName("StartMeasure"), 14);
    EXPECT_EQ(m.Frames[14].line(1), "\\002<sT/>\\003");
}

}  // namespace
