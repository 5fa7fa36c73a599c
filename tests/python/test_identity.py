"""The package gives the module's bits: Module.so driven by the reference
host, and `velmora render --float`, for every body; and at other rates the
tool's bits, tuned true or fixed."""

import struct
import subprocess
import wave

import numpy as np
import pytest

import reference_host
import velmora
from conftest import assert_same_bits, noise

BODIES = [number for number, _ in velmora.bodies()]


@pytest.mark.parametrize("body", BODIES)
def test_whole_signals_match_the_module(body, reference):
    stereo = noise((2, 6000), seed=body)
    assert_same_bits(velmora.Body(body)(stereo, 44000), reference(body, stereo))
    mono = noise(3001, seed=100 + body)
    assert_same_bits(velmora.Body(body)(mono, 44000), reference(body, mono))


@pytest.mark.parametrize("body", BODIES)
def test_a_stream_in_odd_chunks_matches_the_module_in_blocks(body, reference):
    signal = noise((3, 5000), seed=200 + body)
    stream = velmora.Body(body)
    cuts = [0, 1, 8, 15, 79, 1103, 1104, 2600, 4999, 5000]
    # The first chunk, of one frame, says that its rows are channels.
    chunks = [
        stream.process(signal[:, a:b], 44000, channels_last=False) for a, b in zip(cuts, cuts[1:])
    ]
    assert_same_bits(np.concatenate(chunks, axis=1), reference(body, signal, block_frames=64))


def test_a_change_of_body_mid_stream_follows_the_module(module_library):
    # Fades to and from the pass filter, a change in the middle of a fade,
    # and bodies of different lengths.
    changes = [(0, 1), (700, 11), (1500, 0), (1501, 16), (2300, 12), (3100, 13), (4000, 8)]
    signal = noise(5000, seed=7)
    stream = velmora.Body(changes[0][1])
    module = reference_host.Channel(module_library, changes[0][1], 128)
    ours, theirs = [], []
    for (start, body), (end, _) in zip(changes, changes[1:] + [(len(signal), None)]):
        stream.body = body
        if start > 0:
            module.change_body(body)
        ours.append(stream.process(signal[start:end], 44000))
        theirs.append(module.process(signal[start:end]))
    assert_same_bits(np.concatenate(ours), np.concatenate(theirs))


def read_float_wav(path):
    """The samples of a 32-bit float WAV as (channels, frames)."""
    with open(path, "rb") as file:
        data = file.read()
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE"
    position, channels, samples = 12, None, None
    while position + 8 <= len(data):
        chunk, size = struct.unpack_from("<4sI", data, position)
        body = data[position + 8 : position + 8 + size]
        if chunk == b"fmt ":
            tag, channels = struct.unpack_from("<HH", body)
            bits_per_sample = struct.unpack_from("<H", body, 14)[0]
            assert tag in (3, 0xFFFE) and bits_per_sample == 32
        elif chunk == b"data":
            samples = np.frombuffer(body, dtype="<f4")
        position += 8 + size + (size & 1)
    return samples.reshape(-1, channels).T


@pytest.mark.parametrize(
    "rate, tuning",
    [(44000, "true"), (48000, "true"), (96000, "true"), (48000, "fixed"), (22050, "true")],
)
def test_velmora_render_float_gives_the_same_bits(tool, tmp_path, rate, tuning):
    pcm = (noise((2, 9000), seed=11, level=0.3).clip(-1, 1) * 32767).astype(np.int16)
    source = tmp_path / "take.wav"
    with wave.open(str(source), "wb") as file:
        file.setnchannels(2)
        file.setsampwidth(2)
        file.setframerate(rate)
        file.writeframes(pcm.T.astype("<i2").tobytes())
    rendered = tmp_path / "take-cello.wav"
    subprocess.run(
        [tool, "render", "--body", "cello1", "--float", "--tuning", tuning, str(source),
         str(rendered)],
        check=True,
        capture_output=True,
    )
    # The tool reads 16-bit samples as value / 32768.
    body = velmora.Body("Cello I", tuning=tuning)
    ours = body(pcm.astype(np.float32) / np.float32(32768), rate)
    assert_same_bits(np.ascontiguousarray(read_float_wav(rendered)), ours)
