#include "common/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace kv {

namespace {

std::string envName(const std::string& entry) {
    return entry.substr(0, entry.find('='));
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
    for (const auto& n : names)
        if (n == name) return true;
    return false;
}

}  // namespace

std::vector<std::string> spawnEnvironment(const SpawnOptions& options) {
    std::vector<std::string> names = options.unsetEnv;
    for (const auto& e : options.setEnv) names.push_back(envName(e));
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string entry = *e;
        if (!contains(names, envName(entry))) env.push_back(entry);
    }
    env.insert(env.end(), options.setEnv.begin(), options.setEnv.end());
    return env;
}

pid_t spawnProcess(const SpawnOptions& options, std::string& error) {
    if (options.argv.empty()) {
        error = "no program";
        return -1;
    }
    std::vector<std::string> args = options.argv;
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings = spawnEnvironment(options);
    std::vector<char*> env;
    for (auto& e : envStrings) env.push_back(e.data());
    env.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (options.stdoutToStderr) posix_spawn_file_actions_adddup2(&fa, STDERR_FILENO, STDOUT_FILENO);
    // Nothing of the program's own files (logs, sockets, the instance lock) reaches the child.
    posix_spawn_file_actions_addclosefrom_np(&fa, 3);
    if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, options.cwd.c_str());

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    sigset_t none, defaults;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGCHLD})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    if (options.group == SpawnOptions::Group::Own) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attr, 0);
    } else if (options.group == SpawnOptions::Group::Session) {
        flags |= POSIX_SPAWN_SETSID;
    }
    posix_spawnattr_setflags(&attr, flags);

    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &fa, &attr, argv.data(), env.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        error = std::strerror(rc);
        return -1;
    }
    return pid;
}

}  // namespace kv
