#!/usr/bin/env python3
# SPDX-License-Identifier: LGPL-2.1-or-later
"""The READMEs in step: README.zh-CN.md names the same commands as README.md
in the quick start, the interface guide and the deployment checklist; the
contents of README.md list each of its sections, and its links to its own
headings lead somewhere.

    readme_test.py SOURCE_DIR
"""
import re
import sys
from pathlib import Path

# The parts the Chinese README carries, by their headings in each.
PARTS = [("Quick start", "快速开始"),
         ("Which interface should I use?", "该用哪个接口？"),
         ("Deployment checklist", "部署检查清单")]


def section(text, title):
    found = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", text, re.M | re.S)
    return found.group(1) if found else None


def commands(part):
    """The lines of its sh blocks, and its inline code with a blank in it
    (`vessik-read --json`), wherever the source's lines break it."""
    found = set()
    for block in re.findall(r"^```sh\n(.*?)^```", part, re.M | re.S):
        found.update(line.strip() for line in block.splitlines() if line.strip())
    prose = re.sub(r"^```.*?^```", "", part, flags=re.M | re.S)
    for span in re.findall(r"`([^`]+)`", prose):
        span = " ".join(span.split())
        if " " in span:
            found.add(span)
    return found


def anchor(heading):
    """The anchor a Markdown renderer gives a heading, as GitHub makes it."""
    return re.sub(r"[^\w\- ]", "", heading.lower()).replace(" ", "-")


def main():
    source = Path(sys.argv[1])
    english = (source / "README.md").read_text(encoding="utf-8")
    chinese = (source / "README.zh-CN.md").read_text(encoding="utf-8")
    failures = []

    for title, title_zh in PARTS:
        part, part_zh = section(english, title), section(chinese, title_zh)
        if part is None or part_zh is None:
            failures.append(f"no section '{title}' / '{title_zh}'")
            continue
        theirs, ours = commands(part), commands(part_zh)
        failures += [f"'{title_zh}' lacks `{c}`" for c in sorted(theirs - ours)]
        failures += [f"'{title_zh}' names `{c}`, which '{title}' does not" for c in sorted(ours - theirs)]

    headings = re.findall(r"^#{2,4} (.+)$", english, re.M)
    listed = set(re.findall(r"\]\(#([^)]+)\)", section(english, "Contents") or ""))
    failures += [f"Contents lacks '## {h}'" for h in re.findall(r"^## (.+)$", english, re.M)
                 if h != "Contents" and anchor(h) not in listed]
    known = {anchor(h) for h in headings}
    failures += [f"link to #{a} leads nowhere"
                 for a in sorted(set(re.findall(r"\]\(#([^)]+)\)", english)) - known)]

    for failure in failures:
        print("FAIL:", failure)
    print(f"{len(failures)} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
