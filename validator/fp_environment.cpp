#include "fp_environment.h"

#include <cstdio>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#define VELMORA_X86 1
#endif

namespace velmora::validate {

namespace {

// Bits 6 to 15: denormals are zero, the exception masks, rounding, flush to zero.
constexpr uint32_t kMxcsrControl = 0xFFC0;

std::string hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
    return text;
}

std::string mxcsrMeaning(uint32_t before, uint32_t after) {
    const uint32_t changed = before ^ after;
    std::string meaning;
    auto add = [&](const char* text) {
        meaning += (meaning.empty() ? "" : ", ") + std::string(text);
    };
    if ((changed & 0x8000) != 0)
        add((after & 0x8000) != 0 ? "flush to zero on" : "flush to zero off");
    if ((changed & 0x0040) != 0) {
        add((after & 0x0040) != 0 ? "denormals are zero on" : "denormals are zero off");
    }
    if ((changed & 0x6000) != 0) add("rounding mode");
    if ((changed & 0x1F80) != 0) add("exception masks");
    return meaning;
}

}  // namespace

FpControl readFpControl() {
    FpControl control;
#if VELMORA_X86
    control.mxcsr = _mm_getcsr() & kMxcsrControl;
    asm volatile("fnstcw %0" : "=m"(control.x87));
#endif
    return control;
}

void writeFpControl(const FpControl& control) {
#if VELMORA_X86
    // The status flags are kept; only the control bits are put back.
    _mm_setcsr((_mm_getcsr() & ~kMxcsrControl) | control.mxcsr);
    asm volatile("fldcw %0" : : "m"(control.x87));
#else
    (void)control;
#endif
}

std::string describeChange(const FpControl& before, const FpControl& after) {
    std::string text;
    if (before.mxcsr != after.mxcsr) {
        text = "MXCSR " + hex(before.mxcsr, 4) + " -> " + hex(after.mxcsr, 4) + " (" +
               mxcsrMeaning(before.mxcsr, after.mxcsr) + ")";
    }
    if (before.x87 != after.x87) {
        if (!text.empty()) text += ", ";
        text += "x87 control word " + hex(before.x87, 4) + " -> " + hex(after.x87, 4);
    }
    return text;
}

void FpWatch::after(const char* what, const FpControl& before) {
    ++callCount;
    const FpControl now = readFpControl();
    if (now == before) return;
    ++changeCount;
    if (changes.size() < 8)
        changes.push_back(std::string(what) + " changed " + describeChange(before, now));
    writeFpControl(before);
}

std::vector<std::string> FpWatch::takeChanges() {
    std::vector<std::string> taken;
    taken.swap(changes);
    return taken;
}

}  // namespace velmora::validate
