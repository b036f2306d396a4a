#!/usr/bin/env python3
"""The link check itself, on small trees: each case a README and pages, and the faults the
check must find there (none for a tree whose every link resolves)."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_links  # noqa: E402

PAGE = """# A page

## On Windows: `tarvik.exe`

## 板的记录：`--log`

## Twice

## Twice
"""

# (name, files of the tree, the fault lines' endings the check must report)
CASES = [
    ("every kind of link resolves", {
        "README.md": "![shot](docs/shot.png) [page](docs/page.md#on-windows-tarvikexe)\n"
                     "[chinese](docs/page.md#板的记录--log) [second](docs/page.md#twice-1)\n"
                     "[own](#top) [web](https://example.org/x.md#nothing) [folder](docs/)\n"
                     "<img src=\"docs/shot.png\">\n\n# Top\n\n[ref]: docs/page.md\n",
        "docs/page.md": PAGE + "\n[back](../README.md#top)\n",
        "docs/shot.png": "",
    }, []),
    ("a page that is not there", {
        "README.md": "[page](docs/missing.md)\n",
    }, ["README.md:1: docs/missing.md: no such file"]),
    ("a picture that is not there, in a page of docs/", {
        "README.md": "[page](docs/page.md)\n",
        "docs/page.md": "# P\n\ntext\n![shot](shot.png)\n",
    }, ["docs/page.md:4: shot.png: no such file"]),
    ("a heading that is not there, and one counted once too often", {
        "README.md": "[a](docs/page.md#on-windows) [b](docs/page.md#twice-2)\n",
        "docs/page.md": PAGE,
    }, ["README.md:1: docs/page.md#on-windows: no such heading",
        "README.md:1: docs/page.md#twice-2: no such heading"]),
    ("an anchor on the page itself", {
        "README.md": "# Commands\n\n[see](#command)\n",
    }, ["README.md:3: #command: no such heading"]),
    ("a link that leaves the tree", {
        "README.md": "[up](../outside.md)\n",
    }, ["README.md:1: ../outside.md leads out of the tree"]),
    ("a page nobody links to", {
        "README.md": "# Front\n",
        "docs/lost.md": "# Lost\n\n[back](../README.md)\n",
    }, ["docs/lost.md: no link leads here from README.md"]),
    ("links in code are not links", {
        "README.md": "`[a](missing.md)`\n\n```\n![b](missing.png)\n```\n",
    }, []),
]


class CheckLinksTest(unittest.TestCase):
    def test_cases(self):
        for name, files, expected in CASES:
            with self.subTest(name), tempfile.TemporaryDirectory() as root:
                for path, text in files.items():
                    full = os.path.join(root, path)
                    os.makedirs(os.path.dirname(full), exist_ok=True)
                    with open(full, "w", encoding="utf-8") as file:
                        file.write(text)
                self.assertEqual(sorted(check_links.check(root)), sorted(expected))


if __name__ == "__main__":
    unittest.main()
