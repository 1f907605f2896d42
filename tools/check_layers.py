#!/usr/bin/env python3
"""Checks the README's layer table against the kv_layer(...) lines of CMakeLists.txt.

    python3 tools/check_layers.py [SOURCE_DIR]

Every folder of src/ must be a layer in CMakeLists.txt and a row of the table, and a folder's
number in the table must be above the number of every folder it links (its direct kv_* DEPS),
so the table tells a reader truthfully what may include what. Exits 1 with one line per
problem, 0 when the table agrees.
"""

import os
import re
import sys

LAYER_CALL = re.compile(r"^[ \t]*kv_layer\(([^)]*)\)", re.MULTILINE)
TABLE_HEADER = re.compile(r"^\|\s*layer\s*\|\s*folder\s*\|")
TABLE_ROW = re.compile(r"^\|\s*(\d+)\s*\|([^|]*)\|")
FOLDER = re.compile(r"^src/([A-Za-z0-9_]+)/?$")


def strip_comments(cmake_text):
    # CMake comments run from "#" to the line end; the kv_layer lines hold no quoted "#".
    return "\n".join(line.split("#", 1)[0] for line in cmake_text.splitlines())


def read_layers(cmake_text):
    """{folder: [folders it links]} from the kv_layer(name DEPS ...) calls, in order."""
    layers = {}
    problems = []
    for match in LAYER_CALL.finditer(strip_comments(cmake_text)):
        words = match.group(1).split()
        if not words:
            continue
        name, rest = words[0], words[1:]
        deps = []
        if rest:
            if rest[0] != "DEPS":
                problems.append("CMakeLists.txt: kv_layer(%s ...) has words before DEPS: %s" % (name, " ".join(rest)))
            # Imported targets (Threads::Threads, PkgConfig::...) are not layers.
            deps = [w[len("kv_"):] for w in rest[1:] if w.startswith("kv_")]
        if name in layers:
            problems.append("CMakeLists.txt: kv_layer(%s) appears twice" % name)
        layers[name] = deps
    return layers, problems


def read_table(readme_text):
    """{folder: layer number} from the rows of the table headed "| layer | folder |"."""
    table = {}
    problems = []
    lines = readme_text.splitlines()
    start = next((i for i, line in enumerate(lines) if TABLE_HEADER.match(line)), None)
    if start is None:
        return None, ["README.md: no layer table (a table headed '| layer | folder | ...')"]
    for lineno, line in enumerate(lines[start + 2:], start + 3):
        if not line.startswith("|"):
            break
        row = TABLE_ROW.match(line)
        if not row:
            problems.append("README.md:%d: a layer row needs a number and src/ folders: %s" % (lineno, line))
            continue
        number = int(row.group(1))
        for cell in row.group(2).split(","):
            cell = cell.strip().strip("`")
            folder = FOLDER.match(cell)
            if not folder:
                problems.append("README.md:%d: '%s' is not a folder of the form src/<name>/" % (lineno, cell))
                continue
            name = folder.group(1)
            if name in table:
                problems.append("README.md:%d: src/%s/ is listed twice" % (lineno, name))
            table[name] = number
    return table, problems


def source_folders(src):
    """The folders of src/ that hold at least one file (one emptied by a move is not a folder)."""
    folders = set()
    for entry in os.listdir(src):
        path = os.path.join(src, entry)
        if entry.startswith(".") or not os.path.isdir(path):
            continue
        if any(files for _, _, files in os.walk(path)):
            folders.add(entry)
    return folders


def check(root):
    with open(os.path.join(root, "CMakeLists.txt"), encoding="utf-8") as f:
        layers, problems = read_layers(f.read())
    with open(os.path.join(root, "README.md"), encoding="utf-8") as f:
        table, table_problems = read_table(f.read())
    problems += table_problems
    if table is None:
        return problems
    if not layers:
        return problems + ["CMakeLists.txt: no kv_layer(...) lines"]

    folders = source_folders(os.path.join(root, "src"))
    for name in sorted(folders - table.keys()):
        problems.append("src/%s/ is missing from the README's layer table" % name)
    for name in sorted(folders - layers.keys()):
        problems.append("src/%s/ is not a layer: CMakeLists.txt has no kv_layer(%s ...)" % (name, name))
    for name in sorted(table.keys() - layers.keys()):
        problems.append("src/%s/ is in the README's layer table but CMakeLists.txt has no kv_layer(%s ...)"
                        % (name, name))
    for name in sorted(layers.keys() - table.keys() - folders):
        problems.append("kv_layer(%s) in CMakeLists.txt is neither a folder of src/ nor in the layer table" % name)

    for name, deps in layers.items():
        for dep in deps:
            if dep not in layers:
                problems.append("kv_layer(%s) links kv_%s, which is not a layer" % (name, dep))
            elif name in table and dep in table and table[name] <= table[dep]:
                problems.append("src/%s/ is layer %d in the README but links src/%s/ (layer %d): it must be above it"
                                % (name, table[name], dep, table[dep]))
    return problems


def main(argv):
    root = argv[1] if len(argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
    problems = check(root)
    for p in problems:
        print("check_layers: " + p, file=sys.stderr)
    if problems:
        print("check_layers: the layer table in README.md (Layout) disagrees with CMakeLists.txt", file=sys.stderr)
        return 1
    print("check_layers: the README's layer table agrees with CMakeLists.txt")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
