#pragma once
// What the start-up, the quit path and the operations need from whoever faces the
// operator: progress texts, error boxes, questions and password prompts. The window front
// end answers with dialogs; the headless front end prints and answers from its arguments.

#include <string>

#include "rows/sync.h"

namespace kv {

// The splash window: the task text and Cancel of SyncProgress, the gauges of the
// synchronisation and of the per-cell alignment, shown during the start-up and during a
// resynchronisation. Any thread may call it.
class SplashOutput : public SyncProgress {
  public:
    virtual void showSplash(bool /*visible*/) {}
    // The alignment: the value gauge and its labels hidden, the device gauge counts cells.
    virtual void alignmentStarted(int /*cells*/) {}
    virtual void alignmentProgress(int /*cell*/) {}
};

enum class Answer { Yes, No, Cancel };

class FrontEnd {
  public:
    virtual ~FrontEnd() = default;
    // The splash screen's task text.
    virtual void progress(const std::string& text) = 0;
    // An error box with an OK button.
    virtual void errorBox(const std::string& text) = 0;
    // A question; withCancel adds a Cancel button.
    virtual Answer ask(const std::string& question, bool withCancel) = 0;
    // A password prompt: false when cancelled, else the entry in `entry`.
    virtual bool askPassword(const std::string& title, std::string& entry) = 0;
    // The splash window; none for a front end without windows.
    virtual SplashOutput* splash() { return nullptr; }
};

// Prints progress and errors to stderr, and answers questions with fixed replies: the
// headless program's replies when it is asked to stop by the operating system.
class HeadlessFrontEnd : public FrontEnd {
  public:
    void progress(const std::string& text) override;
    void errorBox(const std::string& text) override;
    Answer ask(const std::string& question, bool withCancel) override;
    bool askPassword(const std::string& title, std::string& entry) override;

    Answer reply = Answer::No;
    bool quiet = false;
};

}  // namespace kv
