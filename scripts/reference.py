#!/usr/bin/env python3
"""Renders the public header's contracts as docs/reference.md.

    scripts/reference.py            rewrite docs/reference.md
    scripts/reference.py --check    exit 1 when docs/reference.md is stale

The header is the one source: every exported declaration and the comment in
front of it become one entry, under the header's section titles.
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
HEADER = ROOT / "include" / "VQ6120_LIB.h"
PAGE = ROOT / "docs" / "reference.md"

SECTION = re.compile(r"/\* ---- (.+?) -+\s*(.*?)\*/", re.S)
ENTRY = re.compile(r"/\*(?P<doc>(?:(?!\*/).)*)\*/\s*VQ6120_API\s+(?P<decl>[^;]+);", re.S)


def clean(comment: str) -> str:
    lines = [re.sub(r"^\s*\* ?", "", line).rstrip() for line in comment.strip().splitlines()]
    return "\n".join(lines).strip()


def render() -> str:
    text = HEADER.read_text()
    intro = clean(text.split("*/", 1)[0].lstrip("/*"))
    out = ["# VQ6120_LIB reference", "",
           "Generated from `include/VQ6120_LIB.h` by `scripts/reference.py`; the header is the source.", "",
           "```", intro, "```", ""]
    body = text[text.index('extern "C" {'):]
    enum = re.search(r"/\* Results of GetDataFromEthernet.*?\};", body, re.S)
    if enum:
        out += ["## Receive results", "", "```c", enum.group(0), "```", ""]
    events = sorted([(m.start(), "section", m) for m in SECTION.finditer(body)] +
                    [(m.start(), "entry", m) for m in ENTRY.finditer(body)], key=lambda e: e[0])
    for _, kind, m in events:
        if kind == "section":
            out += [f"## {m.group(1).strip()}", ""]
            if m.group(2).strip():
                out += [clean(m.group(2)), ""]
        else:
            decl = " ".join(m.group("decl").replace("VQ6120_CALL ", "").split())
            name = re.search(r"(\w+)\s*\(", decl).group(1)
            out += [f"### `{name}`", "", "```c", decl + ";", "```", "", clean(m.group("doc")), ""]
    return "\n".join(out).rstrip() + "\n"


def main() -> int:
    page = render()
    if "--check" in sys.argv[1:]:
        if not PAGE.exists() or PAGE.read_text() != page:
            print("docs/reference.md is stale: run scripts/reference.py", file=sys.stderr)
            return 1
        return 0
    PAGE.parent.mkdir(exist_ok=True)
    PAGE.write_text(page)
    return 0


if __name__ == "__main__":
    sys.exit(main())
