#pragma once
// The rows in virtual time: a configuration, a device list over sim ports (the virtual lab
// or scripted fakes), the acquisition with its cell table, and a TRows collection whose
// files live in a temporary folder.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "app/debuglog.h"
#include "app/messages.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "common/numtext.h"
#include "device/device_list.h"
#include "rows/rows.h"
#include "sim/lab.h"
#include "support/temp_dir.h"

namespace kvtest {

// A scratch folder in memory where the system has one: the acquisition rewrites its O2 tank
// file (with a flush to the disk) every fifty ticks, which a day of virtual ticks would
// otherwise turn into minutes of disk waits.
class ScratchDir {
  public:
    ScratchDir() {
        std::string tmpl = "/dev/shm/kelvora-rows-XXXXXX";
        if (mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    // Empty when there is no memory file system.
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

class RowsFixture : public ::testing::Test {
  protected:
    RowsFixture() : clock_(kv::encodeDateTime(2026, 3, 2, 8)), scoped_(clock_) {
        kv::debugLog().open(dir_.file("t.Dbg"));
        kv::setDateTimeFormat("GE");
        kv::setDecimalCommaFlag(false);
        cfg_.DataRoot = dir_.file("Data");
        cfg_.Cells = 12;
        cfg_.DelayBetweenStartCells = 0;
        cfg_.DelayBetweenStopCells = 0;
        cfg_.Cnt_Y = {0, 500, 50, "Impulses"};
        cfg_.O2_Y = {0, 250, 25, "mg O2"};
        cfg_.CO2_Y = {0, 100, 10, "mg CO2"};
        msgStart_ = kv::messageList().total();
    }
    ~RowsFixture() override {
        rows_.reset();
        acq_.reset();
        list_.reset();
        kv::debugLog().close();
        kv::dbg().rows = false;
        kv::dbg().sync = false;
    }

    // The program's objects over the given ports and configured devices.
    void build(std::vector<std::shared_ptr<kv::sim::SimPort>> ports = {},
               std::vector<kv::UsbDeviceSettings> devices = {}) {
        rows_.reset();
        acq_.reset();
        list_.reset();
        proto_.reset();
        link_ = std::make_unique<kv::FTLink>(kv::makeSimBackend(std::move(ports)));
        proto_ = std::make_unique<kv::DeviceProtocol>(*link_);
        list_ = std::make_unique<kv::DeviceList>(*link_, *proto_, &flagSet_.configCmdInProgress);
        list_->USB_Init(0);
        cfg_.devices = std::move(devices);
        list_->mapDevices(cfg_);
        const std::string home = scratch_.path().empty() ? dir_.path() : scratch_.path();
        acq_ = std::make_unique<kv::Acquisition>(cfg_, *list_, flagSet_.refs(), status_, home);
        for (int i = 1; i <= kv::kMaxCells; ++i) acq_->cells.InitCell(i);
        kv::RowsEnv env{cfg_,    nullptr, acq_->cells, *list_,    acq_->io, flagSet_.refs(),
                        nullptr, nullptr, dir_.path(), rowFile(), hooks_};
        rows_ = std::make_unique<kv::TRows>(env);
        acq_->cells.setRowLookup(rows_.get());
        acq_->cycle.setRowsUpdate([this](bool f) { rows_->UpdateAll(f); });
    }

    static kv::UsbDeviceSettings device(const std::string& serial, kv::DeviceType type,
                                        int from = 0, int to = 0) {
        kv::UsbDeviceSettings s;
        s.SerialNr = serial;
        s.Type = type;
        s.Case = 1;
        s.physCellNr_From = from;
        s.physCellNr_To = to;
        return s;
    }

    std::string rowFile() const { return dir_.file("Kelvora.Row"); }
    kv::TRows& rows() { return *rows_; }
    kv::TCells& cells() { return acq_->cells; }

    // A new series with cells, not started.
    std::shared_ptr<kv::TRow> newRow(const std::string& name, std::vector<int> cellNrs,
                                     bool isTemplate = false) {
        const int nr = rows_->NewRow(0);
        auto r = rows_->FindByUniqueNr(nr);
        // Another thread may be updating the rows meanwhile: fields are written under the
        // rows lock, as every production path does.
        auto lock = rows_->lock();
        r->Name = name;
        r->isTemplate = isTemplate;
        for (int c : cellNrs)
            r->AddCell(c, "Cell " + std::to_string(c), 250, 0, 0, kv::NoValueReal, kv::NoValueReal,
                       kv::NoValueReal);
        return r;
    }

    // Messages added since the fixture was built, oldest first.
    std::vector<std::string> messages() const {
        auto all = kv::messageList().newestFirst();
        const int n =
            std::min<int>(kv::messageList().total() - msgStart_, static_cast<int>(all.size()));
        std::vector<std::string> out(all.begin(), all.begin() + std::max(n, 0));
        return {out.rbegin(), out.rend()};
    }
    bool hasMessage(const std::string& text) const {
        for (const auto& m : messages())
            if (m.find(text) != std::string::npos) return true;
        return false;
    }
    std::string log() const { return readFile(dir_.file("t.Dbg")); }

    void advanceSeconds(double s) { clock_.advanceMs(s * 1000.0); }

    TempDir dir_;
    ScratchDir scratch_;
    kv::ManualClock clock_;
    kv::ScopedClock scoped_;
    kv::Config cfg_;
    kv::RunFlagSet flagSet_;
    kv::HeadlessStatusOutput status_;
    kv::RowsHooks hooks_;
    std::unique_ptr<kv::FTLink> link_;
    std::unique_ptr<kv::DeviceProtocol> proto_;
    std::unique_ptr<kv::DeviceList> list_;
    std::unique_ptr<kv::Acquisition> acq_;
    std::unique_ptr<kv::TRows> rows_;
    int msgStart_ = 0;
};

}  // namespace kvtest
