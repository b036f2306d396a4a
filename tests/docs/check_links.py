#!/usr/bin/env python3
"""Checks the pages a reader follows: README.md and docs/*.md of a source tree.

Every relative link and every picture must lead to a file or folder that exists inside the
tree; a link with #anchor into a Markdown page must name one of that page's headings, as the
repository's web view makes anchors of them; and every page in docs/ must be reachable from
README.md, so that no page is left where nobody finds it.

    check_links.py SOURCE_DIR     prints every fault, exits 1 when there is one
"""
import os
import re
import sys
import unicodedata
from urllib.parse import unquote

# [text](target "title") and ![alt](target): the target up to a space or the closing bracket.
INLINE_LINK = re.compile(r"!?\[(?:[^\[\]]|\[[^\[\]]*\])*\]\(\s*<?([^)\s>]*)>?(?:\s+[\"'][^\"']*[\"'])?\s*\)")
# [label]: target
REFERENCE_DEFINITION = re.compile(r"^\s{0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s.*)?$")
# <img src="..."> and <a href="...">
HTML_TARGET = re.compile(r"<(?:img|a)\b[^>]*\b(?:src|href)\s*=\s*[\"']([^\"']+)[\"']", re.I)
HEADING = re.compile(r"^\s{0,3}(#{1,6})\s+(.*?)\s*#*\s*$")
FENCE = re.compile(r"^\s{0,3}(```|~~~)")
CODE_SPAN = re.compile(r"(`+)(.+?)\1")
EXTERNAL = re.compile(r"^[a-zA-Z][a-zA-Z0-9+.-]*:|^//")


def prose_lines(text):
    """The lines of a page outside fenced code, each with its number."""
    fenced = False
    for number, line in enumerate(text.splitlines(), 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        if not fenced:
            yield number, line


def heading_text(raw):
    """A heading's text as the reader sees it: code marks, emphasis and link targets gone."""
    text = CODE_SPAN.sub(lambda m: m.group(2), raw)
    text = re.sub(r"!?\[([^\]]*)\]\([^)]*\)", r"\1", text)
    text = re.sub(r"<[^>]+>", "", text)
    return re.sub(r"(\*\*|__|\*|(?<!\w)_|_(?!\w))", "", text)


def slug(text):
    """The anchor the repository's web view gives a heading: lower case, every character but
    letters, digits, joining punctuation, spaces and hyphens dropped, spaces made hyphens."""
    kept = []
    for char in heading_text(text).strip().lower():
        category = unicodedata.category(char)
        if char in " -" or category[0] in "LMN" or category == "Pc":
            kept.append("-" if char == " " else char)
    return "".join(kept)


def anchors(text):
    """Every anchor a page offers: one per heading, the second of a name suffixed -1, and so on."""
    seen = {}
    result = set()
    for _, line in prose_lines(text):
        match = HEADING.match(line)
        if not match:
            continue
        base = slug(match.group(2))
        count = seen.get(base, 0)
        seen[base] = count + 1
        result.add(base if count == 0 else f"{base}-{count}")
    return result


def targets(text):
    """(line number, target) of every link and picture on a page, code left out."""
    for number, line in prose_lines(text):
        prose = CODE_SPAN.sub("", line)
        for pattern in (INLINE_LINK, HTML_TARGET):
            for match in pattern.finditer(prose):
                yield number, match.group(1)
        match = REFERENCE_DEFINITION.match(prose)
        if match:
            yield number, match.group(1)


def pages(root):
    found = [os.path.join(root, "README.md")]
    docs = os.path.join(root, "docs")
    if os.path.isdir(docs):
        found += sorted(os.path.join(docs, name) for name in os.listdir(docs) if name.endswith(".md"))
    return [page for page in found if os.path.isfile(page)]


def check(root):
    """Every fault of the pages under `root`, as 'page:line: what' lines."""
    root = os.path.realpath(root)
    faults = []
    texts = {}
    for page in pages(root):
        with open(page, encoding="utf-8") as file:
            texts[os.path.realpath(page)] = file.read()
    if not texts:
        return [f"{root}: no README.md"]
    linked = {}
    for page, text in texts.items():
        name = os.path.relpath(page, root)
        for number, target in targets(text):
            where = f"{name}:{number}"
            if not target:
                faults.append(f"{where}: an empty link")
                continue
            if EXTERNAL.match(target):
                continue
            path, _, anchor = target.partition("#")
            path = unquote(path)
            resolved = os.path.realpath(os.path.join(os.path.dirname(page), path)) if path else page
            if resolved != root and not resolved.startswith(root + os.sep):
                faults.append(f"{where}: {target} leads out of the tree")
                continue
            if not os.path.exists(resolved):
                faults.append(f"{where}: {target}: no such file")
                continue
            linked.setdefault(page, set()).add(resolved)
            if anchor and resolved.endswith(".md"):
                if resolved not in texts:
                    with open(resolved, encoding="utf-8") as file:
                        texts[resolved] = file.read()
                if unquote(anchor).lower() not in anchors(texts[resolved]):
                    faults.append(f"{where}: {target}: no such heading")
    readme = os.path.join(root, "README.md")
    reachable, frontier = {readme}, [readme]
    while frontier:
        for target in linked.get(frontier.pop(), ()):
            if target not in reachable:
                reachable.add(target)
                frontier.append(target)
    for page in pages(root):
        if os.path.realpath(page) not in reachable:
            faults.append(f"{os.path.relpath(page, root)}: no link leads here from README.md")
    return faults


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    faults = check(argv[1])
    for fault in faults:
        print(fault)
    if faults:
        print(f"{len(faults)} broken link(s) or picture(s)", file=sys.stderr)
        return 1
    print(f"every link and picture of {len(pages(argv[1]))} pages resolves")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
