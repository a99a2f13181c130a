#pragma once
// The program's state over the virtual lab, as the start-up leaves it (devices mapped, cells
// initialised, rows attached), with the operations thread and the window context on top:
// what the windows see in the running program, without the start-up's windows.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/debuglog.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "sim/lab.h"
#include "support/temp_dir.h"
#include "system/kelvora.h"
#include "system/operation_queue.h"
#include "system/operations.h"
#include "ui/program_context.h"
#include "ui/window_frontend.h"

namespace kvtest {

// A lab of `dataDevices` data devices (six cells each) and one case device, and the
// configuration that maps them; `extraIni` adds lines to section [Kelvora].
inline std::string labText(int dataDevices, double rate = 6) {
    std::string t;
    for (int d = 1; d <= dataDevices; ++d) {
        t += "[Device KLV" + std::to_string(d) + "]\nType=1\n";
        for (int c = 1; c <= 6; ++c)
            t += "Cell" + std::to_string(c) + "=rate=" + std::to_string(rate) + "\n";
    }
    t += "[Device CASE1]\nType=2\nTemp=20\nDrift=0\n";
    return t;
}

inline std::string iniText(int dataDevices, const std::string& extraIni = {}) {
    std::string t = "[Kelvora]\r\nCells=" + std::to_string(dataDevices * 6) +
                    "\r\nDelayBetweenStartCells=0\r\nDelayBetweenStopCells=0\r\n"
                    "DefRowMode=0\r\nDecimalComma=0\r\n" +
                    extraIni + "[PassWd]\r\n[USB]\r\nDevices=" + std::to_string(dataDevices + 1) +
                    "\r\n";
    for (int d = 1; d <= dataDevices; ++d)
        t += "[USBDevice-" + std::to_string(d) + "]\r\nSerialNr=KLV" + std::to_string(d) +
             "\r\nType=1\r\nCase=1\r\nphysCells=" + std::to_string(d * 6 - 5) + "," +
             std::to_string(d * 6) + "\r\n";
    t += "[USBDevice-" + std::to_string(dataDevices + 1) +
         "]\r\nSerialNr=CASE1\r\nType=2\r\nCase=1\r\n";
    return t;
}

class UiWorld {
  public:
    // manualClock: virtual time (device waits cost nothing); otherwise the real clock.
    UiWorld(const std::string& ini, const std::string& lab, bool manualClock = true) {
        if (manualClock) {
            clock_.emplace(kv::encodeDateTime(2026, 3, 2, 8));
            scoped_.emplace(*clock_);
        }
        std::filesystem::create_directory(home_.file("Dbg"));
        kv::debugLog().open(home_.file("Dbg/t.Dbg"));
        kv::setDateTimeFormat("GE");
        std::string err;
        lab_ = kv::sim::Lab::fromText(lab, &err);
        EXPECT_TRUE(lab_) << err;
        writeFile(home_.file("Kelvora.Ini"), ini);
        ini_ = std::make_unique<kv::IniFile>(home_.file("Kelvora.Ini"));
        k_ = std::make_unique<kv::TKelvora>(*ini_, home_.path(), home_.file("Kelvora.Row"),
                                            kv::RowsHooks{}, lab_->ports());
        kv::TKelvora& k = *k_;
        kv::loadConfig(*ini_, k.cfg);
        k.devices.USB_Init(0);
        k.devices.mapDevices(k.cfg);
        for (int i = 1; i <= kv::kMaxCells; ++i) k.acq.cells.InitCell(i);
        k.acq.cells.setRowLookup(&k.rows);
        k.acq.cycle.setRowsUpdate([&k](bool force) { k.rows.UpdateAll(force); });
        k.devices.sendInitToDataDevices(1);
        k.startupInProgress = false;
        k.systemRunning = true;
        k.rowCommandIdle = true;
        k.rowAutoSaveBlocked = false;
        kv::messageList().openForAppend(home_.file("Kelvora.Msg"));
        ops_ = std::make_unique<kv::Operations>(k, fe_);
        queue_.start();
        ctx_ = std::make_unique<kv::ui::ProgramContext>(k, *ops_, queue_, fe_);
    }
    ~UiWorld() {
        queue_.stop();
        ctx_.reset();
        ops_.reset();
        k_.reset();
        kv::messageList().close();
        kv::languageTexts().clear();
        kv::debugLog().close();
    }

    kv::TKelvora& k() { return *k_; }
    kv::Operations& ops() { return *ops_; }
    kv::ui::ProgramContext& ctx() { return *ctx_; }
    kv::ui::WindowFrontEnd& fe() { return fe_; }
    kv::sim::Lab& lab() { return *lab_; }
    const TempDir& home() const { return home_; }
    // Virtual time only.
    void advanceMs(double ms) { clock_->advanceMs(ms); }
    // Waits (serving events) until the operations thread is idle.
    bool settle(int ms = 10000) {
        return QTest::qWaitFor([this] { return !ctx_->operationRunning(); }, ms);
    }
    // A series of these cells (numbers as users see them), created through the operations.
    int newRow(const std::string& name, std::vector<int> cells, int mode = 0,
               const std::string& password = {}) {
        kv::RowSpec s = ops_->rowDefaults();
        s.name = name;
        s.cells = std::move(cells);
        s.mode = mode;
        s.password = password;
        s.interval = 1;
        s.intervalUnit = kv::TimeUnit::Minutes;
        const kv::OpResult r = ops_->newRow(s);
        EXPECT_TRUE(r.ok) << r.error;
        return r.rowNr;
    }
    kv::RowState rowState(int nr) {
        auto row = k_->rows.FindByUniqueNr(nr);
        auto lock = k_->rows.lock();
        return row ? row->State : kv::RowState{};
    }

  private:
    std::optional<kv::ManualClock> clock_;
    std::optional<kv::ScopedClock> scoped_;
    TempDir home_;
    std::unique_ptr<kv::sim::Lab> lab_;
    std::unique_ptr<kv::IniFile> ini_;
    std::unique_ptr<kv::TKelvora> k_;
    kv::ui::WindowFrontEnd fe_;
    std::unique_ptr<kv::Operations> ops_;
    kv::OperationQueue queue_;
    std::unique_ptr<kv::ui::ProgramContext> ctx_;
};

// Answers the modal dialogs that open, one handler per dialog in their order, and keeps
// the text of every box seen. Handlers run on the window thread from a 10 ms timer.
class DialogScript : public QObject {
  public:
    using Handler = std::function<void(QWidget*)>;
    DialogScript() {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start();
    }
    void then(Handler h) { handlers_.push_back(std::move(h)); }
    // Clicks the button of a message box whose text contains `text` ("&Yes" -> "Yes").
    void thenClick(const QString& buttonText) {
        then([buttonText](QWidget* w) {
            for (auto* b : w->findChildren<QAbstractButton*>())
                if (b->text().remove('&') == buttonText) {
                    b->click();
                    return;
                }
            if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
        });
    }
    void thenAccept() {
        then([](QWidget* w) {
            if (auto* d = qobject_cast<QDialog*>(w)) d->accept();
        });
    }
    void thenReject() {
        then([](QWidget* w) {
            if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
        });
    }
    void thenPassword(const QString& password) {
        then([password](QWidget* w) {
            auto* field = w->findChild<QLineEdit*>("Password");
            ASSERT_NE(field, nullptr) << "not the password prompt";
            field->setText(password);
            qobject_cast<QDialog*>(w)->accept();
        });
    }
    void thenFile(const QString& path) {
        then([path](QWidget* w) {
            auto* d = qobject_cast<QFileDialog*>(w);
            ASSERT_NE(d, nullptr) << "not a file dialog";
            d->selectFile(path);
            static_cast<QDialog*>(d)->accept();
        });
    }
    bool finished(int ms = 10000) {
        return QTest::qWaitFor([this] { return next_ >= handlers_.size(); }, ms);
    }
    // Texts of the message boxes seen, in order.
    std::vector<QString> texts;

  private:
    void poll() {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || w == last_ || next_ >= handlers_.size()) return;
        last_ = w;
        if (auto* box = qobject_cast<QMessageBox*>(w)) texts.push_back(box->text());
        Handler h = handlers_[next_++];
        h(w);
    }
    QTimer timer_;
    std::vector<Handler> handlers_;
    size_t next_ = 0;
    QPointer<QWidget> last_;
};

}  // namespace kvtest
