#pragma once
// kelvora-sim as a child process for the tests that go through the real I/O path: it serves
// the lab described in an ini file on pseudo-terminals with a by-id folder, prints its
// banner, then "ready", and takes fault commands on its standard input.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace kvtest {

// The program: in the folder CTest names in KELVORA_BIN_DIR; run by hand from the build
// tree, tests/<module>/test_x -> src/main/kelvora-sim.
inline std::string simProgram() {
    namespace fs = std::filesystem;
    if (const char* dir = std::getenv("KELVORA_BIN_DIR")) return std::string(dir) + "/kelvora-sim";
    const fs::path self = fs::read_symlink("/proc/self/exe");
    return (self.parent_path().parent_path().parent_path() / "src/main/kelvora-sim").string();
}

class SimProcess {
  public:
    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (toSim_ >= 0) ::close(toSim_);
        if (fromSim_ >= 0) ::close(fromSim_);
    }

    // Starts the lab of lab (an ini file) with its by-id folder in dir; true once it has
    // said "ready" (within 10 s).
    bool start(const std::string& program, const std::string& lab, const std::string& dir) {
        int in[2], out[2];
        if (::pipe(in) != 0) return false;
        if (::pipe(out) != 0) {
            ::close(in[0]);
            ::close(in[1]);
            return false;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::close(in[1]);
            ::close(out[0]);
            ::execl(program.c_str(), program.c_str(), "--config", lab.c_str(), "--dir", dir.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        toSim_ = in[1];
        fromSim_ = out[0];
        if (pid_ < 0) return false;
        for (std::string l = nextLine(); !l.empty(); l = nextLine()) {
            if (l == "ready") return true;
            banner_ += l + "\n";
        }
        return false;
    }

    // The lines before "ready": what the lab serves.
    const std::string& banner() const { return banner_; }

    // Sends a fault command and returns its answer line ("" when none came within 10 s).
    std::string command(const std::string& line) {
        const std::string l = line + "\n";
        if (::write(toSim_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) return {};
        return nextLine();
    }

  private:
    std::string nextLine() {
        for (int waited = 0; waited < 10000;) {
            const auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            pollfd p{fromSim_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                waited += 100;
                continue;
            }
            char buf[512];
            const ssize_t n = ::read(fromSim_, buf, sizeof buf);
            if (n <= 0) return {};
            buffer_.append(buf, static_cast<size_t>(n));
        }
        return {};
    }

    pid_t pid_ = -1;
    int toSim_ = -1, fromSim_ = -1;
    std::string buffer_, banner_;
};

}  // namespace kvtest
