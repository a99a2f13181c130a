// The configuration dialog on the offscreen platform over the whole program on the virtual
// lab (the CO2 example: data, case and CO2 devices, an EC71 meter), its timers running and
// its operations on the operations thread as in the window program. Screenshots of every
// page and of the device dialogs go to <build>/screenshots.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>

#include "app/inifile.h"
#include "app/password.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "console/simulated_lab.h"
#include "sim/co2_device.h"
#include "sim/data_device.h"
#include "sim/lab.h"
#include "sim/meters/ec71_meter.h"
#include "sim/meters/sim_co2_ports.h"
#include "support/temp_dir.h"
#include "system/application.h"
#include "system/operation_queue.h"
#include "ui/config_dialog.h"
#include "ui/device_edit_dialog.h"
#include "ui/device_terminal.h"
#include "ui/ec71_calibration_dialog.h"
#include "ui/program_context.h"
#include "ui/translate.h"
#include "ui/window_frontend.h"

using namespace kv;
using namespace kv::ui;

namespace {

const std::string kExample = std::string(KELVORA_SOURCE_DIR) + "/examples/Kelvora-co2.Ini";

// f runs on the window thread once a modal dialog other than `except` is up.
void onNextDialog(std::function<void(QDialog*)> f, QWidget* except = nullptr, int tries = 1000) {
    QTimer::singleShot(5, qApp, [f, except, tries] {
        auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (d && d != except) {
            f(d);
            return;
        }
        ASSERT_GT(tries, 0) << "no dialog opened";
        onNextDialog(f, except, tries - 1);
    });
}

// The text of the next message box, which is then closed with `button`.
void answerNextBox(QString* text, QMessageBox::StandardButton button, QWidget* except = nullptr) {
    onNextDialog(
        [text, button](QDialog* d) {
            auto* box = qobject_cast<QMessageBox*>(d);
            ASSERT_NE(box, nullptr) << d->objectName().toStdString();
            if (text) *text = box->text();
            QAbstractButton* b = box->button(button);
            if (!b) b = box->buttons().front();
            b->click();
        },
        except);
}

// The text of the next question box, answered Yes (polled until one is up).
void answerNextQuestion(QString* text, int tries = 2000) {
    QTimer::singleShot(5, qApp, [text, tries] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            *text = box->text();
            box->button(QMessageBox::Yes)->click();
            return;
        }
        ASSERT_GT(tries, 0) << "no question came";
        answerNextQuestion(text, tries - 1);
    });
}

class ConfigDialogTest : public ::testing::Test {
  protected:
    ConfigDialogTest() : clock_(encodeDateTime(2026, 5, 4, 9)), scoped_(clock_) {
        std::filesystem::create_directory(home_.file("Dbg"));
        std::filesystem::copy_file(kExample, home_.file("Kelvora.Ini"));
        {
            IniFile ini(home_.file("Kelvora.Ini"));
            ini.writeString("Kelvora", "mmTimerInt", "50");
            ini.writeString("Kelvora", "EC71_mmTimerInt", "20");
        }
        std::string error;
        lab_ = buildSimulatedLab(IniFile(home_.file("Kelvora.Ini")), "", error);
        EXPECT_TRUE(lab_) << error;
        StartOptions options;
        options.home = home_.path();
        options.simPorts = lab_->ports();
        options.simLab = lab_.get();
        app_ = std::make_unique<Application>(options, fe_);
        EXPECT_EQ(app_->startup(), 0);
        ops_ = std::make_unique<Operations>(app_->kelvora(), fe_);
        queue_.start();
        ctx_ = std::make_unique<ProgramContext>(app_->kelvora(), *ops_, queue_, fe_);
    }
    ~ConfigDialogTest() override {
        queue_.stop();
        ctx_.reset();
        ops_.reset();
        app_->quit(QuitSource::System);
        app_->shutdown();
    }

    TKelvora& k() { return app_->kelvora(); }
    sim::DataDevice& data() { return *lab_->dataDevice("KLVCO2D1"); }
    sim::Co2Device& co2() { return *lab_->co2Device("KLVCO2C1"); }
    int initFrames() {
        const auto lines = app_->simulatedMeters()->ec71(1)->received();
        return static_cast<int>(std::count(lines.begin(), lines.end(), "<iD/>"));
    }

    // An open session and its dialog, shown.
    std::unique_ptr<TfrmConfigDlg> openDialog() {
        service_ = std::make_shared<ConfigService>(k(), fe_);
        EXPECT_TRUE(service_->open().ok);
        auto dlg = std::make_unique<TfrmConfigDlg>(*ctx_, service_);
        dlg->show();
        return dlg;
    }
    static void setText(TfrmConfigDlg& d, const char* field, const QString& text) {
        auto* e = qobject_cast<QLineEdit*>(d.field(field));
        ASSERT_NE(e, nullptr) << field;
        e->setText(text);
    }
    static void click(QWidget& w, const char* button) {
        auto* b = w.findChild<QPushButton*>(button);
        ASSERT_NE(b, nullptr) << button;
        b->click();
    }
    // OK with a close check that fails: its message; the dialog stays open.
    QString refusedOk(TfrmConfigDlg& d) {
        QString text;
        answerNextBox(&text, QMessageBox::Ok, &d);
        // The check and its message box run within the click.
        click(d, "btnOK");
        EXPECT_TRUE(d.isVisible());
        EXPECT_NE(d.result(), QDialog::Accepted);
        EXPECT_TRUE(service_->isOpen());
        return text;
    }
    void cancelAndWait(TfrmConfigDlg& d) {
        click(d, "btnCancel");
        EXPECT_TRUE(QTest::qWaitFor([&] { return !d.isVisible(); }, 10000));
    }
    static std::string shotDir() {
        const std::string dir = std::string(KELVORA_BINARY_DIR) + "/screenshots";
        std::filesystem::create_directories(dir);
        return dir;
    }
    static void shot(QWidget& w, const std::string& name) {
        QApplication::processEvents();
        EXPECT_TRUE(w.grab().save(QString::fromStdString(shotDir() + "/" + name + ".png")));
    }

    kvtest::TempDir home_;
    ManualClock clock_;
    ScopedClock scoped_;
    std::unique_ptr<sim::Lab> lab_;
    WindowFrontEnd fe_;
    std::unique_ptr<Application> app_;
    std::unique_ptr<Operations> ops_;
    OperationQueue queue_;
    std::unique_ptr<ProgramContext> ctx_;
    std::shared_ptr<ConfigService> service_;
};

TEST_F(ConfigDialogTest, EmptyConfigurationPasswordOpensWithoutPrompt) {
    ASSERT_TRUE(k().cfg.passwordConfig.empty());
    QString first;
    bool pausedWhileOpen = false;
    onNextDialog([&](QDialog* d) {
        first = d->objectName();
        pausedWhileOpen = !k().systemRunning.load();
        click(*d, "btnCancel");
    });
    execConfigDialog(*ctx_, nullptr);
    EXPECT_EQ(first, "frmConfigDlg");
    EXPECT_TRUE(pausedWhileOpen);
    EXPECT_TRUE(k().systemRunning.load());
}

TEST_F(ConfigDialogTest, ConfigurationPasswordIsAskedFirst) {
    {
        auto lock = k().cfg.lock.changing();
        k().cfg.passwordConfig = "open";
    }
    QStringList seen;
    onNextDialog([&](QDialog* d) {
        seen << d->objectName();
        d->findChild<QLineEdit*>("Password")->setText("wrong");
        d->accept();
    });
    execConfigDialog(*ctx_, nullptr);
    EXPECT_EQ(seen, QStringList{"frmPasswd"});
    EXPECT_TRUE(k().systemRunning.load()) << "refused: nothing happens";
}

TEST_F(ConfigDialogTest, TwentyCellsAreRefusedAndTheDialogStaysOpen) {
    auto d = openDialog();
    setText(*d, "NrCells", "20");
    EXPECT_EQ(refusedOk(*d), "Invalid value entered !");
    EXPECT_EQ(d->focusWidget(), d->field("NrCells"));
    EXPECT_EQ(k().cfg.Cells, 6);
    cancelAndWait(*d);
}

TEST_F(ConfigDialogTest, QuitPasswordConfirmationDifferingInOneCharacter) {
    auto d = openDialog();
    setText(*d, "QuitPwd", "secret");
    setText(*d, "confirmQuitPwd", "secreT");
    EXPECT_EQ(refusedOk(*d), "Quit password is not confirmed !");
    EXPECT_EQ(d->focusWidget(), d->field("confirmQuitPwd"));
    EXPECT_EQ(d->findChild<QTabWidget*>("ConfigPages")->currentWidget()->objectName(), "Passwords");
    EXPECT_TRUE(k().cfg.passwordQuit.empty());
    cancelAndWait(*d);
}

TEST_F(ConfigDialogTest, EC71PortsOneAndThreeGiveThreeMeters) {
    auto d = openDialog();
    setText(*d, "ec71_2_COMx", "");
    setText(*d, "EC71_2_firstCell", "");
    setText(*d, "EC71_2_lastCell", "");
    setText(*d, "ec71_3_COMx", "7, 9600, n, 8, 1");
    setText(*d, "EC71_3_firstCell", "1");
    setText(*d, "EC71_3_lastCell", "6");
    QString question;
    answerNextBox(&question, QMessageBox::Yes, d.get());
    click(*d, "btnOK");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !d->isVisible(); }, 10000));
    EXPECT_EQ(d->result(), QDialog::Accepted);
    EXPECT_TRUE(question.startsWith("Save changes to configuration file ?")) << ss(question);
    EXPECT_EQ(k().cfg.EC71_NrDevices, 3);
    EXPECT_EQ(IniFile(home_.file("Kelvora.Ini")).readRaw("Kelvora", "EC71_NrDevices", ""), "3");
    EXPECT_EQ(IniFile(home_.file("Kelvora.Ini")).readRaw("Kelvora", "EC71_3_Port", ""),
              "7, 9600, n, 8, 1");
    EXPECT_TRUE(k().systemRunning.load());
}

// Cancel after changing fields: no setting changes, the devices still get m#, the EC71
// initialisation frame and i1.
TEST_F(ConfigDialogTest, CancelAfterChangesKeepsEverySettingAndResumes) {
    const Config before = k().cfg;
    auto d = openDialog();
    const int frames = initFrames();
    co2().clearReceivedCommands();
    data().clearReceivedCommands();
    setText(*d, "NrCells", "12");
    setText(*d, "Row_Duration", "7");
    setText(*d, "QuitPwd", "x");
    setText(*d, "confirmQuitPwd", "x");
    setText(*d, "DataRoot", "/elsewhere");
    qobject_cast<QCheckBox*>(d->field("bDebug_RS232"))->setChecked(true);
    cancelAndWait(*d);
    EXPECT_EQ(d->result(), QDialog::Rejected);
    EXPECT_TRUE(k().cfg == before);
    EXPECT_EQ(co2().commandCount("m"), 1);
    EXPECT_GE(initFrames(), frames + 1);
    // i1 read back (the acquisition may have asked for values since).
    EXPECT_EQ(data().commandCount("i1"), 1);
    EXPECT_GE(data().commandCount("I"), 1);
    EXPECT_TRUE(k().systemRunning.load());
    EXPECT_FALSE(service_->isOpen());
}

// "Edit..." on the data device's Cxy row: its settings read into frmDeviceEdit, OK writes
// them and the device list takes the new serial number. "Set Lower" measures the selected
// cell's input into the grid, "Write to Device(s)" puts it into the device.
TEST_F(ConfigDialogTest, DeviceEditAndMilliampereLimitsThroughTheDialog) {
    auto d = openDialog();
    ASSERT_EQ(d->findChild<QTableWidget*>("Cxy")->currentRow(), 0);
    QString readSerial;
    onNextDialog(
        [&](QDialog* edit) {
            ASSERT_EQ(edit->objectName(), "frmDeviceEdit");
            readSerial = edit->findChild<QLineEdit*>("SerialNr")->text();
            edit->findChild<QLineEdit*>("SerialNr")->setText("ABCD1234");
            edit->findChild<QLineEdit*>("e")->setText("7");
            edit->findChild<QLineEdit*>("w")->setText("15");
            click(*edit, "btnOK");
        },
        d.get());
    click(*d, "btnEditDevice");
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return k().devices.device(1).SerialNr == "ABCD1234"; }, 10000));
    EXPECT_EQ(readSerial, "KLVCO2D1");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !d->busy(); }, 10000));
    EXPECT_EQ(data().setting('e'), 7);
    EXPECT_EQ(data().setting('w'), 15);
    EXPECT_EQ(d->findChild<QTableWidget*>("Cxy")->item(0, 2)->text(), "ABCD1234");

    data().setAdc(1, 321);
    clock_.advanceMs(3100);
    auto* grid = d->findChild<QTableWidget*>("CCellConfiguration");
    grid->selectRow(0);
    click(*d, "btnSetLower");
    ASSERT_TRUE(QTest::qWaitFor([&] { return grid->item(0, 1)->text() == "321"; }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !d->busy(); }, 10000));
    click(*d, "btnWriteToDevices");
    ASSERT_TRUE(QTest::qWaitFor([&] { return data().cellConfig(1).lower == 321; }, 10000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !d->busy(); }, 10000));
    cancelAndWait(*d);
    // Written to the device is kept, whatever Cancel says about the dialog's fields.
    EXPECT_EQ(data().storedCellConfig(1).lower, 321);
}

// "Calibrate ..." on the EC71 page: the calibration dialog asks, shows its steps and closes
// itself at the end; the meter's values are the cell's calibration point.
TEST_F(ConfigDialogTest, EC71CalibrationThroughTheDialogRunsToItsEnd) {
    auto d = openDialog();
    auto* pages = d->findChild<QTabWidget*>("ConfigPages");
    pages->setCurrentWidget(pages->findChild<QWidget*>("EC71Configuration"));
    auto* cells = d->findChild<QComboBox*>("EC71_Cells");
    ASSERT_EQ(cells->count(), 6);
    cells->setCurrentIndex(2);
    QString question;
    answerNextQuestion(&question);
    click(*d, "btnEC71Calibrate");  // returns when the calibration dialog has closed
    EXPECT_TRUE(question.startsWith("Perform Calibration for Cell 3 ?")) << ss(question);
    const TCalibration p = k().ec71Calibration.get(3).Calibration[0];
    EXPECT_NEAR(p.mesura, 12.88 * 1.002, 1e-3);
    EXPECT_FALSE(d->busy());
    cancelAndWait(*d);
    EXPECT_EQ(co2().relayMask(), 0);
}

// Every page of the dialog and the device dialogs, photographed; the terminal shows the
// device's answer to Z#.
TEST_F(ConfigDialogTest, ScreenshotsOfEveryPageAndTheDeviceDialogs) {
    auto d = openDialog();
    auto* pages = d->findChild<QTabWidget*>("ConfigPages");
    for (int i = 0; i < pages->count(); ++i) {
        pages->setTabVisible(i, true);
        pages->setCurrentIndex(i);
        shot(*d, "frmConfigDlg-" + ss(pages->widget(i)->objectName()));
    }
    DeviceEdit values;
    ASSERT_TRUE(service_->readDevice(1, values).ok);
    EXPECT_EQ(values.e, "5");
    {
        TfrmDeviceEdit edit(values);
        edit.show();
        shot(edit, "frmDeviceEdit");
    }
    TfrmDeviceTerminal terminal(*ctx_, service_, 1, "Cell 1-6\\Case 1", nullptr);
    terminal.show();
    terminal.findChild<QLineEdit*>("edtCommand")->setText("Z#");
    click(terminal, "btnSendCommand");
    auto* answers = terminal.findChild<QPlainTextEdit*>("memAnswer");
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return answers->toPlainText().contains("Z=KLV/USB V1.4.1#"); }, 10000))
        << ss(answers->toPlainText());
    shot(terminal, "frmDeviceTerminal");
    {
        TfrmEC71Calibration calibration(*ctx_, service_, 1);
        calibration.show();
        shot(calibration, "frmEC71Calibration");
    }
    cancelAndWait(*d);
}

}  // namespace
