// The synchronisation with the devices' queues: scripted devices for the protocol steps,
// and the virtual lab for whole runs with an outage, checked against the lab's ground truth.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>

#include "common/strutil.h"
#include "device/fake_device.h"
#include "rows/sync.h"
#include "rows_fixture.h"

namespace kvtest {
namespace {

using kv::kSecond;
using kv::TDateTime;

// ---------------------------------------------------------------------------------------
// Scripted queue

// A data device whose queue holds `records`; O# answers blocks of at most 50. As on the
// real devices, "o#" after a block drops it and a second "o#" puts it back (the host's way
// of rejecting a block); f0# empties the queue. shortBlocks answers that many O# requests
// with one record less than asked.
struct QueueDevice {
    std::shared_ptr<FakeDevice> dev;
    std::string queue;
    std::string sent, committed;
    int shortBlocks = 0;
    int blocksAsked = 0;
    // New records that arrive (at the end of the queue) with every O#, as tacts go by
    // while the host reads; and what f0# found still in the queue.
    int growPerBlock = 0;
    char grown = static_cast<char>(0x81);
    int added = 0;
    size_t lostAtReset = 0;
    std::string identity = "KLV/USB V1.4.1";
    // Called (under the device's lock) when the first block is asked for.
    std::function<void()> onFirstBlock;

    explicit QueueDevice(const std::string& serial) : dev(std::make_shared<FakeDevice>(serial)) {
        dev->setHook([this](const std::string& cmd, FakeDevice& d) -> std::string {
            if (cmd == "Z#") return "Z=" + identity + "#";
            if (cmd == "S#") return "S=100#";
            if (cmd == "F3#") return "F3=" + std::to_string(queue.size()) + "#";
            if (cmd == "O#") {
                if (blocksAsked == 0 && onFirstBlock) onFirstBlock();
                ++blocksAsked;
                queue += std::string(static_cast<size_t>(growPerBlock), grown);
                added += growPerBlock;
                size_t n = std::min<size_t>(50, queue.size());
                if (shortBlocks > 0 && n > 0) {
                    --shortBlocks;
                    --n;
                }
                sent = queue.substr(0, n);
                committed.clear();
                return "O=" + sent + "#";
            }
            if (cmd == "o#") {
                if (!sent.empty()) {
                    queue.erase(0, sent.size());
                    committed = sent;
                    sent.clear();
                } else if (!committed.empty()) {
                    queue = committed + queue;
                    committed.clear();
                }
            }
            if (cmd == "f0#") {
                lostAtReset += queue.size();
                queue.clear();
                sent.clear();
                committed.clear();
            }
            return d.standardAnswer(cmd);
        });
    }
};

class SyncScriptTest : public RowsFixture {
  protected:
    // A running row on cells 1..6 with hourly time values up to now.
    std::shared_ptr<kv::TRow> runningRow(int hours) {
        auto r = newRow("Sync", {1, 2, 3, 4, 5, 6});
        auto lock = rows().lock();
        r->Interval = 1;
        r->SIInterval = kv::TimeUnit::Hours;
        r->StartRow(false);
        for (int s = 1; s <= 6; ++s) r->StartCellInRow(s, 0);
        for (int h = 0; h < hours; ++h) {
            advanceSeconds(3600);
            r->Update(true);
        }
        advanceSeconds(600);
        return r;
    }
};

TEST_F(SyncScriptTest, BlocksRunsRetriesAndBitsOfARecord) {
    QueueDevice q("KLV0001");
    build({q.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6)});
    auto r = runningRow(2);
    // 120 records: the last one (0x83) gives cells 1 and 2 an impulse, bit 7 is a flag.
    q.queue = std::string(119, static_cast<char>(0x80)) + static_cast<char>(0x83);
    q.shortBlocks = 1;
    kv::dbg().sync = true;
    const int before1 = r->RowCells[1].Values.count(r->iRTV);
    const int before3 = r->RowCells[3].Values.count(r->iRTV);
    const TDateTime lastDt = r->RTV[static_cast<size_t>(r->iRTV)].dt;

    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const TDateTime tNow = clock_.now();
    const kv::SyncResult res = sync.SyncWithDevices(false);

    EXPECT_EQ(res.blocksRead, 3);
    EXPECT_EQ(res.blocksFailed, 1);
    EXPECT_EQ(res.records, 120);
    const std::string l = log();
    EXPECT_NE(l.find("Expected: 50 received: 49 characters"), std::string::npos);
    EXPECT_NE(l.find("#ofSyncRuns for this device=3"), std::string::npos);
    EXPECT_NE(l.find("tNow=" + kv::dateTimeToText(tNow)), std::string::npos);
    // The first record lies Q x 3 s before tNow; the short block was sent back with o# x3.
    EXPECT_NE(l.find("iChar=1; tAct=" + kv::dateTimeToText(tNow - 360 * kSecond)),
              std::string::npos);
    EXPECT_GE(q.dev->count("o#"), 3 + 3 + 1);
    EXPECT_EQ(q.dev->count("f0#"), 1);
    // The newest record lies after the newest time value: the cell counts take it.
    ASSERT_LT(lastDt, tNow - 10 * kSecond);
    EXPECT_EQ(cells().GetCellCount(1), before1 + 1);
    EXPECT_EQ(cells().GetCellCount(2), before1 + 1);
    EXPECT_EQ(cells().GetCellCount(3), before3);
    EXPECT_EQ(res.pending, 2);
}

TEST_F(SyncScriptTest, RecordsArrivingWhileTheQueueIsReadAreNotLost) {
    QueueDevice q("KLV0001");
    build({q.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6)});
    runningRow(2);
    q.queue = std::string(100, static_cast<char>(0x80));
    q.growPerBlock = 20;  // cell 1 doses in every new tact
    const int before = cells().GetCellCount(1);
    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const kv::SyncResult res = sync.SyncWithDevices(false);
    EXPECT_EQ(q.lostAtReset, 0u);
    EXPECT_EQ(res.records, 100 + q.added);
    EXPECT_EQ(res.impulses + res.pending, q.added);
    // They are the newest records: after the last time value, so in the cell's count.
    EXPECT_EQ(cells().GetCellCount(1), before + q.added);
    EXPECT_EQ(q.dev->count("f0#"), 1);

    // A device that fills its queue faster than it is read still lets the reading end.
    q.queue = std::string(100, static_cast<char>(0x80));
    q.growPerBlock = 60;
    q.grown = static_cast<char>(0x80);
    q.blocksAsked = 0;
    const kv::SyncResult busy = sync.SyncWithDevices(false);
    EXPECT_FALSE(busy.maxSyncFailed);
    EXPECT_LT(q.blocksAsked, 60);
    EXPECT_GT(q.lostAtReset, 0u);
}

TEST_F(SyncScriptTest, ImpulsesFillTheGapAndRaiseEveryLaterValue) {
    QueueDevice q("KLV0001");
    build({q.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6)});
    auto r = runningRow(1);
    r->lastValidTemp = 215;
    const int i0 = r->iRTV;
    const int c0 = r->RowCells[4].Values.count(i0);
    // Three hours without the program: one impulse of cell 4 in the middle of each hour.
    const int perHour = 1200;
    std::string recs;
    for (int h = 0; h < 3; ++h)
        for (int k = 0; k < perHour; ++k) recs += static_cast<char>(k == perHour / 2 ? 0x88 : 0x80);
    q.queue = recs;
    advanceSeconds(3 * 3600);

    // As from the device check: the lines from the last one written on are appended.
    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const kv::SyncResult res = sync.SyncWithDevices(true);
    EXPECT_EQ(res.impulses + res.pending, 3);

    auto lock = rows().lock();
    ASSERT_EQ(r->iRTV, i0 + 3);
    for (int k = 1; k <= 3; ++k) {
        EXPECT_EQ(r->RowCells[4].Values.count(i0 + k), c0 + k) << k;
        const int t = r->RTV[static_cast<size_t>(i0 + k)].T;
        EXPECT_GE(t, 200);
        EXPECT_LE(t, 229);
    }
    EXPECT_EQ(r->RowCells[1].Values.count(i0 + 3), r->RowCells[1].Values.count(i0));
    // The new lines are in the data file, in order.
    std::ifstream in(r->DataFileName());
    std::string line;
    int lines = 0;
    while (std::getline(in, line))
        if (!kv::trim(line).empty()) ++lines;
    EXPECT_EQ(lines, 1 + i0 + 3) << readFile(r->DataFileName());
}

// A device lost while the program runs: the acquisition had counted on after the newest
// time value, then nothing while the device was away. The resynchronisation adds the
// queued impulses to that live count; the time values it fills start from it.
// The clock is behind the data (a start after the clock battery died): the queued tacts
// came after every stored line, whatever the clock says. They go into the live counts, no
// stored value changes, and nothing is dropped.
TEST_F(SyncScriptTest, WithTheClockBehindTheDataQueuedImpulsesFollowTheLastLine) {
    QueueDevice q("KLV0001");
    build({q.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6)});
    auto r = runningRow(5);
    const int n = r->iRTV;
    std::vector<int> stored;
    for (int i = 1; i <= n; ++i) stored.push_back(r->RowCells[2].Values.count(i));
    const std::string file = readFile(r->DataFileName());
    const int live = cells().GetCellCount(2);
    q.queue = std::string(100, static_cast<char>(0x82));  // cell 2 in every tact
    clock_.set(r->Start + 1.0 / 24);                      // four hours behind the newest line
    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const kv::SyncResult res = sync.SyncWithDevices(false);
    EXPECT_EQ(res.impulses + res.pending, 100);
    EXPECT_EQ(cells().GetCellCount(2), live + 100);
    auto lock = rows().lock();
    EXPECT_EQ(r->iRTV, n);
    for (int i = 1; i <= n; ++i)
        EXPECT_EQ(r->RowCells[2].Values.count(i), stored[static_cast<size_t>(i - 1)]) << i;
    EXPECT_EQ(readFile(r->DataFileName()).rfind(file, 0), 0u);
}

TEST_F(SyncScriptTest, ResynchronisationKeepsWhatTheAcquisitionCounted) {
    QueueDevice q("KLV0001");
    build({q.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6)});
    auto r = runningRow(2);
    const int i0 = r->iRTV;
    const int c0 = r->RowCells[1].Values.count(i0);
    for (int k = 0; k < 25; ++k) cells().CountImpulse(1);
    list_->update(1, [](kv::TKLVDeviceListEntry& e) { e.lastTactNr = 4711; });
    // Two hours away, an impulse of cell 1 every 240 tacts (12 min).
    std::string recs;
    for (int k = 1; k <= 2400; ++k) recs += static_cast<char>(k % 240 == 0 ? 0x81 : 0x80);
    q.queue = recs;
    advanceSeconds(7200);

    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const kv::SyncResult res = sync.SyncWithDevices(true);
    EXPECT_EQ(res.impulses + res.pending, 10);
    EXPECT_EQ(cells().GetCellCount(1), c0 + 25 + 10);
    {
        auto lock = rows().lock();
        ASSERT_EQ(r->iRTV, i0 + 2);
        // The first filled value holds the 25 and the impulses of its first 50 minutes.
        EXPECT_EQ(r->RowCells[1].Values.count(i0 + 1), c0 + 25 + 4);
        EXPECT_EQ(r->RowCells[1].Values.count(i0 + 2), c0 + 25 + 9);
    }
    // The queue starts anew: the acquisition takes what it then holds as unread.
    EXPECT_EQ(list_->device(1).lastTactNr, 0);

    // Impulses queued just after the newest time value (within 10 s) came after its count
    // was taken: they go to the live count, not into that value.
    int newest = 0;
    {
        auto lock = rows().lock();
        r->Update(true);
        newest = r->RowCells[1].Values.count(r->iRTV);
    }
    advanceSeconds(10);  // the records come at 1, 4 and 7 s after it
    q.queue = std::string(3, static_cast<char>(0x81));
    sync.SyncWithDevices(true);
    auto lock = rows().lock();
    EXPECT_EQ(r->RowCells[1].Values.count(r->iRTV), newest);
    EXPECT_EQ(cells().GetCellCount(1), newest + 3);
}

// A row started less than an interval before the outage has no time value yet: its queued
// impulses go to the live counts, which its first value then takes.
TEST_F(SyncScriptTest, RowWithoutTimeValuesKeepsItsQueuedImpulses) {
    QueueDevice q("KLV0001");
    build({q.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6)});
    auto r = runningRow(0);
    ASSERT_EQ(r->iRTV, 0);
    q.queue = std::string(5, static_cast<char>(0x81)) + std::string(5, static_cast<char>(0x80));
    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const kv::SyncResult res = sync.SyncWithDevices(false);
    EXPECT_EQ(res.pending, 5);
    EXPECT_EQ(cells().GetCellCount(1), 5);
    EXPECT_EQ(cells().GetCellCount(2), 0);
}

TEST_F(SyncScriptTest, OldFirmwareStopsTheDeviceLoopButNotTheReset) {
    QueueDevice a("KLV0001"), b("KLV0002"), c("KLV0003");
    b.identity = "KLV/USB V1.2.9";
    build({a.dev, b.dev, c.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6),
                                  device("KLV0002", kv::DeviceType::Data, 7, 12),
                                  device("KLV0003", kv::DeviceType::Data, 13, 18)});
    runningRow(1);
    a.queue = std::string(60, static_cast<char>(0x80));
    c.queue = std::string(60, static_cast<char>(0x80));
    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const kv::SyncResult res = sync.SyncWithDevices(false);
    EXPECT_TRUE(res.firmwareRefused);
    EXPECT_EQ(res.devicesRead, 1);
    EXPECT_EQ(c.blocksAsked, 0);
    EXPECT_TRUE(hasMessage("!!! ReSync: !!! Device firmware for"));
    EXPECT_TRUE(hasMessage(
        "is KLV/USB V1.2.9. This version of Kelvora requires at least V1.3.0 firmware !"));
    EXPECT_EQ(a.dev->count("f0#"), 1);
    EXPECT_EQ(c.dev->count("f0#"), 1);
    // The acquisition's first record counts on a device whose queue nobody read (-1), not
    // on one whose newest tact the synchronisation has taken (0).
    EXPECT_EQ(list_->device(1).lastTactNr, 0);
    EXPECT_EQ(list_->device(3).lastTactNr, -1);
}

TEST_F(SyncScriptTest, TooManyFailedBlocksEndEverythingAtOnce) {
    // Every block is one short: ten failures on each device, and the 21st in a row ends
    // the synchronisation without saving and without resetting the queues.
    QueueDevice a("KLV0001"), b("KLV0002"), c("KLV0003");
    build({a.dev, b.dev, c.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6),
                                  device("KLV0002", kv::DeviceType::Data, 7, 12),
                                  device("KLV0003", kv::DeviceType::Data, 13, 18)});
    runningRow(1);
    for (QueueDevice* q : {&a, &b, &c}) {
        q->queue = std::string(500, static_cast<char>(0x81));
        q->shortBlocks = 1000;
    }
    cfg_.ParallelDevices = 0;  // "in a row" across devices, one after the other
    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const kv::SyncResult res = sync.SyncWithDevices(false);
    EXPECT_TRUE(res.maxSyncFailed);
    EXPECT_EQ(res.blocksFailed, 21);
    EXPECT_EQ(c.blocksAsked, 1);
    EXPECT_TRUE(hasMessage("Synchronisation failed due to reaching maxSyncFailed ! "));
    EXPECT_NE(log().find("finally failed due to length. Expected: 50 received: 49 characters"),
              std::string::npos);
    EXPECT_EQ(a.dev->count("f0#") + b.dev->count("f0#") + c.dev->count("f0#"), 0);
}

TEST_F(SyncScriptTest, CancelEndsTheDeviceLoopButSavesAndResets) {
    struct CancelAfterFirstBlock : kv::SyncProgress {
        int blocks = 0;
        std::vector<std::string> tasks;
        void valuesProgress(int) override { ++blocks; }
        void task(const std::string& t) override { tasks.push_back(t); }
        bool cancelRequested() override { return blocks > 0; }
    } ui;
    QueueDevice a("KLV0001"), b("KLV0002");
    build({a.dev, b.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6),
                           device("KLV0002", kv::DeviceType::Data, 7, 12)});
    auto r = runningRow(1);
    a.queue = std::string(200, static_cast<char>(0x80));
    b.queue = std::string(200, static_cast<char>(0x80));
    cfg_.ParallelDevices = 0;  // the splash follows each device
    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const kv::SyncResult res = sync.SyncWithDevices(false, &ui);
    EXPECT_TRUE(res.cancelled);
    EXPECT_EQ(res.blocksRead, 1);
    EXPECT_EQ(b.blocksAsked, 0);
    EXPECT_NE(log().find("canceling due to user request"), std::string::npos);
    ASSERT_EQ(ui.tasks.size(), 2u);
    EXPECT_EQ(ui.tasks[0], "Saving Synchronized Data...");
    EXPECT_EQ(ui.tasks[1], "Initializing and Starting Kelvora Data Devices...");
    EXPECT_EQ(a.dev->count("f0#"), 1);
    EXPECT_EQ(b.dev->count("f0#"), 1);
}

// A program killed between a tick's value request and its "o#" left a record sent but not
// acknowledged: the synchronisation's first "o#" takes it off the queue. The blocks are then
// asked for the queue as it is, not as it was counted, or each would be one short.
TEST_F(SyncScriptTest, RecordLeftUnacknowledgedByAKilledProgramDoesNotFailEveryBlock) {
    for (const int parallel : {1, 0}) {
        QueueDevice q("KLV0001");
        build({q.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6)});
        runningRow(1);
        q.queue = std::string(120, static_cast<char>(0x81));
        q.sent = q.queue.substr(0, 1);
        cfg_.ParallelDevices = parallel;
        kv::dbg().sync = true;
        kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
        const kv::SyncResult res = sync.SyncWithDevices(false);
        EXPECT_FALSE(res.maxSyncFailed) << parallel;
        EXPECT_EQ(res.blocksFailed, 0) << parallel;
        EXPECT_EQ(res.records, 119) << parallel;
        EXPECT_NE(log().find("Queue Entries (after o#)=119"), std::string::npos);
        EXPECT_EQ(q.dev->count("f0#"), 1);
    }
}

// ---------------------------------------------------------------------------------------
// All devices at once

// Every device's O# waits until each of them has asked for its first block (bounded): the
// queues are read at the same time or the wait runs out.
struct Rendezvous {
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    int expected = 0;
    bool timedOut = false;
    void arrive() {
        std::unique_lock lock(m);
        ++arrived;
        cv.notify_all();
        if (!cv.wait_for(lock, std::chrono::seconds(10), [&] { return arrived >= expected; }))
            timedOut = true;
    }
};

TEST_F(SyncScriptTest, QueuesAreReadAtOnceAndEachDevicesLinesCarryItsName) {
    QueueDevice a("KLV0001"), b("KLV0002"), c("KLV0003");
    build({a.dev, b.dev, c.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6),
                                  device("KLV0002", kv::DeviceType::Data, 7, 12),
                                  device("KLV0003", kv::DeviceType::Data, 13, 18)});
    cfg_.Cells = 18;
    // A running row on one cell of each device.
    auto r = newRow("Sync", {1, 8, 15});
    {
        auto lock = rows().lock();
        r->Interval = 1;
        r->SIInterval = kv::TimeUnit::Hours;
        r->StartRow(false);
        for (int s = 1; s <= 3; ++s) r->StartCellInRow(s, 0);
        for (int h = 0; h < 2; ++h) {
            advanceSeconds(3600);
            r->Update(true);
        }
    }
    advanceSeconds(600);
    // Different queues: impulses on one cell per device, 120, 75 and 10 records.
    a.queue = std::string(119, static_cast<char>(0x80)) + static_cast<char>(0x81);
    b.queue = std::string(70, static_cast<char>(0x82)) + std::string(5, static_cast<char>(0x80));
    c.queue = std::string(10, static_cast<char>(0x84));
    Rendezvous meet;
    meet.expected = 3;
    for (QueueDevice* q : {&a, &b, &c}) q->onFirstBlock = [&meet] { meet.arrive(); };
    kv::dbg().sync = true;
    const int before1 = cells().GetCellCount(1), before8 = cells().GetCellCount(8),
              before15 = cells().GetCellCount(15);
    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const kv::SyncResult res = sync.SyncWithDevices(false);

    EXPECT_FALSE(meet.timedOut);
    EXPECT_EQ(res.devicesRead, 3);
    EXPECT_EQ(res.records, 120 + 75 + 10);
    EXPECT_EQ(res.blocksRead, 3 + 2 + 1);
    // Every record counts on its own device's cell, whichever device was read first.
    EXPECT_EQ(cells().GetCellCount(1), before1 + 1);
    EXPECT_EQ(cells().GetCellCount(8), before8 + 70);
    EXPECT_EQ(cells().GetCellCount(15), before15 + 10);
    for (QueueDevice* q : {&a, &b, &c}) EXPECT_EQ(q->dev->count("f0#"), 1);
    // Whole lines, each with its device in front.
    std::istringstream lines(log());
    std::string line;
    int runs = 0;
    while (std::getline(lines, line)) {
        if (line.find("#ofSyncRuns for this device=") == std::string::npos) continue;
        ++runs;
        EXPECT_NE(line.find(" Cell "), std::string::npos) << line;
    }
    EXPECT_EQ(runs, 3);
    EXPECT_NE(log().find("Cell 1-6:     #ofSyncRuns for this device=3"), std::string::npos);
}

TEST_F(SyncScriptTest, AtOnceCancelStopsEveryDeviceButSavesAndResets) {
    // Cancel as soon as the splash has shown records read.
    struct CancelOnProgress : kv::SyncProgress {
        std::atomic<int> shown{0};
        std::vector<std::string> tasks;
        void valuesProgress(int pct) override {
            if (pct > 0) ++shown;
        }
        void task(const std::string& t) override { tasks.push_back(t); }
        bool cancelRequested() override { return shown > 0; }
    } ui;
    QueueDevice a("KLV0001"), b("KLV0002");
    build({a.dev, b.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6),
                           device("KLV0002", kv::DeviceType::Data, 7, 12)});
    runningRow(1);
    // Long queues: 2,000 blocks each, far more than are read before the Cancel arrives.
    a.queue = std::string(100000, static_cast<char>(0x80));
    b.queue = std::string(100000, static_cast<char>(0x80));
    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const kv::SyncResult res = sync.SyncWithDevices(false, &ui);
    EXPECT_TRUE(res.cancelled);
    EXPECT_GT(res.blocksRead, 0);
    EXPECT_LT(res.blocksRead, 4000);
    EXPECT_NE(log().find("canceling due to user request"), std::string::npos);
    ASSERT_EQ(ui.tasks.size(), 2u);
    EXPECT_EQ(ui.tasks[0], "Saving Synchronized Data...");
    EXPECT_EQ(a.dev->count("f0#"), 1);
    EXPECT_EQ(b.dev->count("f0#"), 1);
}

TEST_F(SyncScriptTest, AtOnceTooManyFailedBlocksStopEveryDeviceWithoutSaving) {
    QueueDevice a("KLV0001"), b("KLV0002"), c("KLV0003");
    build({a.dev, b.dev, c.dev}, {device("KLV0001", kv::DeviceType::Data, 1, 6),
                                  device("KLV0002", kv::DeviceType::Data, 7, 12),
                                  device("KLV0003", kv::DeviceType::Data, 13, 18)});
    runningRow(1);
    for (QueueDevice* q : {&a, &b, &c}) {
        q->queue = std::string(500, static_cast<char>(0x81));
        q->shortBlocks = 1000;
    }
    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const kv::SyncResult res = sync.SyncWithDevices(false);
    EXPECT_TRUE(res.maxSyncFailed);
    EXPECT_EQ(res.blocksFailed, 21);
    int said = 0;
    for (const auto& m : messages())
        if (m.find("Synchronisation failed due to reaching maxSyncFailed ! ") != std::string::npos)
            ++said;
    EXPECT_EQ(said, 1);
    EXPECT_EQ(a.dev->count("f0#") + b.dev->count("f0#") + c.dev->count("f0#"), 0);
}

// ---------------------------------------------------------------------------------------
// The virtual lab

constexpr const char* kLab = R"([Lab]
Seed=11
[Device KLV0001]
Type=1
Case=1
Cell1=rate=2 noise=0.1
Cell2=rate=3 noise=0.1
Cell3=rate=1 noise=0.1
Cell4=rate=4 noise=0.1
Cell5=rate=0.5 noise=0.1
Cell6=rate=2.5 lag=10 growth=0.1 max=5 noise=0.1
[Device KLV0009]
Type=2
Case=1
Temp=21.5
Drift=0.3
DriftHours=12
)";

struct Line {
    TDateTime dt = 0;
    std::vector<int> counts;
};

std::vector<Line> readDataFile(const std::string& path) {
    std::vector<Line> out;
    std::ifstream in(path);
    std::string l;
    while (std::getline(in, l)) {
        if (l.find("Dat") != std::string::npos || kv::trim(l).empty()) continue;
        const auto f = kv::split(l, ';');
        Line x;
        x.dt = kv::textToDateTime(f[0]);
        for (size_t k = 1; k <= 6 && k < f.size(); ++k) x.counts.push_back(kv::textToInt(f[k]));
        out.push_back(x);
    }
    return out;
}

class SyncLabTest : public RowsFixture {
  protected:
    void SetUp() override {
        std::string err;
        lab_ = kv::sim::Lab::fromText(kLab, &err);
        ASSERT_TRUE(lab_) << err;
        startProgram();
    }
    void startProgram() {
        build(lab_->ports(), {device("KLV0001", kv::DeviceType::Data, 1, 6),
                              device("KLV0009", kv::DeviceType::Case)});
        nextTick_ = clock_.now();
    }
    // Acquisition ticks every mmTimerInt until `end` (virtual time).
    void runUntil(TDateTime end) {
        while (clock_.now() < end) {
            nextTick_ += cfg_.mmTimerInt / 1000.0 * kSecond;
            if (clock_.now() < nextTick_) clock_.set(nextTick_);
            acq_->cycle.mmTimerCallback();
        }
    }
    kv::sim::DataDevice& lab() { return *lab_->dataDevice("KLV0001"); }

    // A 6-cell row, tact 3 s, hourly values, two days, started now; its UniqueNr.
    int startTwoDayRow() {
        auto r = newRow("Lab run", {1, 2, 3, 4, 5, 6});
        auto lock = rows().lock();
        r->Tact = 3;
        r->Interval = 1;
        r->SIInterval = kv::TimeUnit::Hours;
        r->Duration = 2;
        r->SIDuration = kv::TimeUnit::Days;
        EXPECT_TRUE(r->StartDialogStartAll(false));
        return r->UniqueNr;
    }

    // Every line's count against the lab: what the device dosed up to the line's time,
    // give or take the tact in flight at that moment.
    void expectTruth(const std::vector<Line>& lines, TDateTime lossFrom = 0, TDateTime lossTo = 0) {
        for (const Line& x : lines) {
            for (int k = 1; k <= 6; ++k) {
                const long long lo = lab().impulsesBetween(k, 0, x.dt - 6 * kSecond);
                const long long hi = lab().impulsesBetween(k, 0, x.dt + 6 * kSecond);
                long long slack = 0;
                if (lossTo > 0 && x.dt > lossFrom)
                    slack = lab().impulsesBetween(k, lossFrom, lossTo);
                const int c = x.counts[static_cast<size_t>(k - 1)];
                EXPECT_GE(c + slack, lo) << kv::dateTimeToText(x.dt) << " cell " << k;
                EXPECT_LE(c, hi) << kv::dateTimeToText(x.dt) << " cell " << k;
            }
        }
    }

    std::unique_ptr<kv::sim::Lab> lab_;
    TDateTime nextTick_ = 0;
};

TEST_F(SyncLabTest, TwoDayRunHasOneLinePerHourAndTheLabsCounts) {
    const int nr = startTwoDayRow();
    auto r = rows().FindByUniqueNr(nr);
    const TDateTime stop = r->Stop;
    const std::string dataFile = r->DataFileName();
    r.reset();
    runUntil(stop + 120 * kSecond);
    EXPECT_EQ(rows().FindByUniqueNr(nr)->State, kv::RowState::Stopped);
    const auto lines = readDataFile(dataFile);
    // 48 hourly lines from the first at start + 1 min, and the stop line.
    ASSERT_EQ(lines.size(), 49u);
    EXPECT_GE(lines.back().dt, stop - kSecond);  // the file keeps whole seconds
    for (int k = 1; k <= 6; ++k) EXPECT_GT(lines.back().counts[static_cast<size_t>(k - 1)], 50);
    expectTruth(lines);
}

TEST_F(SyncLabTest, TwoDayRunWithAnOutageHasNoGapAndTheLabsCounts) {
    const int nr = startTwoDayRow();
    auto r = rows().FindByUniqueNr(nr);
    const TDateTime start = r->Start, stop = r->Stop;
    const std::string dataFile = r->DataFileName();
    r.reset();

    // 20.5 hours, then the program is quit (with the final values) and is away for 5 hours.
    runUntil(start + 20.5 / 24.0);
    rows().UpdateAll(true);
    ASSERT_TRUE(rows().SaveRowFile(rowFile(), false));
    list_->Close_HW();
    rows_.reset();
    acq_.reset();
    list_.reset();
    advanceSeconds(5 * 3600);

    // The restart: rows loaded and synchronised before the acquisition runs again.
    flagSet_.startupInProgress = true;
    startProgram();
    rows().LoadRowFile(rowFile());
    kv::DeviceSync sync(cfg_, *list_, acq_->io, cells(), rows());
    const kv::SyncResult res = sync.SyncWithDevices(false);
    EXPECT_GT(res.records, 5 * 1200 - 10);
    EXPECT_FALSE(res.maxSyncFailed);
    flagSet_.startupInProgress = false;
    const TDateTime resumed = clock_.now();
    runUntil(stop + 120 * kSecond);

    auto row = rows().FindByUniqueNr(nr);
    ASSERT_TRUE(row);
    EXPECT_EQ(row->State, kv::RowState::Stopped);
    const auto lines = readDataFile(dataFile);
    // Hourly lines from the first to the stop, plus the quit line; no gap anywhere.
    ASSERT_GE(lines.size(), 49u);
    EXPECT_LE(lines.size(), 51u);
    for (size_t k = 1; k < lines.size(); ++k) {
        EXPECT_GT(lines[k].dt, lines[k - 1].dt) << k;
        EXPECT_LE(lines[k].dt - lines[k - 1].dt, 1.0 / 24 + 2 * kSecond) << k;
    }
    EXPECT_GE(lines.back().dt, stop - 2 * kSecond);
    for (int k = 1; k <= 6; ++k)
        EXPECT_GT(lines.back().counts[static_cast<size_t>(k - 1)], 50) << k;
    // Only the tact in flight when the queues were reset may be missing; the records that
    // came in while the queue was read were read as well.
    expectTruth(lines, resumed - 3 * kSecond, resumed + 3 * kSecond);
}

}  // namespace
}  // namespace kvtest
