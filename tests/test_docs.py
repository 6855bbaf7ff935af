"""The README's example runs as printed."""

import re
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def python_blocks() -> list[str]:
    return re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


def test_readme_example_prints_what_the_readme_shows(capsys):
    exec(compile(python_blocks()[0], "README.md", "exec"), {"__name__": "readme"})
    out = capsys.readouterr().out.splitlines()
    shown = re.search(r"```\n(tick 0 .*?)\n\.\.\.\n```", README.read_text(), flags=re.S).group(1)
    assert out[:3] == shown.splitlines()
    assert out[-1] == "end 6 {}" and out.count("overload 3 {'overloaded': ['a', 'b']}") == 1
