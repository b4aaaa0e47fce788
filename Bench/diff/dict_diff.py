#!/usr/bin/env python3
"""dict_diff.py OLD NEW OUT: the differences of two chunk-lister dumps with
two dicts, written as `tzrecon diff` writes them. Keys listed twice in one
file are not looked for."""
import sys


def load(path):
    rows = {}
    with open(path, "rb") as f:
        next(f)  # the header
        for line in f:
            _, volume, chunk, size, flag = line.split(b", ")
            rows[(int(volume), int(chunk))] = (int(size), int(flag))  # int() drops the CR LF
    return rows


def main(old_path, new_path, out_path):
    old, new = load(old_path), load(new_path)
    diffs = []
    for key, (size, flag) in old.items():
        other = new.get(key)
        if other is None:
            diffs.append((key, "missing", size, "", flag, ""))
        elif other != (size, flag):
            diffs.append((key, "changed", size, other[0], flag, other[1]))
    for key, (size, flag) in new.items():
        if key not in old:
            diffs.append((key, "new", "", size, "", flag))
    diffs.sort()
    with open(out_path, "w", newline="\n") as out:
        out.write("Change,Volume-ID,Chunk-ID,Old-Size,New-Size,Old-SIVolume,New-SIVolume\n")
        for (volume, chunk), change, old_size, new_size, old_flag, new_flag in diffs:
            out.write(f"{change},{volume},{chunk},{old_size},{new_size},{old_flag},{new_flag}\n")


if __name__ == "__main__":
    main(*sys.argv[1:4])
