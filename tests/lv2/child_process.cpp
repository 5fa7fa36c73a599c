#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

extern char** environ;

namespace velmora::test {

namespace {

std::vector<char*> pointers(std::vector<std::string>& words) {
    std::vector<char*> list;
    for (auto& word : words)
        list.push_back(word.data());
    list.push_back(nullptr);
    return list;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv,
                           const std::map<std::string, std::string>& environment,
                           const std::string& logFile, bool keepInputOpen) {
    std::vector<std::string> words = argv;
    std::vector<std::string> variables;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string variable = *e;
        if (environment.count(variable.substr(0, variable.find('='))) == 0) {
            variables.push_back(variable);
        }
    }
    for (const auto& [name, value] : environment)
        variables.push_back(name + "=" + value);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int pipeEnds[2] = {-1, -1};
    if (keepInputOpen && pipe2(pipeEnds, O_CLOEXEC) == 0) {
        posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], 0);
        input = pipeEnds[1];
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);

    auto args = pointers(words);
    auto envp = pointers(variables);
    if (posix_spawnp(&pid, words[0].c_str(), &actions, &attributes, args.data(), envp.data()) !=
        0) {
        pid = -1;
    }
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeEnds[0] >= 0) close(pipeEnds[0]);
}

ChildProcess::~ChildProcess() {
    closeInput();
    if (pid > 0 && status < 0) stop();
}

void ChildProcess::closeInput() {
    if (input >= 0) close(input);
    input = -1;
}

int ChildProcess::wait(std::chrono::milliseconds limit) {
    if (pid <= 0 || status >= 0) return status;
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int raw = 0;
        if (waitpid(pid, &raw, WNOHANG) == pid) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            return status;
        }
        if (std::chrono::steady_clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void ChildProcess::stop(std::chrono::milliseconds grace) {
    if (pid <= 0 || status >= 0) return;
    kill(-pid, SIGTERM);
    if (wait(grace) >= 0) return;
    kill(-pid, SIGKILL);
    wait(std::chrono::milliseconds(5000));
}

int runProgram(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& environment, std::string& log,
               std::chrono::milliseconds limit) {
    const std::filesystem::path logFile = std::filesystem::temp_directory_path() /
                                          ("velmora-lv2-run-" + std::to_string(getpid()) + ".log");
    int status = -1;
    {
        ChildProcess child(argv, environment, logFile.string());
        if (!child.started()) {
            log = "cannot start " + argv[0];
            return -1;
        }
        status = child.wait(limit);
    }
    std::ifstream in(logFile, std::ios::binary);
    log.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::filesystem::remove(logFile);
    return status;
}

}  // namespace velmora::test
