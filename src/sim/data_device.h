#pragma once
// A simulated data device (type 1): six measuring cells, O2 dosing and impulse counting.
//
// Time runs in tacts of 3 s, numbered by the tact counter (S#). A cell doses at most once
// per cell tact (t`k`, in 3 s steps) and only while it is active (a`k`=1); one dose is an
// O2 impulse of 0.25 mg x (3 s x t`k`) / 30 s. The cell doses when its sample has consumed
// at least one impulse worth of oxygen since the last dose, which is also when its
// manometer reads closed (value below 10).
//
// Value record (answer to V1#, the newest closed tact):
//   cv=<tact>;<impulses>;<out of range>;<active mask>;<queue count>;<adc1..6>;0;<man1..6>#
// followed by ";T;<t1>;...;<t6>" for firmware below "KLV/USB V1.4.1" (which has no T#), and
// by ";nCC;" CR LF, the completeness marker.
//
// Queue for the synchronisation: one byte per tact, bit k-1 set when cell k had an
// impulse, bit 7 always set (so a record is never "#" nor a zero byte). It holds the tacts
// the host has not acknowledged: "o#" after a value record drops everything up to that
// tact, "o#" after an O# block drops the block. The host acknowledges a block once when it
// is good and repeats "o#" when it rejects it, so an "o#" right after the one that dropped a
// block puts the block back; any other command in between makes the drop final.
// f0# empties the queue; f3=n sets its length.

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <vector>

#include "sim/sample.h"
#include "sim/sim_device.h"

namespace kv::sim {

// One cell's configuration as the device holds it.
struct DataCellConfig {
    int active = 0;    // a
    int tact = 0;      // t: cell tact in 3 s steps
    int divider = 0;   // h: attrition divider
    int b = 0;         // b
    int current = 0;   // c: current input switched to the C`k`# reading
    int lower = 0;     // l: ADC range of the manometer current
    int upper = 1023;  // u
};

struct DataDeviceSetup {
    DeviceIdentity id;
    std::array<SampleParams, 6> samples{};
    // Configuration stored in the device at power-on (cells inactive unless set).
    std::array<DataCellConfig, 6> cells{};
    size_t queueCapacity = 100000;  // about 3.5 days of tacts
};

class DataDevice : public SimDevice {
  public:
    static constexpr int kCells = kCellsPerDevice;
    static constexpr double kTactSeconds = 3.0;
    static constexpr size_t kBlockSize = 50;

    explicit DataDevice(const DataDeviceSetup& setup);
    DeviceType type() const override { return DeviceType::Data; }

    // --- Device state (cells k = 1..6) ---
    long long tactNr();
    size_t queueSize();
    DataCellConfig cellConfig(int k);
    DataCellConfig storedCellConfig(int k);
    int manometerValue(int k);
    int adcValue(int k);
    // "v#" restarts received.
    int manometerRestarts();
    // Device setting by its command letter: e, n, w, d, m, i.
    int setting(char letter);

    // --- Ground truth ---
    // The exact times of the most recent impulses of each cell are kept; older ones only as
    // counts per hour, so that a long run of kelvora-sim does not grow without bound.
    static constexpr size_t kKeptImpulseTimes = 50000;  // per cell: 42 h at one per tact

    // Impulses the device dosed (and reported) for cell k since the lab was built.
    long long impulses(int k);
    // Impulses whose tact closed in (from, to]. Impulses older than the kept times count as
    // closing at the end of their hour.
    long long impulsesBetween(int k, TDateTime from, TDateTime to);
    // The kept times, oldest first.
    std::vector<TDateTime> impulseTimes(int k);
    // Oxygen the sample consumed and the device dosed, mg.
    double consumedMg(int k);
    double dosedMg(int k);
    // The O2 amount of one impulse at the cell's current tact, mg.
    double impulseMg(int k);

    // --- Faults and changes ---
    // The tact counter jumps by n extra at the next tact (a host sees a missed beat).
    void skipTacts(int n);
    // The manometer hangs closed and the cell doses nothing until "v#".
    void setStuckManometer(int k, bool stuck);
    // Fixed manometer current (ADC value); negative returns to the sample's value.
    void setAdc(int k, int value);
    void setSample(int k, const SampleParams& p);
    // The next n value records are sent garbled (a field that is no number; the link itself
    // stays sound), as a firmware fault would.
    void garbleRecords(int n);
    // Every value record carries n fields more after the eighteen, as a newer firmware might.
    void setExtraRecordFields(int n);

  protected:
    void advanceLocked(TDateTime now) override;
    void handleCommandLocked(const std::string& command, TDateTime now) override;
    void restartLocked(TDateTime now) override;
    bool completeWithoutHashLocked(const std::string& pending) const override;

  private:
    struct Cell {
        DataCellConfig cfg;
        DataCellConfig stored;
        SampleParams sample;
        bool started = false;
        TDateTime sampleStart = 0;  // activation + settling time
        double deficit = 0.0;       // mg consumed but not yet dosed
        double consumed = 0.0;
        double extraConsumed = 0.0;  // above the sample's base rate, limited by its demand
        double dosed = 0.0;
        bool stuck = false;
        int adcOverride = -1;
        long long impulseCount = 0;
        std::deque<TDateTime> impulseTimes;           // the most recent kKeptImpulseTimes
        std::map<long long, long long> olderPerHour;  // hour number -> impulses
        int manometer = 250;
        int adc = 512;
    };
    struct QueueEntry {
        uint64_t seq;
        uint8_t bits;
    };
    struct Record {
        long long tact = 0;
        int impulses = 0;
        int outOfRange = 0;
        bool hasSeq = false;
        uint64_t seq = 0;
    };
    enum class Sent { Nothing, Record, Block, CommittedBlock };

    void closeTactLocked(TDateTime t);
    void updateCellLocked(Cell& c, TDateTime tactStart, TDateTime tactEnd);
    void readInstrumentsLocked(Cell& c, TDateTime t);
    void resetTactsLocked(TDateTime now);
    void pushQueueLocked(uint8_t bits);
    static void recordImpulse(Cell& c, TDateTime t);

    void handleRequestLocked(const std::string& command, TDateTime now);
    void handleConfigLocked(const std::string& command, TDateTime now);
    void setCellValueLocked(char letter, int k, int value, TDateTime now);
    void acknowledgeLocked();
    void storeLocked();

    std::string valueRecordLocked();
    std::string tactListLocked() const;
    int activeMaskLocked() const;
    int settingLocked(char letter) const;
    int* settingRef(char letter);  // e, n, w, d (m otherwise)
    static double impulseMgFor(int tact);
    static bool validCell(int k) { return k >= 1 && k <= kCells; }

    std::array<Cell, kCells> cells_;
    Rng measureRng_;
    size_t queueCapacity_;
    bool hasTList_;
    bool hasDivider_;

    long long tactNr_ = 0;
    long long pendingSkip_ = 0;
    TDateTime gridStart_ = 0;  // tacts close at gridStart_ + n x 3 s
    long long tactsSinceGrid_ = 0;
    TDateTime lastAdvance_ = 0;
    Record last_;

    std::deque<QueueEntry> queue_;
    uint64_t nextSeq_ = 1;
    Sent sent_ = Sent::Nothing;
    uint64_t sentSeq_ = 0;               // newest entry of the last record or block
    std::vector<QueueEntry> committed_;  // block dropped by the last acknowledgement

    // Device settings (e, n, w, d, m, i, f1, f2) and their stored copies.
    struct Settings {
        int e = 5, n = 10, w = 0, d = 0, m = 0;
    };
    Settings settings_, storedSettings_;
    int i_ = 0;
    int f1_ = 1, f2_ = 1;
    int manometerRestarts_ = 0;
    int garbledRecords_ = 0;
    int extraFields_ = 0;
};

}  // namespace kv::sim
