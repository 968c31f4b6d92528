#!/usr/bin/env python3
"""Runs a benchmark program several times and prints the median of every figure.

A single run of a latency benchmark on a small machine moves by tens of percent
between runs; a tail (p99) moves more.  Every case of the program runs once per
run, the sides one after another, so N runs alternate the sides N times; the
median of each figure over the runs is what docs/benchmarks.md reports, with
the range beside it.

    scripts/bench_medians.py -n 5 build-bench/bench/bench_net_exchange \
        --benchmark_filter='roundtrip/.*/payload:16/'
    scripts/bench_medians.py -n 5 build-bench/bench/bench_net_relay

Google Benchmark programs are read through their JSON output (their counters:
median_us, p99_us, msgs/s, ...).  Other programs print lines of words and
key=value figures; a line's words before its first figure name its case.
"""
import argparse
import json
import re
import statistics
import subprocess
import sys


def is_google_benchmark(command):
    """Whether the program is a Google Benchmark one: it was given one of that
    library's flags, or it is linked to the library."""
    if any(arg.startswith("--benchmark") for arg in command[1:]):
        return True
    try:
        libs = subprocess.run(["ldd", command[0]], capture_output=True, text=True).stdout
    except OSError:
        return False
    return "libbenchmark" in libs


SCALES = {"k": 1e3, "M": 1e6, "G": 1e9}


def run_once(command):
    """One run: {case: {figure: value}}."""
    is_gbench = is_google_benchmark(command)
    if is_gbench:
        out = subprocess.run(command + ["--benchmark_format=json"], check=True,
                             capture_output=True, text=True).stdout
        cases = {}
        for b in json.loads(out)["benchmarks"]:
            name = b["name"].replace("/min_time:0.500", "").replace("/real_time", "")
            cases[name] = {k: v for k, v in b.items()
                           if isinstance(v, (int, float)) and k.endswith(("_us", "/s"))}
        return cases
    out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
    parsed = []
    for line in out.splitlines():
        figures = {}
        name = []
        for w in line.split():
            m = re.fullmatch(r"([\w.%/]+)=([-+0-9.eE]+)([a-zA-Z%]*)", w)
            if m:
                figures.setdefault("", w)  # the first figure, which may tell lines apart
                # 1.2k, 3.4M: a scale; any other letters are a unit.
                scale = SCALES.get(m.group(3)[:1], 1)
                figures[m.group(1)] = float(m.group(2)) * scale
            elif not figures:
                name.append(w)
        if figures:
            parsed.append((" ".join(name), figures))
    # Lines of one case (the same words) are told apart by their first figure
    # (a count, say).
    names = [n for n, _ in parsed]
    cases = {}
    for name, figures in parsed:
        first = figures.pop("")
        cases[f"{name} {first}" if names.count(name) > 1 else name] = figures
    return cases


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-n", type=int, default=5, help="runs (default 5)")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    if not args.command:
        parser.error("no benchmark program given")
    runs = []
    for i in range(args.n):
        print(f"run {i + 1} of {args.n}", file=sys.stderr)
        runs.append(run_once(args.command))
    order = list(runs[0])
    for case in order:
        figures = []
        for key in runs[0][case]:
            values = [r[case][key] for r in runs if case in r and key in r[case]]
            if not values:
                continue
            med = statistics.median(values)
            figures.append(f"{key}={med:.4g} [{min(values):.4g}..{max(values):.4g}]")
        print(f"{case}  " + "  ".join(figures))


if __name__ == "__main__":
    main()
