#!/usr/bin/env python3
"""Benchmarks nlflip against the copy floor, the dos2unix package and the
literal per-line algorithm, on generated inputs, in interleaved rounds; with
--win32, also the 32-bit nlflip.exe against a plain Win32 copy, both under
the same Wine.

Usage: bench/run.py [--build build/release] [--win32 build/win32]
                    [--rounds 7] [--inputs lf-256M,cr-256M] [--realtime]
                    [--out bench/out]

Each round runs the nlflip programs of an input once, each right beside
its floor (dd bs=1M on Linux, bench/copy_win32.exe under Wine), the two in
turns first; every output is deleted before each timed run and nothing is
synced between these runs.  The ratio to the floor is the median of the
rounds' own ratios, with their range.  The slow contestants (the peers and
the literal algorithm) run after an input's pairs, their ratios taken
against the floor's runs.  --realtime runs the floors and the nlflip
programs (and Wine's server, unless one runs already) at real-time priority
(chrt -f 10, as root), so that other work on a busy machine keeps off the
processors while they run; the peers, which take seconds, run as usual.

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
    ("utf16-256M", "utf16", 256 * MIB, None),
]
# The literal algorithm needs seconds per 16 MiB; larger inputs would take minutes.
LITERAL_LIMIT = 16 * MIB
FLOOR = "floor (dd bs=1M)"
WIN32_FLOOR = "Win32 floor (copy_win32.exe)"
PEERS = ("unix2dos", "dos2unix")
LITERAL = "literal per-line"
SLOW = PEERS + (LITERAL,)


# Set by --realtime: the prefix that runs a command at real-time priority.
PRIORITY = []


def run_once(command, work, priority=()):
    """Runs a command with no standard input; returns (seconds, peak RSS bytes).

    GNU time reports the peak: a child of this (large) Python process would
    inherit its high-water mark across exec.
    """
    report = os.path.join(work, "time")
    start = time.perf_counter()
    done = subprocess.run(list(priority) + ["/usr/bin/time", "-f", "%M", "-o", report] + command,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit(f"{' '.join(command)} failed ({done.returncode}): {done.stderr.decode()}")
    with open(report) as f:
        return seconds, int(f.read().split()[-1]) * 1024


def wine_path(path):
    """A host path as Wine's Windows programs name it: Z: is the root."""
    return "Z:" + path


def contestants(args, size, peer):
    """The pairs of an input, each a floor and the nlflip program measured
    against it, and the slow contestants: (label, command template) pairs,
    {i} and {o} standing for the files ({wi} and {wo} as Wine names them)."""
    pairs = [[(FLOOR, ["dd", "if={i}", "of={o}", "bs=1M", "status=none"]),
              ("nlflip", [os.path.join(args.build, "nlflip"), "{i}", "{o}"])]]
    if args.win32:
        pairs.append([(WIN32_FLOOR, ["wine", os.path.join(args.win32, "bench", "copy_win32.exe"),
                                     "{wi}", "{wo}"]),
                      ("nlflip.exe", ["wine", os.path.join(args.win32, "nlflip.exe"),
                                      "{wi}", "{wo}"])])
    slow = []
    if peer and shutil.which(peer):
        slow.append((peer, [peer, "-q", "-n", "{i}", "{o}"]))
    if size <= LITERAL_LIMIT:
        slow.append((LITERAL, [os.path.join(args.build, "bench", "literal"), "{i}", "{o}"]))
    return pairs, slow


def expand(template, source, target):
    return [part.format(i=source, o=target, wi=wine_path(source), wo=wine_path(target))
            for part in template]


def check_same_output(args, work, name, peer):
    """nlflip, its peer and nlflip.exe must agree before their times are compared."""
    source = os.path.join(work, name)
    ours = source + ".ours"
    subprocess.run([os.path.join(args.build, "nlflip"), source, ours], check=True,
                   stdin=subprocess.DEVNULL)
    others = []
    if peer and shutil.which(peer):
        others.append((peer, [peer, "-q", "-n", "{i}", "{o}"]))
    if args.win32:
        others.append(("nlflip.exe", ["wine", os.path.join(args.win32, "nlflip.exe"),
                                      "{wi}", "{wo}"]))
    for label, template in others:
        theirs = source + ".theirs"
        subprocess.run(expand(template, source, theirs), check=True, stdin=subprocess.DEVNULL)
        same = subprocess.run(["cmp", "-s", ours, theirs]).returncode == 0
        os.remove(theirs)
        if not same:
            sys.exit(f"nlflip and {label} disagree on {name}")
    os.remove(ours)


def timed(template, source, target, work, priority):
    if os.path.exists(target):
        os.remove(target)
    return run_once(expand(template, source, target), work, priority)


def row(name, size, label, floor_label, runs, floor_runs):
    ratios = [t / f for (t, _), (f, _) in zip(runs, floor_runs)]
    return {"input": name, "size": size, "contestant": label, "floor": floor_label,
            "median": statistics.median(t for t, _ in runs),
            "ratio": statistics.median(ratios), "spread": (min(ratios), max(ratios)),
            "rss": max(r for _, r in runs)}


def measure(args, work):
    rows = []
    target = os.path.join(work, "out")
    for name, kind, size, peer in INPUTS:
        if args.inputs and name not in args.inputs:
            continue
        source = os.path.join(work, name)
        subprocess.run([os.path.join(args.build, "bench", "make_input"), kind, str(size), source],
                       check=True)
        check_same_output(args, work, name, peer)
        pairs, slow = contestants(args, size, peer)
        # The write-back of the new input and of the slow peers before must
        # not fall into the pairs; the pairs themselves run without any sync.
        os.sync()
        samples = {}
        for round_number in range(args.rounds):
            for pair in pairs:
                # Floor and program take turns at going first.
                order = pair if round_number % 2 == 0 else list(reversed(pair))
                for label, template in order:
                    samples.setdefault(label, []).append(
                        timed(template, source, target, work, PRIORITY))
        # The slow peers after the pairs, at ordinary priority: they would
        # hold the processors for seconds.
        for _ in range(args.rounds):
            for label, template in slow:
                samples.setdefault(label, []).append(timed(template, source, target, work, []))
        if os.path.exists(target):
            os.remove(target)
        os.remove(source)
        for pair in pairs:
            floor_label = pair[0][0]
            for label, _ in pair:
                rows.append(row(name, size, label, floor_label, samples[label],
                                samples[floor_label]))
        for label, _ in slow:
            rows.append(row(name, size, label, FLOOR, samples[label], samples[FLOOR]))
        print(f"{name}: done", file=sys.stderr)
    return rows


def table(rows):
    by_input = {}
    for row in rows:
        by_input.setdefault(row["input"], {})[row["contestant"]] = row
    lines = ["| input | contestant | median s | MB/s | x floor | range | x peer | "
             "peak RSS / input byte |",
             "|---|---|---:|---:|---:|---:|---:|---:|"]
    for name, found in by_input.items():
        peer = next((r for label, r in found.items() if label in PEERS), None)
        for label, row in found.items():
            linux = row["floor"] == FLOOR
            x_peer = f"{row['median'] / peer['median']:.3f}" if peer and linux else "-"
            low, high = row["spread"]
            lines.append(
                f"| {name} | {label} | {row['median']:.3f} | {row['size'] / 1e6 / row['median']:.0f} "
                f"| {row['ratio']:.2f} | {low:.2f}-{high:.2f} | {x_peer} | "
                f"{row['rss'] / row['size']:.3f} |")
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


def first_line(command):
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    except OSError:
        return "?"
    return (done.stdout or done.stderr).splitlines()[0] if (done.stdout or done.stderr) else "?"


def machine(args):
    model = "?"
    with open("/proc/cpuinfo") as f:
        model = next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), model)
    lines = [f"Machine: {platform.machine()} ({model}), {os.cpu_count()} cores, Linux {platform.release()}, "
             f"{datetime.date.today().isoformat()}, {args.rounds} interleaved rounds"
             f"{', real-time priority' if args.realtime else ''}, "
             f"load average before {os.getloadavg()[0]:.2f}",
             f"compiler: {first_line(['c++', '--version'])}"]
    if args.win32:
        lines.append(f"Windows: {first_line(['i686-w64-mingw32-g++-posix', '--version'])}, "
                     f"{first_line(['wine', '--version'])}")
    return lines


def prepare_wine(args):
    """Wine's prefix of the Windows build, and one server kept for all runs."""
    os.environ.setdefault("WINEPREFIX", os.path.abspath(os.path.join(args.win32, "wineprefix")))
    os.environ["WINEDEBUG"] = "-all"
    os.makedirs(os.environ["WINEPREFIX"], exist_ok=True)
    # The server ends by itself a minute after its last client.
    # (An exit code of 2: a server runs already, which serves as well.)
    subprocess.run(PRIORITY + ["wineserver", "-p60"], check=False)
    subprocess.run(["wine", "wineboot", "-i"], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build/release")
    parser.add_argument("--win32", help="build folder of nlflip.exe, run under Wine")
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--inputs", type=lambda s: s.split(","),
                        help="comma-separated input names, all by default")
    parser.add_argument("--realtime", action="store_true",
                        help="time every command at real-time priority (chrt -f 10, as root)")
    parser.add_argument("--out", default="bench/out")
    args = parser.parse_args()
    if args.realtime:
        PRIORITY.extend(["chrt", "-f", "10"])
    os.makedirs(args.out, exist_ok=True)
    if args.win32:
        prepare_wine(args)
    header = machine(args)
    with tempfile.TemporaryDirectory(prefix="nlflip-bench-") as work:
        rows = measure(args, work)
    header[0] += f", after {os.getloadavg()[0]:.2f}"
    report = "".join(f"{line}\n\n" for line in header) + table(rows) + "\n"
    with open(os.path.join(args.out, "results.md"), "w") as f:
        f.write(report)
    chart(rows, args.out)
    print(report)


if __name__ == "__main__":
    main()
