#include "rows/sync.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <mutex>
#include <random>
#include <set>

#include "acquisition/cell_state.h"
#include "app/debuglog.h"
#include "app/livefile.h"
#include "app/messages.h"
#include "common/datetime.h"
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

std::string escaped(const std::string& s) {
    std::string out;
    char buf[8];
    for (unsigned char c : s) {
        std::snprintf(buf, sizeof buf, "\\%03u", static_cast<unsigned>(c));
        out += buf;
    }
    return out;
}

// The state of one synchronisation run, shared by the record insertions.
struct SyncRun {
    TDateTime tNow = 0;
    bool log = false;
    std::mt19937 rng;
    int firstResync = 0;
    // Per row: the lowest time value index that received an impulse or was filled.
    std::map<TRow*, int> touched;
    std::map<TRow*, std::shared_ptr<TRow>> keep;
    SyncResult result;
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

// One queue record at time tAct for the six cells of device entry e. Called with the rows
// lock held.
void insertRecord(SyncRun& run, TRows& rows, TCells& cells, const TKLVDeviceListEntry& e,
                  int record, int pos, TDateTime tAct) {
    if (record >= 128) record -= 128;
    const bool log = run.log;
    WriteDbg(kCat, "       iChar=" + num(pos) + "; tAct=" + dtText(tAct) + "; cv=" + num(record),
             log);
    for (int j = 1; j <= kCellsPerDevice; ++j) {
        const int i = e.physCellNr_From + j - 1;
        if (!TCells::validCell(i)) continue;
        const auto R = rows.RowForCellAt(i, tAct);
        if (!R) continue;
        TRow& row = *R;
        WriteDbg(kCat, "       Row/lastValidTemp=" + row.Name + "/" + num(row.lastValidTemp), log);
        WriteDbg(kCat, "       Row/Cell#=" + row.Name + "/" + num(i), log);
        WriteDbg(kCat, "       R.iRTV0/iRTV=" + num(row.iRTV0) + "/" + num(row.iRTV), log);
        const int iRC = row.FindCellSlot(i);
        WriteDbg(kCat, "       iRC=" + num(iRC), log);
        if (iRC < 1) continue;
        CellValues& v = row.RowCells[static_cast<size_t>(iRC)].Values;
        const bool impulse = (record >> (j - 1)) & 1;
        int n = entryHolding(row, tAct);
        WriteDbg(kCat, "       tAct=" + dtText(tAct), log);
        WriteDbg(kCat, "       iRTV=" + num(n), log);
        if (n < 1) {
            WriteDbg(kCat, "       *** calling fillRTV", log);
            const int before = row.iRTV;
            row.fillRTV(run.tNow);
            if (row.iRTV > before) touch(run, R, before + 1);
            WriteDbg(kCat, "       R.iRTV0/iRTV=" + num(row.iRTV0) + "/" + num(row.iRTV), log);
            n = entryHolding(row, tAct);
            if (n < 1) {
                // The record lies after the newest time value: no entry holds it yet, but
                // the next one the row takes must, so it goes into the cell's count.
                // A row without a time value yet (started less than an interval ago) takes
                // the impulses of its running time the same way.
                const bool afterNewest = row.iRTV > 0
                                             ? tAct > row.RTV[static_cast<size_t>(row.iRTV)].dt
                                             : tAct >= row.spanStart();
                if (impulse && afterNewest) {
                    ++run.result.pending;
                    cells.CountTankImpulse(i);
                    // On top of the live count: it holds what the acquisition counted after
                    // the newest time value before the device was lost.
                    if (ownsLiveCount(row, i, cells)) cells.CountImpulse(i);
                }
                continue;
            }
            if (run.firstResync == 0) {
                run.firstResync = n;
                WriteDbg(kCat, "       first_ReSync=" + num(n), log);
            }
        }
        WriteDbg(kCat, "       inserting at iRTV=" + num(n), log);
        if (impulse) {
            // Counts are cumulative: the impulse belongs to every later time value too, and
            // to the live count, which continues the newest one. Setting the live count to
            // the time value's count instead would drop what the acquisition counted after
            // that time value.
            for (int k = n; k <= row.iRTV; ++k)
                if (v.count(k) != NoValueInt) v.addCount(k, 1);
            cells.CountTankImpulse(i);
            if (ownsLiveCount(row, i, cells)) cells.CountImpulse(i);
            ++run.result.impulses;
            touch(run, R, n);
        }
        const int countN = v.count(n);
        RTVElement& el = row.RTV[static_cast<size_t>(n)];
        WriteDbg(kCat, "       PRE:  R.RTV^[iRTV].T=" + num(el.T) + ";", log);
        const int lvt = row.lastValidTemp;
        if (lvt != NoValueInt && lvt > 0 && el.T == NoValueInt) {
            el.T = lvt + std::uniform_int_distribution<int>(-15, 14)(run.rng);
            touch(run, R, n);
        }
        WriteDbg(kCat, "       POST: R.RTV^[iRTV].T=" + num(el.T) + ";", log);
        WriteDbg(kCat, "       set CellCount:=" + num(countN), log);
    }
}

enum class ReadEnd { Complete, Incomplete, MaxFailed };

// Reads records from one device's queue in blocks of up to 50 and inserts them, 3 s apart
// from tAct on (never later than now). Blocks that come back short are rejected and asked
// for again, up to kMaxRetries times.
struct QueueReader {
    DeviceProtocol& proto;
    std::mutex& io;
    LinkHandle h;
    const TKLVDeviceListEntry& e;
    SyncProgress& ui;
    SyncRun& run;
    TRows& rows;
    TCells& cells;
    // Failed blocks in a row, across devices.
    int& failures;
    TDateTime tAct = 0;
    long long received = 0;
    long long total = 0;  // for the progress gauge
    int runNr = 0;
    bool anySuccess = false;

    ReadEnd read(int q);
};

ReadEnd QueueReader::read(int q) {
    const bool log = run.log;
    int remaining = q;
    int retry = 1;
    while (remaining > 0 && retry <= DeviceSync::kMaxRetries && !ui.cancelRequested()) {
        ++runNr;
        bool success = false;
        retry = 1;
        while (!success && retry <= DeviceSync::kMaxRetries && !ui.cancelRequested()) {
            TouchLiveFile();
            clock().sleepMs(kBlockPauseMs);
            std::string block, q2;
            {
                std::lock_guard lock(io);
                block = proto.queueEntry(h);
                q2 = proto.queueCount(h);
            }
            const int len = static_cast<int>(block.size());
            WriteDbg(kCat, "    Sync#=" + num(runNr) + ": length=" + num(len), log);
            WriteDbg(kCat, "       SyncString=" + escaped(block), log);
            WriteDbg(kCat, "    Queue Entries2=" + q2, log);
            const int expected = std::min(remaining, DeviceSync::kBlockSize);
            if (len < expected) {
                {
                    std::lock_guard lock(io);
                    for (int k = 0; k < kFailedBlockAcks; ++k) proto.acknowledgeRecord(h);
                }
                clock().sleepMs(kFailedBlockPauseMs);
                ++failures;
                ++run.result.blocksFailed;
                const std::string why =
                    "Expected: " + num(expected) + " received: " + num(len) + " characters";
                WriteDbg(kCat, "    Sync#=" + num(runNr) + ", RetryCount=" + num(retry) +
                                   ": failed due to length. " + why);
                ++retry;
                if (retry > DeviceSync::kMaxRetries)
                    WriteDbg(kCat, "    Sync#=" + num(runNr) +
                                       ", : finally failed due to length. " + why);
                if (failures > DeviceSync::kMaxSyncFailed) {
                    WriteDbg(kCat, "*** maxSyncFailed reched - STOP SYNCHRONISATION");
                    AddMsg("Synchronisation failed due to reaching maxSyncFailed ! ", true);
                    run.result.maxSyncFailed = true;
                    return ReadEnd::MaxFailed;
                }
                continue;
            }
            remaining -= len;
            received += len;
            {
                std::lock_guard lock(io);
                proto.acknowledgeRecord(h);
            }
            success = true;
            anySuccess = true;
            failures = 0;
            ++run.result.blocksRead;
            const TDateTime latest = clock().now();
            auto lock = rows.lock();
            for (int k = 0; k < len; ++k) {
                const int rec = static_cast<unsigned char>(block[static_cast<size_t>(k)]);
                insertRecord(run, rows, cells, e, rec, k + 1, tAct);
                ++run.result.records;
                tAct += kDeviceTactSeconds * kSecond;
                if (tAct > latest) tAct = latest;
                if (k % 2 == 1) {
                    RowsUnlocked u(rows.mutex());
                    const long long pct = total > 0 ? 100 * received / total : 100;
                    ui.valuesProgress(static_cast<int>(std::min<long long>(pct, 100)));
                }
            }
            lock.unlock();
            ui.processMessages();
        }
    }
    return remaining <= 0 ? ReadEnd::Complete : ReadEnd::Incomplete;
}

}  // namespace

SyncResult DeviceSync::SyncWithDevices(bool resync, SyncProgress* progress) {
    SyncProgress none;
    SyncProgress& ui = progress ? *progress : none;
    SyncRun run;
    run.log = dbg().sync.load();
    const bool log = run.log;
    WriteDbg("SyncWithDevices", "starting Kelvora.SyncWithDevices");
    run.tNow = clock().now();
    int failures = 0;
    bool anySuccess = false;
    std::set<int> read;  // devices whose queue was read
    DeviceProtocol& proto = dl_.protocol();
    const int nDevices = dl_.nDevices();

    if (rows_.Count() > 0) {
        int present = 0;
        for (int d = 1; d <= nDevices; ++d) {
            const TKLVDeviceListEntry e = dl_.device(d);
            if (e.Type == DeviceType::Data && e.bPresent) ++present;
        }
        ui.devicesStarted(present);
        int done = 0;
        for (int d = 1; d <= nDevices; ++d) {
            run.rng.seed(static_cast<unsigned>(std::fmod(clock().now() * 86400000.0, kSeedRange)));
            clock().sleepMs(kDevicePauseMs);
            ui.processMessages();
            TouchLiveFile();
            if (ui.cancelRequested()) {
                WriteDbg("SyncWithDevices", "canceling due to user request");
                run.result.cancelled = true;
                break;
            }
            const TKLVDeviceListEntry e = dl_.device(d);
            if (e.Type != DeviceType::Data || !e.bPresent || e.ErrorCode != 0) continue;
            const LinkHandle h = e.FTHandle;
            const std::string shown = dl_.fullName(d, true);
            WriteDbg(kCat, "*** ", log);
            WriteDbg(kCat, "*** tNow=" + dtText(run.tNow), log);
            WriteDbg(kCat, "*** Device=" + shown, log);

            std::string ident;
            for (int a = 0; a < kIdentityTries && ident.empty(); ++a) {
                std::lock_guard io(io_.of(d));
                ident = proto.identity(h);
            }
            if (ident.empty()) ident = std::string(kUnknownIdentity);
            dl_.update(d, [&ident](TKLVDeviceListEntry& x) { x.AppName = ident; });
            if (!firmwareUsable(ident)) {
                const std::string t =
                    "!!! Device firmware for " + shown + " (SerialNr=" + e.SerialNr + ") is " +
                    ident + ". This version of Kelvora requires at least V1.3.0 firmware !";
                WriteDbg(kCat, t);
                AddMsg("!!! ReSync: " + t, true);
                run.result.firmwareRefused = true;
                break;
            }
            ui.deviceProgress(++done);
            ++run.result.devicesRead;
            std::string qText;
            {
                std::lock_guard io(io_.of(d));
                proto.tactCounter(h);
                qText = proto.queueCount(h);
            }
            int q = textToInt(qText);
            if (q == NoValueInt || q < 0) q = 0;
            WriteDbg(kCat, "    Queue Entries=" + num(q), log);
            const TDateTime tFirst = run.tNow - q * kDeviceTactSeconds * kSecond;
            if (q <= 1) continue;
            read.insert(d);

            ui.valuesStarted(q);
            WriteDbg(kCat, "    tFirst=" + dtText(tFirst), log);
            WriteDbg(kCat,
                     "    #ofSyncRuns for this device=" + num((q + kBlockSize - 1) / kBlockSize),
                     log);
            {
                std::lock_guard io(io_.of(d));
                proto.acknowledgeRecord(h);
            }
            QueueReader reader{proto, io_.of(d), h, e, ui, run, rows_, cells_, failures};
            reader.total = q;
            reader.tAct = tFirst;
            ReadEnd end = reader.read(q);
            // The device adds a record every tact while its queue is read, and f0# at the
            // end empties the queue: what arrived meanwhile is read as well, a bounded
            // number of times (the last tact or so stays behind).
            for (int round = 1; end == ReadEnd::Complete && round <= kMaxExtraRounds; ++round) {
                if (ui.cancelRequested()) break;
                std::string more;
                {
                    std::lock_guard io(io_.of(d));
                    more = proto.queueCount(h);
                }
                const int q2 = textToInt(more);
                WriteDbg(kCat, "    Queue Entries (arrived meanwhile)=" + more, log);
                if (q2 == NoValueInt || q2 <= 0) break;
                // These records are the newest: they end now, after those read so far.
                reader.tAct =
                    std::max(reader.tAct, clock().now() - q2 * kDeviceTactSeconds * kSecond);
                reader.total += q2;
                end = reader.read(q2);
            }
            if (reader.anySuccess) anySuccess = true;
            if (end == ReadEnd::MaxFailed) return run.result;
            if (ui.cancelRequested()) run.result.cancelled = true;
        }
    }

    // Saving: every row that took values. A value written to the file already and changed
    // now makes the file be rewritten, so that file and memory agree.
    if (anySuccess) {
        ui.task("Saving Synchronized Data...");
        auto lock = rows_.lock();
        for (const auto& r : rows_.Snapshot()) {
            if (r->isTemplate) continue;
            const auto t = run.touched.find(r.get());
            if (r->iRTV0 <= 0 && t == run.touched.end()) continue;
            WriteDbg(kCat, "...Row=" + r->Name + "; lastRowWritten=" + num(r->iRTV_lastSaved), log);
            if (t != run.touched.end() && t->second <= r->iRTV_lastSaved)
                r->RewriteDataFile();
            else
                r->SaveSynchronizedData(resync ? r->iRTV_lastSaved + 1 : -1);
        }
    }

    ui.task("Initializing and Starting Kelvora Data Devices...");
    for (int d = 1; d <= nDevices; ++d) {
        const TKLVDeviceListEntry e = dl_.device(d);
        if (e.Type != DeviceType::Data || !e.bPresent) continue;
        {
            std::lock_guard io(io_.of(d));
            proto.clearQueue(e.FTHandle);
        }
        // The acquisition takes the queue from here on as new (see its missed tacts). Its
        // first record is counted unless its tact is gone from the queue (0: read here);
        // a queue that was not read (-1) took no tact into the rows.
        const TDateTime reset = clock().now();
        const int mark = read.count(d) ? 0 : -1;
        dl_.update(d, [reset, mark](TKLVDeviceListEntry& x) {
            x.lastTactNr = mark;
            x.lastTactTime = reset;
        });
        WriteDbg(kCat, "...resetting F1/2/3 for device " + e.logName, log);
    }
    WriteDbg("SyncWithDevices", "stop Kelvora.SyncWithDevices");
    return run.result;
}

}  // namespace kv
