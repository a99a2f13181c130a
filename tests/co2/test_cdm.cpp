#include <gtest/gtest.h>

#include <cmath>
#include <mutex>

#include "app/config.h"
#include "app/debuglog.h"
#include "app/messages.h"
#include "co2/cdm.h"
#include "common/escapes.h"
#include "co2_test_util.h"
#include "common/datetime.h"
#include "sim/meters/cdm_meter.h"
#include "sim/rng.h"
#include "support/temp_dir.h"

using namespace kv;
using kv::sim::CdmMeter;
using kv::sim::MeterFault;
using kv::sim::MeterReading;

TEST(Escapes, Decoding) {
    EXPECT_EQ(decodeEscapes("\\002AB\\003"), std::string("\x02"
                                                         "AB\x03"));
    EXPECT_EQ(decodeEscapes("a\\\\b"), "a\\b");
    EXPECT_EQ(decodeEscapes("\\\\013"), "\\013") << "an escaped backslash starts no code";
    EXPECT_EQ(decodeEscapes("\\000"), std::string(1, '\0'));
    EXPECT_EQ(decodeEscapes("\\255"), "\xFF");
    EXPECT_EQ(decodeEscapes("x\\256y"), "xy") << "out of range: the four characters go";
    EXPECT_EQ(decodeEscapes("x\\1a3y"), "xy") << "not a number: the four characters go";
    EXPECT_EQ(decodeEscapes("RD\\01"), "RD") << "cut short at the end";
    EXPECT_EQ(decodeEscapes("RD\\013\\010"), "RD\r\n");
}

TEST(CdmDisplay, Parsing) {
    const std::string deg =
        "\xF8"
        "C";
    CdmDisplay d = parseCdmDisplay("LF 12.34mS/cm T  20.5" + deg + "\r\n");
    EXPECT_DOUBLE_EQ(d.LF, 12.34);
    EXPECT_DOUBLE_EQ(d.T, 20.5);
    EXPECT_EQ(d.unitPrefix, 'm');

    d = parseCdmDisplay("LF 12.34\xE6S/cm T  20.5" + deg);
    EXPECT_NEAR(d.LF, 0.01234, 1e-12) << "micro sign: uS/cm to mS/cm";

    d = parseCdmDisplay("12,34mS/cm <20.5>" + deg);
    EXPECT_DOUBLE_EQ(d.LF, 12.34) << "decimal comma";
    EXPECT_DOUBLE_EQ(d.T, 20.5) << "bracketed temperature";

    d = parseCdmDisplay("mS/cm");
    EXPECT_TRUE(d.unitFound);
    EXPECT_TRUE(isNoValue(d.LF)) << "no digits before the unit";
    d = parseCdmDisplay("S/cm 20.5" + deg);
    EXPECT_TRUE(isNoValue(d.LF));
    EXPECT_DOUBLE_EQ(d.T, 20.5);

    d = parseCdmDisplay("LF --.--mS/cm");
    EXPECT_TRUE(isNoValue(d.LF));
    EXPECT_TRUE(isNoValue(d.T)) << "a temperature the text does not show is none";

    d = parseCdmDisplay("");
    EXPECT_FALSE(d.unitFound);
    EXPECT_EQ(d.sLF, "xx");
    EXPECT_EQ(d.unitPrefix, '-');

    // Whatever the line carries, the parser neither crashes nor makes up a number.
    sim::Rng rng(7);
    const std::string pieces[] = {"S/cm", deg, ">", "<", "\xE6", "12.3", ",", " ", "\r\n"};
    for (int i = 0; i < 2000; ++i) {
        std::string s;
        for (int k = rng.range(0, 12); k > 0; --k)
            s +=
                rng.chance(0.5) ? pieces[rng.range(0, 8)] : std::string(1, char(rng.range(0, 255)));
        d = parseCdmDisplay(s);
        EXPECT_TRUE(isNoValue(d.LF) || std::isfinite(d.LF));
        EXPECT_LE(d.sLF.size(), 5u);
    }

    // The virtual meter's display reads back to its values.
    for (double lf : {0.5231, 2.345, 12.34, 123.4}) {
        d = parseCdmDisplay(CdmMeter::displayText(lf, 21.3));
        EXPECT_NEAR(d.LF, lf, 1e-9) << lf;
        EXPECT_DOUBLE_EQ(d.T, 21.3);
    }
}

namespace {

Config cdmConfig(int comNr) {
    Config cfg;
    cfg.CDM_Present = true;
    parseSerialPort(std::to_string(comNr) + ", 9600,n,8,1", cfg.CDM_Port);
    cfg.CDM_Cmd_Init = "INIT\\013";
    cfg.CDM_Cmd_Sample = "SMPL\\013";
    cfg.CDM_Cmd_ReadDisplay = "RD\\013";
    cfg.CDM_Cmd_Close = "CLOSE";
    return cfg;
}

sim::CdmMeterOptions meterOptions(const Config& cfg) {
    return {decodeEscapes(cfg.CDM_Cmd_Init), decodeEscapes(cfg.CDM_Cmd_Sample),
            decodeEscapes(cfg.CDM_Cmd_ReadDisplay), cfg.CDM_Cmd_Close};
}

MeterReading absorber() {
    return {true, 2.5, 20.0};
}

}  // namespace

TEST(CdmStartup, AnsweringMeterOverPty) {
    kvtest::PacedClock clk(encodeDateTime(2026, 3, 1, 8));
    ScopedClock sc(clk);
    const Config cfg = cdmConfig(41);
    CdmMeter meter(meterOptions(cfg), absorber);
    kvtest::PtyMeterPort port(meter, 41);
    ASSERT_TRUE(port.started());

    TCdmLink cdm;
    int boxes = 0;
    EXPECT_TRUE(CDM_StartupCheck(cfg, cdm, [&](const std::string&) { ++boxes; }));
    EXPECT_TRUE(cdm.Online);
    EXPECT_EQ(boxes, 0);
    EXPECT_EQ(meter.inits(), 2) << "the init command goes out twice";
    EXPECT_NE(cdm.lastInput().find("CDM-SIM"), std::string::npos);
    ASSERT_TRUE(com_IsOpen(cdm.hWinSIO));

    // The port stays open for the cycle: a display reading goes through.
    com_Write(cdm.hWinSIO, decodeEscapes(cfg.CDM_Cmd_ReadDisplay));
    std::string display;
    kvtest::waitUntil([&] {
        display += com_Read(cdm.hWinSIO);
        return display.find("\r\n") != std::string::npos;
    });
    EXPECT_DOUBLE_EQ(parseCdmDisplay(display).LF, 2.5);

    CDM_Shutdown(cfg, cdm);
    EXPECT_FALSE(com_IsOpen(cdm.hWinSIO.load()));
}

TEST(CdmStartup, SilentMeterIsReported) {
    ManualClock clk(encodeDateTime(2026, 3, 1, 8));
    ScopedClock sc(clk);
    const Config cfg = cdmConfig(42);
    CdmMeter meter(meterOptions(cfg), absorber);
    meter.setFault(MeterFault::Silent);
    kvtest::EndpointMeterPort port(meter, 42);

    TCdmLink cdm;
    std::vector<std::string> boxes;
    const TDateTime start = clk.now();
    EXPECT_FALSE(CDM_StartupCheck(cfg, cdm, [&](const std::string& t) { boxes.push_back(t); }));
    EXPECT_FALSE(cdm.Online);
    EXPECT_NEAR((clk.now() - start) / kSecond, 6.0, 0.01) << "three attempts of 2 s";
    ASSERT_EQ(boxes.size(), 1u);
    const std::string expected =
        "No response from serial device COM42 ! " + dateTimeToText(clk.now());
    EXPECT_EQ(boxes[0], expected);
    EXPECT_NE(messageList().newestFirst().front().find(expected), std::string::npos);
    EXPECT_EQ(cdm.hWinSIO, kInvalidHCOM) << "the cycle's reconnect must reopen the port";

    // Not present: nothing is tried.
    Config off = cfg;
    off.CDM_Present = false;
    EXPECT_FALSE(CDM_StartupCheck(off, cdm, [&](const std::string& t) { boxes.push_back(t); }));
    EXPECT_EQ(boxes.size(), 1u);
}

namespace {

// A CDM port that keeps every byte it is sent and answers each command ending in CR.
class RecordingCdmPort : public ComEndpoint {
  public:
    bool write(std::string_view b) override {
        std::lock_guard lock(mutex_);
        got_ += b;
        if (!b.empty() && b.back() == '\r') out_ += "CDM\r\n";
        return true;
    }
    size_t queued() override {
        std::lock_guard lock(mutex_);
        return out_.size();
    }
    std::string read(size_t n) override {
        std::lock_guard lock(mutex_);
        std::string r = out_.substr(0, n);
        out_.erase(0, r.size());
        return r;
    }
    std::string got() {
        std::lock_guard lock(mutex_);
        return got_;
    }

  private:
    std::mutex mutex_;
    std::string got_, out_;
};

}  // namespace

// Start-up and shutdown on one port: the initialisation goes out decoded, twice; at
// shutdown the close command goes out exactly as configured (escapes and all), then the
// port is closed and its handle reaches nothing any more.
TEST(CdmStartup, ShutdownSendsTheCloseCommandAsWrittenAndCloses) {
    ManualClock clk(encodeDateTime(2026, 3, 1, 8));
    ScopedClock sc(clk);
    kvtest::TempDir dir;
    debugLog().open(dir.file("t.Dbg"));
    Config cfg = cdmConfig(44);
    cfg.CDM_Cmd_Close = "BYE\\013\\\\";
    auto port = std::make_shared<RecordingCdmPort>();
    setComEndpoint(44, port);

    TCdmLink cdm;
    ASSERT_TRUE(CDM_StartupCheck(cfg, cdm, nullptr));
    const HCOM h = cdm.hWinSIO;
    ASSERT_TRUE(com_IsOpen(h));
    EXPECT_EQ(port->got(), "INIT\rINIT\r");

    // Not present: nothing is sent and the port stays as it is.
    Config off = cfg;
    off.CDM_Present = false;
    CDM_Shutdown(off, cdm);
    EXPECT_TRUE(com_IsOpen(h));
    EXPECT_EQ(port->got(), "INIT\rINIT\r");

    CDM_Shutdown(cfg, cdm);
    EXPECT_EQ(port->got(), "INIT\rINIT\rBYE\\013\\\\");
    EXPECT_FALSE(com_IsOpen(h));
    EXPECT_EQ(cdm.hWinSIO.load(), kInvalidHCOM);
    EXPECT_FALSE(cdm.Online.load());
    EXPECT_NE(com_Write(h, "LATE"), 0);
    EXPECT_EQ(port->got(), "INIT\rINIT\rBYE\\013\\\\");

    // The start-up writes "... checking CDM" itself, present or not.
    debugLog().close();
    const std::string log = kvtest::readFile(dir.file("t.Dbg"));
    EXPECT_EQ(log.find("... checking CDM"), std::string::npos);
    EXPECT_NE(log.find("... .. checking DCM should be present"), std::string::npos);
    setComEndpoint(44, nullptr);
}
