#include "tool_harness.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>

#include "instance.h"
#include "module_library.h"

extern char** environ;

namespace velmora::test {

int lineCount(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<float> testSignal(int channels, int frames, float level) {
    std::vector<float> samples(static_cast<size_t>(channels * frames));
    uint32_t noise = 12345;
    for (int i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c) {
            noise = noise * 1664525u + 1013904223u;
            const float random = static_cast<float>(noise >> 8) / 16777216.0f - 0.5f;
            const float tone = std::sin(0.01f * (c + 1) * i);
            samples[static_cast<size_t>(i * channels + c)] =
                level * (c % 2 == 0 ? random : tone) / (c + 1);
        }
    }
    return samples;
}

void Tool::SetUp() {
    // A program that stops reading what a test feeds it fails that run only.
    signal(SIGPIPE, SIG_IGN);
    std::string pattern = (fs::temp_directory_path() / "velmora-test.XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder = pattern;
}

void Tool::TearDown() {
    fs::remove_all(folder);
}

Outcome Tool::velmora(const std::vector<std::string>& args, const char* path,
                      const std::string& program) {
    Launch launch;
    launch.path = path;
    launch.program = program;
    return velmora(args, launch);
}

Outcome Tool::velmora(const std::vector<std::string>& args, const Launch& launch) {
    Running run = start(args, launch);
    return finish(run);
}

Running Tool::start(const std::vector<std::string>& args, const Launch& launch) {
    std::vector<std::string> words = {launch.program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    std::vector<std::string> variables;
    for (char** e = environ; *e != nullptr; ++e) {
        if (launch.path == nullptr || std::string(*e).rfind("PATH=", 0) != 0) {
            variables.push_back(*e);
        }
    }
    if (launch.path != nullptr) variables.push_back(std::string("PATH=") + launch.path);
    variables.insert(variables.end(), launch.environment.begin(), launch.environment.end());
    std::vector<char*> envp;
    for (auto& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);

    // Standard output and error go to files outside the folder, which the
    // program's listing of the folder must not see.
    Running run;
    char outName[] = "/tmp/velmora-out.XXXXXX";
    char errName[] = "/tmp/velmora-err.XXXXXX";
    run.outFile = mkstemp(outName);
    run.errFile = mkstemp(errName);
    run.outName = outName;
    run.errName = errName;
    run.stdoutPipe = launch.stdoutPipe;
    int outPipe[2] = {-1, -1};
    int inPipe[2] = {-1, -1};
    if (launch.stdoutPipe && pipe(outPipe) != 0) ADD_FAILURE() << "no pipe";
    if (launch.input && pipe(inPipe) != 0) ADD_FAILURE() << "no pipe";
    const int stdoutFd = launch.stdoutPipe      ? outPipe[1]
                         : launch.outputFd >= 0 ? launch.outputFd
                                                : run.outFile;
    const int stdinFd = launch.input ? inPipe[0] : launch.inputFd;

    // Only async-signal-safe calls between fork and exec.
    run.pid = fork();
    if (run.pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(126);
        // As a shell starts it: a broken pipe is the program's to handle.
        signal(SIGPIPE, SIG_DFL);
        dup2(stdoutFd, STDOUT_FILENO);
        dup2(launch.errorFd >= 0 ? launch.errorFd : run.errFile, STDERR_FILENO);
        if (stdinFd >= 0) dup2(stdinFd, STDIN_FILENO);
        for (const int fd : {outPipe[0], outPipe[1], inPipe[0], inPipe[1]}) {
            if (fd >= 0) close(fd);
        }
        if (launch.user != static_cast<uid_t>(-1)) {
            if (setgroups(0, nullptr) != 0 || setgid(launch.user) != 0 ||
                setuid(launch.user) != 0) {
                _exit(126);
            }
        }
        execve(launch.program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    if (launch.stdoutPipe) {
        close(outPipe[1]);
        run.fromStdout = outPipe[0];
    }
    if (launch.input) {
        close(inPipe[0]);
        run.feeder = std::thread([fd = inPipe[1], bytes = *launch.input] {
            for (size_t done = 0; done < bytes.size();) {
                const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
                if (put < 0 && errno == EINTR) continue;
                if (put < 0) break;  // the program stopped reading
                done += static_cast<size_t>(put);
            }
            close(fd);
        });
    }
    return run;
}

Outcome Tool::finish(Running& run) {
    Outcome outcome;
    if (run.fromStdout >= 0) {
        char buffer[65536];
        for (ssize_t got; (got = read(run.fromStdout, buffer, sizeof buffer)) != 0;) {
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) break;
            outcome.out.append(buffer, static_cast<size_t>(got));
        }
        close(run.fromStdout);
    }
    int status = 0;
    waitpid(run.pid, &status, 0);
    if (run.feeder.joinable()) run.feeder.join();
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (!run.stdoutPipe) outcome.out = readText(run.outName);
    outcome.err = readText(run.errName);
    close(run.outFile);
    close(run.errFile);
    unlink(run.outName.c_str());
    unlink(run.errName.c_str());
    return outcome;
}

// Opened, given the type and an active input: nothing has played since open,
// so the type's body starts from a clear state, with nothing to fade from.
std::vector<float> Tool::reference(const std::vector<float>& input, float rate, int16_t type,
                                   int32_t blockFrames) {
    std::string error;
    static auto library = velmora::host::ModuleLibrary::load(VELMORA_MODULE_FILE, error);
    EXPECT_NE(library, nullptr) << error;
    velmora::host::Instance host(*library);
    EXPECT_TRUE(host.create(error)) << error;
    host.open();
    host.setSampleRate(rate);
    host.setBlockSize(blockFrames);
    host.setEnum(1, type);
    host.sendPinStatus(0, 2);
    std::vector<float> output(input.size());
    host.run(input.data(), output.data(), static_cast<int32_t>(input.size()), blockFrames);
    return output;
}

std::vector<std::string> Tool::filesHere() const {
    return filesIn(folder);
}

std::vector<std::string> Tool::filesIn(const fs::path& where) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(where)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace velmora::test
