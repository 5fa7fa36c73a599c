// Programs run the way a person runs them, each in a process group of its own
// so that nothing it starts outlives the test: a run is bounded in time, and
// a process still running when its object goes is killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace velmora::test {

class ChildProcess {
  public:
    // Starts `argv` with the test's environment plus `environment`, its
    // standard output and error going to `logFile`. With `keepInputOpen` its
    // standard input is a pipe held open until closeInput(); otherwise it
    // reads nothing.
    ChildProcess(const std::vector<std::string>& argv,
                 const std::map<std::string, std::string>& environment, const std::string& logFile,
                 bool keepInputOpen = false);
    ~ChildProcess();  // kills the process group if it is still running
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid > 0; }
    void closeInput();
    // The exit status once the process has ended within `limit`, else -1
    // (the process is left running). A process killed by a signal gives 128
    // plus the signal's number.
    int wait(std::chrono::milliseconds limit);
    // SIGTERM, then SIGKILL if it has not ended within `grace`.
    void stop(std::chrono::milliseconds grace = std::chrono::milliseconds(3000));

  private:
    pid_t pid = -1;
    int input = -1;
    int status = -1;
};

// Runs a program to its end, or kills it after `limit`; answers its exit
// status (-1 if it had to be killed) and leaves its output in `log`.
int runProgram(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& environment, std::string& log,
               std::chrono::milliseconds limit = std::chrono::milliseconds(60000));

}  // namespace velmora::test
