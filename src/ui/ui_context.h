#pragma once
// What every window and dialog needs from the program: its state to show, and the one way
// to change it.
//
// Windows live on the window thread. They read the program's state (cells, rows, messages,
// status panels) under the locks that guard it, briefly, and never wait on device I/O.
// Everything that changes state is an Operations call; such calls can wait (the pauses
// between starting cells, a resynchronisation, an export), so they run on the operations
// thread, one at a time and in arrival order together with the console's commands. Their
// questions and password prompts come back to the window thread through the WindowFrontEnd.

#include <QObject>
#include <functional>

#include "system/kelvora.h"
#include "system/operations.h"

namespace kv::ui {

class WindowFrontEnd;

class UiContext {
  public:
    virtual ~UiContext() = default;

    // The program's state, for reading on the window thread under the existing locks.
    virtual TKelvora& kelvora() = 0;
    // Dialog boxes, questions and password prompts.
    virtual WindowFrontEnd& frontEnd() = 0;

    // Runs `work` on the operations thread; afterwards `done` runs on the window thread with
    // the result, unless `receiver` has been destroyed by then. `work` must not touch
    // widgets.
    virtual void runOperation(QObject* receiver, std::function<OpResult(Operations&)> work,
                              std::function<void(const OpResult&)> done = {}) = 0;
    // An operation is queued or running (the windows show that they are busy).
    virtual bool operationRunning() const = 0;
};

}  // namespace kv::ui
