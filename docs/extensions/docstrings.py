"""Griffe extension for the API reference: the docstrings, written for both the
terminal (``help()``, doctest) and the site, are shown as Markdown.

- Sphinx roles (``:func:`runs```, ``:class:`~a.b.C```) become code spans (``runs``,
  ``C``).
- Pages of the guide named by path (``docs/models.md``) become links to them.
- Doctest examples (``>>>`` lines and the output after them) become ``pycon`` code
  blocks; Markdown would read their ``>`` as nested quotes.

Only the text handed to the site changes; the modules keep their docstrings.
"""

from __future__ import annotations

import re
from typing import Any

_ROLE = re.compile(r":(?:py:)?(?:func|class|meth|attr|mod|data|exc|obj):`(~?)([^`]+)`")
# ``docs/models.md``: a page of the guide, named by its path for readers of help();
# on the site, a link to it (the API reference is one folder down).
_PAGE = re.compile(r"``docs/([\w-]+)\.md``")


def markdown(text: str) -> str:
    """A docstring's text as Markdown for the site."""
    # `~a.b.C` shows as `C`, as Sphinx shows it.
    text = _ROLE.sub(lambda m: f"`{m.group(2).rsplit('.', 1)[-1] if m.group(1) else m.group(2)}`",
                     text)
    text = _PAGE.sub(lambda m: f"[the {m.group(1)} page](../{m.group(1)}.md)", text)
    out: list[str] = []
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.lstrip().startswith(">>>"):
            indent = line[: len(line) - len(line.lstrip())]
            block = []
            # An example runs until a blank line, as doctest reads it.
            while i < len(lines) and lines[i].strip():
                block.append(lines[i][len(indent):] if lines[i].startswith(indent) else lines[i])
                i += 1
            if out and out[-1].strip():
                out.append("")
            out += [f"{indent}```pycon", *(indent + b for b in block), f"{indent}```"]
            continue
        out.append(line)
        i += 1
    return "\n".join(out)


try:
    import griffe
except ImportError:  # the tests check markdown() without the docs extra
    griffe = None

if griffe is not None:

    class DocstringsAsMarkdown(griffe.Extension):
        def on_instance(self, *, obj: Any, **kwargs: Any) -> None:
            if obj.docstring is not None:
                obj.docstring.value = markdown(obj.docstring.value)
