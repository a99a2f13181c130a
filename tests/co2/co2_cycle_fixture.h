#pragma once
// The CO2 cycles in virtual time against the virtual lab: a data device (the samples) and a
// CO2 device (the relays) behind the sim backend, the device list, the cell table, and a
// virtual meter that reads the absorber whose relay is on, reached through an in-process
// port of the serial layer.

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "app/debuglog.h"
#include "app/inifile.h"
#include "app/messages.h"
#include "co2/cdm_cycle.h"
#include "co2/ec71_cycle.h"
#include "co2_test_util.h"
#include "common/datetime.h"
#include "device/device_list.h"
#include "sim/lab.h"
#include "sim/meters/cdm_meter.h"
#include "sim/meters/ec71_meter.h"
#include "sim/meters/lab_absorbers.h"
#include "support/temp_dir.h"

namespace kvtest {

class Co2FakeRows : public kv::RowLookup {
  public:
    std::optional<kv::RowInfo> findRow(int uniqueNr) const override {
        std::lock_guard lock(mutex_);
        const auto it = rows_.find(uniqueNr);
        if (it == rows_.end()) return std::nullopt;
        return it->second;
    }
    void suspendCellForAlarm(int, int) override {}
    void set(int uniqueNr, kv::RowInfo info) {
        std::lock_guard lock(mutex_);
        rows_[uniqueNr] = std::move(info);
    }

  private:
    mutable std::mutex mutex_;
    std::map<int, kv::RowInfo> rows_;
};

// Readings the test sets one by one; when none is queued, the lab's absorbers. Records
// every reading it gives with the absorbers' ground truth at that moment.
class ScriptedReadings {
  public:
    explicit ScriptedReadings(kv::sim::LabAbsorbers& lab) : lab_(lab) {}
    void push(double lf) {
        std::lock_guard lock(mutex_);
        queue_.push_back(lf);
    }
    kv::sim::MeterReading operator()() {
        kv::sim::MeterReading r = lab_.reading();
        std::lock_guard lock(mutex_);
        if (!queue_.empty()) {
            r.connected = true;
            r.lf = queue_.front();
            queue_.pop_front();
        }
        given_.push_back(r);
        return r;
    }
    std::vector<kv::sim::MeterReading> given() {
        std::lock_guard lock(mutex_);
        return given_;
    }

  private:
    kv::sim::LabAbsorbers& lab_;
    std::mutex mutex_;
    std::deque<double> queue_;
    std::vector<kv::sim::MeterReading> given_;
};

inline const char* kCo2Lab =
    "[Device KLV10001]\n"
    "Type=1\n"
    "Cell1=rate=1\nCell2=rate=0.6\nCell3=rate=0.5\nCell4=rate=0.5\nCell5=rate=0.5\n"
    "Cell6=rate=0.5\n"
    "[Device KLV30001]\n"
    "Type=3\n"
    "Cell1=raw=800\nCell2=raw=800\nCell3=raw=800\nCell4=raw=800\nCell5=raw=800\n"
    "Cell6=raw=800\n";

inline constexpr double kLF2CO2 = 9.7216;
inline constexpr int kEC71Com = 5;
inline constexpr int kCdmCom = 6;

class Co2CycleTest : public ::testing::Test {
  protected:
    Co2CycleTest() : clock_(kv::encodeDateTime(2026, 3, 2, 8, 0, 0)), scoped_(clock_) {
        kv::debugLog().open(dir_.file("t.Dbg"));
        kv::messageList().deleteAll();
        cfg_.Cells = 6;
        absorberParams_.lf0 = 5.0;
        absorberParams_.mgPerLF = kLF2CO2;
    }
    ~Co2CycleTest() override {
        if (ec71Cycle_) ec71Cycle_->stop();
        if (cdmCycle_) cdmCycle_->stop();
        ec71Cycle_.reset();
        cdmCycle_.reset();
        ec71Port_.reset();
        ec71Port2_.reset();
        cdmPort_.reset();
        for (auto& m : meters_) kv::com_Close(m->hCOM.exchange(0));
        kv::com_Close(cdm_.hWinSIO.exchange(kv::kInvalidHCOM));
        kv::debugLog().close();
        kv::dbg().rs232 = false;
        kv::dbg().usbData = false;
        kv::dbg().cells = false;
    }

    // The lab, the device list over it and the cell table; every cell initialised.
    void buildLab() {
        std::string error;
        lab_ = kv::sim::Lab::fromText(kCo2Lab, &error);
        ASSERT_TRUE(lab_) << error;
        absorbers_ = std::make_unique<kv::sim::LabAbsorbers>(absorberParams_);
        absorbers_->add(lab_->co2Device("KLV30001"), lab_->dataDevice("KLV10001"));
        readings_ = std::make_unique<ScriptedReadings>(*absorbers_);

        kv::UsbDeviceSettings data, co2;
        data.SerialNr = "KLV10001";
        data.Type = kv::DeviceType::Data;
        co2.SerialNr = "KLV30001";
        co2.Type = kv::DeviceType::CO2;
        data.Case = co2.Case = 1;
        data.physCellNr_From = co2.physCellNr_From = 1;
        data.physCellNr_To = co2.physCellNr_To = 6;
        cfg_.devices = {data, co2};
        link_ = std::make_unique<kv::FTLink>(kv::makeSimBackend(lab_->ports()));
        proto_ = std::make_unique<kv::DeviceProtocol>(*link_);
        list_ = std::make_unique<kv::DeviceList>(*link_, *proto_, &flags_.configCmdInProgress);
        list_->USB_Init(0);
        list_->mapDevices(cfg_);
        acq_ = std::make_unique<kv::Acquisition>(cfg_, *list_, flags_.refs(), status_, dir_.path());
        acq_->cells.setRowLookup(&rows_);
        for (int i = 1; i <= kv::kMaxCells; ++i) acq_->cells.InitCell(i);
        relays_ = std::make_unique<kv::TCO2Relays>(cfg_, *list_, acq_->io, mux_);
        tickTime_ = clock_.now();
    }

    // EC71 meters on COM5 (and COM7 for a second one), the frames of the virtual meter,
    // short delays; the meters are checked as at start-up.
    void buildEC71(int nMeters = 1, kv::sim::EC71MeterOptions opts = {}) {
        cfg_.EC71_Present = true;
        cfg_.EC71_NrDevices = nMeters;
        cfg_.ec71Meters[0] = {true, {kEC71Com, 9600, 0, 8, 1}, 1, cfg_.Cells};
        cfg_.EC71_setMUX_Start_Delay = 10;
        cfg_.EC71_Loop_Duration = 600;
        cfg_.EC71_NrStartValues = 3;
        cfg_.EC71_sendFrameLine_nMax = 300;
        buildLab();
        auto source = [this] { return (*readings_)(); };
        ec71Meter_ = std::make_unique<kv::sim::EC71Meter>(opts, source);
        ec71Port_ = std::make_unique<EndpointMeterPort>(*ec71Meter_, kEC71Com);
        if (nMeters > 1) {
            ec71Meter2_ = std::make_unique<kv::sim::EC71Meter>(opts, source, 2);
            ec71Port2_ = std::make_unique<EndpointMeterPort>(*ec71Meter2_, kEC71Com + 2);
        }
        kvtest::writeFile(dir_.file("frames.ini"), kv::sim::EC71Meter::frameSections());
        kv::IniFile frames(dir_.file("frames.ini"));
        for (int n = 1; n <= nMeters; ++n) {
            auto m = std::make_unique<kv::TEC71>(&mux_.MeasureCount);
            m->configure(cfg_, n);
            m->Frames.load(frames);
            m->setCalibrationData(&calibration_);
            meters_.push_back(std::move(m));
        }
        meterPtrs_.clear();
        for (auto& m : meters_) meterPtrs_.push_back(m.get());
        ASSERT_EQ(kv::EC71_StartupCheck(cfg_, meterPtrs_, [this] { relays_->allOff(); }), nMeters);
        ec71Cycle_ = std::make_unique<kv::TEC71Cycle>(cfg_, acq_->cells, meterPtrs_, *relays_, mux_,
                                                      flags_.refs(), rowAccess_);
        ec71Cycle_->setStateObserver([this](int cell, int state) {
            std::lock_guard lock(statesMutex_);
            states_.emplace_back(cell, state);
        });
    }

    void buildCdm() {
        cfg_.CDM_Present = true;
        cfg_.CDM_Port = {kCdmCom, 9600, 0, 8, 1};
        cfg_.CDM_Cmd_Init = "I\\013";
        cfg_.CDM_Cmd_Sample = "S\\013";
        cfg_.CDM_Cmd_ReadDisplay = "D\\013";
        cfg_.CDM_Cmd_Close = "C";
        cfg_.CDM_MUX_Loop_Duration = 600;
        buildLab();
        kv::sim::CdmMeterOptions o;
        o.cmdInit = "I\r";
        o.cmdSample = "S\r";
        o.cmdReadDisplay = "D\r";
        o.cmdClose = "C";
        cdmMeter_ = std::make_unique<kv::sim::CdmMeter>(o, [this] { return (*readings_)(); });
        cdmPort_ = std::make_unique<EndpointMeterPort>(*cdmMeter_, kCdmCom);
        ASSERT_TRUE(kv::CDM_StartupCheck(cfg_, cdm_, nullptr));
        cdmCycle_ = std::make_unique<kv::TCdmCycle>(cfg_, acq_->cells, cdm_, *relays_, mux_,
                                                    flags_.refs(), cdmBusy_, rowAccess_);
        cdmCycle_->setStateObserver([this](int cell, int state) {
            std::lock_guard lock(statesMutex_);
            states_.emplace_back(cell, state);
        });
    }

    // Row r (running, with or without CO2) holding cell i, started.
    void startCell(int i, int rowNr, bool withCO2 = true) {
        kv::RowInfo r;
        r.name = "Row" + std::to_string(rowNr);
        r.state = kv::RowState::Running;
        r.tactSeconds = 30;
        r.lf2co2 = kLF2CO2;
        r.withCO2 = withCO2;
        rows_.set(rowNr, r);
        acq_->cells.MapCellToRow(i, rowNr);
        acq_->cells.StartCell(i, 0, 0, kv::NoValueReal, kv::NoValueReal, kv::NoValueReal, 0, 0,
                              250);
    }

    // One tick at the next period boundary; with skipIdle, the next boundary at which a
    // state is due.
    void tick(bool skipIdle = true) {
        const double period =
            (ec71Cycle_ ? cfg_.EC71_mmTimerInt : cfg_.cdm_mmTimerInt) / 86400000.0;
        kv::TDateTime next = tickTime_ + period;
        if (skipIdle && mux_.NextActivate.load() > next) next = mux_.NextActivate.load();
        if (clock_.now() > next) next = clock_.now();
        clock_.set(next);
        tickTime_ = next;
        if (ec71Cycle_)
            ec71Cycle_->EC71_mmTimerCallback();
        else
            cdmCycle_->cdm_mmTimerCallback();
    }
    // Ticks until pred holds (true) or maxTicks have run (false).
    bool tickUntil(const std::function<bool()>& pred, int maxTicks = 2000, bool skipIdle = true) {
        for (int n = 0; n < maxTicks; ++n) {
            if (pred()) return true;
            tick(skipIdle);
        }
        return pred();
    }
    // Ticks through the rest of the current cycle and the waits to the start of the next.
    bool runCycle() {
        bool left = false;
        return tickUntil([&] {
            const bool waiting = mux_.NextState == kv::muxst_Wait;
            if (!waiting) left = true;
            return left && waiting;
        });
    }

    std::vector<std::pair<int, int>> states() {
        std::lock_guard lock(statesMutex_);
        return states_;
    }
    void clearStates() {
        std::lock_guard lock(statesMutex_);
        states_.clear();
    }
    // The states that ran for one cell, in order, repeats of one state collapsed.
    std::vector<int> walkOf(int cell) {
        std::vector<int> w;
        for (auto [c, s] : states())
            if (c == cell && (w.empty() || w.back() != s)) w.push_back(s);
        return w;
    }
    kv::TCell cell(int i) { return acq_->cells.cell(i); }
    static bool hasMessage(const std::string& text) {
        for (const auto& l : kv::messageList().newestFirst())
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    std::string log() const { return readFile(dir_.file("t.Dbg")); }

    TempDir dir_;
    kv::ManualClock clock_;
    kv::ScopedClock scoped_;
    kv::Config cfg_;
    kv::RunFlagSet flags_;
    kv::HeadlessStatusOutput status_;
    Co2FakeRows rows_;
    kv::Co2RowMemory lf0Rows_;
    // Where the cycles keep the rows' LF_0; a test with real rows points it at them.
    kv::Co2RowAccess* rowAccess_ = &lf0Rows_;
    kv::sim::AbsorberParams absorberParams_;
    std::unique_ptr<kv::sim::Lab> lab_;
    std::unique_ptr<kv::sim::LabAbsorbers> absorbers_;
    std::unique_ptr<ScriptedReadings> readings_;
    std::unique_ptr<kv::FTLink> link_;
    std::unique_ptr<kv::DeviceProtocol> proto_;
    std::unique_ptr<kv::DeviceList> list_;
    std::unique_ptr<kv::Acquisition> acq_;
    kv::TMuxCycle mux_;
    std::unique_ptr<kv::TCO2Relays> relays_;
    kv::EC71CalibrationData calibration_;
    std::unique_ptr<kv::sim::EC71Meter> ec71Meter_, ec71Meter2_;
    std::unique_ptr<EndpointMeterPort> ec71Port_, ec71Port2_, cdmPort_;
    std::vector<std::unique_ptr<kv::TEC71>> meters_;
    std::vector<kv::TEC71*> meterPtrs_;
    std::unique_ptr<kv::TEC71Cycle> ec71Cycle_;
    std::unique_ptr<kv::sim::CdmMeter> cdmMeter_;
    kv::TCdmLink cdm_;
    std::atomic<bool> cdmBusy_{false};
    std::unique_ptr<kv::TCdmCycle> cdmCycle_;
    kv::TDateTime tickTime_ = 0;
    std::mutex statesMutex_;
    std::vector<std::pair<int, int>> states_;
};

}  // namespace kvtest
