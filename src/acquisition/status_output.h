#pragma once
// The main window's status outputs that the acquisition, the device check and the cell
// operations write: the status bar panels, the per-device labels of the USB debug page.
// They are written from the acquisition thread too, so an implementation hands them to
// its window thread as it sees fit. The headless front end keeps the texts and prints
// changes.

#include <array>
#include <atomic>
#include <mutex>
#include <string>

namespace kv {

enum class StatusPanel {
    StatusLine,  // the main window's status line ("Starting cell 3")
    Second,      // the second status panel ("USB_SetCells active")
    DevStatus,   // sbDevStatus: device summary
    Info1,       // sbInfo1: lost devices
    Info2,       // sbInfo2: O2 tank and alarm indicator
};
inline constexpr int kStatusPanelCount = 5;

enum class StatusColor { Black, Red, Green };

class StatusOutput {
  public:
    virtual ~StatusOutput() = default;
    virtual void setPanel(StatusPanel panel, const std::string& text, StatusColor color) = 0;
    virtual std::string panelText(StatusPanel panel) const = 0;
    // The USB debug page of the main window is shown (it gates some debug output).
    virtual bool usbDebugPageShown() const = 0;
    // Label "lblDevice" + d of the USB debug page.
    virtual void setDeviceLabel(int d, const std::string& text) = 0;
};

// Keeps the texts (thread-safe) and, when printing, writes each change to stderr.
class HeadlessStatusOutput : public StatusOutput {
  public:
    explicit HeadlessStatusOutput(bool print = false) : print_(print) {}
    // Print every change of a panel text to stderr (the headless program's status line).
    void setPrint(bool on) { print_ = on; }

    void setPanel(StatusPanel panel, const std::string& text, StatusColor color) override;
    std::string panelText(StatusPanel panel) const override;
    bool usbDebugPageShown() const override;
    void setDeviceLabel(int d, const std::string& text) override;

    StatusColor panelColor(StatusPanel panel) const;
    void setUsbDebugPageShown(bool shown);
    std::string deviceLabel(int d) const;

  private:
    struct Panel {
        std::string text;
        StatusColor color = StatusColor::Black;
    };
    mutable std::mutex mutex_;
    std::atomic<bool> print_;
    bool debugPage_ = false;
    std::array<Panel, kStatusPanelCount> panels_{};
    std::array<std::string, 41> labels_{};
};

}  // namespace kv
