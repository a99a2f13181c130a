#pragma once
// A running TKelvora in virtual time over the virtual lab, as start-up leaves it (devices
// mapped, cells initialised, rows attached) but without the timer threads, with the
// operations object and the console's interpreter on top.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/debuglog.h"
#include "app/messages.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "common/numtext.h"
#include "console/commands.h"
#include "console/console_frontend.h"
#include "sim/lab.h"
#include "support/temp_dir.h"
#include "system/kelvora.h"
#include "system/operations.h"

namespace kvtest {

// Answers questions from a script and records them.
class ScriptedFrontEnd : public kv::FrontEnd {
  public:
    void progress(const std::string&) override {}
    void errorBox(const std::string& t) override { errors.push_back(t); }
    kv::Answer ask(const std::string& q, bool) override {
        questions.push_back(q);
        return answer;
    }
    bool askPassword(const std::string& title, std::string& entry) override {
        questions.push_back(title);
        entry = password;
        return givePassword;
    }
    std::vector<std::string> errors, questions;
    kv::Answer answer = kv::Answer::Yes;
    std::string password;
    bool givePassword = false;
};

inline const char* kLabText =
    "[Device KLV1]\nType=1\nCell1=rate=6\nCell2=rate=6\n"
    "[Device KLV2]\nType=1\n"
    "[Device CASE1]\nType=2\nTemp=20\nDrift=0\n";

inline const char* kIniText =
    "[Kelvora]\r\nCells=12\r\nDelayBetweenStartCells=0\r\nDelayBetweenStopCells=0\r\n"
    "DefRowMode=0\r\nDecimalComma=0\r\n"
    "[PassWd]\r\n"
    "[USB]\r\nDevices=3\r\n"
    "[USBDevice-1]\r\nSerialNr=KLV1\r\nType=1\r\nCase=1\r\nphysCells=1,6\r\n"
    "[USBDevice-2]\r\nSerialNr=KLV2\r\nType=1\r\nCase=1\r\nphysCells=7,12\r\n"
    "[USBDevice-3]\r\nSerialNr=CASE1\r\nType=2\r\nCase=1\r\n";

class ConsoleFixture : public ::testing::Test {
  protected:
    ConsoleFixture() : clock_(kv::encodeDateTime(2026, 3, 2, 8)), scoped_(clock_) {
        std::filesystem::create_directory(home_.file("Dbg"));
        kv::debugLog().open(home_.file("Dbg/t.Dbg"));
        kv::setDateTimeFormat("GE");
        std::string err;
        lab_ = kv::sim::Lab::fromText(kLabText, &err);
        EXPECT_TRUE(lab_) << err;
        writeFile(home_.file("Kelvora.Ini"), kIniText);
        ini_ = std::make_unique<kv::IniFile>(home_.file("Kelvora.Ini"));
        k_ = std::make_unique<kv::TKelvora>(*ini_, home_.path(), home_.file("Kelvora.Row"),
                                            kv::RowsHooks{}, lab_->ports());
        kv::TKelvora& k = *k_;
        kv::loadConfig(*ini_, k.cfg);
        k.devices.USB_Init(0);
        k.devices.mapDevices(k.cfg);
        for (int i = 1; i <= kv::kMaxCells; ++i) k.acq.cells.InitCell(i);
        k.acq.cells.setRowLookup(&k.rows);
        k.devices.sendInitToDataDevices(1);
        k.startupInProgress = false;
        k.systemRunning = true;
        k.rowCommandIdle = true;
        k.rowAutoSaveBlocked = false;
        ui_.quiet = true;
        ops_ = std::make_unique<kv::Operations>(k, ui_);
        console_ = std::make_unique<kv::CommandInterpreter>(*ops_, ui_, [this] {
            ++quitCalls_;
            return quitResult_;
        });
    }
    ~ConsoleFixture() override {
        console_.reset();
        ops_.reset();
        k_.reset();
        kv::debugLog().close();
    }

    kv::ConsoleReply run(const std::string& line) { return console_->execute(line); }
    // The answer text of a command that must succeed.
    std::string ok(const std::string& line) {
        const kv::ConsoleReply r = run(line);
        EXPECT_TRUE(r.ok) << line << " -> " << r.text();
        return r.text();
    }
    std::string error(const std::string& line) {
        const kv::ConsoleReply r = run(line);
        EXPECT_FALSE(r.ok) << line << " -> " << r.text();
        return r.error;
    }

    kv::TKelvora& k() { return *k_; }
    kv::Operations& ops() { return *ops_; }
    std::shared_ptr<kv::TRow> row(const std::string& name) {
        for (const auto& r : k_->rows.Snapshot())
            if (r->Name == name) return r;
        return nullptr;
    }
    kv::RowState rowState(const std::string& name) {
        auto r = row(name);
        auto lock = k_->rows.lock();
        return r ? r->State : kv::RowState{};
    }
    kv::CellState cellState(int slot, const std::string& name) {
        auto r = row(name);
        auto lock = k_->rows.lock();
        return r->RowCells[static_cast<size_t>(slot)].State;
    }
    // Messages added since the mark, oldest first.
    std::vector<std::string> messagesSince(int mark) {
        const auto all = kv::messageList().newestFirst();
        std::vector<std::string> out;
        const int n = std::min<int>(kv::messageList().total() - mark, static_cast<int>(all.size()));
        for (int i = n - 1; i >= 0; --i) out.push_back(all[static_cast<size_t>(i)]);
        return out;
    }
    static bool anyEndsWith(const std::vector<std::string>& lines, const std::string& tail) {
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.size() >= tail.size() &&
                   l.compare(l.size() - tail.size(), tail.size(), tail) == 0;
        });
    }

    TempDir home_;
    kv::ManualClock clock_;
    kv::ScopedClock scoped_;
    std::unique_ptr<kv::sim::Lab> lab_;
    std::unique_ptr<kv::IniFile> ini_;
    std::unique_ptr<kv::TKelvora> k_;
    kv::ConsoleFrontEnd ui_;
    std::unique_ptr<kv::Operations> ops_;
    std::unique_ptr<kv::CommandInterpreter> console_;
    int quitCalls_ = 0;
    bool quitResult_ = true;
};

}  // namespace kvtest
