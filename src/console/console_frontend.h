#pragma once
// The headless program's front end. Outside a console command it behaves like the
// headless front end (progress and errors on stderr, fixed replies). While a console
// command runs, on the thread that runs it, the command itself is the operator's answer:
// its questions are answered Yes (the command is the confirmation), a password prompt
// takes the command's password= argument, and error boxes become lines of its answer.

#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "system/frontend.h"

namespace kv {

class ConsoleFrontEnd : public HeadlessFrontEnd {
  public:
    void errorBox(const std::string& text) override;
    Answer ask(const std::string& question, bool withCancel) override;
    bool askPassword(const std::string& title, std::string& entry) override;
    // The calling thread runs a console command (its answers come from the command).
    bool inCommand();

    // The answers of one command, for the thread that runs it and as long as it runs.
    class Scope {
      public:
        Scope(ConsoleFrontEnd& ui, std::optional<std::string> password);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;
        // Error boxes shown while the command ran.
        std::vector<std::string> takeNotes();

      private:
        ConsoleFrontEnd& ui_;
    };

  private:
    struct Context {
        std::thread::id thread;
        std::optional<std::string> password;
        std::vector<std::string> notes;
    };
    // The command context when the calling thread runs one; otherwise null.
    Context* mine();

    std::mutex mutex_;
    std::optional<Context> context_;
};

}  // namespace kv
