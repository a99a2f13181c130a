#include "acquisition/acquisition_cycle.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>

#include "app/alarm_notify.h"
#include "app/debuglog.h"
#include "app/livefile.h"
#include "app/messages.h"
#include "app/texts.h"
#include "common/strutil.h"

namespace kv {

namespace {

constexpr int kManometerOpen = 10;
// Comparisons of elapsed virtual or real time allow for the rounding of day fractions.
constexpr double kTimeSlackSec = 0.001;

double secondsSince(TDateTime then, TDateTime now) {
    return (now - then) * 86400.0 + kTimeSlackSec;
}

}  // namespace

struct AcquisitionCycle::CellOutcome {
    bool restart = false;
    std::string restartList;
    std::vector<std::pair<int, int>> alarms;  // cell, row
};

AcquisitionCycle::AcquisitionCycle(const Config& cfg, DeviceList& devices, TCells& cells,
                                   Alarms& alarms, O2TankFile& tanks, TempLog& tempLog,
                                   RunFlags flags, StatusOutput& status, DeviceIoLocks& io)
    : cfg_(cfg),
      dl_(devices),
      cells_(cells),
      alarms_(alarms),
      tanks_(tanks),
      tempLog_(tempLog),
      flags_(flags),
      status_(status),
      io_(io) {}

AcquisitionCycle::~AcquisitionCycle() {
    stop();
}

void AcquisitionCycle::start() {
    timer_.start(cfg_.mmTimerInt, [this] { mmTimerCallback(); });
}

void AcquisitionCycle::stop() {
    timer_.stop();
}

void AcquisitionCycle::resetQueuesAfterNextRead() {
    for (auto& due : queueResetDue_) due.store(true);
}

void AcquisitionCycle::touchLiveFileIfPresent() {
    // The tick only refreshes the time stamp; creating the file is start-up's business.
    LiveFile& live = liveFile();
    if (!live.configured()) return;
    std::error_code ec;
    if (std::filesystem::exists(live.fileName(), ec)) live.touch();
}

// ---------------------------------------------------------------------------------------
// The tick

void AcquisitionCycle::mmTimerCallback() {
    const auto settings = cfg_.lock.reading();
    const int tick = ++tick_;
    const bool logTimer = dbg().mmTimerInt.load();
    WriteDbg("mmTimerCallback", "Start, #" + num(tick), logTimer);
    const bool blocked = !flags_.systemRunning.load() || flags_.startupInProgress.load() ||
                         flags_.configCmdInProgress.load() || flags_.deviceCheckInProgress.load() ||
                         flags_.ec71CallbackBusy.load();
    if (!blocked) {
        if (!flags_.quitting.load()) {
            flags_.usbCallbackBusy.store(true);
            const auto began = std::chrono::steady_clock::now();
            handledTick();
            noteTickDuration(tick, std::chrono::steady_clock::now() - began);
        }
        flags_.usbCallbackBusy.store(false);
        WriteDbg("mmTimerCallback", "Stop, #" + num(tick), logTimer);
    }
    if (tick >= kTickNumberWrap) tick_.store(0);
    if (tickDone_) tickDone_();
}

// A tick longer than its period makes the timer skip the next one, and the device's tacts
// of that moment have to be read back from its queue: worth a line whenever it happens.
void AcquisitionCycle::noteTickDuration(int tick, std::chrono::steady_clock::duration took) {
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
    lastTickMs_.store(ms);
    long long longest = longestTickMs_.load();
    while (ms > longest && !longestTickMs_.compare_exchange_weak(longest, ms)) {
    }
    if (ms > cfg_.mmTimerInt) {
        ++overlongTicks_;
        WriteDbg("mmTimerCallback", "#" + num(tick) + " took " + num(ms) +
                                        " ms, longer than its period of " + num(cfg_.mmTimerInt) +
                                        " ms");
    }
}

void AcquisitionCycle::handledTick() {
    ++tempPhase_;
    ++fiftyCount_;
    const TDateTime now = clock().now();

    // Each data device on its own interface, all at once: a device's step touches only its
    // own list entry, I/O lock and cells, and the step ends before the rows are updated.
    std::vector<int> due;
    const int n = dl_.nDevices();
    for (int d = 1; d <= n; ++d) {
        const TKLVDeviceListEntry e = dl_.device(d);
        if (e.Type == DeviceType::Data && e.bPresent && e.ErrorCode == 0 && !awaitingResync(e))
            due.push_back(d);
    }
    forEachJob(workers_, cfg_.parallelDevices(), static_cast<int>(due.size()),
               [&](int j) { dataDeviceStep(due[static_cast<size_t>(j)], now); });
    // Before the rows take their values: a data line never holds a count the journal lacks.
    if (journal_) journal_->write(now);

    if (tempPhase_ >= 3) {
        temperatureStep();
        tempPhase_ = 0;
        if (cfg_.LogTemp_min > 0 &&
            secondsSince(tempLog_.lastLogTime(), now) >= cfg_.LogTemp_min * 60.0)
            tempLog_.write_TempLog(now);
        touchLiveFileIfPresent();
    }
    if (fiftyCount_ >= 50) fiftyTickStep(now);
    if (!cfg_.CDM_Present && !cfg_.EC71_Present) co2Step();
    if (rowsUpdate_) rowsUpdate_(false);
    newValues_.store(true);
}

void AcquisitionCycle::fiftyTickStep(TDateTime /*now*/) {
    touchLiveFileIfPresent();
    if (flags_.rowCommandIdle.load() && cfg_.bSetCellActive) {
        const std::string previous = status_.panelText(StatusPanel::Second);
        status_.setPanel(StatusPanel::Second, "USB_SetCells active", StatusColor::Black);
        cells_.USB_setCells_ActiveAndTact();
        status_.setPanel(StatusPanel::Second, previous, StatusColor::Red);
    }
    fiftyCount_ = 0;
    tanks_.write_O2TankData();
}

void AcquisitionCycle::logAnswer(int d, const std::string& category, const std::string& answer) {
    const std::string shown = num(static_cast<long long>(answer.size())) + ".{" +
                              replaceAll(answer, "\r", "\xC2\xA9") + "}";
    WriteDbg(category, shown, dbg().usbData.load());
    if (status_.usbDebugPageShown()) status_.setDeviceLabel(d, category + ": " + shown);
}

// ---------------------------------------------------------------------------------------
// Data devices

// The tacts a tick missed are still in the device's queue, behind the entries acknowledged
// so far and before the record's own entry (the newest): queue position p holds tact
// rec.tact - (queued - 1) + p. They are read in blocks, oldest first; acknowledging the
// blocks acknowledges the record too. Empty result when there is nothing to recover, or it
// cannot be (the outage of a lost device is the synchronisation's business).
AcquisitionCycle::MissedTacts AcquisitionCycle::readMissedTacts(int d, LinkHandle h,
                                                                const ValueRecord& rec,
                                                                const TKLVDeviceListEntry& e,
                                                                TDateTime now) {
    const int missed = missedTactsToRead(d, rec, e, now);
    if (missed < 0) {
        MissedTacts m;
        m.acknowledged = true;  // nothing is: the queue stays whole for the synchronisation
        m.complete = false;
        m.lastTact = e.lastTactNr;
        return m;
    }
    if (missed == 0) return {};
    return readQueuedTacts(dl_.fullName(d, false), h, rec, e.lastTactNr, missed);
}

// How many tacts before the record's own the queue holds for this tick; 0 when there are
// none, or when they are not to be read; -1 when there are more than a tick reads back.
int AcquisitionCycle::missedTactsToRead(int d, const ValueRecord& rec, const TKLVDeviceListEntry& e,
                                        TDateTime now) {
    // Without the setting the fifth field is not taken for the queue length: the device's
    // newest tact alone is read, and "o#" drops the tacts before it.
    if (!cfg_.ReadMissedTacts || isNoValue(rec.queued)) return 0;
    const int queued = rec.queued;
    const int lastTact = e.lastTactNr;
    // lastTact 0 or below: no tact handled since the device's counter or queue was reset
    // (start-up, synchronisation), so every entry before the record's own is new.
    const int missed = lastTact <= 0 ? queued - 1 : std::min(queued - 1, rec.tact - lastTact - 1);
    if (missed <= 0) return 0;
    const std::string cat = dl_.fullName(d, false);
    // A queue holding more than could have been filled since the last handled tact (or the
    // reset) does not mean what this reading assumes; counting it could add impulses that
    // never happened.
    // The record was answered after the tick began (device I/O takes time, and on an
    // accelerated clock a great deal of it): the tacts it can hold are counted up to now.
    const TDateTime at = std::max(now, clock().now());
    if (e.lastTactTime > 0 && at >= e.lastTactTime) {
        const double tacts = (at - e.lastTactTime) / (kDeviceTactSeconds * kSecond);
        const int possible = static_cast<int>(std::floor(tacts)) + 1;
        if (missed > possible) {
            WriteDbg(cat, "   --> queue holds " + num(missed) + " missed tact(s), but only " +
                              num(possible) + " can have passed: not read");
            return 0;
        }
    }
    if (queued > kMaxRecoveredBlocks * kQueueBlockSize) {
        // Acknowledging the record would drop them; the synchronisation reads them all.
        WriteDbg(cat, "   --> " + num(missed) +
                          " missed tact(s): too many to read from the queue, left to a "
                          "synchronisation");
        dl_.update(d, [](TKLVDeviceListEntry& x) { x.resyncRequested = true; });
        return -1;
    }
    return missed;
}

// Reads the whole queue (the missed tacts are its oldest entries but the record's own) and
// acknowledges it block by block.
AcquisitionCycle::MissedTacts AcquisitionCycle::readQueuedTacts(const std::string& cat,
                                                                LinkHandle h,
                                                                const ValueRecord& rec,
                                                                int lastTact, int missed) {
    MissedTacts m;
    const int queued = rec.queued;
    const int first = queued - 1 - missed;  // position of the oldest missed tact
    DeviceProtocol& proto = dl_.protocol();
    std::string entries;
    while (static_cast<int>(entries.size()) < queued) {
        const std::string block = proto.queueEntry(h);
        const int left = queued - static_cast<int>(entries.size());
        const int expected = std::min(kQueueBlockSize, left);
        // Every block must be exactly what the record announced. A longer last block may
        // hold a tact that closed after the record, or a character the link doubled (which
        // shifts every entry after it): the two cannot be told apart, so neither is counted
        // nor acknowledged, and the next tick's record tells the queue's length again.
        const int size = static_cast<int>(block.size());
        const bool good = size == expected;
        if (!good) {
            // Not acknowledged: the block stays queued, and the next tick goes on from the
            // last tact counted here (the record is not counted now either).
            const int acked = static_cast<int>(entries.size());
            WriteDbg(cat, "   --> queue block of " + num(size) + " characters, expected " +
                              num(expected) + ": read again at the next tick");
            m.complete = false;
            m.acknowledged = true;  // no "o#": it would acknowledge this block
            if (acked > first) m.entries = entries.substr(static_cast<size_t>(first));
            m.lastTact = std::max(lastTact, rec.tact - (queued - 1) + (acked - 1));
            return m;
        }
        proto.acknowledgeRecord(h);
        m.acknowledged = true;
        entries += block;
    }
    m.entries = entries.substr(static_cast<size_t>(first), static_cast<size_t>(missed));
    m.lastTact = rec.tact;
    WriteDbg(cat, "   --> " + num(missed) + " missed tact(s) read from the queue");
    return m;
}

// The data device step of one tick. Everything it touches belongs to device d: its entry
// in the device list, its I/O lock and the cells it serves.
void AcquisitionCycle::dataDeviceStep(int d, TDateTime now) {
    DeviceTick t;
    t.d = d;
    t.e = dl_.device(d);
    t.cat = dl_.fullName(d, false);
    readValueRecord(t, now);
    if (!noteAnswer(t)) return;
    if (!advanceTact(t, now)) return;
    countImpulses(t, now);
}

// Asks for the value record (three times at most), reads the tacts it missed and
// acknowledges the record, all under the device's I/O lock.
void AcquisitionCycle::readValueRecord(DeviceTick& t, TDateTime now) {
    static const char* const kRequestLine[kValueRequests] = {
        "requesting data via V1#", "2. requesting data via V1#", "3. requesting data via V1#"};
    FTLink& link = dl_.link();
    DeviceProtocol& proto = dl_.protocol();
    const LinkHandle h = t.e.FTHandle;
    const int delay = cfg_.DelayBetweenFT_Write_Read;
    const bool logData = dbg().usbData.load();
    std::lock_guard io(io_.of(t.d));
    for (int attempt = 0; attempt < kValueRequests; ++attempt) {
        link.FTReadAll(h);
        clock().sleepMs(delay);
        proto.sendValueRequest(h, cfg_.dev_VCmd);
        WriteDbg(t.cat, kRequestLine[attempt], attempt > 0 || logData);
        clock().sleepMs(2 * delay);
        t.answer = link.FTReadAll(h);
        if (t.answer.find(";nCC") != std::string::npos) break;
    }
    if (holdsValueRecord(t.answer)) t.rec = parseValueRecord(t.answer);
    if (t.rec && !tactFollows(t, now)) t.rec.reset();
    // A record that cannot be read is not acknowledged: the device keeps its entry, and the
    // next tick or the synchronisation reads it again.
    if (!t.rec) return;
    if (t.rec->tact != t.e.lastTactNr) t.missed = readMissedTacts(t.d, h, *t.rec, t.e, now);
    if (!t.missed.acknowledged) proto.acknowledgeRecord(h);
    // Only after a read that left nothing behind: what stays queued is still to be counted
    // (by the next tick, or by the synchronisation, which starts the queue anew itself).
    if (t.missed.complete && t.d <= kMaxDevices &&
        queueResetDue_[static_cast<size_t>(t.d)].exchange(false)) {
        proto.clearQueue(h);
        WriteDbg(t.cat, "   --> queue started anew after tact " + num(t.rec->tact));
    }
}

// A lost or doubled digit leaves a record well formed, but its tact number goes back or
// leaps ahead; taking it would count the tact again when the true number comes next. Such a
// number is taken only when the next record confirms it (a device that restarted counts
// on from it); until then the record counts as unreadable and is not acknowledged.
bool AcquisitionCycle::tactFollows(DeviceTick& t, TDateTime now) {
    const int tact = t.rec->tact, last = t.e.lastTactNr;
    auto tactsSince = [now](TDateTime then) {
        return then > 0 && now >= then ? (now - then) / (kDeviceTactSeconds * kSecond) : -1.0;
    };
    auto reachable = [&](int from, TDateTime then) {
        const double passed = tactsSince(then);
        return tact >= from && (passed < 0 || tact - from <= passed + kTactSlack);
    };
    bool follows = last <= 0 || tact == last || reachable(last, t.e.lastTactTime);
    if (!follows && t.e.suspectTact >= 0 && reachable(t.e.suspectTact, t.e.suspectTime)) {
        WriteDbg(t.cat, "   --> tact number " + num(tact) + " confirmed after " + num(last) +
                            ": the device's counter restarted");
        // As after a reset: every entry the queue holds before the record's own is new.
        t.e.lastTactNr = 0;
        follows = true;
    }
    dl_.update(t.d, [&](TKLVDeviceListEntry& x) {
        if (follows) {
            x.suspectTact = -1;
            if (t.e.lastTactNr == 0) x.lastTactNr = 0;
        } else if (x.suspectTact < 0 || !reachable(x.suspectTact, x.suspectTime)) {
            x.suspectTact = tact;
            x.suspectTime = now;
        }
    });
    if (!follows)
        WriteDbg(t.cat, "   --> tact number " + num(tact) + " does not follow " + num(last) +
                            ": read again at the next tick");
    return follows;
}

// Ticks in a row without a readable record from a device that answers: one message per
// episode, and the device check shows the device in error until a record is read again.
void AcquisitionCycle::noteReadable(const DeviceTick& t) {
    const bool readable = t.rec.has_value();
    bool report = false, ended = false;
    int ticks = 0;
    dl_.update(t.d, [&](TKLVDeviceListEntry& x) {
        if (readable) {
            ended = x.unreadableReported;
            x.unreadableTicks = 0;
            x.unreadableReported = false;
            if (ended) x.Message.clear();
            return;
        }
        ticks = ++x.unreadableTicks;
        report = ticks >= kMaxUnreadableTicks && !x.unreadableReported;
        if (report) x.unreadableReported = true;
    });
    if (report) {
        const std::string msg = GetTextFmt(
            "uMain", "UnreadableRecords",
            "Data Device %s sends value records Kelvora cannot read (%s ticks in a row). They "
            "stay in the device until they can be read.",
            t.e.logName, num(ticks));
        WriteDbg(t.cat, msg);
        AddMsg(msg, true);
        NotifyAlarm(AlarmKind::DeviceLost, msg);
        dl_.update(t.d, [&](TKLVDeviceListEntry& x) { x.Message = msg; });
    } else if (ended) {
        const std::string msg =
            GetTextFmt("uMain", "ReadableRecords",
                       "Data Device %s sends readable value records again.", t.e.logName);
        WriteDbg(t.cat, msg);
        AddMsg(msg, true);
    }
}

// A device that stays silent leaves the cycle until the device check reopens it. False
// when there is no record to go on with.
bool AcquisitionCycle::noteAnswer(const DeviceTick& t) {
    if (t.answer.empty()) {
        dl_.update(t.d, [](TKLVDeviceListEntry& x) {
            if (++x.emptyAnswerCount > kMaxEmptyAnswers) x.ErrorCode = FT_COMM_HANGS;
        });
        return false;
    }
    dl_.update(t.d, [](TKLVDeviceListEntry& x) { x.emptyAnswerCount = 0; });
    logAnswer(t.d, t.cat, t.answer);
    noteReadable(t);
    return t.rec.has_value();
}

// Records the newest tact handled. False when the record holds nothing new to count.
bool AcquisitionCycle::advanceTact(DeviceTick& t, TDateTime now) {
    const ValueRecord& rec = *t.rec;
    const MissedTacts& missed = t.missed;
    const long long last = t.e.lastTactNr;
    std::string line = "Tact#(currDev)/(lastPC)=" + num(rec.tact) + "/" + num(last);
    if (last + 1 < rec.tact) {
        line += "   --> missed a beat";
        WriteDbg(t.cat, line);
    } else {
        WriteDbg(t.cat, line, dbg().usbData.load());
    }
    if (rec.tact == last) return false;
    // The newest tact handled: the record's, one that closed after it, or (after a block
    // that failed) the last one read from the queue, which the next tick continues from.
    const int handled = !missed.complete || missed.lastTact > 0 ? missed.lastTact : rec.tact;
    const TDateTime handledAt =
        now - (rec.tact - std::min(handled, rec.tact)) * kDeviceTactSeconds * kSecond;
    dl_.update(t.d, [&](TKLVDeviceListEntry& x) {
        x.lastTactNr = handled;
        x.lastTactTime = handledAt;
    });
    // Right after a reset of the queue, a record whose entry is no longer queued was read by
    // the synchronisation already.
    t.countRecord = missed.complete && !(last == 0 && rec.queued == 0);
    return t.countRecord || !missed.entries.empty();
}

// Counts the record's impulses and those of the missed tacts into the device's cells, then
// raises their alarms and restarts the device when a manometer stayed closed too long.
void AcquisitionCycle::countImpulses(const DeviceTick& t, TDateTime now) {
    const int from = t.e.physCellNr_From;
    // The rows are asked before the cell table is locked: they may call back into it.
    std::array<int, kCellsPerDevice + 1> rowNrs{};
    std::array<std::optional<RowInfo>, kCellsPerDevice + 1> rows{};
    for (int k = 1; k <= kCellsPerDevice; ++k) {
        const int i = from + k - 1;
        if (!TCells::validCell(i)) continue;
        rowNrs[static_cast<size_t>(k)] = cells_.cell(i).RowNr;
        rows[static_cast<size_t>(k)] = cells_.rowOf(rowNrs[static_cast<size_t>(k)]);
    }
    CellOutcome out;
    for (int k = 1; k <= kCellsPerDevice; ++k) {
        const int i = from + k - 1;
        if (!TCells::validCell(i)) continue;
        int impulses = 0;
        for (unsigned char entry : t.missed.entries) impulses += (entry >> (k - 1)) & 1;
        if (t.countRecord && t.rec->impulse(k)) ++impulses;
        processCell(i, k, *t.rec, impulses, rows[static_cast<size_t>(k)],
                    rowNrs[static_cast<size_t>(k)], now, out);
    }
    // Alarms suspend their cells through the rows, which sends device commands: only now
    // that neither the table nor the device is locked.
    for (const auto& [i, rowNr] : out.alarms) alarms_.raiseAlarm(i, rowNr);
    if (out.restart) restartForClosedManometer(t, out.restartList);
}

void AcquisitionCycle::restartForClosedManometer(const DeviceTick& t, const std::string& cells) {
    {
        std::lock_guard io(io_.of(t.d));
        dl_.protocol().restartDevice(dl_.handleOf(t.d));
    }
    WriteDbg(t.cat, "restartet due to manometer reaching man_maxClosedCount (" +
                        num(cfg_.Manometer_maxClosedCount) + ")" + " for cell(s) " + cells + ".");
    for (int k = 1; k <= kCellsPerDevice; ++k)
        cells_.update(t.e.physCellNr_From + k - 1, [](TCell& c) { c.ClosedCount = 0; });
}

void AcquisitionCycle::processCell(int i, int k, const ValueRecord& rec, int impulses,
                                   const std::optional<RowInfo>& rowInfo, int rowNr, TDateTime now,
                                   CellOutcome& out) {
    cells_.update(i, [&](TCell& c) {
        c.OutOfRange = rec.outOfRangeAt(k);
        c.ADCValue = rec.adc[static_cast<size_t>(k - 1)];
        c.ManometerValue = rec.manometer[static_cast<size_t>(k - 1)];
        if (!isCountingO2(c.State)) return;
        // The row as asked before the lock, unless the cell changed rows meanwhile.
        const RowInfo* row = (rowInfo && c.RowNr == rowNr) ? &*rowInfo : nullptr;
        const bool open = !isNoValue(c.ManometerValue) && c.ManometerValue >= kManometerOpen;

        if (row && row->o2LeakageAlarm && row->alarmCount > 0 && row->alarmHours > 0 &&
            rec.tact % 10 == 0) {
            c.HourlyCount[0] = c.CellCount;
            if (alarms_.hourlyAlarmDue(c, i, row->alarmCount, row->alarmHours))
                out.alarms.emplace_back(i, c.RowNr);
            if (secondsSince(c.HourlyTime, now) >= cfg_.AlarmFactor_min * 60.0)
                TCells::shiftHourlyAt(c, c.CellCount, now);
        }

        if (open)
            c.ClosedCount = 0;
        else
            ++c.ClosedCount;
        if (c.ClosedCount >= cfg_.Manometer_maxClosedCount) {
            c.ClosedCount = 0;
            if (cfg_.Manometer_maxClosedCount > 0) {
                if (out.restart) out.restartList += ", ";
                out.restart = true;
                out.restartList += num(i);
            }
        }

        if (c.WaitForZero > 0) {
            if (open) {
                c.WaitForZero = -1;
            } else if (cfg_.max_CellWaitForZero_sec > 0 &&
                       secondsSince(c.StartTime, now) >= cfg_.max_CellWaitForZero_sec) {
                c.WaitForZero = -1;
                WriteDbg("Cell-" + num(i), "forced to start due to max_CellWaitForZero_sec");
            }
        }
        if (open) c.WaitForZero = -1;

        // The impulses of missed tacts count under the rules of the tact that reports them.
        if (impulses == 0) return;
        if (c.WaitForZero > 0) return;
        if (row && row->countAfterAllCellsStarted && !row->allCellsStarted) return;
        c.LastCount = c.CellCount;
        c.CellCount += impulses;
        c.O2ImpTotal += impulses;
        c.O2TankUsed += impulses;
    });
}

// ---------------------------------------------------------------------------------------
// Case temperatures and CO2 raw values

void AcquisitionCycle::temperatureStep() {
    std::vector<int> cases;
    const int n = dl_.nDevices();
    for (int d = 1; d <= n; ++d) {
        const TKLVDeviceListEntry e = dl_.device(d);
        if (e.Type == DeviceType::Case && e.bPresent && e.ErrorCode == 0) cases.push_back(d);
    }
    // Read all at once; the system's temperature is then taken in device order, the last
    // device's reading counting, as when they were read one after the other.
    std::vector<double> shown(cases.size(), NoValueReal);
    forEachJob(workers_, cfg_.parallelDevices(), static_cast<int>(cases.size()), [&](int j) {
        shown[static_cast<size_t>(j)] = caseTemperatureStep(cases[static_cast<size_t>(j)]);
    });
    for (const double t : shown) currentTemp_.store(t);
}

// One case device's temperature: the new reading, or the last good one when the reading
// failed (a gap would show as no temperature at all). Returns what the system shows.
double AcquisitionCycle::caseTemperatureStep(int d) {
    const TKLVDeviceListEntry e = dl_.device(d);
    std::string answer;
    {
        std::lock_guard io(io_.of(d));
        dl_.link().FTReadAll(e.FTHandle);
        answer = dl_.protocol().caseTemperature(e.FTHandle);
    }
    logAnswer(d, dl_.fullName(d, false), answer);
    const double v = textToReal(answer);
    if (!isNoValue(v) && std::isfinite(v)) {
        const double t = v * 0.1;
        dl_.update(d, [t](TKLVDeviceListEntry& x) { x.curTemp = x.lastTemp = t; });
        return t;
    }
    double last = NoValueReal;
    dl_.update(d, [&last](TKLVDeviceListEntry& x) {
        x.curTemp = x.lastTemp;
        last = x.lastTemp;
    });
    return last;
}

void AcquisitionCycle::co2Step() {
    const int n = dl_.nDevices();
    const bool logData = dbg().usbData.load();
    for (int d = 1; d <= n; ++d) {
        const TKLVDeviceListEntry e = dl_.device(d);
        if (e.Type != DeviceType::CO2 || !e.bPresent || e.ErrorCode != 0) continue;
        const std::string cat = dl_.fullName(d, false);
        std::string answer;
        {
            std::lock_guard io(io_.of(d));
            dl_.protocol().startCO2Reading(e.FTHandle);
            dl_.link().FTReadAll(e.FTHandle);
            answer = dl_.protocol().tactListOrCO2(e.FTHandle);
        }
        logAnswer(d, cat, answer);
        if (answer.find(';') == std::string::npos) continue;
        const auto fields = split(answer, ';');
        for (int k = 1; k <= kCellsPerDevice; ++k) {
            std::string field = k <= static_cast<int>(fields.size())
                                    ? trimmed(fields[static_cast<size_t>(k - 1)])
                                    : std::string();
            if (field.empty()) field = "-1";
            const int i = e.physCellNr_From + k - 1;
            if (!TCells::validCell(i) || cells_.GetCellState(i) != CellState::cs_Running) continue;
            const int v = textToInt(field);
            if (!isNoValue(v)) {
                WriteDbg(cat, "AI=" + field, logData);
                cells_.SetCellCO2(i, v);
            } else {
                WriteDbg(cat, "invalid AI=" + field);
                cells_.SetCellCO2(i, -1);
            }
        }
    }
}

}  // namespace kv
