#pragma once
// The row and cell dialogs, the information windows, the cell debug window, the row data
// window and the chart window, as the main window opens them. Row numbers are UniqueNr,
// cell numbers physical.

#include <QString>

class QWidget;

namespace kv::ui {

class UiContext;

// Creates the window `name` of this group (one of kFormOrder), parented to the main window;
// nullptr for a name of another group. The password prompt's objectName is "frmPasswd",
// the section of its texts.
QWidget* createDialogForm(UiContext& ctx, QWidget* mainWindow, const QString& name);

// The row dialog (TfrmRow) for the series or template rowNr, modal. isNew: a row the main
// window has just created, every field editable. An existing row with a password is asked
// for it first (once: the dialog's operations take the entry). True when it was closed
// with OK; the caller deletes a new row whose dialog was cancelled.
bool execRowDialog(UiContext& ctx, QWidget* mainWindow, int rowNr, bool isNew);
// The start dialog (TfrmRowCellsStartDlg) of a series, modal; its operations ask for the
// row password.
void execStartDialog(UiContext& ctx, QWidget* mainWindow, int rowNr);
// The information windows of a cell and of a row, the cell debug window, the row data
// window and the chart window (with the row's chart settings): shown, not modal. The row
// data window asks for the row password first; rowNr 0 shows an empty chart.
void showCellStatus(UiContext& ctx, QWidget* mainWindow, int physCell);
void showRowStatus(UiContext& ctx, QWidget* mainWindow, int rowNr);
void showCellDebug(UiContext& ctx, QWidget* mainWindow, int physCell);
void showRowData(UiContext& ctx, QWidget* mainWindow, int rowNr);
void showChart(UiContext& ctx, QWidget* mainWindow, int rowNr);

}  // namespace kv::ui
