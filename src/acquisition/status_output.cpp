#include "acquisition/status_output.h"

#include <cstdio>

namespace kv {

namespace {
const char* panelName(StatusPanel p) {
    switch (p) {
        case StatusPanel::StatusLine:
            return "status";
        case StatusPanel::Second:
            return "panel2";
        case StatusPanel::DevStatus:
            return "devices";
        case StatusPanel::Info1:
            return "info1";
        case StatusPanel::Info2:
            return "info2";
    }
    return "?";
}
size_t slot(StatusPanel p) {
    return static_cast<size_t>(p);
}
}  // namespace

void HeadlessStatusOutput::setPanel(StatusPanel panel, const std::string& text, StatusColor color) {
    bool changed = false;
    {
        std::lock_guard lock(mutex_);
        auto& p = panels_[slot(panel)];
        changed = p.text != text || p.color != color;
        p.text = text;
        p.color = color;
    }
    // Only changes are printed: the device check repeats its texts every few seconds.
    if (print_ && changed && !text.empty())
        std::fprintf(stderr, "[%s] %s\n", panelName(panel), text.c_str());
}

std::string HeadlessStatusOutput::panelText(StatusPanel panel) const {
    std::lock_guard lock(mutex_);
    return panels_[slot(panel)].text;
}

StatusColor HeadlessStatusOutput::panelColor(StatusPanel panel) const {
    std::lock_guard lock(mutex_);
    return panels_[slot(panel)].color;
}

bool HeadlessStatusOutput::usbDebugPageShown() const {
    std::lock_guard lock(mutex_);
    return debugPage_;
}

void HeadlessStatusOutput::setUsbDebugPageShown(bool shown) {
    std::lock_guard lock(mutex_);
    debugPage_ = shown;
}

void HeadlessStatusOutput::setDeviceLabel(int d, const std::string& text) {
    std::lock_guard lock(mutex_);
    if (d >= 1 && d < static_cast<int>(labels_.size())) labels_[static_cast<size_t>(d)] = text;
}

std::string HeadlessStatusOutput::deviceLabel(int d) const {
    std::lock_guard lock(mutex_);
    if (d < 1 || d >= static_cast<int>(labels_.size())) return {};
    return labels_[static_cast<size_t>(d)];
}

}  // namespace kv
