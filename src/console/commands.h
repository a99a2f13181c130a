#pragma once
// The console's command interpreter: one command line in, one answer out. Every answer
// ends with a line "ok" or "error: ..."; a command that is refused changes nothing. The
// commands are listed in helpText() (the "help" command) and in the README.
//
// Runs on the window thread only: the console hands every line to that one thread, so
// commands never overlap each other or the start-up.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "console/console_frontend.h"
#include "system/config_service.h"
#include "system/operations.h"

namespace kv {

struct ConsoleReply {
    std::vector<std::string> lines;
    bool ok = true;
    std::string error;
    // The quit path has run: the program ends after this answer.
    bool quit = false;

    static ConsoleReply failed(std::string error);
    // The lines, then "ok" or "error: ...", each followed by a line feed.
    std::string text() const;
};

class CommandInterpreter {
  public:
    // Runs the quit path as the menu's quit command does; false when it was cancelled.
    using QuitHandler = std::function<bool()>;

    CommandInterpreter(Operations& ops, ConsoleFrontEnd& ui, QuitHandler quit);

    ConsoleReply execute(std::string_view line);
    // Before a quit that no command asked for (a signal, --run-for): a calibration still
    // using the meter and the relays is cancelled and its session closed.
    void stopBackgroundWork() { calibration_.cancel(); }
    static std::string helpText();

  private:
    struct Args;
    ConsoleReply run(const std::vector<std::string>& words, Args& args);
    ConsoleReply rowCommand(const std::vector<std::string>& words, Args& args);
    ConsoleReply cellCommand(const std::vector<std::string>& words, Args& args);
    ConsoleReply rowNew(const std::vector<std::string>& words, Args& args);
    ConsoleReply rowEdit(const std::vector<std::string>& words, Args& args);
    ConsoleReply rowCell(const std::vector<std::string>& words, Args& args);
    ConsoleReply rowCellParameters(const std::vector<std::string>& words, Args& args);
    ConsoleReply rowCellMembership(const std::vector<std::string>& words, Args& args);
    ConsoleReply rowEvaluate(const std::vector<std::string>& words, Args& args);
    // row curves, row curve, row axes: the Graphics page's chart settings.
    ConsoleReply rowChartSettings(const std::string& sub, const std::vector<std::string>& words,
                                  Args& args);
    static bool isOutputCommand(const std::string& sub);
    ConsoleReply rowOutput(const std::string& sub, const std::vector<std::string>& words,
                           Args& args);
    ConsoleReply status();
    ConsoleReply cells();
    ConsoleReply rows();
    ConsoleReply msgs(const std::vector<std::string>& words);
    // The configuration dialog's actions (config, device, cell ad, ec71, tank save).
    ConsoleReply configCommand(const std::vector<std::string>& words, Args& args);
    ConsoleReply deviceCommand(const std::vector<std::string>& words, Args& args);
    ConsoleReply cellAdCommand(const std::vector<std::string>& words, Args& args);
    ConsoleReply ec71Command(const std::vector<std::string>& words, Args& args);
    // Runs `action` in a configuration session (password, pause, resume afterwards).
    ConsoleReply inSession(Args& args, const std::function<OpResult()>& action);
    // The series or template with this name, or "#" + UniqueNr; 0 with the reason.
    int findRow(const std::string& name, std::string& error);

    Operations& ops_;
    ConsoleFrontEnd& ui_;
    QuitHandler quit_;
    ConfigService service_;
    // Destroyed before the service it uses.
    BackgroundCalibration calibration_;
};

}  // namespace kv
