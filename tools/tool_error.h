// How commands fail: by throwing an Error, which main reports in one line.
#pragma once

#include <stdexcept>
#include <string>

namespace velmora::tool {

struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Ends a command that has already printed why, with this exit status.
struct ExitStatus {
    int status;
};

// After an interrupt (SIGINT, SIGTERM) the next check throws, so that the
// staged files unwind and remove themselves instead of being left half-written.
void installInterruptHandler();
void checkInterrupted();

// A note to the user on stderr that does not stop the command.
void note(const std::string& text);

}  // namespace velmora::tool
