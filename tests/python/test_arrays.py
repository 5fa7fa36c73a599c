"""What Body() accepts and gives back: shapes, layouts, dtypes, refusals,
and the bodies by number and by name."""

import subprocess
import sys

import numpy as np
import pytest

import velmora
from conftest import assert_same_bits, noise

CELLO = velmora.Body("Cello I")


def test_channels_are_independent_and_the_input_untouched():
    stereo = noise((2, 4000))
    before = stereo.copy()
    out = CELLO(stereo, 44000)
    assert_same_bits(stereo, before)
    for row in range(2):
        assert_same_bits(out[row], CELLO(stereo[row], 44000))
    louder = stereo.copy()
    louder[1] *= 3
    assert_same_bits(CELLO(louder, 44000)[0], out[0])

    stereo.flags.writeable = False
    assert_same_bits(CELLO(stereo, 44000), out)


def test_every_layout_gives_the_bits_of_a_plain_array():
    signal = noise((2, 3000))
    expected = CELLO(signal, 44000)
    wide = np.zeros((4, 9000), dtype=np.float32)
    wide[::2, ::3] = signal
    unaligned = np.frombuffer(b"\0" + signal.tobytes(), dtype=np.float32, offset=1)
    layouts = {
        "Fortran order": np.asfortranarray(signal),
        "strided": wide[::2, ::3],
        "big-endian": signal.astype(">f4"),
        "unaligned": unaligned.reshape(2, 3000),
    }
    for name, layout in layouts.items():
        assert_same_bits(CELLO(layout, 44000), expected), name
    backwards = signal[:, ::-1]
    assert_same_bits(CELLO(backwards, 44000), CELLO(backwards.copy(), 44000))
    both = np.broadcast_to(signal[0], (2, 3000))
    assert_same_bits(CELLO(both, 44000), np.stack([expected[0], expected[0]]))
    # The result is a plain array of its own.
    fortran = layouts["Fortran order"]
    out = CELLO(fortran, 44000)
    assert out.flags.c_contiguous and out.flags.writeable
    assert not np.shares_memory(out, fortran)


@pytest.mark.parametrize("shape", [(0,), (2, 0), (0, 5), (0, 0)])
def test_empty_input_gives_empty_output(shape):
    out = CELLO(np.zeros(shape, dtype=np.float32), 44000)
    assert out.shape == shape and out.dtype == np.float32


def test_other_real_input_is_converted_to_float32_first():
    signal = np.random.default_rng(3).uniform(-1, 1, 2000)
    expected = CELLO(signal.astype(np.float32), 44000)
    assert_same_bits(CELLO(signal, 44000), expected)
    assert_same_bits(CELLO(list(signal), 44000), expected)
    pcm = (signal * 32767).astype(np.int16)
    assert_same_bits(CELLO(pcm, 44000), CELLO(pcm.astype(np.float32), 44000))
    octets = pcm.astype(np.uint8)
    assert_same_bits(CELLO(octets, 44000), CELLO(octets.astype(np.float32), 44000))
    half = signal.astype(np.float16)
    assert_same_bits(CELLO(half, 44000), CELLO(half.astype(np.float32), 44000))


@pytest.mark.parametrize(
    "audio, error, words",
    [
        (np.ones(8, dtype=np.complex64), TypeError, "complex"),
        (np.ones((2, 2, 8), dtype=np.float32), ValueError, "(channels, frames)"),
        (np.float32(1.0), ValueError, "(frames,)"),
        (np.array([1.0, None, 2.0], dtype=object), TypeError, "objects"),
        (["a", "b"], TypeError, "real numbers"),
        (np.ones(8, dtype=bool), TypeError, "real numbers"),
    ],
)
def test_what_is_not_audio_is_refused_with_what_was_expected(audio, error, words):
    with pytest.raises(error) as raised:
        CELLO(audio, 44000)
    assert words in str(raised.value)
    with pytest.raises(error):
        velmora.Body(1).process(audio, 44000)


@pytest.mark.parametrize("rate, error", [(0, ValueError), (-44100, ValueError),
                                         (float("nan"), ValueError), (float("inf"), ValueError),
                                         ("44100", TypeError), (None, TypeError), (True, TypeError)])
def test_a_sample_rate_must_be_a_positive_number(rate, error):
    with pytest.raises(error, match="sample_rate"):
        CELLO(np.zeros(4, dtype=np.float32), rate)


def test_bodies_lists_every_body_with_the_pass_filter_first():
    listed = velmora.bodies()
    assert len(listed) == 17
    assert listed[0] == (0, "Pass filter")
    assert listed[8] == (8, "Cello I") and listed[13] == (13, "Oboe II")
    assert [number for number, _ in listed] == list(range(17))
    for number, name in listed:
        body = velmora.Body(name)
        assert (body.body, body.name) == (number, name)


def test_bodies_are_found_by_number_or_loosely_by_name():
    same = {
        8: ["cello1", "Cello I", "CELLO-1", 8, "8", np.int16(8)],
        15: ["cor-anglais-2", "cor anglais ii", 15],
        0: ["pass", "Pass filter", 0],
        11: ["contra", "Contrabass"],
        16: ["symp"],
    }
    for number, names in same.items():
        for name in names:
            assert velmora.Body(name).body == number, name
    assert repr(velmora.Body("cello1")) == "velmora.Body('Cello I')"


def test_a_body_that_is_not_there_is_refused_with_the_choices():
    with pytest.raises(ValueError, match="could be Violin I, Violin II or Violin III"):
        velmora.Body("violin")
    with pytest.raises(ValueError, match="no body called \"kazoo\"; the bodies are 0 Pass filter"):
        velmora.Body("kazoo")
    for number in (17, -1):
        with pytest.raises(ValueError, match=f"no body numbered {number}"):
            velmora.Body(number)
    for wrong in (8.0, True, None):
        with pytest.raises(TypeError, match="number or a name"):
            velmora.Body(wrong)
    body = velmora.Body(1)
    with pytest.raises(ValueError):
        body.body = "kazoo"
    assert body.body == 1


def test_every_name_says_what_it_does():
    names = [velmora, velmora.bodies, velmora.Body]
    names += [getattr(velmora.Body, name) for name in dir(velmora.Body) if not name.startswith("_")]
    names.append(velmora.Body.__call__)
    for name in names:
        assert name.__doc__ and len(name.__doc__.split()) >= 8, name


def test_channels_last_takes_and_gives_soundfiles_layout():
    stereo = noise((2, 3000))
    expected = CELLO(stereo, 44000)
    assert_same_bits(CELLO(stereo.T, 44000, channels_last=True), expected.T)
    with pytest.raises(ValueError, match=r"takes channels_last=True \(or pass audio.T\)"):
        CELLO(stereo.T, 44000)
    assert CELLO(stereo.T, 44000, channels_last=False).shape == (3000, 2)
    stream = velmora.Body("Cello I")
    chunks = [stereo.T[a : a + 700] for a in range(0, 3000, 700)]
    parts = [stream.process(chunk, 44000, channels_last=True) for chunk in chunks]
    assert_same_bits(np.concatenate(parts), expected.T)
    with pytest.raises(TypeError, match="channels_last must be None, True or False"):
        CELLO(stereo, 44000, channels_last="yes")


def test_an_empty_signal_costs_nothing():
    # Peak memory of a fresh interpreter, with and without a million empty channels.
    def peak_kib(work):
        script = (
            "import resource, numpy as np, velmora\n"
            f"{work}\n"
            "print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)"
        )
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, check=True)
        return int(run.stdout)

    empty = "np.zeros((10**6, 0), np.float32)"
    work = f"velmora.Body(1)({empty}, 44000); velmora.Body(1).process({empty}, 44000)"
    assert peak_kib(work) - peak_kib("") < 20_000


def test_one_frequency_gives_a_0_d_answer_and_absurd_rates_are_value_errors():
    single = CELLO.frequency_response(100.0, 44000)
    assert single.shape == ()
    assert single == CELLO.frequency_response([100.0], 44000)[0]
    for rate in (10**400, -(10**400), float("nan")):
        with pytest.raises(ValueError, match="sample_rate must be a positive number of Hz"):
            CELLO(np.zeros(4), rate)
