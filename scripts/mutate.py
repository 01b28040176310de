#!/usr/bin/env python3
"""The record parser, checker, applier and tree copier of scripts/mutate.sh.

scripts/mutate.sh plants the faults of tests/mutants.txt one at a time in a
copy of the tree and runs the tests on it.  It calls this program as

    python3 scripts/mutate.py check LISTFILE ROOT [ONLY]
    python3 scripts/mutate.py apply LISTFILE ROOT NAME
    python3 scripts/mutate.py copy SRC DST

check   parses the fault list LISTFILE and prints one line per record (or,
        with ONLY, per record named in that comma-separated list): name,
        file, "ok" or why the record cannot be planted in the tree at ROOT,
        and what the fault does, separated by tabs.  Exit status 0; 4 when
        the list holds text that is no record (each such text reported on
        standard error); 3 when ONLY names a fault that is not in the list.
apply   plants the fault NAME in the tree at ROOT (its old text, which must
        occur exactly once in its file, replaced by its new text) and prints
        the file's path.  Exit status 1 when the record cannot be planted.
copy    copies the tracked and untracked files of the tree at SRC (not
        those git ignores, no .git, no build directories) to DST, links as
        links, and prints how many it copied.

A record of the fault list:

    ## <name>: <what the fault does>
    file: <path from the top of the tree>
    --- old
    <exact text, one or more lines>
    --- new
    <the text that replaces it>

Blank lines at the end of a text are dropped.
"""
import os
import re
import shutil
import subprocess
import sys


def parse(path):
    """Records of the fault list; errors for text that is no record."""
    recs = []
    errors = []
    cur = None
    mode = None
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for no, line in enumerate(lines, 1):
        if line.startswith("## "):
            m = re.match(r"## ([A-Za-z0-9_.-]+):\s*(.*)$", line)
            if not m:
                errors.append("%s:%d: a record starts with '## name: what'" % (path, no))
                cur = None
                continue
            cur = {
                "name": m.group(1),
                "what": m.group(2),
                "file": None,
                "old": None,
                "new": None,
                "line": no,
            }
            recs.append(cur)
            mode = None
            continue
        if cur is None:
            if line.startswith("#") or not line.strip():
                continue
            errors.append("%s:%d: text outside a record" % (path, no))
            continue
        if mode is None:
            if line.startswith("file:"):
                cur["file"] = line[5:].strip()
            elif line == "--- old":
                mode = "old"
                cur["old"] = []
            elif line.strip():
                errors.append("%s:%d: expected 'file:' or '--- old'" % (path, no))
        elif mode == "old":
            if line == "--- new":
                mode = "new"
                cur["new"] = []
            else:
                cur["old"].append(line)
        else:
            cur["new"].append(line)
    for r in recs:
        for k in ("old", "new"):
            if r[k] is not None:
                while r[k] and not r[k][-1].strip():
                    r[k].pop()
                r[k] = "\n".join(r[k])
    return recs, errors


def problem(r, root, seen):
    """Why the record cannot be planted in the tree at root, or None."""
    if r["name"] in seen:
        return "the name is used twice"
    f = r["file"]
    if not f:
        return "no 'file:' line"
    if os.path.isabs(f) or ".." in f.split("/"):
        return "the file must be a path inside the tree"
    if r["old"] is None or r["new"] is None:
        return "needs '--- old' and '--- new'"
    if not r["old"]:
        return "the old text is empty"
    if r["old"] == r["new"]:
        return "the new text is the old text"
    path = os.path.join(root, f)
    if not os.path.isfile(path):
        return "%s does not exist" % f
    with open(path, encoding="utf-8") as fh:
        n = fh.read().count(r["old"])
    if n != 1:
        return "the old text occurs %d times in %s, not once" % (n, f)
    return None


def selected(recs, only):
    """The records named in only (comma-separated), or all when it is empty.
    A name that is no record's ends the program with status 3."""
    if not only:
        return recs
    names = [n for n in only.split(",") if n]
    known = {r["name"] for r in recs}
    unknown = [n for n in names if n not in known]
    if unknown:
        sys.stderr.write("mutate.sh: no such fault: %s\n" % ", ".join(unknown))
        sys.exit(3)
    return [r for r in recs if r["name"] in names]


def cmd_check(listfile, root, only=""):
    """One line per record: name, file, "ok" or the problem, what it is."""
    recs, errors = parse(listfile)
    for e in errors:
        sys.stderr.write("mutate.sh: %s\n" % e)
    seen = set()
    out = []
    for r in recs:
        p = problem(r, root, seen)
        seen.add(r["name"])
        r["problem"] = p
    for r in selected(recs, only):
        out.append("\t".join([r["name"], r["file"] or "-", r["problem"] or "ok", r["what"]]))
    if out:
        print("\n".join(out))
    if errors:
        sys.exit(4)
    sys.exit(0)


def cmd_apply(listfile, root, name):
    """Plants the fault name in the tree at root; prints its file."""
    recs, _ = parse(listfile)
    r = [rec for rec in recs if rec["name"] == name][0]
    p = problem(r, root, set())
    if p:
        sys.stderr.write("mutate.sh: %s: %s\n" % (name, p))
        sys.exit(1)
    path = os.path.join(root, r["file"])
    with open(path, encoding="utf-8") as fh:
        text = fh.read()
    with open(path, "w", encoding="utf-8") as fh:
        fh.write(text.replace(r["old"], r["new"], 1))
    print(r["file"])


def files_of(src):
    """Tracked and untracked files as git sees them (ignored ones, build
    directories among them, left out); without git, a walk of the tree."""
    try:
        out = subprocess.run(
            ["git", "-C", src, "ls-files", "-z", "-co", "--exclude-standard"],
            check=True,
            capture_output=True,
        ).stdout
        return [p for p in out.decode("utf-8", "surrogateescape").split("\0") if p]
    except (OSError, subprocess.CalledProcessError):
        pass
    found = []
    for d, dirs, files in os.walk(src):
        dirs[:] = [x for x in dirs if x != ".git" and x != "__pycache__" and not x.startswith("build")]
        for f in files:
            found.append(os.path.relpath(os.path.join(d, f), src))
    return found


def cmd_copy(src, dst):
    """Copies the files of the tree at src to dst; prints how many."""
    n = 0
    for rel in sorted(set(files_of(src))):
        if rel.split("/")[0].startswith("build") or rel.startswith(".git/"):
            continue
        s = os.path.join(src, rel)
        d = os.path.join(dst, rel)
        if not os.path.lexists(s):
            continue  # tracked, but deleted in the working tree
        os.makedirs(os.path.dirname(d), exist_ok=True)
        if os.path.islink(s):
            os.symlink(os.readlink(s), d)
        else:
            shutil.copy2(s, d)
        n += 1
    print(n)


COMMANDS = {"check": cmd_check, "apply": cmd_apply, "copy": cmd_copy}


def main():
    cmd = sys.argv[1]
    args = sys.argv[2:]
    COMMANDS[cmd](*args)


if __name__ == "__main__":
    main()
