// How commands fail: by throwing an Error, which main reports in one line.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace velmora::tool {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A command line that cannot work as given (a missing or conflicting
// option): exit status 2, where a failure of the work itself is 1.
struct UsageError : Error {
    using Error::Error;
};

// Ends a command that has already printed why, with this exit status.
struct ExitStatus {
    int status;
};

// After an interrupt (SIGINT, SIGTERM) the next check throws, so that the
// staged files unwind and remove themselves instead of being left half-written.
// The handlers do not restart system calls: a wait on a terminal, pipe or
// FIFO ends with EINTR, and the code around it checks. A broken pipe is an
// error (EPIPE) rather than a silent end.
void installInterruptHandler();
void checkInterrupted();
bool interrupted();
// The signal that interrupted the program, or 0.
int interruptingSignal();

// A note to the user on stderr that does not stop the command; on a thread
// that collects its notes (NoteCollector), kept for the caller instead.
void note(const std::string& text);

// Items as a message names them: "a, b or c" with `conjunction` "or".
std::string listOf(const std::vector<std::string>& items, const std::string& conjunction);

// While alive, this thread's notes go into `notes` rather than to stderr, so
// that work done on several threads reports in order, per job.
class NoteCollector {
  public:
    explicit NoteCollector(std::vector<std::string>& notes);
    ~NoteCollector();
    NoteCollector(const NoteCollector&) = delete;
    NoteCollector& operator=(const NoteCollector&) = delete;

  private:
    std::vector<std::string>* previous;
};

}  // namespace velmora::tool
