#!/usr/bin/env python3
"""The layering of the source folders, checked on every #include.

    check_layout.py SOURCE_DIR     checks the tree; names each file and include that breaks
                                   a rule and ends with 1, else ends with 0
    check_layout.py --self-check   runs the rules over small made-up trees, each with one
                                   known breach (and one clean), and ends with 1 when a
                                   breach goes unseen

The rules:
  - a view folder (each program's views) includes no other view folder;
  - the engine, the port and the station (upgrade/, serial/, station/) include no view folder
    and no Qt header (<Q...>): they are plain C++ below every view;
  - a shared folder (what several programs share) includes no view folder.

An include names its folder as the first part of its path from the source root
("cli/console.h"), or is found beside the including file ("station_resource.h").
"""

import os
import re
import sys
import tempfile

VIEWS = ("app", "station_window", "cli", "web")
PLAIN = ("upgrade", "serial", "station")
SHARED = ("settings", "res", "controls", "qt_setup")
SOURCE_ENDINGS = (".h", ".hpp", ".c", ".cc", ".cpp", ".rc")

INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]')


def included_folder(root, source_dir, name):
    """The top folder of the tree an include "name" leads to, or None outside the tree."""
    for base in (source_dir, root):
        path = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(path):
            relative = os.path.relpath(path, root)
            if relative.startswith(".."):
                return None
            parts = relative.split(os.sep)
            return parts[0] if len(parts) > 1 else None
    first = name.split("/")[0]
    return first if "/" in name else None


def breaches(root):
    """Each include that breaks a rule, as 'file:line: text'."""
    found = []
    for folder in VIEWS + PLAIN + SHARED:
        top = os.path.join(root, folder)
        for here, _, files in os.walk(top):
            for file in sorted(files):
                if not file.endswith(SOURCE_ENDINGS):
                    continue
                path = os.path.join(here, file)
                shown = os.path.relpath(path, root)
                with open(path, encoding="utf-8", errors="replace") as source:
                    for number, line in enumerate(source, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        bracket, name = match.groups()
                        where = f"{shown}:{number}: #include {bracket}{name}"
                        if bracket == "<":
                            if folder in PLAIN and name.startswith("Q"):
                                found.append(f"{where}{'>'}: {folder}/ is plain C++, "
                                             "no Qt header")
                            continue
                        target = included_folder(root, here, name)
                        if target is None or target == folder or target not in VIEWS:
                            continue
                        if folder in VIEWS:
                            why = f"the view {folder}/ includes another view's folder {target}/"
                        elif folder in PLAIN:
                            why = f"{folder}/ lies below every view and includes the view {target}/"
                        else:
                            why = f"the shared folder {folder}/ includes the view {target}/"
                        found.append(f'{where}": {why}')
    return found


# Made-up trees for --self-check: (what it shows, {file: text}, breaches expected).
SELF_CHECK_CASES = [
    ("a clean tree", {
        "app/a.cpp": '#include "settings/s.h"\n#include "res/resource.h"\n#include <QWidget>\n',
        "station_window/w.cpp": '#include "station/station_options.h"\n#include "w.h"\n',
        "station_window/w.h": "#pragma once\n",
        "cli/m.cpp": '#include "serial/port_list.h"\n#include "station/station_options.h"\n',
        "settings/s.h": '#include "res/resource.h"\n',
        "res/resource.h": "#pragma once\n",
        "serial/port_list.h": "#include <string>\n",
        "station/station_options.h": '#include "upgrade/driver.h"\n',
        "upgrade/driver.h": "#pragma once\n",
    }, 0),
    ("a view including another view", {
        "station_window/w.cpp": '#include "cli/options.h"\n',
        "cli/options.h": "#pragma once\n",
    }, 1),
    ("a view including another view by a relative path", {
        "app/a.cpp": '#include "../station_window/w.h"\n',
        "station_window/w.h": "#pragma once\n",
    }, 1),
    ("the page including the dialog", {
        "web/page.cpp": '#include "app/window_logic.h"\n',
    }, 1),
    ("the station including a view", {
        "station/station.cpp": '#include "station_window/station_logic.h"\n',
    }, 1),
    ("the port including a Qt header", {
        "serial/com_port.cpp": "#include <QSerialPort>\n",
    }, 1),
    ("the engine including a Qt header", {
        "upgrade/engine.h": "  #  include <QtCore/QString>\n",
    }, 1),
    ("a shared folder including a view", {
        "settings/settings.cpp": '#include "app/window_logic.h"\n',
    }, 1),
]


def self_check():
    failed = 0
    for name, files, expected in SELF_CHECK_CASES:
        with tempfile.TemporaryDirectory() as root:
            for path, text in files.items():
                full = os.path.join(root, path)
                os.makedirs(os.path.dirname(full), exist_ok=True)
                with open(full, "w", encoding="utf-8") as out:
                    out.write(text)
            seen = breaches(root)
        if len(seen) != expected:
            failed += 1
            print(f"self-check: {name}: {len(seen)} breaches seen, {expected} expected: {seen}")
    print(f"self-check: {len(SELF_CHECK_CASES) - failed} of {len(SELF_CHECK_CASES)} trees as expected")
    return 1 if failed else 0


def main(argv):
    if argv[1:] == ["--self-check"]:
        return self_check()
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    found = breaches(argv[1])
    for line in found:
        print(line)
    if found:
        print(f"{len(found)} includes break the layering")
        return 1
    print("the layering holds")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
