#pragma once
// The configuration service: what the configuration dialog and its device dialogs do, in
// one object that the window front end and the console both call, with the same password
// and state checks.
//
// A session runs from open() to accept() or cancel(). Opening asks the configuration
// password, pauses the acquisition (system-running off, i0 to every present data device)
// and sends l# to the devices; closing, in every case, sends m# to the CO2 devices, the
// initialisation frame to each EC71 meter and i1 to the data devices, and lets the
// acquisition run again. The device actions (device edit, terminal, mA limits, CDM
// commands, EC71 calibration) need an open session.
//
// The dialog's fields travel as texts by the names of its controls (ConfigForm); the close
// check reads those texts, and only a form that passes it is copied back, in one step under
// the configuration's lock (see ConfigLock), so a periodic tick sees the old settings or
// the new ones.
//
// Runs on one thread at a time: the operations thread for the windows, the console's
// thread for the console. Device waits block that thread, never the window thread.

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "co2/ec71_calibrate.h"
#include "system/frontend.h"
#include "system/kelvora.h"
#include "system/operations.h"

namespace kv {

// Field name (the dialog control's name) -> text, e.g. "NrCells" -> "12".
using ConfigForm = std::map<std::string, std::string>;

struct CloseCheck {
    bool ok = true;
    std::string message;
    std::string field;  // the control that gets the focus
};

// One row of the CCellConfiguration grid (texts, as the operator typed or measured them).
struct AdLimitRow {
    std::string lower, upper, actual;
};

enum class AdColumn { Actual, Lower, Upper };

// The device edit dialog's fields for configured device `device` (1-based).
struct DeviceEdit {
    int device = 0;
    DeviceType type = DeviceType::None;
    std::string serialNr;
    int caseNr = 0;
    bool master = false;
    int delayWrite = 5;
    int delayRead = 5;
    // A data device's settings as it reported them (empty when it did not answer): e, n,
    // w, d, the master flag m (read only), f1, f2, f3.
    std::string e, n, w, d, m, f1, f2, f3;
};

// One line of the Cxy grid.
struct DeviceGridRow {
    std::string label;   // "1-6", "Case#1", "CO2 1-6"
    std::string caseNr;  // shown case number
    std::string serialNr;
    std::string master;   // "1"/"0"/"-"
    std::string present;  // "1"/"0"/"-"
    int device = 0;       // 0: none ("n/a")
};

class ConfigService {
  public:
    ConfigService(TKelvora& kelvora, FrontEnd& ui);
    ~ConfigService();
    ConfigService(const ConfigService&) = delete;
    ConfigService& operator=(const ConfigService&) = delete;

    // --- the session ------------------------------------------------------------------
    // The configuration password (no prompt when none is set), then the pause and l#.
    // Refused: nothing happens.
    OpResult open();
    bool isOpen() const { return open_; }
    // Only the configuration password (what may be read without pausing anything).
    OpResult authorize();
    // The close check, the copy-back (with the mA limits of the grid and the relay reset),
    // then the save: asked when askSave, else done. A failed check leaves the session open
    // and changes nothing. Closes the session on success.
    OpResult accept(const ConfigForm& form, bool askSave);
    // No setting changes; the relay reset and the resume sequence.
    OpResult cancel();

    // --- the form ---------------------------------------------------------------------
    // Every field with the current settings in the formats of the dialog.
    ConfigForm form() const;
    static ConfigForm formOf(const Config& cfg);
    // The field names in dialog order.
    static const std::vector<std::string>& fieldNames();
    // The close check, in its order: cell count, password confirmations, numbers.
    static CloseCheck check(const ConfigForm& form, bool withCO2);
    // The form copied into cfg (after a passed check); EC71_NrDevices from the last port
    // field that is not empty.
    static void applyForm(const ConfigForm& form, Config& cfg);
    // Leaving MasterPwd with a text that differs from the one at opening: the old master
    // password is asked. False when refused (the field gets its old text back).
    bool masterChangeAllowed(const std::string& newText);

    // --- hardware page ------------------------------------------------------------------
    // The attached interfaces (CPresentUSB): serial, description, location.
    std::vector<TUSBDeviceListEntry> attachedDevices() const;
    std::vector<DeviceGridRow> deviceGrid(int cells, int cases) const;
    // "Refresh": the attached interfaces enumerated and opened again, and every configured
    // device bound to its new handle.
    OpResult refresh();
    OpResult readDevice(int device, DeviceEdit& out);
    OpResult writeDevice(const DeviceEdit& edit);
    // The terminal: pending input discarded, the text written as it is, 50 ms, the answer.
    OpResult terminal(int device, const std::string& text, std::string& answer);

    // --- cells page: mA limits and O2 tanks -----------------------------------------------
    // The grid (cells 1..Cells), filled from the cells at first use and by loadAdGrid()
    // (the dialog, when it opens). The console's measurements stay in it from one command to
    // the next until "cell ad write".
    std::vector<AdLimitRow>& adGrid();
    void loadAdGrid();
    // c<k>1 and C<k># for physical cell `cell`; the value goes to the column.
    OpResult measureAd(int cell, AdColumn column);
    // Every cell whose lower and upper texts are numbers: stored in the cell and, with a
    // present data device, written to it (read back) and stored there (z#).
    OpResult writeAdLimits();
    OpResult saveTanks();

    // --- CO2 pages --------------------------------------------------------------------------
    // A CDM "-->" button: the command (escapes decoded) to the CDM's port, 1 s, the answer.
    OpResult cdmCommand(const std::string& command, std::string& output);
    // The calibration of physical cell `cell` with the EC71 meter serving it.
    EC71CalibrationResult calibrate(int cell, CalibrationUi& ui);

    TKelvora& kelvora() { return k_; }

  private:
    OpResult needOpen() const;
    void pause();
    void resume();
    void waitForTicks();
    int presentDataDeviceOf(int cell, int& k) const;

    TKelvora& k_;
    FrontEnd& ui_;
    bool open_ = false;
    std::string masterOnOpen_;
    // A new master password the old one was given for.
    std::string confirmedMaster_;
    std::vector<AdLimitRow> adGrid_;
    bool adGridLoaded_ = false;
};

// The console's EC71 calibration: runs on a thread of its own so that "ec71 cancel" can
// reach it; its questions are answered Yes (the command is the operator's confirmation).
class BackgroundCalibration {
  public:
    explicit BackgroundCalibration(ConfigService& service) : service_(service) {}
    ~BackgroundCalibration();
    // False when one runs already or the session cannot open (the reason in error).
    bool start(int cell, std::string& error);
    bool running() const { return running_.load(); }
    // Asks a running calibration to stop and waits for its end.
    void cancel();
    // The latest status line, and the outcome of the last calibration that ended.
    std::string status() const;
    std::string outcome() const;
    // Waits for the running calibration to end (the thread joined).
    void join();

  private:
    class Ui;
    ConfigService& service_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> cancel_{false};
    mutable std::mutex mutex_;
    std::string status_, outcome_;
};

std::string calibrationOutcomeText(const EC71CalibrationResult& r);

}  // namespace kv
