#pragma once
// The cell grid of the main window's Cells page, computed apart from its widget: two grid
// rows per data device (the device's label and case temperature in column 0, the six cells
// in columns 1..6: state and manometer in the first row, the value of the display mode in
// the second), and a colour per cell for its state. The refresh, the tests and the
// benchmark share it.

#include <QColor>
#include <QString>
#include <QStringList>
#include <vector>

namespace kv {
class TKelvora;
}

namespace kv::ui {

enum class CellDisplayMode { Count = 0, O2 = 1, O2PerDryMatter = 2, CO2 = 3, Conductivity = 4 };

// Grid rows for `cells` configured cells: two per data device. A last device that is only
// partly configured still gets its rows, so that every configured cell is shown.
int cellGridRowCount(int cells);
// Column 0 is wider once the shown cell numbers reach three digits.
int cellGridColumn0Width(int firstCell, int cells);
// The physical cell under grid row `row`, column `col` (both from 0); 0 for column 0 or a
// position outside 1..cells.
int cellAtGridPosition(int row, int col, int cells);
// The display modes offered: Cnt, O2 and O2 TS, and CO2 and LF only with the CO2 option.
QStringList cellModeItems(bool withCO2);

// The colours of the cell states.
enum class CellColour { Free, Running, WaitingForZero, Suspended, Stopped, Assigned, DeviceError };
QColor cellColour(CellColour c);

struct CellGridView {
    int rows = 0;
    int column0Width = 110;
    std::vector<QString> texts;       // rows × 7, row-major
    std::vector<CellColour> colours;  // rows × 7 (column 0: Free)
    const QString& text(int row, int col) const {
        return texts[static_cast<size_t>(row * 7 + col)];
    }
    CellColour colour(int row, int col) const {
        return colours[static_cast<size_t>(row * 7 + col)];
    }
};

// Reads the cells, devices and rows under their locks and fills the view.
void buildCellGrid(TKelvora& k, CellDisplayMode mode, CellGridView& view);

// The manometer current check of one running cell: a device's out-of-range bit that
// disagrees with the cell's AD bounds, or a current out of range, is logged once per
// episode, and the end of the episode too. Called by the refresh for each cell.
void checkManometerCurrent(TKelvora& k, int physCell);

}  // namespace kv::ui
