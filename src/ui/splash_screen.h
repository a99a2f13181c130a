#pragma once
// The splash window of the start-up and of a resynchronisation: the task text, the device
// and value gauges with their labels, and Cancel, which the synchronisation polls.
//
// Any thread may call the SplashOutput side: on the window thread the window changes and
// repaints at once (the start-up runs there and lets events through between its steps);
// from another thread (the device check's resynchronisation) the change is queued.

#include <QWidget>
#include <atomic>
#include <functional>

#include "system/frontend.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace kv::ui {

class TfrmSplashScreen : public QWidget, public SplashOutput {
    Q_OBJECT
  public:
    explicit TfrmSplashScreen(QWidget* parent = nullptr);

    // SplashOutput
    void showSplash(bool visible) override;
    void alignmentStarted(int cells) override;
    void alignmentProgress(int cell) override;
    void devicesStarted(int count) override;
    void deviceProgress(int done) override;
    void valuesStarted(int entries) override;
    void valuesProgress(int percent) override;
    void task(const std::string& text) override;
    bool cancelRequested() override { return cancel_.load(); }
    void processMessages() override;

    // The task label (the start-up's progress texts).
    void setTask(const QString& text);
    void clearCancel() { cancel_ = false; }

  private:
    void onWindowThread(std::function<void()> f);

    QLabel* lblTask_;
    QLabel* lblDevices_;
    QLabel* lblNrDevices_;
    QProgressBar* tgDevices_;
    QLabel* lblValues_;
    QLabel* lblNrValues_;
    QProgressBar* tgValues_;
    QPushButton* btnCancel_;
    std::atomic<bool> cancel_{false};
    bool startupDone_ = false;
};

}  // namespace kv::ui
