#pragma once
// The windows against a TKelvora in virtual time over the virtual lab, as start-up leaves it
// (devices mapped, cells initialised), with the operations answered by the window front end.
// Operations run at once on the window thread (SyncContext), so a click's effect is there
// when the click returns; questions and password prompts open as real dialogs, which the
// tests answer with onNextDialog().

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "sim/lab.h"
#include "support/temp_dir.h"
#include "system/kelvora.h"
#include "system/operations.h"
#include "ui/ui_context.h"
#include "ui/window_frontend.h"

namespace kvtest {

class SyncContext : public kv::ui::UiContext {
  public:
    SyncContext(kv::TKelvora& k, kv::Operations& ops, kv::ui::WindowFrontEnd& fe)
        : k_(k), ops_(ops), fe_(fe) {}
    kv::TKelvora& kelvora() override { return k_; }
    kv::ui::WindowFrontEnd& frontEnd() override { return fe_; }
    void runOperation(QObject*, std::function<kv::OpResult(kv::Operations&)> work,
                      std::function<void(const kv::OpResult&)> done) override {
        ++operations;
        const kv::OpResult r = work(ops_);
        last = r;
        if (done) done(r);
    }
    bool operationRunning() const override { return false; }

    int operations = 0;
    kv::OpResult last;

  private:
    kv::TKelvora& k_;
    kv::Operations& ops_;
    kv::ui::WindowFrontEnd& fe_;
};

// Runs f on the next modal dialog or message box once it is open. A probe whose `waiting`
// flag is cleared stops looking (a dialog that may or may not open).
inline void onNextDialog(std::function<void(QWidget*)> f, int triesLeft = 500,
                         std::shared_ptr<bool> waiting = {}) {
    QTimer::singleShot(5, qApp, [f, triesLeft, waiting] {
        if (waiting && !*waiting) return;
        if (QWidget* d = QApplication::activeModalWidget()) {
            f(d);
            return;
        }
        if (triesLeft <= 0) {
            if (!waiting) ADD_FAILURE() << "no dialog opened";
            return;
        }
        onNextDialog(f, triesLeft - 1, waiting);
    });
}

// The text of a message box, or "" for another window.
inline QString boxText(QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    return box ? box->text() : QString();
}

// Clicks the button of a dialog or box whose text contains `label`.
inline void clickButton(QWidget* w, const QString& label) {
    for (auto* b : w->findChildren<QPushButton*>())
        if (b->text().remove('&').contains(label)) {
            b->click();
            return;
        }
    ADD_FAILURE() << "no button " << label.toStdString();
}

inline const char* kUiLabText =
    "[Device KLV1]\nType=1\nCell1=rate=6\nCell2=rate=6\nCell3=rate=3\n"
    "[Device KLV2]\nType=1\n"
    "[Device CASE1]\nType=2\nTemp=20\nDrift=0\n";

inline const char* kUiIniText =
    "[Kelvora]\r\nCells=12\r\nDelayBetweenStartCells=0\r\nDelayBetweenStopCells=0\r\n"
    "DefRowMode=0\r\nDecimalComma=0\r\n"
    "[PassWd]\r\n"
    "[USB]\r\nDevices=3\r\n"
    "[USBDevice-1]\r\nSerialNr=KLV1\r\nType=1\r\nCase=1\r\nphysCells=1,6\r\n"
    "[USBDevice-2]\r\nSerialNr=KLV2\r\nType=1\r\nCase=1\r\nphysCells=7,12\r\n"
    "[USBDevice-3]\r\nSerialNr=CASE1\r\nType=2\r\nCase=1\r\n";

class UiFixture : public ::testing::Test {
  protected:
    UiFixture() : clock_(kv::encodeDateTime(2026, 3, 2, 8)), scoped_(clock_) {
        std::filesystem::create_directory(home_.file("Dbg"));
        kv::debugLog().open(home_.file("Dbg/t.Dbg"));
        kv::messageList().openForAppend(home_.file("Kelvora.Msg"));
        kv::setDateTimeFormat("GE");
        std::string err;
        lab_ = kv::sim::Lab::fromText(kUiLabText, &err);
        EXPECT_TRUE(lab_) << err;
        { std::ofstream(home_.file("Kelvora.Ini"), std::ios::binary) << kUiIniText; }
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
        k.acq.cycle.setRowsUpdate([this](bool force) { k_->rows.UpdateAll(force); });
        k.startupInProgress = false;
        k.systemRunning = true;
        k.rowCommandIdle = true;
        k.rowAutoSaveBlocked = false;
        ops_ = std::make_unique<kv::Operations>(k, fe_);
        ctx_ = std::make_unique<SyncContext>(k, *ops_, fe_);
    }
    ~UiFixture() override {
        ctx_.reset();
        ops_.reset();
        k_.reset();
        kv::languageTexts().clear();
        kv::messageList().close();
        kv::debugLog().close();
    }

    kv::TKelvora& k() { return *k_; }
    kv::Operations& ops() { return *ops_; }
    SyncContext& ctx() { return *ctx_; }
    std::shared_ptr<kv::TRow> row(int nr) { return k_->rows.FindByUniqueNr(nr); }

    // A new series over the given cells, as the console makes it.
    int newRow(const std::string& name, std::vector<int> cells) {
        kv::RowSpec s = ops_->rowDefaults();
        s.name = name;
        s.cells = std::move(cells);
        const kv::OpResult r = ops_->newRow(s);
        EXPECT_TRUE(r.ok) << r.error;
        return r.rowNr;
    }
    // A series under way: started, with minutes of virtual measurement behind it.
    int runningRow(const std::string& name, std::vector<int> cells, int minutes) {
        const int nr = newRow(name, std::move(cells));
        {
            auto lock = k_->rows.lock();
            row(nr)->Interval = 1;
            row(nr)->SIInterval = kv::TimeUnit::Minutes;
        }
        const kv::OpResult r = ops_->startRow(nr, false);
        EXPECT_TRUE(r.ok) << r.error;
        for (int t = 0; t < minutes * 20; ++t) {
            clock_.advanceMs(3000);
            k_->acq.cycle.mmTimerCallback();
        }
        return nr;
    }
    int messages() const { return kv::messageList().total(); }
    std::string newestMessage() const {
        const auto all = kv::messageList().newestFirst();
        return all.empty() ? std::string() : all.front();
    }

    TempDir home_;
    kv::ManualClock clock_;
    kv::ScopedClock scoped_;
    std::unique_ptr<kv::sim::Lab> lab_;
    std::unique_ptr<kv::IniFile> ini_;
    std::unique_ptr<kv::TKelvora> k_;
    kv::ui::WindowFrontEnd fe_;
    std::unique_ptr<kv::Operations> ops_;
    std::unique_ptr<SyncContext> ctx_;
};

}  // namespace kvtest
