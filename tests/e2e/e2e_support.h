#pragma once
// End-to-end runs: the real programs as separate processes, in real time, talking through
// pseudo-terminals and the control socket. kelvora-sim serves the lab and knows the ground
// truth (every impulse each cell dosed); kelvora runs headless with the tty backend.
//
// Every wait has a deadline and fails with a message that says what did not happen. The
// binaries are taken from $KELVORA_BIN_DIR, the build the test belongs to, so the
// ThreadSanitizer pass runs instrumented programs.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "common/clock.h"

namespace e2e {

using Seconds = std::chrono::duration<double>;

std::string binDir();

// A child process. The destructor kills it (SIGKILL) if it still runs, so a failing test
// leaves nothing behind.
class Process {
  public:
    struct Options {
        std::string stdoutFile = "/dev/null";
        std::string stderrFile = "/dev/null";
        bool stdinPipe = false;  // else /dev/null
    };
    Process() = default;
    Process(const std::string& exe, const std::vector<std::string>& args, const Options& o);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    Process(Process&& other) noexcept;
    Process& operator=(Process&& other) noexcept;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    bool running();
    // Writes to the child's standard input (stdinPipe only).
    bool writeStdin(const std::string& text);
    void signal(int sig);
    // The exit status (128 + signal for a killed process), or -1 when it still ran at the
    // deadline.
    int waitExit(Seconds timeout);

  private:
    void reset();
    pid_t pid_ = -1;
    int stdin_ = -1;
    int status_ = -1;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);

// Polls `done` every 200 ms until it is true or the timeout passes.
bool waitUntil(Seconds timeout, const std::function<bool()>& done);

// kelvora-sim with a lab file, serving its by-id links in `dir`.
class LabSim {
  public:
    // Starts the simulator and waits for its "ready"; false with the reason otherwise.
    bool start(const std::string& labFile, const std::string& dir, const std::string& logDir,
               std::string& error);
    // One command on standard input; its one-line answer ("" when none came in time).
    std::string command(const std::string& line);
    // The ground truth: impulses of cells 1..6 of a data device whose tact closed by
    // `upTo` (0: all so far). Empty when the simulator did not answer.
    std::vector<long long> impulses(const std::string& serial, kv::TDateTime upTo = 0);
    void stop();
    std::string stderrText() const { return readFile(errFile_); }

  private:
    Process proc_;
    std::string outFile_, errFile_;
    size_t seen_ = 0;  // bytes of the answer file already taken
};

// The result of `kelvora ctl`.
struct CtlResult {
    int status = -1;  // exit status; -1 when it did not end in time
    std::string out;  // standard output: the answer lines
    std::string lastLine() const;
    bool ok() const { return status == 0 && lastLine() == "ok"; }
};

// One kelvora --headless run in a home folder.
class Program {
  public:
    // extraArgs follow "--headless --home HOME" (for example --simulate).
    explicit Program(std::string home, std::vector<std::string> extraArgs = {})
        : home_(std::move(home)), extraArgs_(std::move(extraArgs)) {}
    // Starts the program and waits until its start-up has finished ("Kelvora running" on
    // stderr) and its control socket answers. `run` numbers the stderr files.
    // whileStarting, when given, is called at every look at the start-up's progress.
    bool start(int run, std::string& error, const std::function<void()>& whileStarting = {});
    CtlResult ctl(const std::vector<std::string>& args, Seconds timeout = Seconds(180));
    // A second start in the same home folder: its exit status and stderr.
    int startSecond(std::string& err);
    Process& process() { return proc_; }
    const std::string& home() const { return home_; }
    std::string stderrFile(int run) const;
    // Every stderr file of the runs so far, concatenated.
    std::string allStderr() const;

  private:
    std::string home_;
    std::vector<std::string> extraArgs_;
    Process proc_;
    int runs_ = 0;
};

// One line of a row data file.
struct DataLine {
    kv::TDateTime t = 0;
    std::string text;               // the line as written
    std::vector<long long> counts;  // per column; kNoCount where the field is empty
    bool forced = false;            // preceded by an empty line (a forced update)
};
inline constexpr long long kNoCount = -32767;

struct DataFile {
    std::vector<int> cells;  // the cell number of each count column
    std::vector<DataLine> lines;
};
// False with the reason when the file is missing or has no header.
bool readDataFile(const std::string& path, DataFile& out, std::string& error);

// The single KLVdata.1 below home/Data, or "" when there is none or more than one.
std::string findDataFile(const std::string& home);

// "key=value" from a `cells` line (cell=3 state=Running count=12 ...); "" when absent.
std::string field(const std::string& line, const std::string& key);

// A date-time as the simulator's ground-truth query takes it.
std::string dayCount(kv::TDateTime t);

}  // namespace e2e
