#include "crash_guard.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define VELMORA_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELMORA_SANITIZED 1
#endif

namespace velmora::validate {

namespace {

const char* volatile running = "setup";

// Only what is safe in a signal handler: fixed buffers and one write.
void report(const char* what) {
    char line[256];
    std::snprintf(line, sizeof line, "  FAIL  %-15s crashed: %s\n", running, what);
#if defined(_WIN32)
    std::fputs(line, stdout);
    std::fflush(stdout);
#else
    const ssize_t ignored = write(STDOUT_FILENO, line, std::strlen(line));
    (void)ignored;
#endif
}

#if defined(_WIN32)
LONG WINAPI onCrash(EXCEPTION_POINTERS* info) {
    char what[64];
    std::snprintf(what, sizeof what, "exception 0x%08lX",
                  static_cast<unsigned long>(info->ExceptionRecord->ExceptionCode));
    report(what);
    return EXCEPTION_EXECUTE_HANDLER;
}
#else
extern "C" void onCrash(int signal) {
    report(strsignal(signal));
    // Die of the same signal, so the exit status tells what happened.
    ::signal(signal, SIG_DFL);
    raise(signal);
}
#endif

}  // namespace

void installCrashGuard() {
#if !defined(VELMORA_SANITIZED)
#if defined(_WIN32)
    SetUnhandledExceptionFilter(onCrash);
#else
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
        ::signal(signal, onCrash);
    }
#endif
#endif
}

void setRunningCheck(const char* name) {
    running = name;
}

}  // namespace velmora::validate
