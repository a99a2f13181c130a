#pragma once
// The synchronisation with the data devices' queues. A data device keeps one record per
// 3-second tact (bit k-1: cell k had an O2 impulse) for as long as nobody acknowledges
// it, so a series measured across a program restart, a PC crash or a lost USB connection
// gets its impulses back: the records are read in blocks of 50 (O#), placed on the time
// axis backwards from now, filled into the rows' time values (extending them where the
// program was not running) and written to the data files. The records that arrive while
// the queue is read are read after it (a bounded number of rounds). Every data device's
// queue is reset afterwards (f0#).
//
// Runs on the window thread at start-up (before the acquisition timer starts) and from
// the device check when a lost data device is back (with the acquisition held off). The
// rows lock is held only while records are inserted, never during a device exchange.
//
// The data devices' queues are read all at once, each device on a worker of its own, its
// log lines headed by its name; the splash shows the overall figures (devices done,
// records read of all queued). [FT232R] ParallelDevices=0 reads them one after the other,
// as the splash shows per device. Either way the devices after one whose firmware is
// refused are not read, a Cancel or too many failed blocks in a row stop every device,
// and SyncWithDevices returns only when every device has stopped.

#include <string>

#include "acquisition/cells.h"
#include "acquisition/device_io.h"
#include "app/config.h"
#include "device/device_list.h"
#include "rows/rows.h"

namespace kv {

// The splash window while the synchronisation runs. Every method has a no-op default and is
// called on the thread that runs SyncWithDevices.
class SyncProgress {
  public:
    virtual ~SyncProgress() = default;
    // lblNrDevices and the device gauge tgDevices (range 0..count, progress 0).
    virtual void devicesStarted(int /*count*/) {}
    virtual void deviceProgress(int /*done*/) {}
    // lblNrValues and the value gauge tgValues (range 0..100, progress 0).
    virtual void valuesStarted(int /*queueEntries*/) {}
    virtual void valuesProgress(int /*percent*/) {}
    // lblTask.
    virtual void task(const std::string& /*text*/) {}
    // The Cancel button was pressed.
    virtual bool cancelRequested() { return false; }
    // Lets the window system handle pending events.
    virtual void processMessages() {}
};

// What one synchronisation did (for the log, the status and tests).
struct SyncResult {
    int devicesRead = 0;
    int blocksRead = 0;
    int blocksFailed = 0;
    long long records = 0;
    long long impulses = 0;  // impulses placed into time values
    long long pending = 0;   // impulses after the last time value, added to the cell counts
    bool cancelled = false;
    bool maxSyncFailed = false;  // ended early, without saving and without f0#
    bool firmwareRefused = false;
};

class DeviceSync {
  public:
    static constexpr int kBlockSize = 50;
    static constexpr int kMaxRetries = 10;
    static constexpr int kMaxSyncFailed = 20;
    // After the counted records: how often the queue is asked again for the records that
    // arrived while it was read.
    static constexpr int kMaxExtraRounds = 5;

    DeviceSync(const Config& cfg, DeviceList& devices, DeviceIoLocks& io, TCells& cells,
               TRows& rows)
        : cfg_(cfg), dl_(devices), io_(io), cells_(cells), rows_(rows) {}

    // resync: false at start-up, true from the device check.
    SyncResult SyncWithDevices(bool resync, SyncProgress* progress = nullptr);

  private:
    int presentDataDevices() const;

    const Config& cfg_;
    DeviceList& dl_;
    DeviceIoLocks& io_;
    TCells& cells_;
    TRows& rows_;
};

}  // namespace kv
