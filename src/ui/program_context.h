#pragma once
// The windows' context in the running program: operations go to the operations queue that
// the console's commands use too, their results come back to the window thread.

#include <QObject>
#include <QPointer>
#include <atomic>
#include <deque>
#include <mutex>

#include "system/operation_queue.h"
#include "ui/ui_context.h"
#include "ui/window_frontend.h"

namespace kv::ui {

class ProgramContext : public QObject, public UiContext {
    Q_OBJECT
  public:
    // Lives on the window thread; the queue runs on a thread of its own.
    ProgramContext(TKelvora& kelvora, Operations& ops, OperationQueue& queue,
                   WindowFrontEnd& frontEnd, QObject* parent = nullptr);

    TKelvora& kelvora() override { return k_; }
    WindowFrontEnd& frontEnd() override { return fe_; }
    void runOperation(QObject* receiver, std::function<OpResult(Operations&)> work,
                      std::function<void(const OpResult&)> done = {}) override;
    bool operationRunning() const override { return pending_.load() > 0 || queue_.busy(); }

  signals:
    // An operation of the windows has begun or the last one has ended (on the window
    // thread).
    void busyChanged(bool busy);

  protected:
    bool event(QEvent* e) override;

  private:
    // A finished operation waiting for the window thread. Results travel through this
    // queue under our own mutex, and only a bare event wakes the window thread: a queued
    // functor call would share Qt's reference-counted slot object between the threads,
    // whose release a race checker cannot follow.
    struct Finished {
        QPointer<QObject> target;
        std::function<void(const OpResult&)> done;
        OpResult result;
    };
    std::mutex finishedLock_;
    std::deque<Finished> finished_;

    TKelvora& k_;
    Operations& ops_;
    OperationQueue& queue_;
    WindowFrontEnd& fe_;
    std::atomic<int> pending_{0};
};

}  // namespace kv::ui
