// The native side of the Python package's benchmark (python_bench.py): a
// minute of stereo at 44000 Hz through each body, every channel a BodyFilter
// of its own from a clear state, both in one call, the work that the package's
// Body(...)(audio) hands to the kernels. Benchmarks are named by body number;
// each repetition is one such call, timed in CPU time as the Python side
// times them, so that other work on a shared machine counts for little.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "body_filter.h"
#include "kernels.h"
#include "noise.h"

namespace {

constexpr int32_t kFrames = 60 * 44000;
constexpr int kChannels = 2;

void stereoMinute(benchmark::State& state, int32_t type) {
    const std::vector<float> input = noise(size_t{kChannels} * kFrames);
    std::vector<float> output(input.size());
    const std::array<const float*, kChannels> inputs{input.data(), input.data() + kFrames};
    const std::array<float*, kChannels> outputs{output.data(), output.data() + kFrames};
    for (auto _ : state) {
        std::array<velmora::BodyFilter, kChannels> filters;
        for (velmora::BodyFilter& filter : filters)
            filter.open(type);
        velmora::BodyFilter::processChannels(filters, type, inputs.data(), outputs.data(), kFrames);
        benchmark::ClobberMemory();
    }
    state.counters["samples/s"] = benchmark::Counter(
        static_cast<double>(kChannels) * kFrames * static_cast<double>(state.iterations()),
        benchmark::Counter::kIsRate);
}

}  // namespace

int main(int argc, char** argv) {
    for (int32_t type = 0; type < velmora::kTypeCount; ++type) {
        benchmark::RegisterBenchmark(("stereo60s/" + std::to_string(type)).c_str(), stereoMinute,
                                     type)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(1)
            ->Repetitions(12);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
