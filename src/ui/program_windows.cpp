#include "ui/program_windows.h"

#include "ui/alarm_window.h"
#include "ui/dialogs.h"
#include "ui/forms.h"
#include "ui/main_window.h"
#include "ui/status_window.h"
#include "ui/ui_context.h"

namespace kv::ui {

ProgramWindows::ProgramWindows(UiContext& ctx) {
    for (const char* name : kFormOrder) {
        const QString n = name;
        QWidget* w = nullptr;
        if (n == "frmMain") {
            main_ = std::make_unique<TfrmMain>(ctx);
            w = main_.get();
        } else if (n == "frmStatus") {
            w = new TfrmStatus(ctx.kelvora().cfg, main_.get());
        } else if (n == "frmAlarm") {
            w = new TfrmAlarm(ctx.kelvora(), main_.get());
        } else {
            w = createDialogForm(ctx, main_.get(), n);
        }
        if (!w) continue;
        forms_[n] = w;
        created_.push_back(n);
    }
}

ProgramWindows::~ProgramWindows() = default;

QWidget* ProgramWindows::form(const QString& name) const {
    const auto it = forms_.find(name);
    return it == forms_.end() ? nullptr : it->second;
}

}  // namespace kv::ui
