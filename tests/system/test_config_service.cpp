// The configuration service on the whole program over the virtual lab with the CO2
// example (data, case and CO2 devices, an EC71 meter), its timer threads running: Cancel
// leaves the settings and still resumes every device, an EC71 calibration runs to its end
// from the console, and settings change and are saved while the lab measures (the
// ThreadSanitizer build runs this too).

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/debuglog.h"
#include "app/inifile.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "common/numtext.h"
#include "console/commands.h"
#include "console/console_frontend.h"
#include "console/simulated_lab.h"
#include "sim/co2_device.h"
#include "sim/data_device.h"
#include "sim/lab.h"
#include "sim/meters/ec71_meter.h"
#include "sim/meters/sim_co2_ports.h"
#include "support/temp_dir.h"
#include "system/application.h"
#include "system/config_service.h"
#include "system/operations.h"

using namespace kv;

namespace {

const std::string kExample = std::string(KELVORA_SOURCE_DIR) + "/examples/Kelvora-co2.Ini";

class ConfigServiceOnTheLab : public ::testing::Test {
  protected:
    ConfigServiceOnTheLab() : clock_(encodeDateTime(2026, 5, 4, 9)), scoped_(clock_) {
        std::filesystem::create_directory(home_.file("Dbg"));
        std::filesystem::copy_file(kExample, home_.file("Kelvora.Ini"));
        {
            IniFile ini(home_.file("Kelvora.Ini"));
            // Ticks come quickly in real time; the test moves the virtual time.
            ini.writeString("Kelvora", "mmTimerInt", "50");
            ini.writeString("Kelvora", "EC71_mmTimerInt", "20");
            ini.writeString("FT232R", "DeviceCheckTimer(mSec)", "100");
        }
        std::string error;
        lab_ = buildSimulatedLab(IniFile(home_.file("Kelvora.Ini")), "", error);
        EXPECT_TRUE(lab_) << error;
        ui_.quiet = true;
        StartOptions options;
        options.home = home_.path();
        options.simPorts = lab_->ports();
        options.simLab = lab_.get();
        app_ = std::make_unique<Application>(options, ui_);
        EXPECT_EQ(app_->startup(), 0);
        ops_ = std::make_unique<Operations>(app_->kelvora(), ui_);
        console_ = std::make_unique<CommandInterpreter>(*ops_, ui_, [] { return false; });
    }
    ~ConfigServiceOnTheLab() override {
        console_.reset();
        ops_.reset();
        if (app_) {
            app_->quit(QuitSource::System);
            app_->shutdown();
        }
    }

    TKelvora& k() { return app_->kelvora(); }
    sim::EC71Meter& meter() { return *app_->simulatedMeters()->ec71(1); }
    sim::DataDevice& data() { return *lab_->dataDevice("KLVCO2D1"); }
    sim::Co2Device& co2() { return *lab_->co2Device("KLVCO2C1"); }
    std::string ok(const std::string& line) {
        const ConsoleReply r = console_->execute(line);
        EXPECT_TRUE(r.ok) << line << " -> " << r.text();
        return r.text();
    }
    int initFrames() {
        const auto lines = meter().received();
        return static_cast<int>(std::count(lines.begin(), lines.end(), "<iD/>"));
    }
    // Virtual time moves on while the timer threads work in real time.
    void let(int steps) {
        for (int i = 0; i < steps; ++i) {
            clock_.advanceMs(500);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
    }

    kvtest::TempDir home_;
    ManualClock clock_;
    ScopedClock scoped_;
    std::unique_ptr<sim::Lab> lab_;
    ConsoleFrontEnd ui_;
    std::unique_ptr<Application> app_;
    std::unique_ptr<Operations> ops_;
    std::unique_ptr<CommandInterpreter> console_;
};

// Opening pauses and sends l#; Cancel after changed fields keeps every setting and still
// sends m# to the CO2 device, the initialisation frame to the meter and i1 to the data
// device.
TEST_F(ConfigServiceOnTheLab, CancelKeepsTheSettingsAndResumesEveryDevice) {
    ASSERT_TRUE(app_->isRunning());
    const Config before = k().cfg;
    const int framesBefore = initFrames();
    co2().clearReceivedCommands();
    data().clearReceivedCommands();
    ConfigService service(k(), ui_);
    ASSERT_TRUE(service.open().ok);
    EXPECT_FALSE(k().systemRunning.load());
    // A second session (the console while the dialog is open) waits its turn.
    EXPECT_EQ(console_->execute("config set Row_Tact=15").error,
              "the configuration is open in another window or command");
    EXPECT_FALSE(k().systemRunning.load());
    EXPECT_EQ(co2().commandCount("l"), 3);
    EXPECT_EQ(data().commandCount("i0"), 1);
    ConfigForm form = service.form();
    form["NrCells"] = "12";
    form["Row_Tact"] = "60";
    form["ec71_2_COMx"] = "6,9600,n,8,1";
    service.adGrid()[0].lower = "77";
    ASSERT_TRUE(service.cancel().ok);
    EXPECT_TRUE(k().cfg == before);
    EXPECT_EQ(k().acq.cells.cell(1).AD_Lower, before.cell(1).AD_Lower);
    EXPECT_EQ(co2().commandCount("m"), 1);
    EXPECT_GE(initFrames(), framesBefore + 1);
    // i1 read back (the acquisition may have asked for values since).
    EXPECT_GE(data().commandCount("i1"), 1);
    EXPECT_GE(data().commandCount("I"), 1);
    EXPECT_TRUE(k().systemRunning.load());
    EXPECT_EQ(co2().relayMask(), 0);
}

// An EC71 calibration started from the console runs to its end against the virtual meter
// and stores the cell's calibration point.
TEST_F(ConfigServiceOnTheLab, EC71CalibrationFromTheConsoleRunsToItsEnd) {
    ok("ec71 calibrate 2");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string status;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        status = ok("ec71 status");
    } while (status.find("calibration: running") != std::string::npos &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_NE(status.find("outcome: finished, calibration stored"), std::string::npos) << status;
    const TCalibration p = k().ec71Calibration.get(2).Calibration[0];
    EXPECT_NEAR(p.mesura, 12.88 * 1.002, 1e-3);
    EXPECT_EQ(p.mesuraSI, "mS/cm");
    EXPECT_NE(IniFile(home_.file("Kelvora.Ini")).readRaw("EC71-CalibrationData", "C2-1", ""), "");
    EXPECT_TRUE(k().systemRunning.load());
    EXPECT_EQ(co2().relayMask(), 0);
    const std::string refused = console_->execute("ec71 cancel").error;
    EXPECT_EQ(refused, "no calibration is running");
}

// Settings are changed and saved again and again while a CO2 series measures: the series
// keeps taking values and the settings end as last set.
TEST_F(ConfigServiceOnTheLab, SettingsChangeAndSaveWhileTheLabMeasures) {
    ok("row new Sludge cells=1-6 tact=3 interval=1min duration=1d co2");
    ok("row start Sludge");
    std::shared_ptr<TRow> row;
    for (const auto& r : k().rows.Snapshot())
        if (r->Name == "Sludge") row = r;
    ASSERT_TRUE(row);
    auto values = [&] {
        auto lock = k().rows.lock();
        return row->iRTV;
    };
    let(200);
    const int first = values();
    for (int i = 0; i < 12; ++i) {
        const bool odd = i % 2 != 0;
        ok(std::string("config set Row_Tact=") + (odd ? "15" : "30") +
           " goCntYMax=" + (odd ? "300" : "250") + " EC71_mux_Sample_Delay=" + (odd ? "1" : "2") +
           " csvColSep=" + (odd ? "," : ";") + " bDebug_Cells=" + (odd ? "1" : "0"));
        ok("config get");
        let(20);
    }
    // The series goes on taking values (waited for, with a bound).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (values() <= first + 1 && std::chrono::steady_clock::now() < deadline) let(10);
    EXPECT_GT(values(), first + 1) << "the series took no values after the changes";
    EXPECT_EQ(k().cfg.DefRowTact, 15);
    EXPECT_EQ(k().cfg.Cnt_Y.max, 300);
    EXPECT_EQ(k().cfg.EC71_Sample_Delay, 1);
    EXPECT_EQ(IniFile(home_.file("Kelvora.Ini")).readRaw("ExportOptions", "csvColSep", ""), ",");
    EXPECT_TRUE(k().systemRunning.load());
}

// Untouched, the form copies back exactly the settings it showed, reals that hold more
// decimals than the dialog shows included; and it passes the close check.
TEST(ConfigServiceForm, UntouchedFormCopiesBackTheSettingsUnchanged) {
    Config c;
    c.Cells = 18;
    c.DataRoot = "Data";
    c.CDM_Read_Delay = 2.345;
    c.DefLF2CO2_const1 = 9.72161234;
    c.EC71_Loop_Duration = 900.123456;
    c.Cnt_Y.max = 312.3456789;
    c.ec71Meters[0] = {true, {5, 19200, 2, 7, 2}, 1, 18};
    c.EC71_NrDevices = 1;
    c.passwordQuit = "quit";
    c.DefRowSIDuration = TimeUnit::Minutes;
    c.DefRowDuration = 1.0 / 3.0;
    setDecimalCommaFlag(c.csvDecimalComma);
    const ConfigForm form = ConfigService::formOf(c);
    EXPECT_EQ(form.at("cdm_mux_Read_Delay"), "2.35");
    EXPECT_EQ(form.at("Row_SIDuration"), "min");
    Config back = c;
    ConfigService::applyForm(form, back);
    EXPECT_TRUE(back == c);
    EXPECT_TRUE(ConfigService::check(form, true).ok);

    // A changed text is taken as typed.
    ConfigForm changed = form;
    changed["cdm_mux_Read_Delay"] = "2,5";
    changed["ec71_1_COMx"] = "";
    changed["ec71_2_COMx"] = "6, 9600, n, 8, 1";
    ConfigService::applyForm(changed, back);
    EXPECT_EQ(back.CDM_Read_Delay, 2.5);
    EXPECT_EQ(back.EC71_NrDevices, 2);
    EXPECT_FALSE(back.ec71Meters[0].portSet);
}

// The close check in its order: the cell count before the passwords before the numbers.
TEST(ConfigServiceForm, CloseCheckOrder) {
    Config c;
    c.DataRoot = "Data";
    ConfigForm f = ConfigService::formOf(c);
    f["Row_Interval"] = "often";
    f["confirmMasterPwd"] = "x";
    f["NrCells"] = "12.0";
    CloseCheck r = ConfigService::check(f, false);
    EXPECT_EQ(r.field, "NrCells");
    f["NrCells"] = "126";
    EXPECT_EQ(ConfigService::check(f, false).field, "NrCells");
    f["NrCells"] = "120";
    r = ConfigService::check(f, false);
    EXPECT_EQ(r.message, "Master password is not confirmed !");
    EXPECT_EQ(r.field, "confirmMasterPwd");
    f["confirmMasterPwd"] = "";
    EXPECT_EQ(ConfigService::check(f, false).field, "Row_Interval");
    f["Row_Interval"] = "1,5";
    // The CO2 axis counts only with CO2.
    f["goCO2YMax"] = "";
    EXPECT_TRUE(ConfigService::check(f, false).ok);
    EXPECT_EQ(ConfigService::check(f, true).field, "goCO2YMax");
    // A password longer than the stored form holds would never match again.
    f["QuitPwd"] = f["confirmQuitPwd"] = std::string(31, 'q');
    EXPECT_EQ(ConfigService::check(f, false).field, "QuitPwd");
}

}  // namespace
