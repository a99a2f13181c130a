#pragma once
// The program's windows, created once in the start-up order (forms.h) and living until
// the end. The main window and the status and alarm windows are built here; the dialog
// windows come from dialogs.h (a name it does not build yet gives no window, and the main
// window opens such a dialog through its entry point when it is needed).

#include <QString>
#include <map>
#include <memory>
#include <vector>

class QWidget;

namespace kv::ui {

class TfrmMain;
class UiContext;

class ProgramWindows {
  public:
    explicit ProgramWindows(UiContext& ctx);
    ~ProgramWindows();
    ProgramWindows(const ProgramWindows&) = delete;
    ProgramWindows& operator=(const ProgramWindows&) = delete;

    TfrmMain& main() { return *main_; }
    // The window of that name; nullptr when none was created.
    QWidget* form(const QString& name) const;
    // The names in the order they were created.
    const std::vector<QString>& created() const { return created_; }

  private:
    std::unique_ptr<TfrmMain> main_;
    std::map<QString, QWidget*> forms_;
    std::vector<QString> created_;
};

}  // namespace kv::ui
