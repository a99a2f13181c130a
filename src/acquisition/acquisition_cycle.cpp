#include "acquisition/acquisition_cycle.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

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
    const int tick = ++tick_;
    const bool logTimer = dbg().mmTimerInt.load();
    WriteDbg("mmTimerCallback", "Start, #" + num(tick), logTimer);
    const bool blocked = !flags_.systemRunning.load() || flags_.startupInProgress.load() ||
                         flags_.configCmdInProgress.load() || flags_.deviceCheckInProgress.load() ||
                         flags_.ec71CallbackBusy.load();
    if (!blocked) {
        if (!flags_.quitting.load()) {
            flags_.usbCallbackBusy.store(true);
            handledTick();
        }
        flags_.usbCallbackBusy.store(false);
        WriteDbg("mmTimerCallback", "Stop, #" + num(tick), logTimer);
    }
    if (tick >= kTickNumberWrap) tick_.store(0);
    if (tickDone_) tickDone_();
}

void AcquisitionCycle::handledTick() {
    ++tempPhase_;
    ++fiftyCount_;
    const TDateTime now = clock().now();

    const int n = dl_.nDevices();
    for (int d = 1; d <= n; ++d) {
        const TKLVDeviceListEntry e = dl_.device(d);
        if (e.Type == DeviceType::Data && e.bPresent && e.ErrorCode == 0 && !awaitingResync(e))
            dataDeviceStep(d, now);
    }
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
    if (missed <= 0) return {};
    return readQueuedTacts(dl_.fullName(d, false), h, rec, e.lastTactNr, missed);
}

// How many tacts before the record's own the queue holds for this tick; 0 when there are
// none, or when they are not to be read.
int AcquisitionCycle::missedTactsToRead(int d, const ValueRecord& rec, const TKLVDeviceListEntry& e,
                                        TDateTime now) {
    if (isNoValue(rec.queued)) return 0;
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
        WriteDbg(cat, "   --> " + num(missed) + " missed tact(s): too many to read from the queue");
        AddMsg(GetTextFmt("uMain", "MissedTactsLost",
                          "Data Device %s: %s tacts missed by the acquisition are lost.", e.logName,
                          num(missed)),
               true);
        return 0;
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
        // Every block but the last must be whole; the last may hold tacts that closed after
        // the record.
        const int size = static_cast<int>(block.size());
        const bool good = left <= kQueueBlockSize ? size >= expected : size == expected;
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
    // Tacts that closed between the record and the block were acknowledged with it; their
    // records will not come again. One at most can close in that moment: more means the
    // block was garbled, and its entries are not counted.
    const int newer = static_cast<int>(entries.size()) - queued;
    if (newer == 1) {
        m.newer = entries.substr(static_cast<size_t>(queued));
        m.lastTact = rec.tact + 1;
    } else if (newer > 1) {
        WriteDbg(cat, "   --> queue block " + num(newer) + " characters longer than the queue");
    }
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
    if (!holdsValueRecord(t.answer)) return;
    t.rec = parseValueRecord(t.answer);
    if (t.rec && t.rec->tact != t.e.lastTactNr)
        t.missed = readMissedTacts(t.d, h, *t.rec, t.e, now);
    if (!t.missed.acknowledged) proto.acknowledgeRecord(h);
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
        for (unsigned char entry : t.missed.entries + t.missed.newer)
            impulses += (entry >> (k - 1)) & 1;
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
    const int n = dl_.nDevices();
    for (int d = 1; d <= n; ++d) {
        const TKLVDeviceListEntry e = dl_.device(d);
        if (e.Type != DeviceType::Case || !e.bPresent || e.ErrorCode != 0) continue;
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
            currentTemp_.store(t);
        } else {
            // A reading that failed shows the last good one rather than a gap.
            double last = NoValueReal;
            dl_.update(d, [&last](TKLVDeviceListEntry& x) {
                x.curTemp = x.lastTemp;
                last = x.lastTemp;
            });
            currentTemp_.store(last);
        }
    }
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
