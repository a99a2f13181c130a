#pragma once
// The program's main sequence: single-instance check, configuration, logs, language texts,
// the TKelvora object, the CO2 interface checks, rows, synchronisation, per-cell alignment,
// timers; then the quit path and the shutdown.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/inifile.h"
#include "system/frontend.h"
#include "system/home.h"
#include "system/kelvora.h"
#include "system/service_notify.h"
#include "system/startup_status.h"

namespace kv {

namespace sim {
class Lab;
class SimCo2Meters;
}  // namespace sim

struct StartOptions {
    std::string home;           // --home; empty: $KELVORA_HOME or the executable's folder
    std::string parameter;      // the first plain argument ("NoSync" skips the synchronisation)
    double runForSeconds = -1;  // --run-for: quit by itself after that time
    // Print the status texts the main window would show (headless, not quiet).
    bool printStatus = false;
    // The virtual lab's devices; when given, the run uses them whatever [FT232R] Backend=
    // says.
    std::vector<std::shared_ptr<sim::SimPort>> simPorts;
    // The same lab (it must outlive the Application): the configured conductivity meters
    // (CDM, EC71) are then simulated too, following the lab's CO2 devices and samples.
    sim::Lab* simLab = nullptr;
};

enum class QuitSource {
    WindowClose,  // the main window's close request: no O2 tank file write
    Menu,         // "&Quit" menu command or quit button
    System,       // SIGINT/SIGTERM: no password, no confirmation
};

class Application {
  public:
    Application(StartOptions options, FrontEnd& frontEnd);
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Runs the start-up. Returns 0 when the program is running, or the exit status to end
    // with (1: another instance runs in this home folder, or the home folder is unusable).
    int startup();
    // The quit path. False when the operator cancelled it; the program keeps running.
    bool quit(QuitSource source);
    // Hardware off, live file deleted, logs closed. Safe to call once after quit().
    void shutdown();

    // Thread-safe: asks the waiting main loop to run the quit path.
    void requestQuit(QuitSource source);
    // The headless message loop: waits for a quit request or the --run-for time, runs the
    // quit path (repeating the wait if it is cancelled) and the shutdown. Returns the exit
    // status.
    int runUntilQuit();

    // Called on the start-up's thread as soon as the single-instance lock is held (before
    // anything else of the start-up): the front end may serve its control socket from then
    // on. Set before startup().
    void setLockHeldHook(std::function<void()> hook) { lockHeld_ = std::move(hook); }
    // The splash's step and gauges while the program starts; thread-safe.
    const StartupStatus& startupStatus() const { return startupStatus_; }

    const HomePaths& paths() const { return paths_; }
    TKelvora& kelvora() { return *kelvora_; }
    bool isRunning() const { return running_.load(); }
    // The conductivity meters of a run on the virtual lab (nullptr otherwise).
    sim::SimCo2Meters* simulatedMeters() const { return simMeters_.get(); }

  private:
    void startupLogs();
    void startupLanguage();
    void startupMessages();
    void startupConfigDefaults();
    void startupLiveFile();
    void startupKelvora();
    void startupCO2Checks();
    void startupDevicesAndRows();
    void startupAlignCells();
    void startupFinish();
    void startMonitorIfNeeded();
    void startupAlarms(const std::string& previousLastMessage);
    // A start-up step for the front end and the service manager.
    void progress(const std::string& text);
    RowsHooks rowsHooks();
    class SplashProgress;

    StartOptions options_;
    FrontEnd& ui_;
    HomePaths paths_;
    InstanceLock lock_;
    std::unique_ptr<IniFile> ini_;
    std::unique_ptr<TKelvora> kelvora_;
    // The simulated meters of a run on the virtual lab; they serve their COM ports until
    // the shutdown.
    std::unique_ptr<sim::SimCo2Meters> simMeters_;
    ServiceNotifier service_;
    std::string previousLastMessage_;  // the message file's last line before this run
    double startTime_ = 0;
    std::atomic<bool> running_{false};
    bool shutDown_ = false;
    std::function<void()> lockHeld_;
    StartupStatus startupStatus_;

    std::mutex quitMutex_;
    std::condition_variable quitCv_;
    bool quitRequested_ = false;
    QuitSource quitSource_ = QuitSource::System;
};

}  // namespace kv
