"""Sound files through a body: one streamed in blocks, many on a thread pool,
and the README's corpus on a Dask cluster of two worker processes."""

import pathlib
import re
import subprocess

import numpy as np
import pytest
import soundfile

import velmora
from conftest import assert_same_bits, noise

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_a_long_file_streams_through_as_velmora_render_plays_it(tmp_path, tool):
    # Longer than a block, so the stream is carried from block to block.
    source, played, rendered = tmp_path / "in.wav", tmp_path / "out.wav", tmp_path / "ref.wav"
    soundfile.write(source, noise((150_000, 2), seed=4, level=0.05), 48000, subtype="FLOAT")
    assert velmora.process_file(source, played, "cello1") == played
    subprocess.run([tool, "render", "--body", "8", "--float", "-q", source, rendered], check=True)
    ours = soundfile.read(played, dtype="float32")
    theirs = soundfile.read(rendered, dtype="float32")
    assert ours[1] == theirs[1] == 48000
    assert_same_bits(ours[0], theirs[0])
    assert soundfile.info(played).subtype == "FLOAT"


@pytest.mark.parametrize(
    "source_subtype, name, subtype, expected",
    [
        ("PCM_16", "out.flac", None, "PCM_16"),  # kept where the format holds it
        ("FLOAT", "out.flac", None, "PCM_16"),  # else the format's default
        ("PCM_24", "out", None, "PCM_24"),  # no extension: the input's format
        ("PCM_16", "out.wav", "FLOAT", "FLOAT"),  # or as asked
    ],
)
def test_a_file_keeps_its_rate_channels_and_where_it_can_its_subtype(
    tmp_path, source_subtype, name, subtype, expected
):
    source = tmp_path / "in.wav"
    signal = noise((5000, 3), seed=5, level=0.5)
    soundfile.write(source, signal, 44000, subtype=source_subtype)
    velmora.process_file(source, tmp_path / name, velmora.Body("oboe2"), subtype=subtype)
    info = soundfile.info(tmp_path / name)
    assert (info.samplerate, info.channels, info.frames, info.subtype) == (44000, 3, 5000, expected)
    # Integer samples clip at full scale rather than wrap around.
    written = soundfile.read(tmp_path / name, dtype="float32")[0]
    dry = soundfile.read(source, dtype="float32")[0]
    wet = velmora.Body("oboe2")(dry, 44000, channels_last=True)
    assert np.all(np.sign(written[np.abs(wet) > 1.01]) == np.sign(wet[np.abs(wet) > 1.01]))


def test_unknown_tunings_and_formats_are_refused(tmp_path):
    source = tmp_path / "in.wav"
    soundfile.write(source, np.zeros(10), 44000)
    with pytest.raises(ValueError, match="tuning must be 'true' or 'fixed'"):
        velmora.process_file(source, tmp_path / "out.wav", 1, tuning="per-rate")
    with pytest.raises(ValueError, match=r"no sound file format goes by the extension \.m4a"):
        velmora.process_file(source, tmp_path / "out.m4a", 1)


def test_many_files_on_a_thread_pool_are_each_as_alone(tmp_path):
    pairs = []
    for i in range(6):
        signal = noise((3000 + 500 * i, 1 + i % 2), seed=i)
        soundfile.write(tmp_path / f"{i}.wav", signal, 44000, subtype="FLOAT")
        pairs.append((tmp_path / f"{i}.wav", tmp_path / f"{i}-viola.wav"))
    assert velmora.process_files(pairs, "viola1", workers=3) == [dst for _, dst in pairs]
    for src, dst in pairs:
        dry = soundfile.read(src, dtype="float32", always_2d=True)[0]
        played = soundfile.read(dst, dtype="float32", always_2d=True)[0]
        assert_same_bits(played, velmora.Body("viola1")(dry, 44000, channels_last=True))


@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
def test_the_readmes_corpus_runs_on_a_dask_cluster_as_in_one_process(tmp_path, monkeypatch):
    text = README.read_text()
    section = text[text.index("## The Python package") :]
    examples = re.findall(r"```python\n(.*?)```", section, re.S)
    example = next(block for block in examples if "LocalCluster" in block)
    monkeypatch.chdir(tmp_path)
    exec(compile(example, str(README), "exec"), {"__name__": "__main__"})
