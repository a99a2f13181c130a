// Placeholder until the row and cell dialogs are built: the main window can call every
// entry point, and each says that its window is not there yet.
#include "ui/dialogs.h"

#include <QMessageBox>
#include <QWidget>

namespace kv::ui {

namespace {
void notBuilt(QWidget* parent, const char* what) {
    QMessageBox::information(parent, "Kelvora", QString("%1: not available yet.").arg(what));
}
}  // namespace

QWidget* createDialogForm(UiContext&, QWidget*, const QString&) {
    return nullptr;
}

bool execRowDialog(UiContext&, QWidget* mainWindow, int, bool) {
    notBuilt(mainWindow, "Row dialog");
    return false;
}
void execStartDialog(UiContext&, QWidget* mainWindow, int) {
    notBuilt(mainWindow, "Start dialog");
}
void showCellStatus(UiContext&, QWidget* mainWindow, int) {
    notBuilt(mainWindow, "Cell information");
}
void showRowStatus(UiContext&, QWidget* mainWindow, int) {
    notBuilt(mainWindow, "Row information");
}
void showCellDebug(UiContext&, QWidget* mainWindow, int) {
    notBuilt(mainWindow, "Cell debug window");
}
void showRowData(UiContext&, QWidget* mainWindow, int) {
    notBuilt(mainWindow, "Row data window");
}
void showChart(UiContext&, QWidget* mainWindow, int) {
    notBuilt(mainWindow, "Chart window");
}

}  // namespace kv::ui
