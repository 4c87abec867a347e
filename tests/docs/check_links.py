#!/usr/bin/python3
"""Checks that every relative link and #anchor of Markdown pages resolves.

Anchors are those GitHub makes from headings: the heading's text in lower
case, without punctuation other than hyphens and underscores, blanks turned
into hyphens, and -1, -2, ... appended to repeats.

    check_links.py PAGE.md...
"""
import os
import re
import sys
from urllib.parse import unquote

LINK = re.compile(r"!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]*)>?(?:\s+\"[^\"]*\")?\s*\)")
REFERENCE = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s+.*)?$")
FENCE = re.compile(r"^\s{0,3}(```+|~~~+)")


def prose_lines(path):
    """The lines outside fenced code blocks, with their numbers."""
    fence = None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            m = FENCE.match(line)
            if fence is None and m:
                fence = m.group(1)
            elif fence is not None and m and m.group(1).startswith(fence):
                fence = None
            elif fence is None:
                yield number, line.rstrip("\n")


def slug(heading):
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", heading)  # links keep their text
    text = re.sub(r"<[^>]+>", "", text).replace("`", "").replace("*", "")
    return re.sub(r"[^\w\- ]", "", text.strip().lower()).replace(" ", "-")


def anchors(path, cache={}):
    if path not in cache:
        seen, found = {}, set()
        for _, line in prose_lines(path):
            m = re.match(r"^\s{0,3}#{1,6}\s+(.*?)\s*#*\s*$", line)
            if m:
                base = slug(m.group(1))
                count = seen.get(base, 0)
                seen[base] = count + 1
                found.add(base if count == 0 else f"{base}-{count}")
        cache[path] = found
    return cache[path]


def targets(line):
    line = re.sub(r"`[^`]*`", "", line)  # code spans hold no links
    m = REFERENCE.match(line)
    return [m.group(1)] if m else LINK.findall(line)


def check(page):
    problems = []
    for number, line in prose_lines(page):
        for target in targets(line):
            if re.match(r"^[a-z][a-z0-9+.-]*:", target, re.I):
                continue  # http:, https:, mailto:
            path, _, anchor = target.partition("#")
            resolved = os.path.normpath(os.path.join(os.path.dirname(page), unquote(path))) \
                if path else page
            where = f"{page}:{number}: {target}"
            if not os.path.exists(resolved):
                problems.append(f"{where}: no such file")
            elif anchor and not resolved.endswith(".md"):
                problems.append(f"{where}: an anchor into a file that is not Markdown")
            elif anchor and anchor not in anchors(resolved):
                problems.append(f"{where}: no heading with this anchor")
    return problems


def main():
    problems = [p for page in sys.argv[1:] for p in check(page)]
    for problem in problems:
        print(problem)
    print(f"{len(sys.argv) - 1} pages, {len(problems)} broken links")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
