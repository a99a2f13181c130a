#pragma once
// The window front end's answers to the program: error boxes, questions and password
// prompts as dialogs, progress texts for the splash window and the status line.
//
// Any thread may call it. On the window thread a dialog opens at once; from another thread
// (the operations thread, the device check) the call is handed to the window thread and
// the caller waits for the answer, while the window thread goes on serving its events.

#include <QObject>
#include <QPointer>
#include <QWidget>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "system/frontend.h"

namespace kv::ui {

class WindowFrontEnd : public QObject, public FrontEnd {
    Q_OBJECT
  public:
    explicit WindowFrontEnd(QObject* parent = nullptr);

    void progress(const std::string& text) override;
    void errorBox(const std::string& text) override;
    Answer ask(const std::string& question, bool withCancel) override;
    bool askPassword(const std::string& title, std::string& entry) override;

    // A warning or information box (refusals and results of the windows' commands).
    void warning(const std::string& text);
    void information(const std::string& text);

    // While a window holds the row password its operator has given (the row dialog asks
    // once when it opens), the operations' row password prompts are answered with it rather
    // than asked again for every button. std::nullopt ends that.
    void setKnownRowPassword(std::optional<std::string> entry);

    // A file dialog (save or open); empty when cancelled.
    std::string askFile(bool save, const std::string& title, const std::string& proposed,
                        const std::string& filter = {});
    // An input box; false when cancelled.
    bool askText(const std::string& header, const std::string& prompt, std::string& text);

    // The splash window of the start-up and of a resynchronisation.
    void setSplash(SplashOutput* splash) { splash_ = splash; }
    SplashOutput* splash() override { return splash_; }

    // The window that dialogs belong to (the main window once it exists).
    void setDialogParent(QWidget* parent) { parent_ = parent; }
    QWidget* dialogParent() const { return parent_; }

  signals:
    // A progress text for the splash window (emitted on the caller's thread; connect
    // queued).
    void progressText(const QString& text);

  protected:
    bool event(QEvent* e) override;

  private:
    // Runs f on the window thread and returns when it has run.
    void onWindowThread(const std::function<void()>& f);

    QPointer<QWidget> parent_;
    std::mutex knownLock_;
    std::optional<std::string> knownRowPassword_;

    SplashOutput* splash_ = nullptr;
};

}  // namespace kv::ui
