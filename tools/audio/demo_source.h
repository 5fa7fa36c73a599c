// A bowed-string-like test signal, made here so the demo needs no recording.
#pragma once

#include <vector>

namespace velmora::tool {

// Two bowed notes, each a sawtooth band-limited below Nyquist with a slow
// attack, vibrato and a short burst of noise where the bow bites; mono,
// peaking near full scale. The same samples on every run.
std::vector<float> bowedString(double sampleRate);

}  // namespace velmora::tool
