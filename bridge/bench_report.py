#!/usr/bin/env python3
"""Tables and plot data of the bridge benchmark: bench_report.py RESULTS OUTDIR.

RESULTS holds lines "KIND SIZE RTT_US MSGS_PER_S", one per run; every figure is the median
of its runs, and each is also given as a ratio to the better of the two NATS rows; the
acknowledged row is also given as a ratio to the bridge at most once."""
import collections
import statistics
import sys

rows = collections.defaultdict(list)
for line in open(sys.argv[1]):
    kind, size, rtt, tput = line.split()
    rows[(kind, int(size))].append((float(rtt), float(tput)))


def med(kind, size, i):
    return statistics.median(r[i] for r in rows[(kind, size)])


sizes = (64, 1024, 16384)
label = {64: "64 B", 1024: "1 KB", 16384: "16 KB"}
kinds = ("bridge", "bridge-acked", "nats-default", "nats-asap")
names = {"bridge": "pxr bridge (send at once)", "bridge-acked": "pxr bridge, acknowledged",
         "nats-default": "NATS, default options", "nats-asap": "NATS, send at once"}
runs = min(len(v) for v in rows.values())
for i, title, unit, dat in ((0, "Round trip", "µs", "lat"),
                            (1, "One-way throughput", "messages/s", "tput")):
    best = min if i == 0 else max
    print(f"\n{title} ({unit}, median of {runs} runs; × the better NATS figure)\n")
    print("| | " + " | ".join(label[s] for s in sizes) + " |")
    print("|---|---:|---:|---:|")
    for kind in kinds:
        cells = []
        for s in sizes:
            v = med(kind, s, i)
            ref = best(med("nats-default", s, i), med("nats-asap", s, i))
            cells.append((f"{v:,.0f}" if i else f"{v:.1f}") + f" ({v / ref:.2f}×)")
        print(f"| {names[kind]} | " + " | ".join(cells) + " |")
    print("\nAcknowledged ÷ at most once: " + ", ".join(
        f"{label[s]} {med('bridge-acked', s, i) / med('bridge', s, i):.2f}×" for s in sizes))
    with open(f"{sys.argv[2]}/bridge-{dat}.dat", "w") as f:
        f.write("payload\t" + "\t".join(names[k] for k in kinds) + "\n")
        for s in sizes:
            f.write(label[s] + "\t" + "\t".join(
                f"{med(k, s, i) / (1000 if i else 1):.2f}" for k in kinds) + "\n")
