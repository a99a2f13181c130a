// The entry points of the row and cell dialogs and of the other windows of this group. Each
// window is made once, as a child of the main window, and shown again with new contents.
#include "ui/dialogs.h"

#include <QWidget>

#include "ui/cell_debug.h"
#include "ui/chart_window.h"
#include "ui/dialog_util.h"
#include "ui/password_dialog.h"
#include "ui/row_cell_edit.h"
#include "ui/row_data_window.h"
#include "ui/row_dialog.h"
#include "ui/start_dialog.h"
#include "ui/status_windows.h"
#include "ui/translate.h"
#include "ui/ui_context.h"

namespace kv::ui {

namespace {

template <typename W>
W* form(UiContext& ctx, QWidget* mainWindow) {
    if (mainWindow)
        if (W* w = mainWindow->findChild<W*>(QString(), Qt::FindDirectChildrenOnly)) return w;
    return new W(ctx, mainWindow);
}

template <typename W>
void present(W* w) {
    w->show();
    w->raise();
    w->activateWindow();
}

// The row password for a window of a protected row; nullopt when it was not given.
std::optional<std::string> askRowPassword(UiContext& ctx, QWidget* parent, int rowNr) {
    const auto row = ctx.kelvora().rows.FindByUniqueNr(rowNr);
    if (!row) return std::nullopt;
    std::string entry;
    if (!checkRowPassword(ctx, parent, *row,
                          langText("frmPasswd", "RowTitle", "Enter row password"), &entry))
        return std::nullopt;
    return entry;
}

}  // namespace

QWidget* createDialogForm(UiContext& ctx, QWidget* mainWindow, const QString& name) {
    if (name == "frmRow") return form<TfrmRow>(ctx, mainWindow);
    if (name == "frmRowCellEdit") return new TfrmRowCellEdit(mainWindow);
    if (name == "frmRowCellsStartDlg") return form<TfrmRowCellsStartDlg>(ctx, mainWindow);
    if (name == "frmRowData") return form<TfrmRowData>(ctx, mainWindow);
    if (name == "frmPassWd") return new TfrmPassWd(mainWindow);
    if (name == "frmCellStatus") return form<TfrmCellStatus>(ctx, mainWindow);
    if (name == "frmRowStatus") return form<TfrmRowStatus>(ctx, mainWindow);
    if (name == "frmGraphic") return form<TfrmGraphic>(ctx, mainWindow);
    if (name == "frmCellStatus_Debug") return form<TfrmCellStatus_Debug>(ctx, mainWindow);
    return nullptr;
}

bool execRowDialog(UiContext& ctx, QWidget* mainWindow, int rowNr, bool isNew) {
    std::optional<std::string> password;
    if (!isNew) {
        password = askRowPassword(ctx, mainWindow, rowNr);
        if (!password) return false;
    }
    TfrmRow* dialog = form<TfrmRow>(ctx, mainWindow);
    if (!dialog->load(rowNr, isNew)) return false;
    dialog->setGivenPassword(password);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    dialog->setGivenPassword(std::nullopt);
    return accepted;
}

void execStartDialog(UiContext& ctx, QWidget* mainWindow, int rowNr) {
    auto* dialog = form<TfrmRowCellsStartDlg>(ctx, mainWindow);
    if (!dialog->load(rowNr)) return;
    dialog->exec();
}

void showCellStatus(UiContext& ctx, QWidget* mainWindow, int physCell) {
    auto* w = form<TfrmCellStatus>(ctx, mainWindow);
    w->showCell(physCell);
    present(w);
}

void showRowStatus(UiContext& ctx, QWidget* mainWindow, int rowNr) {
    auto* w = form<TfrmRowStatus>(ctx, mainWindow);
    w->showRow(rowNr);
    present(w);
}

void showCellDebug(UiContext& ctx, QWidget* mainWindow, int physCell) {
    auto* w = form<TfrmCellStatus_Debug>(ctx, mainWindow);
    w->showCell(physCell);
    present(w);
}

void showRowData(UiContext& ctx, QWidget* mainWindow, int rowNr) {
    const auto password = askRowPassword(ctx, mainWindow, rowNr);
    if (!password) return;
    auto* w = form<TfrmRowData>(ctx, mainWindow);
    if (!w->showRow(rowNr)) return;
    w->setGivenPassword(password);
    present(w);
}

void showChart(UiContext& ctx, QWidget* mainWindow, int rowNr) {
    auto* w = form<TfrmGraphic>(ctx, mainWindow);
    w->showRow(rowNr);
    present(w);
}

}  // namespace kv::ui
