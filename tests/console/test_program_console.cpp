// The control socket, and the real program driven through `kelvora ctl` and its stdin.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/datetime.h"
#include "common/strutil.h"
#include "console/control_socket.h"
#include "support/temp_dir.h"

extern char** environ;

using kvtest::readFile;
using kvtest::TempDir;
using kvtest::writeFile;

namespace {

std::string binary() {
    const char* dir = std::getenv("KELVORA_BIN_DIR");
    return std::string(dir ? dir : ".") + "/kelvora";
}

struct Spawned {
    pid_t pid = -1;
    int stdinFd = -1;  // the write end of the program's standard input, when piped
};

// Starts the program; stdout and stderr go to files, stdin comes from a pipe when asked.
Spawned spawn(const std::vector<std::string>& args, const std::string& outFile,
              const std::string& errFile, bool pipeStdin) {
    std::vector<std::string> copy = args;
    std::string bin = binary();
    std::vector<char*> argv{bin.data()};
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    int pipeFds[2] = {-1, -1};
    if (pipeStdin && ::pipe2(pipeFds, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&fa, pipeFds[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&fa, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Spawned s;
    posix_spawn(&s.pid, bin.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (pipeFds[0] >= 0) ::close(pipeFds[0]);
    s.stdinFd = pipeFds[1];
    return s;
}

int waitExit(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// `kelvora ctl --home HOME words...`: exit status, and the answer in `out`.
int ctl(const std::string& home, const std::vector<std::string>& words, std::string& out) {
    TempDir tmp;
    std::vector<std::string> args{"ctl", "--home", home};
    args.insert(args.end(), words.begin(), words.end());
    const Spawned s = spawn(args, tmp.file("out"), tmp.file("err"), false);
    const int rc = waitExit(s.pid);
    out = readFile(tmp.file("out"));
    return rc;
}

bool eventually(const std::function<bool()>& f) {
    for (int i = 0; i < 300; ++i) {
        if (f()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

const char* const kIni =
    "[Kelvora]\r\nCells=12\r\nDelayBetweenStartCells=0\r\nDelayBetweenStopCells=0\r\n"
    "[USB]\r\nDevices=3\r\n"
    "[USBDevice-1]\r\nSerialNr=KLV1\r\nType=1\r\nCase=1\r\nphysCells=1,6\r\n"
    "[USBDevice-2]\r\nSerialNr=KLV2\r\nType=1\r\nCase=1\r\nphysCells=7,12\r\n"
    "[USBDevice-3]\r\nSerialNr=CASE1\r\nType=2\r\nCase=1\r\n";

}  // namespace

TEST(ControlSocket, RoundTripStaleSocketSymlinkAndLongPath) {
    TempDir tmp;
    // A home folder whose socket path does not fit into a socket address.
    const std::string home = tmp.file(std::string(120, 'h'));
    std::filesystem::create_directories(home);
    std::string answer, error;
    EXPECT_EQ(kv::sendControlCommand(home, "status", answer, error), kv::kCtlNoInstance);

    // A socket left behind by a crashed run.
    {
        const std::string sock = home + "/Kelvora.Sock";
        ASSERT_EQ(::chdir(home.c_str()), 0);
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strcpy(a.sun_path, "Kelvora.Sock");
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ::close(fd);
        ASSERT_EQ(::chdir("/"), 0);
        EXPECT_EQ(kv::sendControlCommand(home, "status", answer, error), kv::kCtlNoInstance);
    }

    std::mutex seenMutex;  // the handler runs on the connections' threads
    std::vector<std::string> seen;
    kv::ControlServer server(home, [&](const std::string& line) {
        std::lock_guard lock(seenMutex);
        seen.push_back(line);
        return line == "fail" ? std::string("error: no\n") : "echo " + line + "\nok\n";
    });
    ASSERT_TRUE(server.start(error)) << error;
    struct stat st {};
    ASSERT_EQ(::lstat((home + "/Kelvora.Sock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    EXPECT_EQ(kv::sendControlCommand(home, "row new \"a b\"", answer, error), kv::kCtlOk);
    EXPECT_EQ(answer, "echo row new \"a b\"\nok\n");
    EXPECT_EQ(kv::sendControlCommand(home, "fail", answer, error), kv::kCtlError);
    EXPECT_EQ(answer, "error: no\n");
    {
        std::lock_guard lock(seenMutex);
        EXPECT_EQ(seen.size(), 2u);
    }
    server.stop();
    EXPECT_FALSE(std::filesystem::exists(home + "/Kelvora.Sock"));
    EXPECT_EQ(kv::sendControlCommand(home, "status", answer, error), kv::kCtlNoInstance);

    // A symbolic link in the socket's place is neither followed nor removed.
    writeFile(tmp.file("target"), "keep");
    std::filesystem::create_symlink(tmp.file("target"), home + "/Kelvora.Sock");
    kv::ControlServer refused(home, [](const std::string&) { return std::string("ok\n"); });
    EXPECT_FALSE(refused.start(error));
    EXPECT_NE(error.find("is not a socket"), std::string::npos);
    refused.stop();
    EXPECT_TRUE(std::filesystem::is_symlink(home + "/Kelvora.Sock"));
    EXPECT_EQ(readFile(tmp.file("target")), "keep");
}

TEST(ProgramConsole, SimulatedLabDrivenByCtlAndStdin) {
    TempDir home;
    std::filesystem::create_directory(home.file("Dbg"));
    writeFile(home.file("Kelvora.Ini"), kIni);
    std::string out;
    EXPECT_EQ(ctl(home.path(), {"status"}, out), kv::kCtlNoInstance);

    Spawned first = spawn({"--headless", "--simulate", "--quiet", "--home", home.path()},
                          home.file("first.out"), home.file("first.err"), true);
    ASSERT_GT(first.pid, 0);
    // The socket answers from the start-up on; the commands are served once it runs.
    ASSERT_TRUE(eventually([&] {
        return ctl(home.path(), {"status"}, out) == kv::kCtlOk &&
               out.find("state: running") != std::string::npos;
    })) << readFile(home.file("first.err"));
    // Every configured device of the simulated lab is there.
    EXPECT_NE(out.find("device 1: O2-data KLV1 present error=0 cells=1-6"), std::string::npos)
        << out;
    EXPECT_NE(out.find("device 3: Case CASE1 present"), std::string::npos) << out;
    // The configuration still names the backend it had.
    EXPECT_EQ(readFile(home.file("Kelvora.Ini")).find("Backend"), std::string::npos);

    EXPECT_EQ(ctl(home.path(), {"help"}, out), kv::kCtlOk);
    EXPECT_NE(out.find("row new NAME cells=1-6[,8]"), std::string::npos);
    EXPECT_EQ(ctl(home.path(), {"bogus"}, out), kv::kCtlError);
    EXPECT_EQ(out, "error: unknown command bogus (try help)\n");
    EXPECT_EQ(ctl(home.path(), {"row", "new", "Sludge A", "cells=1-3", "tact=3"}, out), kv::kCtlOk);
    EXPECT_EQ(ctl(home.path(), {"row", "start", "Sludge A"}, out), kv::kCtlOk) << out;

    // Standard input is a console too, answered on standard output.
    const std::string cmds = "rows\ncell hold 99\n";
    ASSERT_EQ(::write(first.stdinFd, cmds.data(), cmds.size()), static_cast<ssize_t>(cmds.size()));
    ASSERT_TRUE(eventually([&] {
        return readFile(home.file("first.out")).find("error: Cell 99 does not exist.") !=
               std::string::npos;
    })) << readFile(home.file("first.out"));
    EXPECT_NE(readFile(home.file("first.out")).find("row=\"Sludge A\""), std::string::npos);

    // One program per home folder.
    const Spawned second = spawn({"--headless", "--simulate", "--home", home.path()},
                                 home.file("second.out"), home.file("second.err"), false);
    EXPECT_EQ(waitExit(second.pid), 1);
    EXPECT_NE(readFile(home.file("second.err")).find("Kelvora can run only once !"),
              std::string::npos);
    EXPECT_EQ(ctl(home.path(), {"status"}, out), kv::kCtlOk);  // the first one still serves

    EXPECT_EQ(ctl(home.path(), {"quit"}, out), kv::kCtlOk);
    EXPECT_EQ(out, "ok\n");
    EXPECT_EQ(waitExit(first.pid), 0);
    ::close(first.stdinFd);
    EXPECT_FALSE(std::filesystem::exists(home.file("Kelvora.Sock")));
    EXPECT_EQ(ctl(home.path(), {"status"}, out), kv::kCtlNoInstance);
    // The quit path ran: the running series stored its values and the row file was saved.
    EXPECT_NE(readFile(home.file("Kelvora.Msg")).find("Stop Kelvora"), std::string::npos);
    EXPECT_NE(readFile(home.file("Kelvora.Row")).find("Name=Sludge A"), std::string::npos);
}

TEST(ProgramConsole, SimulateWithSpeedRunsTheClockFaster) {
    TempDir home;
    std::filesystem::create_directory(home.file("Dbg"));
    writeFile(home.file("Kelvora.Ini"), kIni);
    Spawned p =
        spawn({"--headless", "--simulate", "--quiet", "--speed", "3600", "--home", home.path()},
              home.file("out"), home.file("err"), false);
    ASSERT_GT(p.pid, 0);
    std::string out;
    // Status answers from the first second; the other commands once the timers run.
    ASSERT_TRUE(eventually([&] {
        return ctl(home.path(), {"status"}, out) == kv::kCtlOk &&
               out.find("state: running") != std::string::npos;
    })) << readFile(home.file("err"));
    EXPECT_EQ(ctl(home.path(),
                  {"row", "new", "Fast", "cells=1-2", "tact=3", "interval=1h", "duration=2d"}, out),
              kv::kCtlOk)
        << out;
    EXPECT_EQ(ctl(home.path(), {"row", "start", "Fast"}, out), kv::kCtlOk) << out;
    // An hour of the program's time is a real second: hourly data lines arrive quickly,
    // and they carry the simulated times.
    std::string data;
    const auto dataLines = [&] {
        data.clear();
        for (const auto& e : std::filesystem::recursive_directory_iterator(home.path()))
            if (e.path().filename() == "KLVdata.1") data = readFile(e.path().string());
        return std::count(data.begin(), data.end(), '\n');
    };
    ASSERT_TRUE(eventually([&] { return dataLines() >= 4; })) << data;
    const double now = kv::RealClock().now();
    const auto lines = kv::split(data, '\n');
    const double last = kv::textToDateTime(kv::split(lines[lines.size() - 2], ';')[0]);
    EXPECT_GT(last, now + 2.0 / 24) << data;
    EXPECT_EQ(ctl(home.path(), {"quit"}, out), kv::kCtlOk);
    EXPECT_EQ(waitExit(p.pid), 0);
    bool said = false;
    for (const auto& e : std::filesystem::directory_iterator(home.file("Dbg")))
        said |= readFile(e.path().string()).find("The run is accelerated") != std::string::npos;
    EXPECT_TRUE(said);
    // Only the virtual lab can go faster.
    const Spawned bad = spawn({"--headless", "--speed", "10", "--home", home.path()},
                              home.file("out2"), home.file("err2"), false);
    EXPECT_EQ(waitExit(bad.pid), 2);
    EXPECT_NE(readFile(home.file("err2")).find("--speed needs --simulate"), std::string::npos);
}

TEST(ProgramConsole, SimulateNeedsConfiguredDevices) {
    TempDir home;
    const Spawned s = spawn({"--headless", "--simulate", "--home", home.path()}, home.file("out"),
                            home.file("err"), false);
    EXPECT_EQ(waitExit(s.pid), 2);
    EXPECT_NE(readFile(home.file("err")).find("lists no devices"), std::string::npos);
    std::string out;
    EXPECT_EQ(ctl(home.path(), {}, out), kv::kCtlError);  // no command
}
