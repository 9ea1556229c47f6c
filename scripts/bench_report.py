#!/usr/bin/env python3
"""Turns the benchmark results of scripts/bench.sh into one table, printed and
written to docs/performance.md; the hand-written notes below the marker line
of that file are kept."""
import json
import os
import platform
import subprocess
import sys
import time

MARKER = "<!-- notes: kept by scripts/bench.sh -->"
LIMIT = {"full": 1_216_000, "high": 53_248_000}
SIZES = [("64", "64 B"), ("4096", "4 KiB"), ("65536", "64 KiB"), ("1048576", "1 MiB")]


def load(path):
    """Benchmark name (without the iteration suffixes) -> counters, medians when repeated."""
    runs = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b["run_name"].replace("/iterations:1", "").replace("/manual_time", "").replace("/repeats:", "#")
        runs[name.split("#")[0]] = b
    return runs


def machine():
    cpu = "unknown"
    for line in open("/proc/cpuinfo"):
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True).stdout.strip()
    load = ", ".join(f"{x:.1f}" for x in os.getloadavg())
    return (f"{platform.node()}: {os.cpu_count()} x {cpu}, Linux {platform.release()}; "
            f"load average {load}; commit {commit}; {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")


def verdict(ok):
    return "met" if ok else "**missed**"


def tables(v, w, cg):
    rows = []
    add = rows.append
    add("### Timed bus model (controlled mode, host time; product package: 128 packets per transfer, 4 buffers)\n")
    add("| Speed | Peer | Request | Throughput (B/s) | Bus limit (B/s) | Ratio | Goal (1 MiB) | Wall s per simulated MiB |")
    add("|---|---|---|---:|---:|---:|---|---:|")
    for speed in ("full", "high"):
        for peer, label, goal in (("write_to_sink", "writes to a sink", 0.95),
                                  ("read_from_source", "reads from a source", 0.95),
                                  ("loopback", "loopback", 0.475)):
            for size, size_label in SIZES:
                b = v[f"timed/{speed}/{peer}/{size}"]
                judged = verdict(b["bus_ratio"] >= goal) + f" (>= {goal})" if size == "1048576" else ""
                add(f"| {speed} | {label} | {size_label} | {b['virtual_Bps']:,.0f} | {LIMIT[speed]:,} | "
                    f"{b['bus_ratio']:.3f} | {judged} | {b['wall_s_per_MiB']:.3f} |")
    add("\n### The receive levers (64 KiB requests; ratio of the bus limit)\n")
    add("| DataInPacketsPerXfer | DataInBuffers | full: source | full: loopback | high: source | high: loopback |")
    add("|---:|---:|---:|---:|---:|---:|")
    for ppx, buffers in ((1, 8), (16, 8), (32, 8), (64, 8), (128, 8), (256, 8), (128, 2), (128, 3), (128, 4)):
        cells = [f"{v[f'levers/{s}/{p}/ppx:{ppx}/buffers:{buffers}/65536']['bus_ratio']:.3f}"
                 for s in ("full", "high") for p in ("read_from_source", "loopback")]
        add(f"| {ppx} | {buffers} | " + " | ".join(cells) + " |")
    add("\n### Free mode, untimed bus, against a pty pair in the same run (wall clock: median of the runs)\n")
    add("| Figure | Port | pty pair | Ratio | Goal |")
    add("|---|---:|---:|---:|---|")
    for size, label in (("4096", "4 KiB"), ("65536", "64 KiB")):
        port, pty = w[f"free/loopback/port/{size}"]["MBps"], w[f"free/loopback/pty/{size}"]["MBps"]
        goal = verdict(port / pty >= 0.5) + " (>= 0.5)" if size == "4096" else ""
        add(f"| loopback, {label} writes (MB/s) | {port:.2f} | {pty:.2f} | {port / pty:.3f} | {goal} |")
    pe, te = w["free/echo/port"], w["free/echo/pty"]
    add(f"| 1-byte echo, median (us) | {pe['median_us']:.1f} | {te['median_us']:.1f} | "
        f"{pe['median_us'] / te['median_us']:.1f} | {verdict(pe['median_us'] <= 10 * te['median_us'])} (<= 10) |")
    add(f"| 1-byte echo, 99th percentile (us) | {pe['p99_us']:.1f} | {te['p99_us']:.1f} | "
        f"{pe['p99_us'] / te['p99_us']:.1f} | |")
    add(f"| context switches per echo | {pe['switches_per_echo']:.1f} | {te['switches_per_echo']:.1f} | | |")
    add("\n### Cost (controlled mode, untimed loopback; counts do not depend on the load)\n")
    add("| Per | Pool allocations | Framework allocations | Heap allocations | Scheduling decisions | "
        "Instructions (callgrind) |")
    add("|---|---:|---:|---:|---:|---:|")
    e, t = v["cost/echo"], v["cost/transfer/4096"]
    add(f"| 1-byte echo | {e['pool_allocs']:.2f} | {e['fx_allocs']:.2f} | {e['heap_allocs']:.1f} | "
        f"{e['decisions']:.1f} | {cg['echo']:,} |")
    add(f"| 4 KiB loopback transfer | {t['pool_allocs']:.2f} | {t['fx_allocs']:.2f} | {t['heap_allocs']:.1f} | "
        f"{t['decisions']:.1f} | {cg['transfer']:,} |")
    add(f"\nScheduling decisions per second of wall time (controlled mode): {e['decisions_per_s']:,.0f} "
        f"(echo), {t['decisions_per_s']:,.0f} (4 KiB transfers).\n")
    add("### Scale (free mode, 4 KiB loopback on every port at once; wall clock)\n")
    add("| Ports | Aggregate MB/s | Heap per open port (KiB) |")
    add("|---:|---:|---:|")
    for n in (1, 2, 8, 32):
        b = w[f"scale/ports/{n}"]
        add(f"| {n} | {b['MBps']:.2f} | {b['heap_KiB_per_port']:.1f} |")
    o = v["scale/outrunning_writer"]
    add(f"\nA writer that outruns its reader (16 MiB written, nobody reads for 1 s of host time): "
        f"{o['written_MiB']:.2f} MiB of writes completed, {o['held_by_device_MiB']:.2f} MiB held by the "
        f"function, heap grew by {o['heap_growth_MiB']:.2f} MiB.\n")
    return "\n".join(rows)


def main():
    out, doc = sys.argv[1], sys.argv[2]
    v, w = load(os.path.join(out, "virtual.json")), load(os.path.join(out, "wall.json"))
    cg = json.load(open(os.path.join(out, "callgrind.json")))
    table = tables(v, w, cg)
    print(table)
    notes = ""
    if os.path.exists(doc):
        text = open(doc).read()
        if MARKER in text:
            notes = text[text.index(MARKER):]
    os.makedirs(os.path.dirname(doc) or ".", exist_ok=True)
    with open(doc, "w") as f:
        f.write("# Performance\n\nWritten by `scripts/bench.sh`. Machine: " + machine() + ".\n\n"
                "Ratios in host time (timed bus model) and counts are independent of the machine's load; "
                "wall-clock figures are not: the machine may be shared.\n\n")
        f.write(table + "\n")
        f.write(notes or MARKER + "\n")


if __name__ == "__main__":
    main()
