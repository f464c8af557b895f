#!/usr/bin/env python3
"""The template generator on edited copies of the resource script and its headers: each case
of the table must fail naming its line and write nothing; a changed rectangle must reach the
table; the same input gives the same bytes.

Usage: rc_templates_test.py GENERATOR SOURCE_DIR BINARY_DIR CASES.tsv
"""
import os
import shutil
import subprocess
import sys
import tempfile

GENERATOR, SOURCE_DIR, BINARY_DIR, CASES = sys.argv[1:]
INPUTS = {"kestrival.rc": SOURCE_DIR, "resource.h": SOURCE_DIR, "version_values.h": BINARY_DIR}
failures = []


def generate(file="kestrival.rc", old="", new=""):
    """(exit status, message, table or None) for the inputs with `old` replaced by `new` in `file`."""
    with tempfile.TemporaryDirectory() as tmp:
        os.mkdir(os.path.join(tmp, "resources"))
        for name, root in INPUTS.items():
            shutil.copy(os.path.join(root, "resources", name), os.path.join(tmp, "resources", name))
        path = os.path.join(tmp, "resources", file)
        with open(path, encoding="utf-8") as f:
            text = f.read()
        if old and text.count(old) != 1:
            sys.exit(f"{file}: the case's text {old!r} is not there exactly once")
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(old, new))
        out = os.path.join(tmp, "out.cpp")
        command = [sys.executable, GENERATOR, "-I", tmp, os.path.join(tmp, "resources", "kestrival.rc"), out]
        run = subprocess.run(command, capture_output=True, text=True)
        table = open(out, encoding="utf-8").read() if os.path.exists(out) else None
        return run.returncode, run.stderr.replace(tmp + os.sep, ""), table


def check(ok, what):
    if not ok:
        failures.append(what)


status, message, table = generate()
check(status == 0 and table == generate()[2], f"the real script: {message}")
status, _, moved = generate(old="134,101,50,14", new="134,101,51,14")
check(moved != table and "{134, 101, 51, 14}" in moved, "a changed rectangle reaches the table")

with open(CASES, encoding="utf-8") as f:
    rows = [line.rstrip("\n").split("\t") for line in f if line.strip() and not line.startswith("#")]
for name, file, old, new, line, expected in rows:
    status, message, table = generate(file, old.replace("\\n", "\n"), new.replace("\\n", "\n"))
    where = f"resources/{file if ':' not in line else line.split(':')[0]}:{line.split(':')[-1]}: error: "
    check(status == 1 and table is None and message.startswith(where) and expected in message,
          f"{name}: status {status}, message {message.strip()!r}, wanted {where}...{expected}")

print("\n".join(failures) or f"{len(rows) + 2} cases passed")
sys.exit(1 if failures else 0)
