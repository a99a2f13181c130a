#pragma once
// The EC71 conductivity meters and their frame protocol. The program does not know the
// meter's command language: every command is a named "frame" of text lines defined in the
// configuration file, with %%placeholders%% for serial number, cell and calibration data.
// A frame is sent line by line, each line waiting for the meter's ACK; answers come in
// blocks ending with ETX or ACK, each acknowledged, and carry values as
//   no='name' un='unit' va='value'.

#include <array>
#include <atomic>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "app/config.h"
#include "co2/ec71_calibration.h"
#include "co2/winsio.h"
#include "common/clock.h"

namespace kv {

class IniFile;

inline constexpr int kMaxFrames = 40;
inline constexpr int kMaxFrameLines = 50;
inline constexpr int kEC71FrameSectionCount = 24;
// Frame slot k (1-based) is loaded from section kEC71FrameSections[k - 1].
extern const std::array<std::string_view, kEC71FrameSectionCount> kEC71FrameSections;

struct TFrame {
    std::string Name;
    std::array<std::string, kMaxFrameLines> Lines{};  // Lines[0] is line 1
    int nLines = 0;
    std::string EndString;  // kept with the frame; no operation uses it
    std::string Keywords;   // likewise
    // Line n (1-based); empty outside 1..kMaxFrameLines.
    const std::string& line(int n) const;
};

class TFrames {
  public:
    // Slots 1..kMaxFrames; any other slot gives an empty frame.
    const TFrame& operator[](int slot) const;
    // Slots 1..kMaxFrames; any other slot gives a scratch frame that no lookup sees.
    TFrame& at(int slot);
    // Slots 1..24 from their sections; slots 25..40 are emptied.
    void load(const IniFile& ini);

  private:
    std::array<TFrame, kMaxFrames> frames_{};
    TFrame scratch_;
};

// One configured EC71 meter. The frame operations run on the thread that serves the meter
// (the measuring cycle, or the window thread while the cycle is suspended); the status
// fields are also read by the device check and the display, so they are atomic or locked.
class TEC71 {
  public:
    // measureCount: the cycle's current cell number, shared with the relay switching;
    // nullptr gives the meter its own.
    explicit TEC71(std::atomic<int>* measureCount = nullptr);
    TEC71(const TEC71&) = delete;
    TEC71& operator=(const TEC71&) = delete;

    // Port, cell range, calibration values and limits of meter meterNr (1-based).
    void configure(const Config& cfg, int meterNr);
    void setCalibrationData(const EC71CalibrationData* data) { calibration_ = data; }

    // --- fields ------------------------------------------------------------------------
    int PortNr = 1;
    std::string PortSetting;
    int Baud = 9600, DataBits = 8, StopBits = 1, Parity = 0;
    std::atomic<HCOM> hCOM{0};
    std::atomic<TDateTime> OpenTime{0};
    TFrames Frames;
    std::atomic<bool> Online{false};
    std::atomic<bool> ReportedOnline{false};
    std::atomic<bool> NackSeen{false};
    std::atomic<int> OfflineCount{0};
    int MaxOfflineCount = 10;
    int CellFrom = 0, CellTo = 0;
    std::string CellRangeText = "-";
    std::array<double, 3> CalibrationValue{12.88, 111.8, NoValueReal};  // [0] is value 1
    std::string CalibrationUnit = "mS/cm";
    int sendFrameLine_nMax = 50000;

    std::string SerialNr() const;
    std::string ModEqu() const;
    std::string VEquip() const;
    std::string StatusText() const;
    void setSerialNr(std::string s);
    void setStatusText(std::string s);

    // "EC71 [" CellRangeText "]": the category of this meter's debug lines.
    std::string deviceTag() const;
    bool servesCell(int cell) const { return cell >= CellFrom && cell <= CellTo; }
    int measureCount() const { return measureCount_->load(); }
    void setMeasureCount(int cell) { measureCount_->store(cell); }

    // --- frame protocol ----------------------------------------------------------------
    // Slot 1..40 of the first frame with exactly that name, or -1.
    int getFrameIndexByName(std::string_view name) const;
    // 0 when line lineNr of the frame went out and was acknowledged, -1 otherwise.
    int sendFrameLine(int slot, int lineNr, HCOM port);
    // Every line, also after a failure; 0 when all succeeded. Slot -1 fails.
    int sendFrame(int slot, HCOM port);
    int sendFrame(std::string_view name, HCOM port);

    struct Block {
        std::string text;
        bool endsBlock = false;
    };
    // What has arrived now (at most one buffer); ends a block when it is at least 2 bytes
    // and its last or second-to-last byte is ETX or ACK.
    Block readBlock(HCOM port);

    struct Answer {
        bool ok = false;
        std::string text;
    };
    // Collects blocks, acknowledging each, until the answer holds endMarker. Fails after
    // 11 reads without a finished block; the unfinished bytes are kept for the next wait.
    Answer waitForFrame(std::string_view endMarker, HCOM port);

    // All placeholders of line replaced for the given cell; numbers always with ".".
    std::string expandPlaceholders(std::string_view line, int cell) const;

    // The initialisation sequence.
    enum class InitResult : int {
        Done = 0,
        // The device data answer was missing: the meter counts as offline (StatusText
        // "Initialize failed.").
        DataMissing = 1,
        // A frame failed and the sequence stopped early (status left as it was).
        Stopped = -1,
    };
    InitResult InitDevice(bool sendCalibration, HCOM port);

  private:
    void logLine(const std::string& text) const;

    std::atomic<int> ownMeasureCount_{0};
    std::atomic<int>* measureCount_;
    const EC71CalibrationData* calibration_ = nullptr;

    mutable std::mutex textMutex_;
    std::string serialNr_, modEqu_, vEquip_, statusText_;

    // Bytes of a block that had not finished when a wait gave up. They belong to the
    // answer still coming, so the next wait continues with them instead of losing them.
    std::mutex pendingMutex_;
    std::string pending_;
};

// The value text of the attribute named `name` ('name' ... va='value'); empty when the
// name, the "va='" or its closing quote is missing.
std::string getAttributeValue(std::string_view answer, std::string_view name);
// The characters between the first `start` (which ends in a quote, e.g. "va='") and the next
// single quote; empty when either is missing.
std::string quotedAfter(std::string_view text, std::string_view start);

// The meter (1-based index into meters) serving cell: meter 1 when only one is in use,
// else the first whose range holds the cell; 0 when none does.
int ec71MeterForCell(std::span<TEC71* const> meters, int cell);

// The first cfg.EC71_NrDevices of the meters (none while the count is not loaded yet).
// Callers ask for it each time they need it: the count is known only once the
// configuration is loaded, and the configuration dialog may change it.
std::span<TEC71* const> ec71MetersInUse(const Config& cfg, std::span<TEC71* const> meters);

// Start-up check of the first cfg.EC71_NrDevices meters: up to three attempts per meter to
// open its port and send its initialisation frame (slot 1). allRelaysOff switches every
// cell's relay off (the relays must not connect a cell while the meter starts). A silent
// meter gets "No response from serial device COM%s !" in the message list, the debug log
// and its StatusText, and stays offline. Returns the number of meters online.
int EC71_StartupCheck(const Config& cfg, std::span<TEC71* const> meters,
                      const std::function<void()>& allRelaysOff);

}  // namespace kv
