"""The README's example runs as written."""

import contextlib
import io
import pathlib
import re

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def test_the_readme_example_runs_and_prints_what_it_says():
    text = README.read_text()
    section = text[text.index("## The Python package") :]
    example = re.search(r"```python\n(.*?)```", section, re.S).group(1)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(example, str(README), "exec"), {})
    for shown in re.findall(r"print\(.*\)\s+# (.*)", example):
        assert shown in printed.getvalue()
