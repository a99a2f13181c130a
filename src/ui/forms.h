#pragma once
// The program's windows are created once, at start-up, in this order, and live until the
// end; each is a top-level widget whose objectName is its name here. The main window is the
// parent of the others and finds them by name.

#include <array>

namespace kv::ui {

inline constexpr std::array<const char*, 15> kFormOrder = {
    "frmMain",    "frmRow",        "frmRowCellEdit",    "frmRowCellsStartDlg", "frmRowData",
    "frmPassWd",  "frmCellStatus", "frmRowStatus",      "frmConfigDlg",        "frmStatus",
    "frmGraphic", "frmDeviceEdit", "frmDeviceTerminal", "frmCellStatus_Debug", "frmAlarm"};

}  // namespace kv::ui
