#!/usr/bin/env python3
"""Line and branch coverage of src/ per folder, from a coverage build's counters.

    coverage.py BUILD_DIR [--lines N] [--branches N] [--folder-lines N] [--folder-branches N]

Reads the counters that the suite and the fault sweep left in BUILD_DIR (gcovr
from Debian), leaves out the Windows backend (never built here), branches
that only an exception unwinding takes, and branches the compiler proved
unreachable, and prints the coverage of each folder of src/ and of the whole.
Exits 1 when the whole or a folder is below its floor (percent).
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("build")
    ap.add_argument("--lines", type=float, default=0)
    ap.add_argument("--branches", type=float, default=0)
    ap.add_argument("--folder-lines", type=float, default=0)
    ap.add_argument("--folder-branches", type=float, default=0)
    args = ap.parse_args()
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

    with tempfile.TemporaryDirectory() as tmp:
        summary = os.path.join(tmp, "summary.json")
        # A process that ends while its other threads still run (the engine's
        # I/O thread in a program that exits without shutting it down) writes
        # counters read at different moments; gcov can then derive a branch
        # count of -1, which gcovr refuses ("branch 4 taken -1").  Such a line
        # is skipped, with a report on stderr, rather than failing the run.
        subprocess.run(
            ["gcovr", "--root", root, "--object-directory", os.path.abspath(args.build),
             "--filter", os.path.join(root, "src") + "/",
             "--exclude", os.path.join(root, "src", "os", "win32") + "/",
             "--exclude-throw-branches", "--exclude-unreachable-branches",
             "--gcov-ignore-parse-errors",
             "--json-summary", summary],
            check=True, stdout=subprocess.DEVNULL)
        with open(summary) as f:
            files = json.load(f)["files"]

    folders = {}
    for entry in files:
        folder = os.path.dirname(entry["filename"])
        totals = folders.setdefault(folder, [0, 0, 0, 0])
        totals[0] += entry["line_covered"]
        totals[1] += entry["line_total"]
        totals[2] += entry["branch_covered"]
        totals[3] += entry["branch_total"]

    def percent(covered, total):
        return 100.0 * covered / total if total else 100.0

    failed = []
    print("%-18s %14s %16s" % ("folder", "lines", "branches"))
    whole = [0, 0, 0, 0]
    for folder in sorted(folders):
        lc, lt, bc, bt = folders[folder]
        whole = [a + b for a, b in zip(whole, folders[folder])]
        lp, bp = percent(lc, lt), percent(bc, bt)
        print("%-18s %6.1f %% %5d  %6.1f %% %5d" % (folder, lp, lt, bp, bt))
        if lp < args.folder_lines or bp < args.folder_branches:
            failed.append(folder)
    lp, bp = percent(whole[0], whole[1]), percent(whole[2], whole[3])
    print("%-18s %6.1f %% %5d  %6.1f %% %5d" % ("src/ (all)", lp, whole[1], bp, whole[3]))
    if lp < args.lines or bp < args.branches:
        failed.append("src/ (all)")
    if failed:
        print("coverage: below the floors (lines %.0f / branches %.0f, each folder %.0f / %.0f): %s"
              % (args.lines, args.branches, args.folder_lines, args.folder_branches,
                 ", ".join(failed)))
        return 1
    print("coverage: at or above the floors (lines %.0f / branches %.0f, each folder %.0f / %.0f)"
          % (args.lines, args.branches, args.folder_lines, args.folder_branches))
    return 0


if __name__ == "__main__":
    sys.exit(main())
