#pragma once
// The debug log: a technical trace file per program start,
//   08.12.2026 03:12:30 {App}····································· Stop Kelvora
// one line per event, flushed at once so that the log is complete if the program dies.
// Groups of lines are gated by the bDebug… switches of the configuration.

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace kv {

struct DebugSwitches {
    std::atomic<bool> general{false};     // bDebug
    std::atomic<bool> mmTimerInt{false};  // bDebug_mmTimerInt
    std::atomic<bool> sync{false};        // bDebug_Sync
    std::atomic<bool> rows{false};        // bDebug_Rows
    std::atomic<bool> cells{false};       // bDebug_Cells
    std::atomic<bool> ft{false};          // bDebug_FT
    std::atomic<bool> usb{false};         // bDebug_USB
    std::atomic<bool> usbData{false};     // bDebug_USB_Data
    std::atomic<bool> print{false};       // bDebug_Print
    std::atomic<bool> at4{true};          // bDebug_AT4: on until the configuration is read
    std::atomic<bool> rs232{false};       // bDebug_RS232
    // "Debugging output to msg": never stored, off at every start.
    std::atomic<bool> copyToMessages{false};
};

DebugSwitches& dbg();

class DebugLog {
public:
    DebugLog() = default;
    ~DebugLog() { close(); }
    DebugLog(const DebugLog&) = delete;
    DebugLog& operator=(const DebugLog&) = delete;

    // Appends to the file if it exists, else creates it. The folder is never created: no
    // "Dbg" folder means no log. Returns false if the file could not be opened.
    bool open(const std::string& fileName);
    void close();
    bool isOpen() const;
    std::string fileName() const;

    // The category padding character: first character of dbg_fillCh; empty keeps "·".
    void setFillChar(std::string_view fill);
    std::string fillChar() const;

    // Builds and appends one line; does nothing unless enabled. Errors lose the line.
    void write(std::string_view category, std::string_view text, bool enabled = true);

    // The whole line as write() would put it, for a given time stamp text.
    std::string formatLine(std::string_view stamp, std::string_view category,
                           std::string_view text) const;

private:
    mutable std::mutex mutex_;
    std::FILE* file_ = nullptr;
    std::string fileName_;
    std::string fill_ = "\xC2\xB7";  // "·", code 183
};

// The process-wide debug log.
DebugLog& debugLog();
void WriteDbg(std::string_view category, std::string_view text, bool enabled = true);

}  // namespace kv
