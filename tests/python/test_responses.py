"""The impulse and frequency responses: the worked-out transfer function
against an FFT of what the kernels actually play."""

import numpy as np
import pytest

import velmora
from conftest import assert_same_bits


@pytest.mark.parametrize("body", range(17))
def test_the_frequency_response_is_the_fft_of_the_impulse_response(body):
    frames, rate = 1 << 17, 48000.0
    impulse = velmora.Body(body).impulse_response(frames, rate)
    measured = np.fft.rfft(impulse.astype(np.float64))
    frequencies = np.fft.rfftfreq(frames, 1 / rate)
    worked_out = velmora.Body(body).frequency_response(frequencies, rate)
    assert worked_out.dtype == np.complex128
    peak = np.abs(worked_out).max()
    assert np.abs(worked_out - measured).max() < 1e-5 * peak


def test_the_impulse_response_is_the_body_on_an_impulse():
    body = velmora.Body("oboe1")
    impulse = np.zeros(64, dtype=np.float32)
    impulse[0] = 1
    assert_same_bits(body.impulse_response(64, 44000), body(impulse, 44000))
    assert body.impulse_response(0, 44000).shape == (0,)
    with pytest.raises(ValueError):
        body.impulse_response(-1, 44000)


def test_fixed_frequencies_move_with_the_rate_and_keep_their_shape():
    body = velmora.Body("oboe1", tuning="fixed")
    peak_at_44k = abs(body.frequency_response(1346.37, 44000))
    assert peak_at_44k == pytest.approx(9.9732, abs=1e-4)
    assert abs(body.frequency_response(1346.37 * 2, 88000)) == pytest.approx(peak_at_44k)
    grid = np.linspace(0, 22000, 12).reshape(3, 4)
    assert body.frequency_response(grid, 44000).shape == (3, 4)
    with pytest.raises(TypeError):
        body.frequency_response([1j], 44000)
