#!/usr/bin/env python3
"""Reads faults.txt and plants one fault into a source tree (used by plant.sh).

  faults.py FAULTS ids                   every id, in file order
  faults.py FAULTS field ID NAME         one field of a fault ("" when absent)
  faults.py FAULTS check ROOT [ID...]    each fault's file and text found once
  faults.py FAULTS apply ROOT ID         plants it; prints the file's path

check and apply fail (exit 2, with the reason) when the file is not matched
by exactly one tracked file, or the text does not occur exactly once in it.
"""
import subprocess
import sys

FIELDS = ("id", "what", "file", "find", "replace", "preset")
REQUIRED = ("id", "what", "file", "find", "replace")


def fail(message):
    sys.stderr.write("faults: " + message + "\n")
    sys.exit(2)


def load(path):
    faults, current = [], {}
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for number, line in enumerate(lines + [""], 1):
        if line.startswith("#"):
            continue
        if not line.strip():
            if current:
                missing = [k for k in REQUIRED if k not in current]
                if missing:
                    fail("%s: fault ending at line %d lacks %s" % (path, number, ", ".join(missing)))
                faults.append(current)
                current = {}
            continue
        key, sep, value = line.partition(": ")
        if not sep or key not in FIELDS:
            fail("%s:%d: expected one of %s, got %r" % (path, number, ", ".join(FIELDS), line))
        if key in ("find", "replace"):
            value = value.replace("\\n", "\n")
        current[key] = value
    ids = [f["id"] for f in faults]
    if len(set(ids)) != len(ids):
        fail("%s: an id is used twice" % path)
    return faults


def locate(root, fault):
    out = subprocess.run(["git", "-C", root, "ls-files", "--", "*/" + fault["file"], fault["file"]],
                         check=True, capture_output=True, text=True).stdout.split()
    if len(out) != 1:
        fail("%s: %d tracked files are named %s: %s" % (fault["id"], len(out), fault["file"],
                                                        " ".join(out) or "none"))
    path = root + "/" + out[0]
    with open(path, encoding="utf-8") as f:
        text = f.read()
    count = text.count(fault["find"])
    if count != 1:
        fail("%s: the text to replace occurs %d times in %s (once expected): %r" %
             (fault["id"], count, out[0], fault["find"]))
    return path, text


def main(argv):
    if len(argv) < 3:
        fail(__doc__)
    faults = load(argv[1])
    by_id = {f["id"]: f for f in faults}

    def get(fid):
        if fid not in by_id:
            fail("no fault %s (known: %s)" % (fid, " ".join(by_id)))
        return by_id[fid]

    command = argv[2]
    if command == "ids":
        print(" ".join(f["id"] for f in faults))
    elif command == "field":
        print(get(argv[3]).get(argv[4], ""))
    elif command == "check":
        for fid in argv[4:] or list(by_id):
            locate(argv[3], get(fid))
    elif command == "apply":
        fault = get(argv[4])
        path, text = locate(argv[3], fault)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text.replace(fault["find"], fault["replace"]))
        print(path)
    else:
        fail("unknown command " + command)


if __name__ == "__main__":
    main(sys.argv)
