"""Samples per second of the Python package's Body(...)(audio) on a minute of
stereo at 44000 Hz, against the native kernels doing the same work
(channels_bench), both measured in one run; the difference is what the
binding costs.

    PYTHONPATH=build/native/python /usr/bin/python3 bench/python_bench.py build/native

`./build.sh bench` runs it after the kernel benchmark. Both sides count the
CPU time of the thread that filters, and each figure is the best of several
runs, so that whatever else the machine does disturbs them little.
"""

import json
import subprocess
import sys
import time

import numpy as np

import velmora

FRAMES = 60 * 44000
CHANNELS = 2
PYTHON_RUNS = 12  # as many as channels_bench's repetitions
ROUNDS = 3  # native and Python in turn, so that both meet the machine alike


def native_rate(build, number):
    """Samples per CPU second of channels_bench for one body: best repetition."""
    result = subprocess.run(
        [f"{build}/channels_bench", "--benchmark_format=json",
         f"--benchmark_filter=^stereo60s/{number}/"],
        check=True, capture_output=True, text=True,
    )
    runs = json.loads(result.stdout)["benchmarks"]
    return max(run["samples/s"] for run in runs if run.get("run_type") == "iteration")


def python_rate(body, audio):
    """Samples per CPU second of body(audio, 44000): best of several calls."""
    best = float("inf")
    for _ in range(PYTHON_RUNS):
        start = time.thread_time()
        body(audio, 44000)
        best = min(best, time.thread_time() - start)
    return audio.size / best


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build/native"
    audio = np.random.default_rng(1).uniform(-0.5, 0.5, (CHANNELS, FRAMES)).astype(np.float32)
    print(f"A minute of stereo at 44000 Hz ({audio.size} samples), Msamples/s, best runs")
    print(f"{'body':<16} {'native':>8} {'Python':>8} {'binding cost':>13}")
    costs = []
    for number, name in velmora.bodies():
        theirs = ours = 0.0
        for _ in range(ROUNDS):
            theirs = max(theirs, native_rate(build, number))
            ours = max(ours, python_rate(velmora.Body(number), audio))
        cost = theirs / ours - 1
        costs.append(cost)
        print(f"{number:2} {name:<13} {theirs / 1e6:8.1f} {ours / 1e6:8.1f} {100 * cost:+12.1f}%")
    print(f"binding cost: median {100 * np.median(costs):+.1f}%, largest {100 * max(costs):+.1f}%")


if __name__ == "__main__":
    main()
