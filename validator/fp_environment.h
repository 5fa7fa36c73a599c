// The floating-point control state a module must leave as it found it: the
// SSE control and status register's control bits and, on x86, the x87 control
// word (which 32-bit code still uses for its return values).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::validate {

struct FpControl {
    uint32_t mxcsr = 0;  // control bits only: the exception flags are sticky status
    uint16_t x87 = 0;

    friend bool operator==(const FpControl&, const FpControl&) = default;
};

FpControl readFpControl();
void writeFpControl(const FpControl& control);
// How two states differ, for a report: "MXCSR 0x1F80 -> 0x9FC0 (flush to zero, ...)".
std::string describeChange(const FpControl& before, const FpControl& after);

// Watches every call into the module: the control state before and after
// each must be the same. A change is recorded and undone, so that one
// faulty call does not colour the rest of the run.
class FpWatch {
  public:
    template <class Call>
    auto around(const char* what, Call&& call) {
        const FpControl before = readFpControl();
        struct Check {
            FpWatch& watch;
            const char* what;
            FpControl before;
            ~Check() { watch.after(what, before); }
        } check{*this, what, before};
        return call();
    }

    int64_t calls() const { return callCount; }
    // Changes since the last take, one line each.
    std::vector<std::string> takeChanges();
    int64_t totalChanges() const { return changeCount; }

  private:
    void after(const char* what, const FpControl& before);

    int64_t callCount = 0;
    int64_t changeCount = 0;
    std::vector<std::string> changes;
};

}  // namespace velmora::validate
