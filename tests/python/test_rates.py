"""Every body true to itself at any sample rate: what plays at a rate,
measured from its impulse response, against the body's 44000 Hz response
worked out from the tables the bodies are described by (independently of
the kernels), 1/6-octave smoothed where the body is within 40 dB of its
peak; and the fixed tuning, which is the module's at any rate."""

import os
import sys

import numpy as np
import pytest

import velmora
from conftest import assert_same_bits, noise

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "kernels", "design"))
import bodies as described  # noqa: E402

# rate: (largest error in dB, highest frequency judged)
TOLERANCES = {
    22050: (1.0, 8000),
    32000: (1.0, 18000),
    44100: (0.1, 18000),
    48000: (0.1, 18000),
    88200: (0.5, 18000),
    96000: (0.5, 18000),
    176400: (1.5, 18000),
    192000: (1.5, 18000),
}
SIXTH = 2 ** (1 / 12)  # half of a sixth of an octave


def band_levels_db(power, bins, centres):
    """Mean of `power` (at the evenly spaced `bins`) over each 1/6-octave band
    around `centres`, in dB."""
    total = np.concatenate([[0.0], np.cumsum(power)])
    lo, hi = np.searchsorted(bins, centres / SIXTH), np.searchsorted(bins, centres * SIXTH)
    return 10 * np.log10(np.maximum((total[hi] - total[lo]) / (hi - lo), 1e-300))


def test_the_description_is_the_module_s_tables():
    """The tables the test judges by are those the module plays at 44000 Hz."""
    hz = np.geomspace(20, 21000, 500)
    for body in described.BODIES:
        module = velmora.Body(body["number"], tuning="fixed").frequency_response(hz, 44000)
        np.testing.assert_allclose(described.response(body, hz), module, rtol=1e-9)


@pytest.mark.parametrize("rate", sorted(TOLERANCES))
def test_every_body_sounds_as_at_44000_hz(rate):
    tolerance, highest = TOLERANCES[rate]
    frames = 1 << int(np.ceil(np.log2(3 * rate)))
    top = min(highest, 0.45 * rate)
    centres = np.geomspace(40, top, 240)
    bins = np.fft.rfftfreq(frames, 1 / rate)
    failures, worst = [], {}
    for body in described.BODIES:
        played = velmora.Body(body["number"])
        power = np.abs(np.fft.rfft(played.impulse_response(frames, rate).astype(np.float64))) ** 2
        # The tables' response on the same bins, smoothed the same way.
        near = bins[: np.searchsorted(bins, top * SIXTH) + 1]
        want = band_levels_db(np.abs(described.response(body, near)) ** 2, near, centres)
        got = band_levels_db(power[: len(near)], near, centres)
        judged = want > want.max() - 40
        error = np.abs(got - want)[judged].max()
        worst[body["name"]] = error

        # The strongest peak, worked out from what plays, against the tables'.
        fine = np.geomspace(40, top, 20000)
        peak_want = refine(lambda f: abs(described.response(body, f)), fine)
        peak_got = refine(lambda f: abs(played.frequency_response(f, rate)), fine)
        cents = 1200 * abs(np.log2(peak_got / peak_want))
        if error > tolerance or cents > 2:
            failures.append(f"{body['name']}: {error:.3f} dB, peak {cents:.2f} cents")
    print(f"{rate} Hz: " + ", ".join(f"{name} {e:.3f}" for name, e in worst.items()))
    assert not failures, f"at {rate} Hz: " + "; ".join(failures)


def refine(magnitude, grid):
    """The frequency of the largest magnitude, to a millionth of itself."""
    values = magnitude(grid)
    i = int(np.argmax(values))
    lo, hi = grid[max(i - 1, 0)], grid[min(i + 1, len(grid) - 1)]
    for _ in range(60):
        a, b = lo + (hi - lo) / 3, hi - (hi - lo) / 3
        if magnitude(np.array([a]))[0] < magnitude(np.array([b]))[0]:
            lo = a
        else:
            hi = b
    return (lo + hi) / 2


@pytest.mark.parametrize("rate", [22050, 48000, 96000])
def test_fixed_is_the_module_at_any_rate(rate, reference):
    signal = noise((2, 4000), seed=rate)
    for body in (1, 11, 13, 16):
        assert_same_bits(velmora.Body(body, tuning="fixed")(signal, rate), reference(body, signal))


def test_true_at_44000_hz_is_the_module(reference):
    signal = noise(3000, seed=5)
    assert_same_bits(velmora.Body("Oboe II")(signal, 44000), reference(13, signal))


def test_a_stream_keeps_one_rate():
    body = velmora.Body("viola1")
    body.process(np.zeros(100, dtype=np.float32), 48000)
    with pytest.raises(ValueError, match="48000 Hz"):
        body.process(np.zeros(100, dtype=np.float32), 96000)
    assert body.process(np.zeros(100, dtype=np.float32), 96000, reset=True).shape == (100,)


def test_tuning_is_true_or_fixed():
    assert velmora.Body(1).tuning == "true"
    assert repr(velmora.Body(8, tuning="fixed")) == "velmora.Body('Cello I', tuning='fixed')"
    with pytest.raises(ValueError, match="tuning"):
        velmora.Body(1, tuning="retune")
