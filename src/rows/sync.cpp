#include "rows/sync.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "acquisition/cell_state.h"
#include "app/debuglog.h"
#include "app/livefile.h"
#include "app/messages.h"
#include "common/datetime.h"
#include "common/worker_pool.h"
#include "rows/row_util.h"

namespace kv {

namespace {

constexpr const char* kCat = "App/Resync";
// Before each queue block: the device needs the time to fill its answer.
constexpr int kBlockPauseMs = 200;
// After a short block, acknowledged away, before it is asked for again.
constexpr int kFailedBlockPauseMs = 500;
// Before each device: the previous one's last answer has settled.
constexpr int kDevicePauseMs = 500;
// How often a device is asked for its identity before it counts as unknown.
constexpr int kIdentityTries = 4;
// A short block is followed by this many acknowledgements, so that the device drops it.
constexpr int kFailedBlockAcks = 3;
// The random temperatures of a run are seeded from the clock's milliseconds, taken modulo
// the range of the seed.
constexpr double kSeedRange = 4294967296.0;  // 2^32

// The device whose queue this thread reads, in front of its log lines while devices are read
// in parallel ("KLV0003: ..."), so that one device's story can be followed; empty when the
// devices are read one after the other.
thread_local std::string tDevicePrefix;

void syncDbg(const std::string& text, bool enabled = true) {
    WriteDbg(kCat, tDevicePrefix + text, enabled);
}

std::string escaped(const std::string& s) {
    std::string out;
    char buf[8];
    for (unsigned char c : s) {
        std::snprintf(buf, sizeof buf, "\\%03u", static_cast<unsigned>(c));
        out += buf;
    }
    return out;
}

// The state of one synchronisation run, shared by the devices' steps. When the devices are
// read in parallel: `m` guards the failures, the success flag, the queues read and the
// block and device counters of the result; the rows lock guards what the records change
// (firstResync, touched, keep, records, impulses, pending).
struct SyncRun {
    TDateTime tNow = 0;
    // How far the clock is behind the newest time value of any row (0: it is not). The
    // queued tacts came after every line stored, whatever the clock says: they are placed
    // after the newest line, into the live counts, and no stored line is changed.
    TDateTime behind = 0;
    bool log = false;
    int firstResync = 0;
    std::mutex m;
    // Blocks that failed in a row, across devices.
    int failures = 0;
    // A block of some device was read: the rows are saved.
    bool anySuccess = false;
    // Devices whose queue was read.
    std::set<int> queuesRead;
    // Per row: the lowest time value index that received an impulse or was filled.
    std::map<TRow*, int> touched;
    std::map<TRow*, std::shared_ptr<TRow>> keep;
    SyncResult result;
    // Parallel reading: Cancel pressed (seen by the calling thread), or the failures in a
    // row went past the limit: every device stops.
    std::atomic<bool> cancel{false};
    std::atomic<bool> stop{false};
    // Parallel reading: the splash's overall figures.
    std::atomic<long long> queued{0};
    std::atomic<long long> read{0};
    std::atomic<int> devicesDone{0};
};

// What the steps of a synchronisation work on.
struct SyncParts {
    DeviceList& dl;
    DeviceIoLocks& io;
    TCells& cells;
    TRows& rows;
};

void touch(SyncRun& run, const std::shared_ptr<TRow>& r, int n) {
    auto it = run.touched.find(r.get());
    if (it == run.touched.end()) {
        run.touched.emplace(r.get(), n);
        run.keep.emplace(r.get(), r);
    } else if (n < it->second) {
        it->second = n;
    }
}

// The time value that holds a record at tAct: the first one taken at or after it. The
// rows' own lookup also gives the newest value for a time up to 10 s after it, which would
// put a queued impulse into a count taken before the impulse (queued tacts were never in a
// live count): such a record lies after the newest value, in no time value yet.
int entryHolding(const TRow& row, TDateTime tAct) {
    const int n = row.get_iRTV(tAct);
    if (n >= 1 && n == row.iRTV && tAct > row.RTV[static_cast<size_t>(n)].dt) return 0;
    return n;
}

// The cell's live count is this row's: a cell that another row has taken since keeps its
// own count.
bool ownsLiveCount(const TRow& row, int i, TCells& cells) {
    return cells.cell(i).RowNr == row.UniqueNr;
}

// The row's time values filled up to now, so that one may hold tAct: its index, or 0 when
// the record lies after the newest one.
int fillUpTo(SyncRun& run, const std::shared_ptr<TRow>& r, TDateTime tAct) {
    TRow& row = *r;
    syncDbg("       *** calling fillRTV", run.log);
    const int before = row.iRTV;
    row.fillRTV(run.tNow);
    if (row.iRTV > before) touch(run, r, before + 1);
    syncDbg("       R.iRTV0/iRTV=" + num(row.iRTV0) + "/" + num(row.iRTV), run.log);
    const int n = entryHolding(row, tAct);
    if (n >= 1 && run.firstResync == 0) {
        run.firstResync = n;
        syncDbg("       first_ReSync=" + num(n), run.log);
    }
    return n;
}

// A record after the newest time value: no entry holds it yet, but the next one the row
// takes must, so an impulse goes into the cell's count. A row without a time value yet
// (started less than an interval ago) takes the impulses of its running time the same way.
void countPending(SyncRun& run, const TRow& row, TCells& cells, int i, bool impulse,
                  TDateTime tAct) {
    const bool afterNewest =
        row.iRTV > 0 ? tAct > row.RTV[static_cast<size_t>(row.iRTV)].dt : tAct >= row.spanStart();
    if (!impulse || !afterNewest) return;
    ++run.result.pending;
    cells.CountTankImpulse(i);
    // On top of the live count: it holds what the acquisition counted after the newest
    // time value before the device was lost.
    if (ownsLiveCount(row, i, cells)) cells.CountImpulse(i);
}

// Counts are cumulative: the impulse belongs to time value n and every later one too, and
// to the live count, which continues the newest one. Setting the live count to the time
// value's count instead would drop what the acquisition counted after that time value.
void addImpulse(SyncRun& run, const std::shared_ptr<TRow>& r, CellValues& v, TCells& cells, int i,
                int n) {
    for (int k = n; k <= r->iRTV; ++k)
        if (v.count(k) != NoValueInt) v.addCount(k, 1);
    cells.CountTankImpulse(i);
    if (ownsLiveCount(*r, i, cells)) cells.CountImpulse(i);
    ++run.result.impulses;
    touch(run, r, n);
}

// A time value the program did not take has no temperature: it gets the last one known,
// scattered a little.
void fillTemperature(SyncRun& run, std::mt19937& rng, const std::shared_ptr<TRow>& r, int n) {
    RTVElement& el = r->RTV[static_cast<size_t>(n)];
    syncDbg("       PRE:  R.RTV^[iRTV].T=" + num(el.T) + ";", run.log);
    const int lvt = r->lastValidTemp;
    if (lvt != NoValueInt && lvt > 0 && el.T == NoValueInt) {
        el.T = lvt + std::uniform_int_distribution<int>(-15, 14)(rng);
        touch(run, r, n);
    }
    syncDbg("       POST: R.RTV^[iRTV].T=" + num(el.T) + ";", run.log);
}

// The record at tAct for cell i, whose position had an impulse or not. Called with the
// rows lock held.
void insertCellRecord(SyncRun& run, std::mt19937& rng, TRows& rows, TCells& cells, int i,
                      bool impulse, TDateTime tAct) {
    const bool log = run.log;
    const auto r = rows.RowForCellAt(i, tAct);
    if (!r) return;
    TRow& row = *r;
    syncDbg("       Row/lastValidTemp=" + row.Name + "/" + num(row.lastValidTemp), log);
    syncDbg("       Row/Cell#=" + row.Name + "/" + num(i), log);
    syncDbg("       R.iRTV0/iRTV=" + num(row.iRTV0) + "/" + num(row.iRTV), log);
    const int iRC = row.FindCellSlot(i);
    syncDbg("       iRC=" + num(iRC), log);
    if (iRC < 1) return;
    CellValues& v = row.RowCells[static_cast<size_t>(iRC)].Values;
    int n = entryHolding(row, tAct);
    syncDbg("       tAct=" + dtText(tAct), log);
    syncDbg("       iRTV=" + num(n), log);
    if (n < 1) n = fillUpTo(run, r, tAct);
    if (n < 1) return countPending(run, row, cells, i, impulse, tAct);
    syncDbg("       inserting at iRTV=" + num(n), log);
    if (impulse) addImpulse(run, r, v, cells, i, n);
    const int countN = v.count(n);
    fillTemperature(run, rng, r, n);
    syncDbg("       set CellCount:=" + num(countN), log);
}

// One queue record at time tAct for the cells of device entry e. Called with the rows lock
// held.
void insertRecord(SyncRun& run, std::mt19937& rng, TRows& rows, TCells& cells,
                  const TKLVDeviceListEntry& e, int record, int pos, TDateTime tAct) {
    if (record >= 128) record -= 128;
    syncDbg("       iChar=" + num(pos) + "; tAct=" + dtText(tAct) + "; cv=" + num(record), run.log);
    for (int j = 1; j <= kCellsPerDevice; ++j) {
        const int i = e.physCellNr_From + j - 1;
        if (TCells::validCell(i))
            insertCellRecord(run, rng, rows, cells, i, (record >> (j - 1)) & 1, tAct);
    }
}

enum class ReadEnd { Complete, Incomplete, MaxFailed };

// One device's queue: read in blocks of up to 50, the records inserted 3 s apart from tAct
// on (never later than now). A block that comes back short is rejected and asked for
// again, up to kMaxRetries times. It talks to its own device only; of the run it shares
// the records of the rows (under the rows lock), the counters and the failures in a row.
class QueueReader {
  public:
    QueueReader(SyncParts& parts, SyncRun& run, SyncProgress& ui, int d,
                const TKLVDeviceListEntry& e, unsigned seed)
        : parts_(parts),
          run_(run),
          ui_(ui),
          proto_(parts.dl.protocol()),
          io_(parts.io.of(d)),
          e_(e),
          rng_(seed) {}

    // The q records queued now, and those that arrive while they are read.
    ReadEnd readWithArrivals(int q);

    TDateTime tAct = 0;
    // Added to every record's time: with the clock behind the data, the oldest record goes
    // just after the newest stored line (see SyncRun::behind).
    TDateTime shift = 0;
    long long total = 0;  // for the progress gauge
    bool anySuccess = false;

  private:
    ReadEnd read(int q);
    std::string askBlock();
    void acceptBlock(const std::string& block);
    bool rejectBlock(int expected, int len, int retry);

    SyncParts& parts_;
    SyncRun& run_;
    SyncProgress& ui_;
    DeviceProtocol& proto_;
    std::mutex& io_;
    const TKLVDeviceListEntry& e_;
    std::mt19937 rng_;
    long long received_ = 0;
    int runNr_ = 0;
};

// The device adds a record every tact while its queue is read, and f0# at the end empties
// the queue: what arrived meanwhile is read as well, a bounded number of times (the last
// tact or so stays behind).
ReadEnd QueueReader::readWithArrivals(int q) {
    ReadEnd end = read(q);
    for (int round = 1; end == ReadEnd::Complete && round <= DeviceSync::kMaxExtraRounds; ++round) {
        if (ui_.cancelRequested()) break;
        std::string more;
        {
            std::lock_guard lock(io_);
            more = proto_.queueCount(e_.FTHandle);
        }
        const int q2 = textToInt(more);
        syncDbg("    Queue Entries (arrived meanwhile)=" + more, run_.log);
        if (q2 == NoValueInt || q2 <= 0) break;
        // These records are the newest: they end now, after those read so far.
        tAct = std::max(tAct, clock().now() - q2 * kDeviceTactSeconds * kSecond);
        total += q2;
        run_.queued += q2;
        end = read(q2);
    }
    return end;
}

ReadEnd QueueReader::read(int q) {
    int remaining = q;
    int retry = 1;
    while (remaining > 0 && retry <= DeviceSync::kMaxRetries && !ui_.cancelRequested()) {
        ++runNr_;
        retry = 1;
        while (retry <= DeviceSync::kMaxRetries && !ui_.cancelRequested()) {
            const std::string block = askBlock();
            const int len = static_cast<int>(block.size());
            const int expected = std::min(remaining, DeviceSync::kBlockSize);
            if (len >= expected) {
                remaining -= len;
                acceptBlock(block);
                break;
            }
            if (!rejectBlock(expected, len, retry)) return ReadEnd::MaxFailed;
            ++retry;
        }
    }
    return remaining <= 0 ? ReadEnd::Complete : ReadEnd::Incomplete;
}

std::string QueueReader::askBlock() {
    TouchLiveFile();
    clock().sleepMs(kBlockPauseMs);
    std::string block, q2;
    {
        std::lock_guard lock(io_);
        block = proto_.queueEntry(e_.FTHandle);
        q2 = proto_.queueCount(e_.FTHandle);
    }
    const bool log = run_.log;
    syncDbg("    Sync#=" + num(runNr_) + ": length=" + num(block.size()), log);
    syncDbg("       SyncString=" + escaped(block), log);
    syncDbg("    Queue Entries2=" + q2, log);
    return block;
}

// A short block is acknowledged away and asked for again. False once too many blocks in
// a row failed: the synchronisation stops.
bool QueueReader::rejectBlock(int expected, int len, int retry) {
    {
        std::lock_guard lock(io_);
        for (int k = 0; k < kFailedBlockAcks; ++k) proto_.acknowledgeRecord(e_.FTHandle);
    }
    clock().sleepMs(kFailedBlockPauseMs);
    std::unique_lock runLock(run_.m);
    // Another device went past the limit meanwhile: that one said so.
    if (run_.result.maxSyncFailed) return false;
    ++run_.failures;
    ++run_.result.blocksFailed;
    const std::string why = "Expected: " + num(expected) + " received: " + num(len) + " characters";
    syncDbg("    Sync#=" + num(runNr_) + ", RetryCount=" + num(retry) + ": failed due to length. " +
            why);
    if (retry + 1 > DeviceSync::kMaxRetries)
        syncDbg("    Sync#=" + num(runNr_) + ", : finally failed due to length. " + why);
    if (run_.failures <= DeviceSync::kMaxSyncFailed) return true;
    syncDbg("*** maxSyncFailed reched - STOP SYNCHRONISATION");
    AddMsg("Synchronisation failed due to reaching maxSyncFailed ! ", true);
    run_.result.maxSyncFailed = true;
    run_.stop.store(true);
    return false;
}

void QueueReader::acceptBlock(const std::string& block) {
    const int len = static_cast<int>(block.size());
    received_ += len;
    {
        std::lock_guard lock(io_);
        proto_.acknowledgeRecord(e_.FTHandle);
    }
    anySuccess = true;
    {
        std::lock_guard runLock(run_.m);
        run_.failures = 0;
        ++run_.result.blocksRead;
    }
    run_.read += len;
    const TDateTime latest = clock().now();
    TRows& rows = parts_.rows;
    auto lock = rows.lock();
    for (int k = 0; k < len; ++k) {
        const int rec = static_cast<unsigned char>(block[static_cast<size_t>(k)]);
        insertRecord(run_, rng_, rows, parts_.cells, e_, rec, k + 1, tAct + shift);
        ++run_.result.records;
        tAct += kDeviceTactSeconds * kSecond;
        if (tAct > latest) tAct = latest;
        if (k % 2 == 1) {
            RowsUnlocked u(rows.mutex());
            const long long pct = total > 0 ? 100 * received_ / total : 100;
            ui_.valuesProgress(static_cast<int>(std::min<long long>(pct, 100)));
        }
    }
    lock.unlock();
    ui_.processMessages();
}

// The device's identity (asked kIdentityTries times at most) becomes its AppName. False
// when its firmware is too old to be synchronised: the run stops.
bool identify(SyncParts& p, SyncRun& run, int d, const TKLVDeviceListEntry& e,
              const std::string& shown) {
    std::string ident;
    for (int a = 0; a < kIdentityTries && ident.empty(); ++a) {
        std::lock_guard io(p.io.of(d));
        ident = p.dl.protocol().identity(e.FTHandle);
    }
    if (ident.empty()) ident = std::string(kUnknownIdentity);
    p.dl.update(d, [&ident](TKLVDeviceListEntry& x) { x.AppName = ident; });
    if (firmwareUsable(ident)) return true;
    const std::string t = "!!! Device firmware for " + shown + " (SerialNr=" + e.SerialNr +
                          ") is " + ident +
                          ". This version of Kelvora requires at least V1.3.0 firmware !";
    syncDbg(t);
    AddMsg("!!! ReSync: " + t, true);
    std::lock_guard runLock(run.m);
    run.result.firmwareRefused = true;
    return false;
}

// The number of records in the device's queue (0 for an answer that is none).
int queueLength(SyncParts& p, SyncRun& run, int d, LinkHandle h) {
    std::string qText;
    {
        std::lock_guard io(p.io.of(d));
        p.dl.protocol().tactCounter(h);
        qText = p.dl.protocol().queueCount(h);
    }
    int q = textToInt(qText);
    if (q == NoValueInt || q < 0) q = 0;
    syncDbg("    Queue Entries=" + num(q), run.log);
    return q;
}

enum class DeviceEnd { Next, Stop, MaxFailed };

// The "o#" before the first block, and the queue length after it. A program that ended
// between a tick's value request and its acknowledgement (a crash, a kill) left a record
// sent but not acknowledged, and this "o#" takes it off the queue: asked for the length
// counted before, every block would be one short, be rejected ten times over, and the
// whole synchronisation end unsaved. The newest record still belongs to now, so the first
// one moves on by the records dropped.
int acknowledgeBeforeBlocks(SyncParts& p, SyncRun& run, int d, LinkHandle h, int q,
                            TDateTime& tFirst) {
    std::string after;
    {
        std::lock_guard io(p.io.of(d));
        p.dl.protocol().acknowledgeRecord(h);
        after = p.dl.protocol().queueCount(h);
    }
    const int q2 = textToInt(after);
    if (q2 == NoValueInt || q2 < 1 || q2 >= q) return q;
    syncDbg("    Queue Entries (after o#)=" + num(q2), run.log);
    tFirst = run.tNow - q2 * kDeviceTactSeconds * kSecond;
    return q2;
}

// One data device's part of the run: its identity, then its queue into the rows. Next:
// on to the next device; Stop: the run ends (cancelled, firmware refused); MaxFailed: it
// ends without saving and without resetting the queues.
DeviceEnd syncDevice(SyncParts& p, SyncRun& run, SyncProgress& ui, int d) {
    const auto seed = static_cast<unsigned>(std::fmod(clock().now() * 86400000.0, kSeedRange));
    clock().sleepMs(kDevicePauseMs);
    ui.processMessages();
    TouchLiveFile();
    if (ui.cancelRequested()) {
        WriteDbg("SyncWithDevices", "canceling due to user request");
        run.result.cancelled = true;
        return DeviceEnd::Stop;
    }
    const TKLVDeviceListEntry e = p.dl.device(d);
    if (e.Type != DeviceType::Data || !e.bPresent || e.ErrorCode != 0) return DeviceEnd::Next;
    const bool log = run.log;
    const std::string shown = p.dl.fullName(d, true);
    syncDbg("*** ", log);
    syncDbg("*** tNow=" + dtText(run.tNow), log);
    syncDbg("*** Device=" + shown, log);
    if (!identify(p, run, d, e, shown)) return DeviceEnd::Stop;
    ui.deviceProgress(++run.result.devicesRead);

    const int q = queueLength(p, run, d, e.FTHandle);
    const TDateTime tFirst = run.tNow - q * kDeviceTactSeconds * kSecond;
    if (q <= 1) return DeviceEnd::Next;
    run.queuesRead.insert(d);
    ui.valuesStarted(q);
    syncDbg("    tFirst=" + dtText(tFirst), log);
    WriteDbg(kCat,
             "    #ofSyncRuns for this device=" +
                 num((q + DeviceSync::kBlockSize - 1) / DeviceSync::kBlockSize),
             log);
    TDateTime first = tFirst;
    const int queued = acknowledgeBeforeBlocks(p, run, d, e.FTHandle, q, first);
    QueueReader reader(p, run, ui, d, e, seed);
    reader.total = queued;
    reader.tAct = first;
    if (run.behind > 0) reader.shift = run.behind + (run.tNow - first);
    const ReadEnd end = reader.readWithArrivals(queued);
    if (reader.anySuccess) run.anySuccess = true;
    if (end == ReadEnd::MaxFailed) return DeviceEnd::MaxFailed;
    if (ui.cancelRequested()) run.result.cancelled = true;
    return DeviceEnd::Next;
}

// ---------------------------------------------------------------------------------------
// All devices at once. Each data device sits on its own interface, and reading a queue is
// mostly waiting for the device, so the queues are read at the same time. The devices'
// workers never touch the splash: the calling thread shows the overall figures (devices
// done, records read), lets the window system run and passes a Cancel on to them.

// What a device's worker sees of the splash: only whether to stop.
class WorkerView : public SyncProgress {
  public:
    explicit WorkerView(SyncRun& run) : run_(run) {}
    bool cancelRequested() override { return run_.cancel.load() || run_.stop.load(); }

  private:
    SyncRun& run_;
};

// Runs work on a thread of its own while this thread keeps the splash going, until the work
// has ended.
void runShowingProgress(SyncRun& run, SyncProgress& ui, const std::function<void()>& work) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::exception_ptr error;
    std::thread runner([&] {
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        {
            std::lock_guard lock(m);
            done = true;
        }
        cv.notify_all();
    });
    long long shownQueued = -1;
    int shownPercent = -1;
    int shownDevices = -1;
    const auto show = [&] {
        const long long queued = run.queued.load();
        if (queued != shownQueued && queued > 0) {
            ui.valuesStarted(static_cast<int>(std::min<long long>(queued, 1LL << 30)));
            shownQueued = queued;
            shownPercent = -1;
        }
        const long long pct =
            queued > 0 ? std::min<long long>(100, 100 * run.read.load() / queued) : 0;
        if (queued > 0 && pct != shownPercent) {
            ui.valuesProgress(static_cast<int>(pct));
            shownPercent = static_cast<int>(pct);
        }
        const int devices = run.devicesDone.load();
        if (devices != shownDevices && devices > 0) {
            ui.deviceProgress(devices);
            shownDevices = devices;
        }
    };
    for (;;) {
        bool finished = false;
        {
            std::unique_lock lock(m);
            // The splash is served on real time: what it waits for are the devices.
            finished = cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return done; });
        }
        ui.processMessages();
        if (!run.cancel.load() && ui.cancelRequested()) run.cancel.store(true);
        show();
        if (finished) break;
    }
    runner.join();
    if (error) std::rethrow_exception(error);
}

enum class Prepared { Read, Skip, Refused, Cancelled };

// A device's turn up to its queue: the pause, the header lines, the identity.
Prepared prepareDevice(SyncParts& p, SyncRun& run, int d, unsigned& seed) {
    seed = static_cast<unsigned>(std::fmod(clock().now() * 86400000.0, kSeedRange)) +
           static_cast<unsigned>(d);
    clock().sleepMs(kDevicePauseMs);
    TouchLiveFile();
    if (run.cancel.load()) return Prepared::Cancelled;
    const TKLVDeviceListEntry e = p.dl.device(d);
    if (e.Type != DeviceType::Data || !e.bPresent || e.ErrorCode != 0) return Prepared::Skip;
    const bool log = run.log;
    const std::string shown = p.dl.fullName(d, true);
    syncDbg("*** ", log);
    syncDbg("*** tNow=" + dtText(run.tNow), log);
    syncDbg("*** Device=" + shown, log);
    return identify(p, run, d, e, shown) ? Prepared::Read : Prepared::Refused;
}

// A device's queue into the rows.
DeviceEnd readDeviceQueue(SyncParts& p, SyncRun& run, SyncProgress& view, int d, unsigned seed) {
    const TKLVDeviceListEntry e = p.dl.device(d);
    const bool log = run.log;
    const int q = queueLength(p, run, d, e.FTHandle);
    const TDateTime tFirst = run.tNow - q * kDeviceTactSeconds * kSecond;
    if (q <= 1) return DeviceEnd::Next;
    {
        std::lock_guard runLock(run.m);
        run.queuesRead.insert(d);
    }
    syncDbg("    tFirst=" + dtText(tFirst), log);
    syncDbg("    #ofSyncRuns for this device=" +
                num((q + DeviceSync::kBlockSize - 1) / DeviceSync::kBlockSize),
            log);
    TDateTime first = tFirst;
    const int queued = acknowledgeBeforeBlocks(p, run, d, e.FTHandle, q, first);
    QueueReader reader(p, run, view, d, e, seed);
    reader.total = queued;
    reader.tAct = first;
    if (run.behind > 0) reader.shift = run.behind + (run.tNow - first);
    run.queued += queued;
    const ReadEnd end = reader.readWithArrivals(queued);
    if (reader.anySuccess) {
        std::lock_guard runLock(run.m);
        run.anySuccess = true;
    }
    return end == ReadEnd::MaxFailed ? DeviceEnd::MaxFailed : DeviceEnd::Next;
}

// One job per device, each with the device's name in front of its log lines.
void forEachDevice(WorkerPool& pool, SyncParts& p, const std::vector<int>& devices,
                   const std::function<void(size_t, int)>& job) {
    pool.run(static_cast<int>(devices.size()), [&](int j) {
        const int d = devices[static_cast<size_t>(j)];
        tDevicePrefix = p.dl.device(d).logName + ": ";
        job(static_cast<size_t>(j), d);
        tDevicePrefix.clear();
    });
}

// The devices' queues, all at once. As one after the other: the devices after one whose
// firmware is refused are not read; false when the failures in a row went past the limit
// (nothing is saved, no queue is reset).
bool readQueuesInParallel(SyncParts& p, SyncRun& run, SyncProgress& ui, WorkerPool& pool) {
    std::vector<int> all;
    for (int d = 1; d <= p.dl.nDevices(); ++d) all.push_back(d);
    std::vector<Prepared> prepared(all.size(), Prepared::Skip);
    std::vector<unsigned> seeds(all.size(), 0);
    runShowingProgress(run, ui, [&] {
        forEachDevice(pool, p, all,
                      [&](size_t j, int d) { prepared[j] = prepareDevice(p, run, d, seeds[j]); });
    });
    std::vector<int> toRead;
    std::vector<unsigned> toReadSeeds;
    bool cancelled = run.cancel.load();
    for (size_t j = 0; j < all.size(); ++j) {
        if (prepared[j] == Prepared::Cancelled) cancelled = true;
        if (prepared[j] == Prepared::Refused) break;
        if (prepared[j] != Prepared::Read) continue;
        toRead.push_back(all[j]);
        toReadSeeds.push_back(seeds[j]);
    }
    if (!cancelled) {
        {
            std::lock_guard runLock(run.m);
            run.result.devicesRead = static_cast<int>(toRead.size());
        }
        WorkerView view(run);
        runShowingProgress(run, ui, [&] {
            forEachDevice(pool, p, toRead, [&](size_t j, int d) {
                readDeviceQueue(p, run, view, d, toReadSeeds[j]);
                ++run.devicesDone;
            });
        });
    }
    if (run.result.maxSyncFailed) return false;
    if (cancelled || run.cancel.load()) {
        WriteDbg("SyncWithDevices", "canceling due to user request");
        run.result.cancelled = true;
    }
    return true;
}

// Every row that took values is saved. A value written to the file already and changed
// now makes the file be rewritten, so that file and memory agree.
void saveSynchronizedRows(SyncParts& p, SyncRun& run, bool resync, SyncProgress& ui) {
    ui.task("Saving Synchronized Data...");
    auto lock = p.rows.lock();
    for (const auto& r : p.rows.Snapshot()) {
        if (r->isTemplate) continue;
        const auto t = run.touched.find(r.get());
        if (r->iRTV0 <= 0 && t == run.touched.end()) continue;
        syncDbg("...Row=" + r->Name + "; lastRowWritten=" + num(r->iRTV_lastSaved), run.log);
        if (t != run.touched.end() && t->second <= r->iRTV_lastSaved)
            r->RewriteDataFile();
        else
            r->SaveSynchronizedData(resync ? r->iRTV_lastSaved + 1 : -1);
    }
}

// Every data device's queue is reset (f0#). The acquisition takes the queue from here on
// as new (see its missed tacts): its first record is counted unless its tact is gone from
// the queue (lastTactNr 0: read here); a queue that was not read (-1) took no tact into the
// rows.
void resetQueues(SyncParts& p, const SyncRun& run, SyncProgress& ui, WorkerPool& pool,
                 bool parallel) {
    ui.task("Initializing and Starting Kelvora Data Devices...");
    std::vector<int> data;
    for (int d = 1; d <= p.dl.nDevices(); ++d) {
        const TKLVDeviceListEntry e = p.dl.device(d);
        if (e.Type == DeviceType::Data && e.bPresent) data.push_back(d);
    }
    forEachJob(pool, parallel, static_cast<int>(data.size()), [&](int j) {
        const int d = data[static_cast<size_t>(j)];
        const TKLVDeviceListEntry e = p.dl.device(d);
        {
            std::lock_guard io(p.io.of(d));
            p.dl.protocol().clearQueue(e.FTHandle);
        }
        const TDateTime reset = clock().now();
        const int mark = run.queuesRead.count(d) ? 0 : -1;
        p.dl.update(d, [reset, mark](TKLVDeviceListEntry& x) {
            x.lastTactNr = mark;
            x.lastTactTime = reset;
        });
        syncDbg("...resetting F1/2/3 for device " + e.logName, run.log);
    });
}

}  // namespace

int DeviceSync::presentDataDevices() const {
    int present = 0;
    for (const TKLVDeviceListEntry& e : dl_.devices())
        if (e.Type == DeviceType::Data && e.bPresent) ++present;
    return present;
}

SyncResult DeviceSync::SyncWithDevices(bool resync, SyncProgress* progress) {
    SyncProgress none;
    SyncProgress& ui = progress ? *progress : none;
    SyncRun run;
    run.log = dbg().sync.load();
    WriteDbg("SyncWithDevices", "starting Kelvora.SyncWithDevices");
    run.tNow = clock().now();
    for (const auto& r : rows_.Snapshot()) {
        auto lock = rows_.lock();
        if (!r->isTemplate && r->iRTV > 0)
            run.behind = std::max(run.behind, r->RTV[static_cast<size_t>(r->iRTV)].dt - run.tNow);
    }
    if (run.behind > 0) {
        run.behind += kDeviceTactSeconds * kSecond;
        WriteDbg(kCat, "*** the clock is behind the data by " +
                           num(std::llround(run.behind * 86400)) + " s: queued tacts after it");
    }
    SyncParts parts{dl_, io_, cells_, rows_};
    const bool parallel = cfg_.parallelDevices();
    WorkerPool pool;
    if (rows_.Count() > 0) {
        ui.devicesStarted(presentDataDevices());
        if (parallel) {
            if (!readQueuesInParallel(parts, run, ui, pool)) return run.result;
        } else {
            const int n = dl_.nDevices();
            for (int d = 1; d <= n; ++d) {
                const DeviceEnd end = syncDevice(parts, run, ui, d);
                if (end == DeviceEnd::MaxFailed) return run.result;
                if (end == DeviceEnd::Stop) break;
            }
        }
    }
    if (run.anySuccess) saveSynchronizedRows(parts, run, resync, ui);
    resetQueues(parts, run, ui, pool, parallel);
    WriteDbg("SyncWithDevices", "stop Kelvora.SyncWithDevices");
    return run.result;
}

}  // namespace kv
