#!/usr/bin/env python3
"""Table of medians and ratios from hyperfine JSON exports (bench/*.sh).

    summarize.py OUT_MD ROW...
    ROW = "job|file.json|a|b|target"     a, b: command indexes in that export

Ratio = median(a) / median(b); "cpu" is the same ratio of mean user+system
time, which other workers' load on the shared cores disturbs less than wall
time. A target is a maximum ratio ("<=1.15"), a minimum (">=1.7"), or "-".
Prints the table and writes it as markdown to OUT_MD; exits 0 even when a
target is missed (the figures are reported, not asserted).
"""
import json
import sys


def main():
    out_md, rows = sys.argv[1], sys.argv[2:]
    cache = {}
    lines = []
    text = [f"{'job':<44} {'sonorix s':>10} {'ref s':>8} {'ratio':>6} {'cpu':>6} {'target':>7}  met"]
    for row in rows:
        job, path, a, b, target = row.split("|")
        if path not in cache:
            cache[path] = json.load(open(path))["results"]
        res = cache[path]
        ra, rb = res[int(a)], res[int(b)]
        ratio = ra["median"] / rb["median"]
        cpu = (ra["user"] + ra["system"]) / (rb["user"] + rb["system"])
        met = "-"
        if target.startswith("<="):
            met = "yes" if ratio <= float(target[2:]) else "NO"
        elif target.startswith(">="):
            met = "yes" if ratio >= float(target[2:]) else "NO"
        text.append(f"{job:<44} {ra['median']:>10.3f} {rb['median']:>8.3f} {ratio:>6.2f} {cpu:>6.2f} "
                    f"{target:>7}  {met}")
        lines.append(f"| {job} | {ra['median']:.3f} | {rb['median']:.3f} | {ratio:.2f} | {cpu:.2f} | "
                     f"{target.replace('<=', '≤ ').replace('>=', '≥ ')} | {met} |")
    print("\n".join(text))
    with open(out_md, "w") as f:
        f.write("| job | sonorix median s | reference median s | ratio | cpu ratio | target | met? |\n")
        f.write("|---|---:|---:|---:|---:|---|---|\n")
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
