"""Every Python example in README.md runs as written, each in a fresh
interpreter, as a reader would paste it (shell blocks are not run)."""

import re
import textwrap
from pathlib import Path

import pytest

from support import run_python

README = Path(__file__).resolve().parents[2] / "README.md"
# An example may use what the extras install; without them it is skipped.
OPTIONAL = ("xarray", "dask", "distributed", "pint", "matplotlib", "numexpr", "metpy")
FENCE = re.compile(r"^(?P<indent>[ \t]*)```python[ \t]*\n(?P<code>.*?)^(?P=indent)```",
                   re.MULTILINE | re.DOTALL)


def python_examples():
    text = README.read_text(encoding="utf-8")
    examples = []
    for match in FENCE.finditer(text):
        first_line = text.count("\n", 0, match.start("code")) + 1
        # Padded so that a traceback's line numbers are README.md's.
        code = "\n" * (first_line - 1) + textwrap.dedent(match.group("code"))
        examples.append(pytest.param(code, id=f"README.md:{first_line}"))
    return examples


def test_the_readme_has_python_examples():
    assert python_examples()


@pytest.mark.parametrize("code", python_examples())
def test_readme_example_runs(code):
    result = run_python(code, timeout=120)
    missing = re.search(r"ModuleNotFoundError: No module named '([\w.]+)'", result.stderr)
    if result.returncode != 0 and missing and missing.group(1).split(".")[0] in OPTIONAL:
        pytest.skip(f"{missing.group(1)} is not installed")
    if result.returncode != 0 and "install pint to have it converted" in result.stderr:
        pytest.skip("pint is not installed")
    assert result.returncode == 0, f"(line numbers are README.md's)\n{result.stderr}"
