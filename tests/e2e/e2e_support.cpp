#include "e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "common/datetime.h"

extern char** environ;

namespace fs = std::filesystem;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> out;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
    }
    return out;
}

}  // namespace

std::string binDir() {
    const char* dir = std::getenv("KELVORA_BIN_DIR");
    return dir ? dir : ".";
}

// ---------------------------------------------------------------------------------------
// Process

Process::Process(const std::string& exe, const std::vector<std::string>& args, const Options& o) {
    std::vector<std::string> copy;
    copy.push_back(exe);
    copy.insert(copy.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);

    int in[2] = {-1, -1};
    if (o.stdinPipe && pipe2(in, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (o.stdinPipe)
        posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    else
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, o.stdoutFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_addopen(&fa, 2, o.stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (o.stdinPipe) close(in[0]);
    if (rc != 0) {
        if (o.stdinPipe) close(in[1]);
        return;
    }
    pid_ = pid;
    stdin_ = o.stdinPipe ? in[1] : -1;
}

Process::~Process() {
    reset();
}

Process::Process(Process&& other) noexcept {
    *this = std::move(other);
}

Process& Process::operator=(Process&& other) noexcept {
    if (this != &other) {
        reset();
        pid_ = other.pid_;
        stdin_ = other.stdin_;
        status_ = other.status_;
        other.pid_ = -1;
        other.stdin_ = -1;
    }
    return *this;
}

void Process::reset() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
    if (pid_ > 0 && status_ < 0) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
    status_ = -1;
}

bool Process::running() {
    if (pid_ <= 0 || status_ >= 0) return false;
    int st = 0;
    const pid_t r = waitpid(pid_, &st, WNOHANG);
    if (r == 0) return true;
    status_ = r == pid_ ? (WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st)) : 255;
    return false;
}

bool Process::writeStdin(const std::string& text) {
    if (stdin_ < 0) return false;
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(stdin_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void Process::signal(int sig) {
    if (running()) ::kill(pid_, sig);
}

int Process::waitExit(Seconds timeout) {
    if (pid_ <= 0) return -1;
    waitUntil(timeout, [&] { return !running(); });
    return running() ? -1 : status_;
}

// ---------------------------------------------------------------------------------------

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

bool waitUntil(Seconds timeout, const std::function<bool()>& done) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(timeout);
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
}

// ---------------------------------------------------------------------------------------
// LabSim

bool LabSim::start(const std::string& labFile, const std::string& dir, const std::string& logDir,
                   std::string& error) {
    outFile_ = logDir + "/sim.out";
    errFile_ = logDir + "/sim.err";
    proc_ = Process(binDir() + "/kelvora-sim", {"--config", labFile, "--dir", dir},
                    {outFile_, errFile_, true});
    if (!proc_.started()) {
        error = "kelvora-sim could not be started from " + binDir();
        return false;
    }
    // Instrumented builds take a while to load; 60 s is far beyond a normal start.
    const bool ready = waitUntil(Seconds(60), [&] {
        return readFile(outFile_).find("\nready\n") != std::string::npos || !proc_.running();
    });
    const std::string out = readFile(outFile_);
    if (!ready || out.find("\nready\n") == std::string::npos) {
        error = "kelvora-sim did not say ready within 60 s; stdout: " + out +
                " stderr: " + readFile(errFile_);
        return false;
    }
    seen_ = out.size();
    return true;
}

std::string LabSim::command(const std::string& line) {
    if (!proc_.writeStdin(line + "\n")) return {};
    std::string answer;
    waitUntil(Seconds(20), [&] {
        const std::string out = readFile(outFile_);
        const size_t nl = out.find('\n', seen_);
        if (nl == std::string::npos) return false;
        answer = out.substr(seen_, nl - seen_);
        seen_ = nl + 1;
        return true;
    });
    return answer;
}

std::vector<long long> LabSim::impulses(const std::string& serial, kv::TDateTime upTo) {
    const std::string answer =
        command("impulses " + serial + (upTo > 0 ? " " + dayCount(upTo) : std::string()));
    const std::string prefix = serial + " impulses=";
    if (answer.rfind(prefix, 0) != 0) return {};
    std::vector<long long> out;
    std::istringstream in(answer.substr(prefix.size()));
    std::string item;
    while (std::getline(in, item, ';')) out.push_back(std::atoll(item.c_str()));
    return out.size() == 6 ? out : std::vector<long long>{};
}

void LabSim::stop() {
    proc_.signal(SIGTERM);
    proc_.waitExit(Seconds(30));
}

// ---------------------------------------------------------------------------------------
// Program

std::string CtlResult::lastLine() const {
    const auto lines = splitLines(out);
    return lines.empty() ? std::string() : lines.back();
}

std::string Program::stderrFile(int run) const {
    return home_ + "/kelvora-" + std::to_string(run) + ".err";
}

std::string Program::allStderr() const {
    std::string all;
    for (int r = 1; r <= runs_; ++r) all += readFile(stderrFile(r));
    return all;
}

bool Program::start(int run, std::string& error, const std::function<void()>& whileStarting) {
    runs_ = std::max(runs_, run);
    const std::string err = stderrFile(run);
    std::vector<std::string> args = {"--headless", "--home", home_};
    args.insert(args.end(), extraArgs_.begin(), extraArgs_.end());
    proc_ = Process(binDir() + "/kelvora", args,
                    {home_ + "/kelvora-" + std::to_string(run) + ".out", err, false});
    if (!proc_.started()) {
        error = "kelvora could not be started from " + binDir();
        return false;
    }
    // The start-up includes the synchronisation (500 ms per device and the queue) and the
    // cell alignment; 120 s covers an instrumented build on a busy machine.
    const bool up = waitUntil(Seconds(120), [&] {
        if (whileStarting) whileStarting();
        return readFile(err).find("Kelvora running") != std::string::npos || !proc_.running();
    });
    if (!up || !proc_.running()) {
        error = std::string(proc_.running() ? "kelvora did not finish its start-up within 120 s"
                                            : "kelvora ended during its start-up") +
                "; stderr: " + readFile(err);
        return false;
    }
    // The socket answers during the start-up already; the console's own commands come
    // right after it.
    CtlResult r;
    waitUntil(Seconds(30), [&] {
        r = ctl({"status"}, Seconds(30));
        return r.ok() && r.out.find("state: running") != std::string::npos;
    });
    if (!r.ok()) {
        error = "kelvora ctl status did not answer ok: " + r.out;
        return false;
    }
    return true;
}

CtlResult Program::ctl(const std::vector<std::string>& args, Seconds timeout) {
    static int counter = 0;
    const std::string out = home_ + "/ctl-" + std::to_string(++counter) + ".out";
    std::vector<std::string> all = {"ctl", "--home", home_};
    all.insert(all.end(), args.begin(), args.end());
    CtlResult r;
    {
        Process p(binDir() + "/kelvora", all, {out, home_ + "/ctl.err", false});
        r.status = p.waitExit(timeout);
    }
    r.out = readFile(out);
    fs::remove(out);
    return r;
}

int Program::startSecond(std::string& err) {
    const std::string file = home_ + "/second.err";
    Process p(binDir() + "/kelvora", {"--headless", "--home", home_}, {"/dev/null", file, false});
    const int rc = p.waitExit(Seconds(60));
    err = readFile(file);
    return rc;
}

// ---------------------------------------------------------------------------------------
// Data files

bool readDataFile(const std::string& path, DataFile& out, std::string& error) {
    out = DataFile{};
    if (!fs::exists(path)) {
        error = "no data file " + path;
        return false;
    }
    bool header = false, afterEmpty = false;
    for (const std::string& line : splitLines(readFile(path))) {
        if (line.empty()) {
            afterEmpty = true;
            continue;
        }
        std::vector<std::string> f;
        std::istringstream in(line);
        std::string item;
        while (std::getline(in, item, ';')) f.push_back(item);
        if (line.find("Dat") != std::string::npos) {
            if (!header) {
                for (const std::string& name : f)
                    if (name.rfind("O2 ", 0) == 0) out.cells.push_back(std::atoi(name.c_str() + 3));
                header = true;
            }
            continue;
        }
        DataLine d;
        d.text = line;
        d.forced = afterEmpty;
        afterEmpty = false;
        d.t = f.empty() ? 0 : kv::textToDateTime(f[0]);
        for (size_t c = 0; c < out.cells.size(); ++c) {
            const std::string v = c + 1 < f.size() ? f[c + 1] : std::string();
            d.counts.push_back(v.empty() ? kNoCount : std::atoll(v.c_str()));
        }
        out.lines.push_back(std::move(d));
    }
    if (!header || out.cells.empty()) {
        error = "data file without a header: " + path;
        return false;
    }
    return true;
}

std::string findDataFile(const std::string& home) {
    std::string found;
    std::error_code ec;
    if (!fs::exists(home + "/Data")) return {};
    for (const auto& e : fs::recursive_directory_iterator(home + "/Data", ec)) {
        if (e.path().filename() != "KLVdata.1") continue;
        if (!found.empty()) return {};
        found = e.path().string();
    }
    return found;
}

std::string field(const std::string& line, const std::string& key) {
    const std::string needle = key + "=";
    size_t p = 0;
    while ((p = line.find(needle, p)) != std::string::npos) {
        if (p == 0 || line[p - 1] == ' ') {
            const size_t start = p + needle.size();
            const size_t end = line.find(' ', start);
            return line.substr(start, end == std::string::npos ? std::string::npos : end - start);
        }
        p += needle.size();
    }
    return {};
}

std::string dayCount(kv::TDateTime t) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.10f", t);
    return buf;
}

}  // namespace e2e
