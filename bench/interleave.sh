#!/usr/bin/env bash
# Interleaved runs: every command once per round, ROUNDS rounds, so that the
# load of the shared machine falls on all of them alike. Prints the median
# wall and CPU (user + system) time of each, and the ratio of each command to
# the one after it (list them in pairs: the measured one, then its baseline).
#
#   bench/interleave.sh ROUNDS 'LABEL=COMMAND' ...
#   bench/interleave.sh 9 "wav loudness=build/src/cli/sonorix-cli measure --loudness music.wav" \
#                         "wav measure=build/src/cli/sonorix-cli measure music.wav"
set -euo pipefail
rounds=$1; shift
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$rounds" "$@" <<'PY'
import os, shlex, statistics, subprocess, sys, time
rounds = int(sys.argv[1])
cmds = [a.split('=', 1) for a in sys.argv[2:]]
wall = {l: [] for l, _ in cmds}
cpu = {l: [] for l, _ in cmds}
for _ in range(2):  # warm the page cache
    for _, c in cmds:
        subprocess.run(shlex.split(c), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
for _ in range(rounds):
    for label, c in cmds:
        start = time.monotonic()
        p = subprocess.Popen(shlex.split(c), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(p.pid, 0)
        wall[label].append(time.monotonic() - start)
        cpu[label].append(usage.ru_utime + usage.ru_stime)
        if status != 0:
            sys.exit(f"{label}: exit status {status}")
med = lambda xs: statistics.median(xs)
for label, _ in cmds:
    print(f"{label:32s} wall {med(wall[label]):.3f} s  cpu {med(cpu[label]):.3f} s")
for (a, _), (b, _) in zip(cmds[0::2], cmds[1::2]):
    print(f"{a} / {b}: wall {med(wall[a]) / med(wall[b]):.2f}  cpu {med(cpu[a]) / med(cpu[b]):.2f}")
PY
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
