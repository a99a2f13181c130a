#include <gtest/gtest.h>

#include <deque>
#include <mutex>

#include "app/inifile.h"
#include "app/messages.h"
#include "co2/ec71.h"
#include "co2_test_util.h"
#include "common/datetime.h"
#include "common/escapes.h"
#include "common/numtext.h"
#include "sim/meters/ec71_meter.h"
#include "support/temp_dir.h"

using namespace kv;
using kv::sim::EC71Meter;
using kv::sim::MeterFault;
using kvtest::TempDir;

namespace {

// A device that answers from a script: `now` is waiting at once, each host ACK releases
// the next entry of `onAck`; with ackLines every STX…ETX line is acknowledged.
class ScriptEndpoint : public ComEndpoint {
  public:
    bool ackLines = false;
    bool endless = false;  // every host ACK releases another block without end marker

    void push(const std::string& s) {
        std::lock_guard lock(m_);
        out_ += s;
    }
    void onAck(const std::string& s) {
        std::lock_guard lock(m_);
        script_.push_back(s);
    }
    int acks() {
        std::lock_guard lock(m_);
        return acks_;
    }
    bool write(std::string_view b) override {
        std::lock_guard lock(m_);
        for (char c : b) {
            if (c == kACK) {
                ++acks_;
                if (endless) out_ += "\x02junk\x03";
                if (!script_.empty()) {
                    out_ += script_.front();
                    script_.pop_front();
                }
            }
            if (c == kETX && ackLines) out_ += kACK;
        }
        return true;
    }
    size_t queued() override {
        std::lock_guard lock(m_);
        return out_.size();
    }
    std::string read(size_t n) override {
        std::lock_guard lock(m_);
        std::string r = out_.substr(0, n);
        out_.erase(0, r.size());
        return r;
    }

  private:
    std::mutex m_;
    std::string out_;
    std::deque<std::string> script_;
    int acks_ = 0;
};

class ScriptPort {
  public:
    explicit ScriptPort(int comNr) : comNr_(comNr), ep(std::make_shared<ScriptEndpoint>()) {
        setComEndpoint(comNr, ep);
        h = com_Open("COM" + std::to_string(comNr));
    }
    ~ScriptPort() {
        com_Close(h);
        setComEndpoint(comNr_, nullptr);
    }
    int comNr_;
    std::shared_ptr<ScriptEndpoint> ep;
    HCOM h = kInvalidHCOM;
};

// The virtual meter's frame sections in a configuration file.
std::string writeFrames(const TempDir& dir) {
    kvtest::writeFile(dir.file("Kelvora.Ini"), EC71Meter::frameSections());
    return dir.file("Kelvora.Ini");
}

struct FrameFile {
    TempDir dir;
    IniFile ini{writeFrames(dir)};
};

}  // namespace

TEST(EC71Frames, LoadAndLookup) {
    TempDir dir;
    // The first of two sections with one name counts.
    kvtest::writeFile(dir.file("k.Ini"), "[EC71-iC]\r\nName=iC\r\nnLines=99\r\nLine-1=x\r\n" +
                                             EC71Meter::frameSections());
    IniFile ini(dir.file("k.Ini"));
    TEC71 m;
    m.Frames.load(ini);
    EXPECT_EQ(m.getFrameIndexByName("InitDevice"), 1);
    EXPECT_EQ(m.getFrameIndexByName("StartMeasure"), 14);
    EXPECT_EQ(m.getFrameIndexByName("CalibrationFinished"), 24);
    EXPECT_EQ(m.getFrameIndexByName("startmeasure"), -1) << "names compare exactly";
    EXPECT_EQ(m.Frames[1].line(1), "\\002<iD/>\\003") << "lines are kept raw";
    EXPECT_EQ(m.Frames[15].EndString, "</oM>");
    EXPECT_EQ(m.Frames[17].nLines, kMaxFrameLines) << "at most 50 lines";
    EXPECT_EQ(m.Frames[41].nLines, 0);
    EXPECT_EQ(m.sendFrame(-1, kInvalidHCOM), -1) << "a frame not found fails";
}

TEST(EC71Frames, PlaceholderExpansion) {
    EC71CalibrationData cal;
    EC71CellCalibration c7;
    c7.Calibration[0] = {"C", 20.5, "s", 30, "mS/cm", 12.91, "%", 1.2, 1.002, 0.01};
    c7.Calibration[1].m = 0.1 + 0.2;  // not exactly 0.3
    c7.canRec = {"rec", 3.25};
    cal.set(7, c7);
    TEC71 m;
    m.setCalibrationData(&cal);
    m.setSerialNr("AB12");
    m.CalibrationValue = {12.88, 111.8, NoValueReal};

    const bool oldComma = decimalCommaFlag();
    setDecimalCommaFlag(true);  // the display option must not reach the meter
    EXPECT_EQ(decodeEscapes(m.expandPlaceholders("\\002%%MeasureCount%%\\003", 7)),
              std::string("\x02"
                          "7\x03"));
    EXPECT_EQ(m.expandPlaceholders("%%Length(SerialNr)%%", 7), "4");
    EXPECT_EQ(m.expandPlaceholders("%%SerialNr%%/%%Length(MeasureCount)%%", 12), "AB12/2");
    EXPECT_EQ(m.expandPlaceholders("t=%%Cal-1-temp%% l=%%Length(Cal-1-temp)%% %%Cal-1-tempSI%%", 7),
              "t=20.5 l=4 C");
    EXPECT_EQ(m.expandPlaceholders("%%Cal-1-patro%%%%Cal-1-patroSI%% %%Length(Cal-2-patro)%%", 7),
              "12.88mS/cm 5");
    EXPECT_EQ(m.expandPlaceholders("%%Cal-1-temps%%|%%Cal-1-tempsSI%%|%%Cal-1-mesura%%|"
                                   "%%Length(Cal-1-mesura)%%|%%Cal-1-ag1%%%%Cal-1-ag1SI%%",
                                   7),
              "30|s|12.91|5|1.2%");
    EXPECT_EQ(m.expandPlaceholders("%%m-1%% %%Length(b-1)%% %%m-2%% [%%b-2%%]", 7),
              "1.002 4 0.3 []")
        << "10 decimals at most; no value is empty";
    EXPECT_EQ(m.expandPlaceholders("%%canRecSI%%=%%canRec%% %%Length(canRec)%%", 7), "rec=3.25 4");
    EXPECT_EQ(m.expandPlaceholders("[%%Cal-1-temp%%][%%Length(Cal-1-temp)%%]", 8), "[][0]")
        << "a cell without calibration data";
    EXPECT_EQ(m.expandPlaceholders("%%Cal-3-temp%% %%Unknown%%", 7), "%%Cal-3-temp%% %%Unknown%%");
    setDecimalCommaFlag(oldComma);
}

TEST(EC71Frames, AttributeValues) {
    const std::string a = "<pa no='numSer' va='S0001'/><pa no='temp' un='C' va='20.5'/>";
    EXPECT_EQ(getAttributeValue(a, "numSer"), "S0001");
    EXPECT_EQ(getAttributeValue(a, "temp"), "20.5");
    EXPECT_EQ(getAttributeValue(a, "modEqu"), "");
    EXPECT_EQ(getAttributeValue("no='x' un='y'", "x"), "") << "no va='";
    EXPECT_EQ(getAttributeValue("no='x' va='12", "x"), "") << "no closing quote";
    EXPECT_EQ(getAttributeValue("no='x' va=''", "x"), "");
}

TEST(EC71Frames, SendLinesWithAckAndNakOverPty) {
    kvtest::PacedClock clk(encodeDateTime(2026, 3, 1, 8));
    ScopedClock sc(clk);
    FrameFile ff;
    EC71Meter meter({}, nullptr);
    kvtest::PtyMeterPort port(meter, 51);
    ASSERT_TRUE(port.started());
    TEC71 m;
    m.Frames.load(ff.ini);
    m.sendFrameLine_nMax = 2000;
    const HCOM h = com_Open(port.com());
    ASSERT_GT(h, 0);
    com_Set(h, 9600, 8, 0, 1);

    EXPECT_EQ(m.sendFrame("InitDevice", h), 0);
    EXPECT_FALSE(m.NackSeen);
    EXPECT_EQ(meter.received().back(), "<iD/>");

    meter.nakNextLines(1);
    EXPECT_EQ(m.sendFrame("iM", h), -1);
    EXPECT_TRUE(m.NackSeen);
    m.NackSeen = false;
    EXPECT_EQ(m.sendFrame("iM", h), 0) << "the meter works again";

    meter.setFault(MeterFault::NakThenAck);
    EXPECT_EQ(m.sendFrame("PrepareForMeasure", h), 0) << "NAK, then ACK: the line succeeds";
    EXPECT_TRUE(m.NackSeen);

    meter.setFault(MeterFault::Echo);
    EXPECT_EQ(m.sendFrame("MeasureFinished", h), -1) << "an echo is no acknowledgement";
    EXPECT_FALSE(m.waitForFrame("</oM>", h).ok);

    // Random bytes: lines fail or, by chance, see an ACK byte; nothing hangs.
    meter.setFault(MeterFault::Garbage);
    for (int i = 0; i < 3; ++i) {
        m.sendFrame("StartMeasure", h);
        EXPECT_FALSE(m.waitForFrame("</oM>", h).ok);
    }
    meter.setFault(MeterFault::None);

    // No lines, or only empty ones: success without a byte sent.
    const size_t lines = meter.received().size();
    EXPECT_EQ(m.sendFrame("GetMeasureData", h), 0);
    m.Frames.at(30).nLines = 2;
    EXPECT_EQ(m.sendFrame(30, h), 0);
    EXPECT_EQ(m.sendFrame(30, kInvalidHCOM), 0);
    EXPECT_EQ(meter.received().size(), lines);
    EXPECT_EQ(m.sendFrame("InitDevice", kInvalidHCOM), -1) << "a failed write fails at once";
    com_Close(h);
}

TEST(EC71Frames, BlocksAndAnswers) {
    ManualClock clk(encodeDateTime(2026, 3, 1, 8));
    ScopedClock sc(clk);
    TEC71 m;

    {  // Two blocks, the first without the end marker: acknowledged twice, returned whole.
        ScriptPort p(61);
        p.ep->push("\x02<oP><pa no='numSer' va='S9'/>\x03");
        p.ep->onAck("\x02<pa no='vEquip' va='2'/></oP>\x03");
        const TEC71::Answer a = m.waitForFrame("</oP>", p.h);
        EXPECT_TRUE(a.ok);
        EXPECT_EQ(p.ep->acks(), 2);
        EXPECT_EQ(a.text,
                  "\x02<oP><pa no='numSer' va='S9'/>\x03\x02<pa no='vEquip' va='2'/></oP>\x03");
        EXPECT_EQ(getAttributeValue(a.text, "vEquip"), "2");
    }
    {  // A block whose end byte comes late, and alone, is not lost.
        ScriptPort p(62);
        p.ep->push("\x02<oM>");
        EXPECT_FALSE(m.waitForFrame("<oM>", p.h).ok);
        EXPECT_EQ(p.ep->acks(), 0);
        p.ep->push("\x03");
        const TEC71::Answer a = m.waitForFrame("<oM>", p.h);
        EXPECT_TRUE(a.ok);
        EXPECT_EQ(a.text, "\x02<oM>\x03");
    }
    {  // readBlock: ends on ETX or ACK as last or second-to-last byte; NAK is noticed.
        ScriptPort p(63);
        EXPECT_FALSE(m.readBlock(p.h).endsBlock) << "nothing queued";
        p.ep->push(
            "\x02"
            "data\x06Z");
        EXPECT_TRUE(m.readBlock(p.h).endsBlock);
        p.ep->push("\x03");
        EXPECT_FALSE(m.readBlock(p.h).endsBlock) << "one byte is too short";
        p.ep->push("ab\x15");
        m.NackSeen = false;
        EXPECT_FALSE(m.readBlock(p.h).endsBlock);
        EXPECT_TRUE(m.NackSeen);
    }
    {  // 10 kB without ETX: the wait gives up, and at most one buffer per read is taken.
        ScriptPort p(64);
        p.ep->push(std::string(10000, 'g'));
        EXPECT_FALSE(m.waitForFrame("</oM>", p.h).ok);
        EXPECT_EQ(p.ep->queued(), 10000u - 11 * kComBufferSize);
    }
    {  // A meter that never stops sending blocks does not hold the caller for ever.
        ScriptPort p(65);
        p.ep->endless = true;
        p.ep->push("\x02junk\x03");
        EXPECT_FALSE(m.waitForFrame("</oM>", p.h).ok);
        EXPECT_LE(p.ep->acks(), 64);
    }
}

TEST(EC71Frames, InitDeviceOverPty) {
    kvtest::PacedClock clk(encodeDateTime(2026, 3, 1, 8));
    ScopedClock sc(clk);
    FrameFile ff;
    sim::EC71MeterOptions opt;
    opt.blockSize = 24;    // the device data answer comes in several blocks
    opt.checkByte = true;  // with a byte after each block's ETX
    EC71Meter meter(opt, nullptr);
    kvtest::PtyMeterPort port(meter, 52);
    ASSERT_TRUE(port.started());

    EC71CalibrationData cal;
    TCalibration c1;
    c1.temp = 20.5;
    cal.setPoint(1, 1, c1);
    std::atomic<int> measureCount{0};
    TEC71 m(&measureCount);
    m.Frames.load(ff.ini);
    m.setCalibrationData(&cal);
    m.sendFrameLine_nMax = 2000;
    const HCOM h = com_Open(port.com());
    ASSERT_GT(h, 0);

    EXPECT_EQ(m.InitDevice(true, h), TEC71::InitResult::Done);
    EXPECT_TRUE(m.Online);
    EXPECT_EQ(m.StatusText(), "");
    EXPECT_EQ(m.SerialNr(), "S0001");
    EXPECT_EQ(m.ModEqu(), "EC71-SIM");
    EXPECT_EQ(m.VEquip(), "1.04");
    EXPECT_EQ(measureCount, 1) << "the current cell starts at 1";
    EXPECT_GE(meter.blockAcks(), 4);
    const auto lines = meter.received();
    auto has = [&](const std::string& s) {
        for (const auto& l : lines)
            if (l.find(s) != std::string::npos) return true;
        return false;
    };
    EXPECT_TRUE(has("<cS ns='S0001' ln='5'/>"));
    EXPECT_TRUE(has("<sC ce='1'>"));
    EXPECT_TRUE(has("te='20.5'"));
    EXPECT_TRUE(has("<sM ce='1'/>"));

    // A meter that stops answering: the sequence stops early and the status stays.
    meter.setFault(MeterFault::Silent);
    m.OfflineCount = 3;
    EXPECT_EQ(m.InitDevice(false, h), TEC71::InitResult::Stopped);
    EXPECT_TRUE(m.Online);
    EXPECT_EQ(m.OfflineCount, 3);
    com_Close(h);
}

TEST(EC71Frames, InitDeviceWithLostDeviceData) {
    ManualClock clk(encodeDateTime(2026, 3, 1, 8));
    ScopedClock sc(clk);
    FrameFile ff;
    ScriptPort p(66);
    p.ep->ackLines = true;  // every line acknowledged, but no answer ever comes
    TEC71 m;
    m.Frames.load(ff.ini);
    m.Online = true;
    m.OfflineCount = 2;
    EXPECT_NE(m.InitDevice(false, p.h), TEC71::InitResult::Done);
    EXPECT_FALSE(m.Online);
    EXPECT_EQ(m.StatusText(), "Initialize failed.");
    EXPECT_EQ(m.OfflineCount, 0);
    EXPECT_EQ(m.InitDevice(true, p.h), TEC71::InitResult::Stopped)
        << "with calibration the sequence stops";
}

TEST(EC71Startup, AnsweringAndSilentMeters) {
    kvtest::PacedClock clk(encodeDateTime(2026, 3, 1, 8));
    ScopedClock sc(clk);
    FrameFile ff;
    EC71Meter good({}, nullptr);
    EC71Meter silent({}, nullptr);
    silent.setFault(MeterFault::Silent);
    kvtest::PtyMeterPort goodPort(good, 53);
    ASSERT_TRUE(goodPort.started());
    kvtest::EndpointMeterPort silentPort(silent, 54);

    Config cfg;
    cfg.EC71_Present = true;
    cfg.EC71_NrDevices = 2;
    cfg.EC71_sendFrameLine_nMax = 2000;
    parseSerialPort("53,9600,n,8,1", cfg.ec71Meters[0].port);
    parseSerialPort("54,9600,n,8,1", cfg.ec71Meters[1].port);
    cfg.ec71Meters[0] = {true, cfg.ec71Meters[0].port, 1, 6};
    cfg.ec71Meters[1] = {true, cfg.ec71Meters[1].port, 7, 12};
    TEC71 m1, m2, m3;
    TEC71* meters[] = {&m1, &m2, &m3};
    for (int i = 0; i < 3; ++i) {
        meters[i]->configure(cfg, i + 1);
        meters[i]->Frames.load(ff.ini);
    }
    EXPECT_EQ(m2.deviceTag(), "EC71 [7-12]");
    EXPECT_EQ(ec71MeterForCell(meters, 8), 2);
    EXPECT_EQ(ec71MeterForCell(meters, 13), 0);
    EXPECT_EQ(ec71MeterForCell(std::span<TEC71* const>(meters, 1), 13), 1);

    int relaysOff = 0;
    EXPECT_EQ(EC71_StartupCheck(cfg, meters, [&] { ++relaysOff; }), 1);
    EXPECT_EQ(relaysOff, 4) << "once for the good meter, three times for the silent one";
    EXPECT_TRUE(m1.Online);
    EXPECT_TRUE(m1.ReportedOnline);
    EXPECT_DOUBLE_EQ(m1.OpenTime, clk.now());
    EXPECT_TRUE(com_IsOpen(m1.hCOM));
    EXPECT_EQ(good.received().back(), "<iD/>");

    const std::string msg = "No response from serial device COM54 ! " + dateTimeToText(clk.now());
    EXPECT_FALSE(m2.Online);
    EXPECT_EQ(m2.StatusText(), msg);
    EXPECT_NE(messageList().newestFirst().front().find(msg), std::string::npos);
    EXPECT_EQ(m2.hCOM, kInvalidHCOM);
    EXPECT_EQ(silent.received().size(), 3u) << "three attempts";
    EXPECT_EQ(m3.hCOM, 0) << "only the configured number of meters";
    com_Close(m1.hCOM);
}

TEST(EC71Calibration, SectionRoundTrip) {
    TempDir dir;
    kvtest::writeFile(dir.file("k.Ini"),
                      "[EC71-CalibrationData]\r\nC1-1=C;20,5;s;30;mS/cm;12.91;%;1.2;1.002;0.01\r\n"
                      "C3-1=\r\nC1-canRec=r1;7\r\n");
    IniFile ini(dir.file("k.Ini"));
    EC71CalibrationData data;
    data.load(ini, 4, 2);
    EXPECT_DOUBLE_EQ(data.get(1).Calibration[0].temp, 20.5) << "a comma is a decimal point";
    EXPECT_EQ(data.get(3), data.get(1)) << "missing or empty keys take cell 1's";
    EXPECT_EQ(data.get(3).canRec.text, "r1");
    EXPECT_TRUE(isNoValue(data.get(2).Calibration[1].temp));

    EC71CellCalibration c;
    c.Calibration[0] = {
        "\xF8"
        "C",
        21.25,
        "s",
        28,
        "mS/cm",
        12.88,
        "%",
        0.5,
        1.0 / 3.0,
        -0.02};
    c.Calibration[1] = {"C", 20, "s;x", 30, "mS/cm", 111.8, "%", 1, 0.99, 0};
    c.canRec = {"can", 2.5};
    data.set(2, c);
    data.set(0, c);  // ignored
    const bool oldComma = decimalCommaFlag();
    setDecimalCommaFlag(true);
    ASSERT_TRUE(data.save(ini, 4, 2));
    setDecimalCommaFlag(oldComma);

    const std::string file = kvtest::readFile(dir.file("k.Ini"));
    EXPECT_NE(file.find("C2-1=\xF8"
                        "C;21.25;s;28;mS/cm;12.88;%;0.5;0.333333333333333;-0.02"),
              std::string::npos);
    EXPECT_NE(file.find("C2-canRec=can;2.5"), std::string::npos);
    EXPECT_NE(file.find("C4-2="), std::string::npos);

    EC71CalibrationData back;
    back.load(IniFile(dir.file("k.Ini")), 4, 2);
    EXPECT_EQ(back.get(2).Calibration[0].tempSI,
              "\xF8"
              "C")
        << "meter bytes kept";
    EXPECT_DOUBLE_EQ(back.get(2).Calibration[0].temp, 21.25);
    EXPECT_NEAR(back.get(2).Calibration[0].m, 1.0 / 3.0, 1e-15);
    EXPECT_EQ(back.get(2).Calibration[1].tempsSI, "s,x") << "the separator cannot enter a field";
    EXPECT_EQ(back.get(2).canRec, c.canRec);
    EXPECT_EQ(back.get(1), data.get(1));
    EXPECT_EQ(calibrationNumberText(12.88), "12.88");
    EXPECT_EQ(calibrationNumberText(NoValueReal), "");
}
