#!/usr/bin/env python3
"""Benchmarks nlflip against the copy floor, the dos2unix package and the
literal per-line algorithm, on generated inputs, in interleaved rounds.

Usage: bench/run.py [--build build/release] [--rounds 7] [--out bench/out]

Writes results.md (a Markdown table), results.dat and throughput.svg (a
gnuplot chart, when gnuplot is installed) to the output folder: bench/out,
which git ignores, unless --out names another.  The committed figures are
refreshed on purpose with --out bench/results.
"""
import argparse
import datetime
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

MIB = 1 << 20

# (name, generator kind, size, peer converter doing the same job or None)
INPUTS = [
    ("lf-16M", "lf", 16 * MIB, "unix2dos"),
    ("crlf-16M", "crlf", 16 * MIB, "dos2unix"),
    ("lf-256M", "lf", 256 * MIB, "unix2dos"),
    ("crlf-256M", "crlf", 256 * MIB, "dos2unix"),
    ("ragged-256M", "ragged", 256 * MIB, "unix2dos"),
    ("ragged-crlf-256M", "ragged-crlf", 256 * MIB, "dos2unix"),
    ("cr-256M", "cr", 256 * MIB, None),
    ("long-256M", "long", 256 * MIB, "unix2dos"),
    ("binary-256M", "binary", 256 * MIB, None),
    ("mixed-256M", "mixed", 256 * MIB, None),
]
# The literal algorithm needs seconds per 16 MiB; larger inputs would take minutes.
LITERAL_LIMIT = 16 * MIB


def run_once(command, work):
    """Runs a command with no standard input; returns (seconds, peak RSS bytes).

    GNU time reports the peak: a child of this (large) Python process would
    inherit its high-water mark across exec.
    """
    report = os.path.join(work, "time")
    start = time.perf_counter()
    done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report] + command,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({done.returncode}): {done.stderr.decode()}")
    with open(report) as f:
        return seconds, int(f.read().split()[-1]) * 1024


def contestants(build, name, size, peer):
    """(label, command template) pairs for one input; {i} and {o} are the files."""
    found = [("floor (dd bs=1M)", ["dd", "if={i}", "of={o}", "bs=1M", "status=none"]),
             ("nlflip", [os.path.join(build, "nlflip"), "{i}", "{o}"])]
    if peer and shutil.which(peer):
        found.append((peer, [peer, "-q", "-n", "{i}", "{o}"]))
    if size <= LITERAL_LIMIT:
        found.append(("literal per-line", [os.path.join(build, "bench", "literal"), "{i}", "{o}"]))
    return found


def check_same_output(build, work, name, peer):
    """nlflip and its peer must agree before their times are compared."""
    source = os.path.join(work, name)
    ours, theirs = source + ".ours", source + ".peer"
    subprocess.run([os.path.join(build, "nlflip"), source, ours], check=True,
                   stdin=subprocess.DEVNULL)
    subprocess.run([peer, "-q", "-n", source, theirs], check=True)
    same = subprocess.run(["cmp", "-s", ours, theirs]).returncode == 0
    os.remove(ours)
    os.remove(theirs)
    if not same:
        sys.exit(f"nlflip and {peer} disagree on {name}")


def measure(build, work, rounds):
    rows = []
    for name, kind, size, peer in INPUTS:
        source = os.path.join(work, name)
        subprocess.run([os.path.join(build, "bench", "make_input"), kind, str(size), source],
                       check=True)
        if peer and shutil.which(peer):
            check_same_output(build, work, name, peer)
        entries = contestants(build, name, size, peer)
        samples = {label: [] for label, _ in entries}
        target = os.path.join(work, "out")
        for _ in range(rounds):
            for label, template in entries:
                if os.path.exists(target):
                    os.remove(target)
                # The write-back of the run before (the peers write slowly
                # and long) must not fall into the next timed run.
                os.sync()
                command = [part.format(i=source, o=target) for part in template]
                samples[label].append(run_once(command, work))
        os.remove(source)
        for label, runs in samples.items():
            rows.append({
                "input": name, "size": size, "contestant": label,
                "median": statistics.median(t for t, _ in runs),
                "rss": max(r for _, r in runs),
            })
        print(f"{name}: done", file=sys.stderr)
    return rows


def table(rows):
    by_input = {}
    for row in rows:
        by_input.setdefault(row["input"], {})[row["contestant"]] = row
    lines = ["| input | contestant | median s | MB/s | x floor | x peer | peak RSS / input byte |",
             "|---|---|---:|---:|---:|---:|---:|"]
    for name, found in by_input.items():
        floor = found["floor (dd bs=1M)"]["median"]
        peer = next((r for label, r in found.items() if label in ("unix2dos", "dos2unix")), None)
        for label, row in found.items():
            x_peer = f"{row['median'] / peer['median']:.3f}" if peer else "-"
            lines.append(
                f"| {name} | {label} | {row['median']:.3f} | {row['size'] / 1e6 / row['median']:.0f} "
                f"| {row['median'] / floor:.2f} | {x_peer} | {row['rss'] / row['size']:.3f} |")
    return "\n".join(lines)


def chart(rows, out):
    if not shutil.which("gnuplot"):
        print("gnuplot not found: no chart", file=sys.stderr)
        return
    labels = list(dict.fromkeys(r["contestant"] for r in rows))
    inputs = list(dict.fromkeys(r["input"] for r in rows))
    data = os.path.join(out, "results.dat")
    with open(data, "w") as f:
        f.write("input " + " ".join(f'"{l}"' for l in labels) + "\n")
        for name in inputs:
            values = []
            for label in labels:
                row = next((r for r in rows if r["input"] == name and r["contestant"] == label), None)
                values.append(f"{row['size'] / 1e6 / row['median']:.1f}" if row else "NaN")
            f.write(name + " " + " ".join(values) + "\n")
    script = f"""
set terminal svg size 1000,420 dynamic font 'sans,11'
set output '{os.path.join(out, "throughput.svg")}'
set title 'Throughput (MB/s of input, median, higher is better, log scale)'
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set logscale y
set yrange [1:*]
set key outside right top
set xtics nomirror scale 0
set bmargin 3
plot for [c=2:{len(labels) + 1}] '{data}' using c:xtic(1) title columnhead
"""
    subprocess.run(["gnuplot"], input=script.encode(), check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--out", default="bench/out")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory(prefix="nlflip-bench-") as work:
        rows = measure(args.build, work, args.rounds)
    machine = (f"{platform.machine()}, {os.cpu_count()} cores, Linux {platform.release()}, "
               f"{datetime.date.today().isoformat()}, {args.rounds} interleaved rounds")
    report = f"Machine: {machine}\n\n{table(rows)}\n"
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write(report)
    chart(rows, args.out)
    print(report)


if __name__ == "__main__":
    main()
