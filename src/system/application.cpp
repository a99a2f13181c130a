#include "system/application.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/alarm_notify.h"
#include "app/debuglog.h"
#include "app/inifile.h"
#include "app/livefile.h"
#include "app/messages.h"
#include "app/password.h"
#include "app/texts.h"
#include "co2/winsio.h"
#include "common/clock.h"
#include "common/datetime.h"
#include "common/numtext.h"
#include "common/spawn.h"
#include "rows/sync.h"
#include "sim/meters/sim_co2_ports.h"
#include "system/run_deadline.h"
#include "system/version.h"

namespace kv {

namespace {

constexpr const char* kApp = "App";
const std::string kStartText = std::string("Start Kelvora  [") + kVersionText + "]";
const std::string kStopText = std::string("Stop Kelvora  [") + kVersionText + "]";

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace

Application::Application(StartOptions options, FrontEnd& frontEnd)
    : options_(std::move(options)), ui_(frontEnd) {
    const char* env = std::getenv("KELVORA_HOME");
    paths_ = resolveHome(options_.home, env ? env : "", executableDir());
}

Application::~Application() {
    if (running_.load()) {
        quit(QuitSource::System);
        shutdown();
    }
}

int Application::startup() {
    // 1. The program start time.
    startTime_ = clock().now();

    // 2. One program per home folder. Nothing else happens for a second start.
    if (!lock_.acquire(paths_.lockFile())) {
        struct stat st {};
        if (::stat(paths_.home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            ui_.errorBox("Home folder [" + paths_.home + "] does not exist.");
            return 1;
        }
        if (::access(paths_.home.c_str(), W_OK) != 0) {
            ui_.errorBox("Home folder [" + paths_.home + "] is not writable.");
            return 1;
        }
        ui_.errorBox("Kelvora can run only once !");
        return 1;
    }
    if (lockHeld_) lockHeld_();

    // 3. The configuration; the time-stamp style is needed before anything is logged.
    ini_ = std::make_unique<IniFile>(paths_.ini());
    setDateTimeFormat(ini_->readString("Kelvora", "DateTimeFormat", "GE"));
    if (!ini_->lastError().empty()) ui_.errorBox(ini_->lastError());

    // 4.-7. Logs, parameter, splash.
    startupLogs();
    // A crash in the middle of an atomic replace leaves its temporary file; the lock says
    // that nothing else writes these files now.
    for (const std::string& f : {paths_.ini(), paths_.row(), paths_.home + "/O2_TankData.Txt",
                                 paths_.home + "/CellCounts.Txt"})
        removeLeftoverTemporaryOf(f);
    startupLanguage();
    progress("Initializing forms...");
    WriteDbg(kApp, "... creating forms");
    startupMessages();
    startupAlarms(previousLastMessage_);
    startupConfigDefaults();
    startupLiveFile();
    startupKelvora();
    startupCO2Checks();
    startupDevicesAndRows();
    startupAlignCells();
    startupFinish();
    return 0;
}

void Application::startupLogs() {
    // The "Dbg" folder is not created by the program: without it there is no debug log.
    const std::string logName = paths_.dbgDir() + "/Kelvora_" + fileStamp(startTime_) + ".Dbg";
    debugLog().open(logName);
    WriteDbg(kApp, "");
    WriteDbg(kApp, "");
    WriteDbg(kApp, std::string(113, '-'));
    WriteDbg(kApp, kStartText);
    if (!options_.parameter.empty()) WriteDbg(kApp, "... Parameter=[" + options_.parameter + "]");
    // With and without windows: whoever reads the log must know its times are simulated.
    if (clockSpeed() != 1)
        WriteDbg(kApp, "The run is accelerated: the clock runs " + realToText(clockSpeed(), 0, -3) +
                           " times faster than real time (simulated time)");
    WriteDbg(kApp, "... starting SplashScreen");
}

void Application::startupLanguage() {
    progress("Load language support file...");
    WriteDbg(kApp, "... loading Textfile [" + paths_.txt() + "]");
    if (fileExists(paths_.txt())) languageTexts().load(paths_.txt());
}

void Application::startupMessages() {
    WriteDbg(kApp, "... loading MessageFile [" + paths_.msg() + "]");
    const std::string loadError = messageList().load(paths_.msg());
    const auto loaded = messageList().newestFirst();
    previousLastMessage_ = loaded.empty() ? std::string() : loaded.front();
    if (!messageList().openForAppend(paths_.msg())) {
        const std::string err = "Message file [" + paths_.msg() + "] cannot be written.";
        ui_.errorBox(err);
        WriteDbg(kApp, err);
    }
    messageList().add(kStartText, false);
    if (!loadError.empty()) {
        messageList().add(loadError, true);
        WriteDbg(kApp, loadError);
    }
}

void Application::startupConfigDefaults() {
    progress("Initializing Kelvora Data Structures...");
    IniFile::Batch batch(*ini_);
    ini_->writeString("General", "Version", kVersionText);
    if (ini_->readString("Excel", "Version", "-") == "-") {
        ini_->writeString("Excel", "Version", "97");
        ini_->writeString("Excel", "Template", "C:\\Kelvora\\Excel\\Auswertung.XLS");
        ini_->writeString("Excel", "ResultPath", "C:\\Kelvora\\Excel");
        ini_->writeString("Kelvora", "DefRowMode", "1");
    }
    ini_->writeString("FT232R", "DisEnableInterval(Sec)", "1");
    ini_->writeString("FT232R", "DisEnableTimer(mSec)", "1000");
    if (!batch.commit()) {
        const std::string err =
            "Configuration file [" + paths_.ini() + "] cannot be written: " + ini_->lastError();
        AddMsg(err, true);
        WriteDbg(kApp, err);
        ui_.errorBox(err);
    }
}

void Application::startupLiveFile() {
    const std::string name =
        liveFileName(ini_->readString("Kelvora", "LiveFN", ""), paths_.basePath);
    liveFile().configure(name);
    if (name.empty()) return;
    WriteDbg(kApp, "... initializing LiveFile [" + name + "]");
    TouchLiveFile();
    // One monitor per home folder: it holds a lock there while it watches.
    if (!lockHeld(paths_.monitorLockFile())) startMonitorIfNeeded();
}

void Application::startMonitorIfNeeded() {
    const std::string monitor = executableDir() + "/kelvora-monitor";
    if (::access(monitor.c_str(), X_OK) != 0) {
        WriteDbg(kApp, "... monitor program [" + monitor + "] not available");
        return;
    }
    SpawnOptions o;
    o.argv = {monitor, "--home", paths_.home, "--stale",
              std::to_string(std::max(1, ini_->readInteger("Monitor", "Stale(Sec)", 120)))};
    if (ini_->readInteger("Monitor", "Notify", 1) != 0) o.argv.push_back("--notify");
    // Under a service manager the restart is the manager's: two restarts would compete for
    // the home folder.
    if (ini_->readInteger("Monitor", "Restart", 0) != 0 && !service_.active())
        o.argv.push_back("--restart");
    o.unsetEnv = {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"};
    // Its own session: a terminal that closes, or a Ctrl-C meant for Kelvora, leaves it alone.
    o.group = SpawnOptions::Group::Session;
    std::string error;
    if (spawnProcess(o, error) > 0)
        WriteDbg(kApp, "... started monitor program [" + monitor + "]");
    else
        WriteDbg(kApp, "... monitor program [" + monitor + "] could not be started: " + error);
}

void Application::startupAlarms(const std::string& previousLastMessage) {
    AlarmSettings s = readAlarmSettings(*ini_, paths_.home);
    if (!s.command.empty()) WriteDbg(kApp, "... alarm command [" + s.command + "]");
    alarmNotifier().configure(std::move(s));
    // Every run ends its message file with the stop line; without it the previous run was
    // killed, crashed or lost its power, and somebody should know that it started again.
    if (!previousLastMessage.empty() &&
        previousLastMessage.find("Stop Kelvora") == std::string::npos) {
        const std::string text = "Kelvora started again in " + paths_.home +
                                 "; the previous run ended without shutting down.";
        WriteDbg(kApp, "... " + text);
        NotifyAlarm(AlarmKind::Restart, text);
    }
}

// The splash window's gauges and texts during the synchronisation; headless, only the
// task texts are shown.
class Application::SplashProgress : public SyncProgress {
  public:
    explicit SplashProgress(Application& app) : app_(app), out_(app.ui_.splash()) {}
    // The splash window and the console's start-up status both follow the synchronisation.
    void devicesStarted(int count) override {
        app_.startupStatus_.setDevices("Devices", count);
        if (out_) out_->devicesStarted(count);
    }
    void deviceProgress(int done) override {
        app_.startupStatus_.setDevicesDone(done);
        if (out_) out_->deviceProgress(done);
    }
    void valuesStarted(int entries) override {
        app_.startupStatus_.setValues(entries);
        if (out_) out_->valuesStarted(entries);
    }
    void valuesProgress(int percent) override {
        app_.startupStatus_.setValuesPercent(percent);
        if (out_) out_->valuesProgress(percent);
    }
    void task(const std::string& text) override { app_.progress(text); }
    bool cancelRequested() override { return out_ && out_->cancelRequested(); }
    void processMessages() override {
        if (out_) out_->processMessages();
    }

  private:
    Application& app_;
    SplashOutput* out_;
};

void Application::progress(const std::string& text) {
    startupStatus_.setTask(text);
    ui_.progress(text);
    service_.status(text);
}

RowsHooks Application::rowsHooks() {
    RowsHooks h;
    h.errorBox = [this](const std::string& text) { ui_.errorBox(text); };
    h.setStatusText = [this](const std::string& text) {
        if (kelvora_) kelvora_->status.setPanel(StatusPanel::StatusLine, text, StatusColor::Black);
    };
    h.forceCO2Cycle = [this] {
        if (!kelvora_) return;
        if (kelvora_->cfg.CDM_Present) kelvora_->cdmCycle.forceNewCycle();
        if (kelvora_->cfg.EC71_Present) kelvora_->ec71Cycle.forceNewCycle();
    };
    h.co2RelayOff = [this](int cell, bool) {
        if (kelvora_) kelvora_->relays.CDM_SetCellRelais(cell, 0);
    };
    h.resetQueuesAfterNextRead = [this] {
        if (!kelvora_ || !kelvora_->acq.cycle.running()) return false;
        kelvora_->acq.cycle.resetQueuesAfterNextRead();
        return true;
    };
    return h;
}

void Application::startupKelvora() {
    progress("Loading Kelvora Data Structures...");
    WriteDbg(kApp, "... creating Kelvora data structure");
    kelvora_ = std::make_unique<TKelvora>(*ini_, paths_.home, paths_.row(), rowsHooks(),
                                          options_.simPorts);
    TKelvora& k = *kelvora_;
    k.status.setPrint(options_.printStatus);
    k.startupInProgress = true;
    k.systemRunning = false;
    k.rowCommandIdle = false;
    loadConfig(*ini_, k.cfg);
    // The device part of the configuration load: enumerate, open and map the devices.
    k.devices.USB_Init(0);
    const auto mapped = k.devices.mapDevices(k.cfg);
    for (int i = 1; i <= kMaxCells; ++i) k.acq.cells.InitCell(i);
    k.acq.tanks.read_O2TankData();
    if (mapped.currentTemperature) k.acq.cycle.setCurrentTemperature(*mapped.currentTemperature);
    // The CO2 interfaces: serial port names, the EC71 meters with their frames and
    // calibration data.
    loadComPortMap(*ini_);
    // On the virtual lab the configured meters answer on their COM ports in process, so
    // the CO2 checks and cycles run as they would with hardware.
    if (options_.simLab) simMeters_ = sim::createSimCo2Meters(k.cfg, *options_.simLab);
    for (int n = 1; n <= kMaxEC71Meters; ++n) {
        TEC71& meter = *k.ec71[static_cast<size_t>(n - 1)];
        meter.configure(k.cfg, n);
        meter.Frames.load(*ini_);
        meter.setCalibrationData(&k.ec71Calibration);
    }
    k.ec71Calibration.load(*ini_, k.cfg.Cells, k.cfg.EC71_NrOfCalibrationPoints);
    if (k.cfg.EC71_Present) EC71_CheckCellRanges(k.cfg, k.ec71Meters(), k.cfg.firstCell);
}

void Application::startupCO2Checks() {
    TKelvora& k = *kelvora_;
    WriteDbg(kApp, "... checking CDM");
    if (k.cfg.CDM_Present) {
        progress("Initializing USB/RS232 CDM interface...");
        CDM_StartupCheck(k.cfg, k.cdm, [this](const std::string& text) { ui_.errorBox(text); });
    }
    WriteDbg(kApp, "... checking EC71");
    if (k.cfg.EC71_Present) {
        progress("Initializing USB/RS232 EC71 interface...");
        EC71_StartupCheck(k.cfg, k.ec71Meters(), [&k] { k.relays.allOff(); });
    }
}

void Application::startupDevicesAndRows() {
    TKelvora& k = *kelvora_;
    // Every data device's tact counter is reset and its settings re-read before the rows
    // and the synchronisation look at the devices.
    k.devices.sendInitToDataDevices(0);
    k.devices.sendSToDataDevices();

    progress("Loading Kelvora stored Row Data...");
    WriteDbg(kApp, "... loading RowFile [" + paths_.row() + "]");
    k.rows.LoadRowFile(paths_.row());
    WriteDbg(kApp, "... .. finished loading Row-file: " + paths_.row());
    k.acq.cells.setRowLookup(&k.rows);
    // What was counted after the last data lines, should the program have ended without
    // writing them (a crash, a power loss): before the synchronisation adds the tacts the
    // devices still queue.
    const auto newestValueTime = [&k](int rowNr) -> TDateTime {
        const auto row = k.rows.FindByUniqueNr(rowNr);
        if (!row) return 0;
        auto lock = k.rows.lock();
        return row->iRTV > 0 ? row->RTV[static_cast<size_t>(row->iRTV)].dt : 0;
    };
    if (const int restored = k.acq.journal.restore(newestValueTime); restored > 0)
        WriteDbg(kApp, "... counts of " + std::to_string(restored) + " cell(s) restored from " +
                           k.acq.journal.path());

    if (options_.parameter != "NoSync") {
        progress("Synchronizing Kelvora with Devices...");
        WriteDbg(kApp, "... Start synching with devices");
        SplashProgress splash(*this);
        DeviceSync(k.cfg, k.devices, k.acq.io, k.acq.cells, k.rows).SyncWithDevices(false, &splash);
        WriteDbg(kApp, "... Finished synching with devices");
        clock().sleepMs(1000);
    }
}

void Application::startupAlignCells() {
    SplashOutput* splash = ui_.splash();
    const int cells = kelvora_->cfg.Cells;
    startupStatus_.setAligning(cells);
    if (splash) splash->alignmentStarted(cells);
    progress("Synchronizing Kelvora Cellstate with Devices...");
    // Each data device's cells on a worker of their own, all devices at once.
    kelvora_->acq.cells.AlignCells(cells, kelvora_->cfg.parallelDevices(),
                                   &startupStatus_.cellsDone());
    if (splash) splash->alignmentProgress(cells);
}

void Application::startupFinish() {
    if (SplashOutput* splash = ui_.splash()) splash->showSplash(false);
    kelvora_->devices.sendInitToDataDevices(1);
    kelvora_->rowAutoSaveBlocked = false;
    kelvora_->startupInProgress = false;
    kelvora_->systemRunning = true;
    messageList().newMessages() = true;
    kelvora_->rowCommandIdle = true;
    TKelvora& k = *kelvora_;
    k.rows.startAutoSave();
    k.acq.cycle.setRowsUpdate([&k](bool force) { k.rows.UpdateAll(force); });
    k.acq.check.setProgramStart(startTime_);
    // A data device that comes back is read out again; this runs on the device check's
    // own thread.
    k.acq.check.setResyncHook([this, &k] {
        SplashOutput* window = ui_.splash();
        if (window) window->showSplash(true);
        SplashProgress splash(*this);
        DeviceSync(k.cfg, k.devices, k.acq.io, k.acq.cells, k.rows).SyncWithDevices(true, &splash);
        if (window) window->showSplash(false);
    });
    k.acq.check.setEC71Hook([&k] { return k.cfg.EC71_Present && k.ec71Cycle.deviceCheck(); });
    k.acq.check.setCDMHook([&k] {
        if (k.cfg.CDM_Present) k.cdmCycle.deviceCheck();
    });
    // The service manager's watchdog is fed by the ticks themselves.
    k.acq.cycle.setTickDone([this] { service_.tickDone(); });
    if (service_.watchdogInterval().count() > 0 &&
        std::chrono::milliseconds(k.cfg.mmTimerInt) * 2 >
            std::chrono::duration_cast<std::chrono::milliseconds>(service_.watchdogInterval()))
        WriteDbg(kApp, "... the service watchdog interval is shorter than two acquisition ticks");
    k.acq.startTimers();
    if (k.cfg.CDM_Present) k.cdmCycle.start();
    if (k.cfg.EC71_Present) k.ec71Cycle.start();
    running_ = true;
    startupStatus_.setRunning();
    progress("Kelvora running");
    service_.ready();
}

bool Application::quit(QuitSource source) {
    if (!running_.load()) return true;
    TKelvora& k = *kelvora_;
    const bool interactive = source != QuitSource::System;
    if (interactive) {
        // 1. The quit password, when one is configured.
        if (!k.cfg.passwordQuit.empty()) {
            std::string entry;
            if (!ui_.askPassword(GetText("frmPasswd", "QuitTitle", "Enter quit password"), entry))
                return false;
            if (!checkPassword(entry, k.cfg.passwordQuit, k.cfg.passwordMaster)) return false;
        }
        // 2. Confirmation.
        if (k.cfg.ConfirmQuit &&
            ui_.ask(GetText("frmMain", "ConfirmQuit", "Exit Kelvora ?"), false) != Answer::Yes)
            return false;
    }
    // 3. A running series may store its current values first.
    if (k.rows.CountRunning() > 0) {
        const Answer a = interactive
                             ? ui_.ask(GetText("frmMain", "UpdateOnQuit",
                                               "Store current value of data values (O2/CO2) with "
                                               "actual time ?"),
                                       true)
                             // Asked by the operating system: keep every impulse counted so far.
                             : Answer::Yes;
        if (a == Answer::Cancel) return false;
        if (a == Answer::Yes) {
            WriteDbg(source == QuitSource::WindowClose ? "Exit (x)" : "Exit (0)",
                     "calling Rows.Update(True)");
            k.rows.UpdateAll(true);
        }
    }
    // 4. Callbacks that start from now on do no work.
    service_.stopping();
    k.quitting = true;
    k.systemRunning = false;
    // 5. Wait until every periodic callback has left its work, 6. then stop the timers.
    while (k.callbacksBusy()) clock().sleepMs(10);
    k.acq.stopTimers();
    k.cdmCycle.stop();
    k.ec71Cycle.stop();
    k.rows.stopAutoSave();
    // 7. The row definitions.
    k.rows.SaveRowFile(paths_.row(), false);
    // 8. The device state and graphics settings.
    k.devices.writeBackState(k.cfg);
    if (!saveConfigState(*ini_, k.cfg))
        WriteDbg(kApp, "... state save failed: " + ini_->lastError());
    // 9. The window's close button leaves the tank file alone; every other quit keeps the
    // tank contents, so a restart continues with the right levels.
    if (source != QuitSource::WindowClose) k.acq.tanks.write_O2TankData();
    running_ = false;
    return true;
}

void Application::shutdown() {
    if (shutDown_ || !kelvora_) return;
    shutDown_ = true;
    // An alarm command still busy gets a little time, while the live file still says that
    // the program is there; a command outliving the program is ended.
    alarmNotifier().shutdown(std::chrono::seconds(10));
    TKelvora& k = *kelvora_;
    if (k.cfg.CDM_Present) CDM_Shutdown(k.cfg, k.cdm);
    for (TEC71* meter : k.ec71Meters()) {
        const HCOM h = meter->hCOM.exchange(0);
        if (h > 0) com_Close(h);
    }
    // The meters' ports are closed: the simulated meters can go.
    simMeters_.reset();
    k.devices.Close_HW();
    liveFile().remove();
    WriteDbg(kApp, "Stop Kelvora");
    debugLog().close();
    messageList().add(kStopText, true);
    messageList().close();
    lock_.release();
}

void Application::requestQuit(QuitSource source) {
    {
        std::lock_guard lock(quitMutex_);
        quitRequested_ = true;
        quitSource_ = source;
    }
    quitCv_.notify_all();
}

int Application::runUntilQuit() {
    const RunDeadline deadline(options_.runForSeconds);
    for (;;) {
        QuitSource source = QuitSource::System;
        {
            std::unique_lock lock(quitMutex_);
            deadline.wait(quitCv_, lock, [this] { return quitRequested_; });
            if (quitRequested_) source = quitSource_;
            quitRequested_ = false;
        }
        if (quit(source)) break;
    }
    shutdown();
    return 0;
}

}  // namespace kv
